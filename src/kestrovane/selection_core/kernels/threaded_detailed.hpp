// The detailed kernel over several threads, for the public layer.  Means,
// M2 and P² must see each individual's observations in sample order, so the
// samples run in blocks: the threads sample one block side by side (each a
// contiguous part of it, with its own rating arrays and generator), writing
// every sample's place, front and within-front rank into the block's rows;
// then they fold the rows into the accumulators, each thread a range of
// individuals, every individual's rows in sample order.  The result equals
// the one-thread result bit for bit, whatever the thread count.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/accumulator_arrays.hpp"
#include "kestrovane/selection_core/kernels/detailed_kernel.hpp"
#include "kestrovane/selection_core/kernels/detailed_result.hpp"
#include "kestrovane/selection_core/kernels/memory_map.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"
#include "kestrovane/selection_core/kernels/population.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_calls.hpp"

namespace kestrovane::mc {

// Block rows take about this many bytes (16 bytes per individual and
// sample), so a block is large enough to pay for starting its threads.
inline constexpr std::int64_t kBlockBytes = std::int64_t{4} << 20;

// The observations of one block: row r holds sample `first` + r.
struct BlockRows {
    std::int32_t* place;
    std::int64_t* front;
    std::int32_t* within;
    std::int32_t n;
    std::int32_t first = 0;

    std::int64_t at(std::int32_t s, std::int32_t idx) const {
        return static_cast<std::int64_t>(s - first) * n + idx;
    }
};

// A sampling thread's observer: each sample's place, front and within-front
// rank of every individual go into the sample's block row, by member (front
// ids are read by rating row).  Front ids come from the outside rating and
// are checked before they index `front_counts`.
struct BlockObserver {
    BlockRows rows;
    const std::int64_t* front_id;
    std::int32_t* front_counts;
    std::int32_t n_fronts = 0;
    std::int64_t bad_front = 0;

    void begin_sample(std::int32_t, std::int32_t fronts) {
        n_fronts = fronts;
        std::fill(front_counts, front_counts + fronts, 0);
    }

    bool at_position(std::int32_t s, std::int32_t pos, std::int32_t row, std::int32_t idx) {
        const std::int64_t f = front_id[row];
        if (static_cast<std::uint64_t>(f) >= static_cast<std::uint64_t>(n_fronts)) {
            bad_front = f;
            return false;
        }
        const std::int64_t cell = rows.at(s, idx);
        rows.place[cell] = pos;
        rows.front[cell] = f;
        rows.within[cell] = front_counts[f]++;
        return true;
    }

    void end_sample(std::int32_t) {}
    std::int64_t bad_value() const { return bad_front; }
};

// Individuals `members`' observations of samples rows.first .. end - 1, in
// sample order, into the accumulators (as DetailedObserver records them).
inline void fold_rows(MetricAccumulators& acc, const BlockRows& rows, std::int32_t end,
                      SampleRange members) {
    for (std::int32_t s = rows.first; s < end; ++s) {
        const std::int64_t row = rows.at(s, 0);
        acc.record_range(s, rows.place + row, rows.front + row, rows.within + row, members.begin,
                         members.end);
        if (s == kP2Warmup - 1 && acc.mode.use_p2) acc.init_p2_range(members.begin, members.end);
    }
}

// Thread t's individuals for the fold: whole chunks (see record_range).
inline SampleRange members_of(std::int32_t n, int threads, int t) {
    const std::int32_t chunks = (n + kChunk - 1) / kChunk;
    const SampleRange c = share_of(chunks, threads, t);
    return SampleRange{std::min(n, c.begin * kChunk), std::min(n, c.end * kChunk)};
}

inline PyObject* detailed_kernel_threaded(PyObject* mu_obj, PyObject* sigma2_obj,
                                          std::int32_t n_samples, const DetailedOptions& o,
                                          TieOrder ties, int threads, ProgressPacer& pacer) {
    threads = usable_threads(threads, n_samples);
    MemoryMap map(MemoryMap::kDefaultCapacity + 16 * threads);
    Population pop;
    const Prepared st = prepare_population(mu_obj, sigma2_obj, n_samples, o.percentile, &pop, &map);
    if (st != Prepared::ready) return st == Prepared::empty ? empty_detailed_result() : nullptr;
    const std::int32_t n = pop.n;
    std::unique_ptr<ThreadShare[]> shares = create_shares(pop, threads, o.seed, ties, &map);
    AccumulatorArrays acc;
    if (!shares || !acc.create(n, n_samples, o.quantiles_mode_i, o.quantiles_budget)) return nullptr;
    acc.add_to(&map);
    if (!map.claim()) return nullptr;

    // Heap blocks, all taken before sampling: the block rows and each
    // thread's front counts.
    const std::int64_t row_bytes = std::int64_t{16} * n;
    const std::int32_t block = static_cast<std::int32_t>(std::min<std::int64_t>(
        n_samples, std::max<std::int64_t>(std::int64_t{64} * threads, kBlockBytes / row_bytes)));
    const std::size_t cells = static_cast<std::size_t>(block) * static_cast<std::size_t>(n);
    std::unique_ptr<std::int32_t[]> rows(new (std::nothrow) std::int32_t[2 * cells]);
    std::unique_ptr<std::int64_t[]> front_rows(new (std::nothrow) std::int64_t[cells]);
    std::unique_ptr<std::int32_t[]> front_counts(
        new (std::nothrow) std::int32_t[static_cast<std::size_t>(threads) * n]);
    if (!rows || !front_rows || !front_counts) return PyErr_NoMemory();
    const std::int64_t per_sample =
        normals_per_sample(data_of<const double>(pop.sigma), std::int64_t{n} * pop.m);

    SharedProgress shared;
    pacer.share(&shared);
    bool started = true;
    {
        GilRelease nogil;
        pacer.attach(nogil);
        MetricAccumulators& raw = acc.view;
        for (std::int32_t first = 0; first < n_samples && started; first += block) {
            const std::int32_t end = std::min(n_samples, first + block);
            const BlockRows block_rows{rows.get(), front_rows.get(), rows.get() + cells, n, first};
            started = on_threads(threads, &shared, [&](int t) {
                const SampleRange part = share_of(end - first, threads, t);
                BlockObserver observer{block_rows,
                                       data_of<const std::int64_t>(shares[t].work.front_id),
                                       front_counts.get() + static_cast<std::size_t>(t) * n};
                run_thread_share(t, pop, o.mode_i, o.within_mode_i, shares.get(),
                                 SampleRange{first + part.begin, first + part.end}, per_sample,
                                 observer, pacer, &shared);
            }, [&] { pacer.wait_step(); });
            if (!started || shared.stop.load(std::memory_order_relaxed)) break;
            started = on_threads(threads, &shared, [&](int t) {
                fold_rows(raw, block_rows, end, members_of(n, threads, t));
            });
        }
    }
    if (!finish_shares(shares.get(), threads, started, pacer)) return nullptr;
    {
        GilRelease nogil;
        sum_counts(shares.get(), threads, n);
    }
    const DetailedState state{n, n_samples, pop.k, &shares[0].counts, &acc,
                              QualityWeights{o.quality_w_place, o.quality_w_front,
                                             o.quality_w_within, o.quality_sign}};
    return assemble_detailed_result(state);
}

}  // namespace kestrovane::mc

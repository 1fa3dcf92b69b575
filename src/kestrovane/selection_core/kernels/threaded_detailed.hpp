// The engine's detailed sampling over one or more threads: sample_detailed,
// which mc_rank_select_detailed runs on one thread (detailed_kernel.hpp),
// and detailed_kernel_threaded, _engine.select_detailed.  Means,
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
#include "kestrovane/selection_core/kernels/engine_boundary.hpp"
#include "kestrovane/selection_core/kernels/numeric/accumulator_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/detailed_observers.hpp"
#include "kestrovane/selection_core/kernels/numeric/detailed_statistics.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_calls.hpp"

namespace kestrovane::mc {

// Block rows take about this many bytes (16 bytes per individual and
// sample), so a block is large enough to pay for starting its threads; one
// thread starts none, and keeps the rows small (P² memory then stays about
// constant per individual, as the low-level functions promise).
inline constexpr std::int64_t kBlockBytes = std::int64_t{4} << 20;
inline constexpr std::int64_t kOneThreadBlockBytes = std::int64_t{64} << 10;

// Samples per block for `threads` threads over n individuals.
inline std::int32_t block_samples(std::int32_t n_samples, std::int32_t n, int threads) {
    const std::int64_t row_bytes = std::int64_t{16} * n;
    const std::int64_t least = threads == 1 ? 1 : std::int64_t{64} * threads;
    const std::int64_t bytes = threads == 1 ? kOneThreadBlockBytes : kBlockBytes;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(n_samples, std::max<std::int64_t>(least, bytes / row_bytes)));
}

// Samples 0 .. n_samples - 1 of `pop` over `threads` threads (see
// usable_threads) into the accumulators `acc` (made for pop.n individuals
// and n_samples) and adds the counts into `total`: memory of the caller's
// that no Python code reaches, since all of it is written without the
// interpreter lock.  Call with the lock held; false with the error raised.
template <class Pacer>
bool sample_detailed(const OwnedPopulation& pop, std::int32_t n_samples, const RankOptions& o,
                     TieOrder ties, int threads, Pacer& pacer, MetricAccumulators& acc,
                     const Counts& total) {
    const std::int32_t n = pop.n;
    std::unique_ptr<ThreadShare[]> shares = create_shares(pop, threads, o.seed, ties);
    if (!shares) return false;
    // Heap blocks, all taken before sampling: the block rows and each
    // thread's front counts.
    const std::int32_t block = block_samples(n_samples, n, threads);
    const std::size_t cells = static_cast<std::size_t>(block) * static_cast<std::size_t>(n);
    std::unique_ptr<std::int32_t[]> rows(new (std::nothrow) std::int32_t[2 * cells]);
    std::unique_ptr<std::int64_t[]> front_rows(new (std::nothrow) std::int64_t[cells]);
    std::unique_ptr<std::int32_t[]> front_counts(
        new (std::nothrow) std::int32_t[static_cast<std::size_t>(threads) * n]);
    if (!rows || !front_rows || !front_counts) {
        PyErr_NoMemory();
        return false;
    }
    const std::int64_t per_sample = normals_per_sample(pop.sigma.get(), std::int64_t{n} * pop.m);

    SharedProgress shared;
    pacer.share(&shared);
    bool started = true;
    {
        GilRelease nogil;
        pacer.attach(nogil);
        for (std::int32_t first = 0; first < n_samples && started; first += block) {
            const std::int32_t end = std::min(n_samples, first + block);
            const BlockRows block_rows{rows.get(), front_rows.get(), rows.get() + cells, n, first};
            started = on_threads(threads, &shared, [&](int t) {
                const SampleRange part = share_of(end - first, threads, t);
                BlockObserver observer{block_rows, shares[t].work.front_id.get(),
                                       front_counts.get() + static_cast<std::size_t>(t) * n};
                run_thread_share(t, pop, o.mode_i, o.within_mode_i, shares.get(),
                                 SampleRange{first + part.begin, first + part.end}, per_sample,
                                 observer, pacer, &shared);
            }, [&] { pacer.wait_step(); });
            if (!started || shared.stop.load(std::memory_order_relaxed)) break;
            started = on_threads(threads, &shared, [&](int t) {
                fold_rows(acc, block_rows, end, members_of(n, threads, t));
            });
        }
    }
    return finish_shares(shares.get(), threads, started, pacer, n, total);
}

inline PyObject* detailed_kernel_threaded(PyObject* mu_obj, PyObject* sigma2_obj,
                                          std::int32_t n_samples, const DetailedOptions& o,
                                          TieOrder ties, int threads, ProgressPacer& pacer) {
    threads = usable_threads(threads, n_samples);
    OwnedPopulation pop;
    DetailedResult result;
    if (!read_population(mu_obj, sigma2_obj, o.percentile, &pop) ||
        !result.create(pop.n, pop.k))
        return nullptr;
    const std::int32_t n = pop.n;
    if (n == 0) return result.tuple(false);
    double* means[kMetrics];
    result.means(n, means);
    AccumulatorBuffers acc;
    StatisticsScratch scratch;
    if (!acc.allocate(n, n_samples, o.quantiles_mode_i, o.quantiles_budget, means) ||
        !scratch.allocate(n, acc.view.mode))
        return PyErr_NoMemory();
    const Counts counts = result.counts.raw();
    if (!sample_detailed(pop, n_samples, o, ties, threads, pacer, acc.view, counts))
        return nullptr;
    {
        GilRelease nogil;
        detailed_statistics(acc.view, counts, n_samples, pop.k,
                            QualityWeights{o.quality_w_place, o.quality_w_front,
                                           o.quality_w_within, o.quality_sign},
                            scratch, result.output());
    }
    return result.tuple(acc.view.mode.use_p2);
}

}  // namespace kestrovane::mc

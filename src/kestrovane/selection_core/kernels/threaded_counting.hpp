// The counting kernel over several threads, for the public layer.  Each
// thread samples one contiguous range with its own rating arrays, scratch,
// counts and copy of the generator (moved to its range's first normal); the
// counts are then summed.  Integer sums: the result equals the one-thread
// result bit for bit, whatever the thread count.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"
#include "kestrovane/selection_core/kernels/memory_map.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"
#include "kestrovane/selection_core/kernels/population.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_calls.hpp"

namespace kestrovane::mc {

// (win_count, lose_count, rank_sum) of `threads` threads (see usable_threads).
inline PyObject* counting_kernel_threaded(PyObject* mu_obj, PyObject* sigma2_obj,
                                          std::int32_t n_samples, const RankOptions& o,
                                          TieOrder ties, int threads, ProgressPacer& pacer) {
    threads = usable_threads(threads, n_samples);
    MemoryMap map(MemoryMap::kDefaultCapacity + 16 * threads);
    Population pop;
    const Prepared st = prepare_population(mu_obj, sigma2_obj, n_samples, o.percentile, &pop, &map);
    if (st != Prepared::ready) return st == Prepared::empty ? empty_counts() : nullptr;
    std::unique_ptr<ThreadShare[]> shares = create_shares(pop, threads, o.seed, ties, &map);
    if (!shares || !map.claim()) return nullptr;
    const std::int64_t per_sample =
        normals_per_sample(data_of<const double>(pop.sigma), std::int64_t{pop.n} * pop.m);

    SharedProgress shared;
    pacer.share(&shared);
    bool started;
    {
        GilRelease nogil;
        pacer.attach(nogil);
        started = on_threads(threads, &shared, [&](int t) {
            NoObserver observer;
            run_thread_share(t, pop, o.mode_i, o.within_mode_i, shares.get(),
                             share_of(n_samples, threads, t), per_sample, observer, pacer,
                             &shared);
        }, [&] { pacer.wait_step(); });
    }
    if (!finish_shares(shares.get(), threads, started, pacer)) return nullptr;
    {
        GilRelease nogil;
        sum_counts(shares.get(), threads, pop.n);
    }
    const CountArrays& c = shares[0].counts;
    return PyTuple_Pack(3, c.win_count.get(), c.lose_count.get(), c.rank_sum.get());
}

}  // namespace kestrovane::mc

// The engine's counting over one or more threads: count_samples, which
// mc_rank_counts and mc_rank_select run on one thread (counting_kernel.hpp),
// and counting_kernel_threaded, _engine.counts.  Each thread
// samples one contiguous range with its own rating blocks, scratch, counts
// and copy of the generator (moved to its range's first normal); the counts
// are then summed.  Integer sums: the result equals the one-thread result
// bit for bit, whatever the thread count.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/engine_boundary.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_calls.hpp"

namespace kestrovane::mc {

// Samples 0 .. n_samples - 1 of `pop` over `threads` threads (see
// usable_threads) and adds the counts into `total`, memory of the caller's
// that no Python code reaches (it is written without the interpreter lock).
// Call with the lock held; false with the error raised.
template <class Pacer>
bool count_samples(const OwnedPopulation& pop, std::int32_t n_samples, const RankOptions& o,
                   TieOrder ties, int threads, Pacer& pacer, const Counts& total) {
    std::unique_ptr<ThreadShare[]> shares = create_shares(pop, threads, o.seed, ties);
    if (!shares) return false;
    const std::int64_t per_sample = normals_per_sample(pop.sigma.get(), std::int64_t{pop.n} * pop.m);

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
    return finish_shares(shares.get(), threads, started, pacer, pop.n, total);
}

// (win_count, lose_count, rank_sum) of `threads` threads (see usable_threads).
inline PyObject* counting_kernel_threaded(PyObject* mu_obj, PyObject* sigma2_obj,
                                          std::int32_t n_samples, const RankOptions& o,
                                          TieOrder ties, int threads, ProgressPacer& pacer) {
    threads = usable_threads(threads, n_samples);
    OwnedPopulation pop;
    CountResult result;
    if (!read_population(mu_obj, sigma2_obj, o.percentile, &pop) || !result.create(pop.n))
        return nullptr;
    if (pop.n == 0) return result.tuple();
    if (!count_samples(pop, n_samples, o, ties, threads, pacer, result.raw())) return nullptr;
    return result.tuple();
}

}  // namespace kestrovane::mc

// What the engine needs to split one call's samples over threads:
// each thread's own work blocks, the start of its generator, running a
// function on every thread, and collecting the outcome.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"
#include "kestrovane/selection_core/kernels/numeric/options.hpp"
#include "kestrovane/selection_core/kernels/numeric/owned_population.hpp"
#include "kestrovane/selection_core/kernels/numeric/rating_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/loop_errors.hpp"
#include "kestrovane/selection_core/random/xoshiro256ss.hpp"

namespace kestrovane::mc {

// What one thread owns for the whole call.
struct ThreadShare {
    RatingBuffers work;
    CountBuffers counts;
    TieRows ties;  // active for the random tie order only
    Xoshiro256ss rng{};
    std::int32_t next_sample = 0;  // the sample whose first normal `rng` stands at
    std::int32_t done = 0;         // samples this thread has run
    LoopResult result{LoopStatus::ok, 0};

    // Moves the generator to the first normal of sample `s` (s >= next_sample);
    // false when `stop` was set on the way (a long seek takes seconds).
    bool seek(std::int32_t s, std::int64_t per_sample, const std::atomic<bool>& stop) {
        for (; next_sample < s; ++next_sample) {
            if (stop.load(std::memory_order_relaxed)) return false;
            _xoshiro_skip_normals(&rng, static_cast<std::uint64_t>(per_sample));
        }
        return true;
    }
};

// A call's thread count: at least one, at most one per sample and kMaxThreads.
inline int usable_threads(int threads, std::int32_t n_samples) {
    if (threads > n_samples) threads = n_samples;
    if (threads > kMaxThreads) threads = kMaxThreads;
    return threads < 1 ? 1 : threads;
}

// Every thread's rating blocks, counts, scratch and tie rows, generators
// seeded at sample 0; null with MemoryError raised.
inline std::unique_ptr<ThreadShare[]> create_shares(const OwnedPopulation& pop, int threads,
                                                    std::uint64_t seed, TieOrder ties) {
    std::unique_ptr<ThreadShare[]> shares(new (std::nothrow) ThreadShare[threads]);
    if (!shares) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (int t = 0; t < threads; ++t) {
        ThreadShare& s = shares[t];
        if (!s.work.allocate(pop.n, pop.m) || !s.counts.allocate(pop.n) ||
            (ties == TieOrder::random && !s.ties.allocate(pop.n, seed))) {
            PyErr_NoMemory();
            return nullptr;
        }
        _xoshiro_seed(&s.rng, seed);
    }
    return shares;
}

struct NoIdle {
    void operator()() const {}
};

// Runs fn(t) for every t < threads, t = 0 on this thread, and waits for all,
// calling idle() again and again while others still run after fn(0).  Call
// without the interpreter lock.  False when a thread could not be started:
// `stop` is then set, so the threads already running end early.
template <class Fn, class Idle = NoIdle>
bool on_threads(int threads, SharedProgress* shared, Fn&& fn, Idle&& idle = Idle{}) {
    std::atomic<int> running{0};
    constexpr int kLocal = 8;
    std::thread local[kLocal];
    std::unique_ptr<std::thread[]> heap;
    std::thread* workers = local;
    if (threads > kLocal) {
        heap.reset(new (std::nothrow) std::thread[threads]);
        workers = heap.get();
    }
    bool started = workers != nullptr;
    for (int t = 1; t < threads && started; ++t) {
        try {
            running.fetch_add(1, std::memory_order_relaxed);
            workers[t] = std::thread([&fn, &running, t] {
                fn(t);
                running.fetch_sub(1, std::memory_order_release);
            });
        } catch (const std::system_error&) {
            running.fetch_sub(1, std::memory_order_relaxed);
            started = false;
        }
    }
    if (!started) shared->stop.store(true, std::memory_order_relaxed);
    else fn(0);
    while (started && running.load(std::memory_order_acquire) > 0) idle();
    for (int t = 1; t < threads && workers; ++t)
        if (workers[t].joinable()) workers[t].join();
    return started;
}

// The first failure of the call, raised: the pacer's exception (Ctrl-C, the
// report callable) if any, else the first thread's loop error.  A thread
// stops only after one of those.
inline bool check_shares(const ThreadShare* shares, int threads, bool started) {
    if (!started) {
        PyErr_SetString(PyExc_RuntimeError, "could not start a sampling thread");
        return false;
    }
    if (PyErr_Occurred()) return false;
    for (int t = 0; t < threads; ++t) {
        const LoopResult& r = shares[t].result;
        if (r.status != LoopStatus::ok && r.status != LoopStatus::stopped)
            return check_loop_result(r);
    }
    return true;
}

// Every share's counts, summed into `total` (zeroed).
inline void sum_counts(const ThreadShare* shares, int threads, std::int32_t n,
                       const Counts& total) {
    for (int t = 0; t < threads; ++t) {
        const Counts c = shares[t].counts.raw();
        for (std::int32_t i = 0; i < n; ++i) {
            total.win_count[i] += c.win_count[i];
            total.lose_count[i] += c.lose_count[i];
            total.rank_sum[i] += c.rank_sum[i];
        }
    }
}

// Runs share t's samples `range` with its own observer; `pacer` decides
// when to stop.  A failure stops the other threads.
template <class Observer, class Pacer>
void run_share(const OwnedPopulation& pop, int mode_i, int within_mode_i, ThreadShare& s,
               SampleRange range, std::int64_t per_sample, Observer& observer, Pacer&& pacer,
               SharedProgress* shared) {
    if (!s.seek(range.begin, per_sample, shared->stop)) {
        s.result = LoopResult{LoopStatus::stopped, 0};
        return;
    }
    const RatingCall rate = s.work.call(g.rate, mode_i, within_mode_i);
    const double* mu = pop.mu.get();
    const double* sigma = pop.sigma.get();
    s.result = s.ties.active()
                   ? sampling_loop(mu, sigma, pop.n, pop.m, range.begin, range.end, pop.k, rate,
                                   &s.rng, s.counts.raw(), observer, pacer, s.ties.order)
                   : sampling_loop(mu, sigma, pop.n, pop.m, range.begin, range.end, pop.k, rate,
                                   &s.rng, s.counts.raw(), observer, pacer);
    s.next_sample = range.end;
    s.done += range.end - range.begin;
    if (s.result.status != LoopStatus::ok) shared->stop.store(true, std::memory_order_relaxed);
}

// Thread t's run over `range`: the calling thread (t = 0) under the caller's
// pacer, every other under a WorkerPacer; progress counts on from what the
// thread did in earlier runs.
template <class Observer, class Pacer>
void run_thread_share(int t, const OwnedPopulation& pop, int mode_i, int within_mode_i,
                      ThreadShare* shares, SampleRange range, std::int64_t per_sample,
                      Observer& observer, Pacer& pacer, SharedProgress* shared) {
    ThreadShare& s = shares[t];
    if (t == 0) {
        pacer.set_base(s.done);
        run_share(pop, mode_i, within_mode_i, s, range, per_sample, observer, pacer, shared);
    } else {
        run_share(pop, mode_i, within_mode_i, s, range, per_sample, observer,
                  WorkerPacer{shared, t, s.done}, shared);
    }
}

// After the threads: the pacer forgets the shared progress, the scratch goes,
// the first failure is raised (see check_shares), and else every share's
// counts are added into `total` without the lock (memory no Python code
// reaches).  Call with the lock held.
template <class Pacer>
bool finish_shares(ThreadShare* shares, int threads, bool started, Pacer& pacer, std::int32_t n,
                   const Counts& total) {
    pacer.share(nullptr);
    for (int t = 0; t < threads; ++t) shares[t].work.scratch = RatingScratch{};
    if (!check_shares(shares, threads, started)) return false;
    GilRelease nogil;
    sum_counts(shares, threads, n, total);
    return true;
}

}  // namespace kestrovane::mc

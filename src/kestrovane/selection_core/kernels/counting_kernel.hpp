// The counting kernel behind mc_rank_counts: per individual, how often it
// lands among the first k and the last k of the global order, and the sum of
// its positions, over n_samples drawn populations.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numeric/options.hpp"
#include "kestrovane/selection_core/kernels/population.hpp"
#include "kestrovane/selection_core/kernels/rating_work.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

inline PyObject* empty_counts() {
    PyRef win = new_i32(g.c.s_zeros, 0), lose = win ? new_i32(g.c.s_zeros, 0) : PyRef(),
          ranks = lose ? new_i64(g.c.s_zeros, 0) : PyRef();
    if (!ranks) return nullptr;
    return PyTuple_Pack(3, win.get(), lose.get(), ranks.get());
}

// One Monte-Carlo call: the validated population, the rating work set and
// the count arrays, then the sampling loop with the interpreter lock released.
struct MonteCarloCall {
    MemoryMap map;  // every array of the call, claimed for its whole run
    PopulationArrays pop;
    RatingWork work;
    CountArrays counts;

    bool create_arrays() { return work.create(pop.n, pop.m) && counts.create(pop.n); }

    // The rating and count arrays, added to the map (the population is in it).
    void add_arrays() {
        work.add_to(&map);
        counts.add_to(&map);
    }

    // Seeds the generator and runs every sample; false with an error raised.
    template <class Observer>
    bool sample(std::int32_t n_samples, const RankOptions& o, Observer& observer) {
        const RatingCall rate = work.call(o.mode_i, o.within_mode_i);
        Xoshiro256ss rng;
        _xoshiro_seed(&rng, o.seed);
        LoopResult result;
        {
            GilRelease nogil;
            result = sampling_loop(data_of<const double>(pop.mu), data_of<const double>(pop.sigma),
                                   pop.n, pop.m, 0, n_samples, pop.k, rate, &rng, counts.raw(),
                                   observer);
        }
        work.scratch = RatingScratch{};
        return check_loop_result(result);
    }
};

// Returns (win_count, lose_count, rank_sum).
inline PyObject* counting_kernel(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                 const RankOptions& o) {
    MonteCarloCall mc;
    const Prepared st = prepare_population(mu_obj, sigma2_obj, n_samples, o.percentile, &mc.pop, &mc.map);
    if (st != Prepared::ready) return st == Prepared::empty ? empty_counts() : nullptr;
    NoObserver observer;
    if (!mc.create_arrays()) return nullptr;
    mc.add_arrays();
    if (!mc.map.claim() || !mc.work.allocate_scratch(mc.pop.n) ||
        !mc.sample(n_samples, o, observer))
        return nullptr;
    const CountArrays& c = mc.counts;
    return PyTuple_Pack(3, c.win_count.get(), c.lose_count.get(), c.rank_sum.get());
}

}  // namespace kestrovane::mc

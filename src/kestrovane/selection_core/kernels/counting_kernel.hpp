// The counting kernel behind mc_rank_counts: per individual, how often it
// lands among the first k and the last k of the global order, and the sum of
// its positions, over n_samples drawn populations.  The engine samples on
// one thread in its own memory; the counts are copied into np's arrays.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numeric/options.hpp"
#include "kestrovane/selection_core/kernels/numeric/rating_buffers.hpp"
#include "kestrovane/selection_core/kernels/population.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/rating_work.hpp"
#include "kestrovane/selection_core/kernels/threaded_counting.hpp"

namespace kestrovane::mc {

// The count arrays a call returns, from np.zeros.
struct CountArrays {
    NpArray win_count, lose_count, rank_sum;

    bool create(npy_intp n) {
        return (win_count = new_i32(g.c.s_zeros, n)) && (lose_count = new_i32(g.c.s_zeros, n)) &&
               (rank_sum = new_i64(g.c.s_zeros, n));
    }

    // The engine's counts, copied in with the lock held.
    bool fill(const Counts& c) const {
        return win_count.fill(c.win_count) && lose_count.fill(c.lose_count) &&
               rank_sum.fill(c.rank_sum);
    }

    PyObject* tuple() const {
        return PyTuple_Pack(3, win_count.get(), lose_count.get(), rank_sum.get());
    }
};

inline PyObject* empty_counts() {
    CountArrays c;
    return c.create(0) ? c.tuple() : nullptr;
}

// Returns (win_count, lose_count, rank_sum).
inline PyObject* counting_kernel(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                 const RankOptions& o) {
    PopulationArrays pop;
    const Prepared st = prepare_population(mu_obj, sigma2_obj, n_samples, o.percentile, &pop);
    if (st != Prepared::ready) return st == Prepared::empty ? empty_counts() : nullptr;
    RatingWorkArrays work;
    CountArrays counts;
    if (!work.create(pop.owned.n, pop.owned.m) || !counts.create(pop.owned.n)) return nullptr;
    CountBuffers total;
    if (!total.allocate(pop.owned.n)) return PyErr_NoMemory();
    SilentPacer pacer;
    if (!count_samples(pop.owned, n_samples, o, TieOrder::index, 1, pacer, total.raw()) ||
        !counts.fill(total.raw()))
        return nullptr;
    return counts.tuple();
}

}  // namespace kestrovane::mc

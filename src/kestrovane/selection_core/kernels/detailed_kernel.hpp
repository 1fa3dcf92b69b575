// The detailed kernel behind mc_rank_select_detailed: the contract's arrays
// through np, then the engine's detailed sampling on one thread in its own
// memory (counts, place, front and within-front rank into its
// accumulators), then the statistics of detailed_result.hpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/accumulator_arrays.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"
#include "kestrovane/selection_core/kernels/detailed_result.hpp"
#include "kestrovane/selection_core/kernels/numeric/accumulator_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/options.hpp"
#include "kestrovane/selection_core/kernels/numeric/rating_buffers.hpp"
#include "kestrovane/selection_core/kernels/population.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/rating_work.hpp"
#include "kestrovane/selection_core/kernels/threaded_detailed.hpp"

namespace kestrovane::mc {

inline PyObject* detailed_kernel(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                 const DetailedOptions& o) {
    PopulationArrays pop;
    const Prepared st = prepare_population(mu_obj, sigma2_obj, n_samples, o.percentile, &pop);
    if (st != Prepared::ready) return st == Prepared::empty ? empty_detailed_result() : nullptr;
    const std::int32_t n = pop.owned.n;
    RatingWorkArrays work;
    CountArrays counts;
    AccumulatorArrays acc;
    if (!work.create(n, pop.owned.m) || !counts.create(n) ||
        !acc.create(n, n_samples, o.quantiles_mode_i, o.quantiles_budget))
        return nullptr;
    if (!new_i32(g.c.s_empty, n)) return nullptr;  // the contract's front counts
    CountBuffers total;
    AccumulatorBuffers engine;
    if (!total.allocate(n) ||
        !engine.allocate(n, n_samples, o.quantiles_mode_i, o.quantiles_budget))
        return PyErr_NoMemory();
    SilentPacer pacer;
    if (!sample_detailed(pop.owned, n_samples, o, TieOrder::index, 1, pacer, engine.view,
                         total.raw()) ||
        !counts.fill(total.raw()) || !acc.fill(engine))
        return nullptr;
    const DetailedState state{n, n_samples, pop.owned.k, &counts, &acc, &engine.view,
                              QualityWeights{o.quality_w_place, o.quality_w_front,
                                             o.quality_w_within, o.quality_sign}};
    return assemble_detailed_result(state);
}

}  // namespace kestrovane::mc

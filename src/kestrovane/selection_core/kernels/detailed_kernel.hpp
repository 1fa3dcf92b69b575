// The detailed kernel behind mc_rank_select_detailed: the counting loop plus,
// per individual and sample, its place, front and within-front rank fed to
// the metric accumulators (DetailedObserver); then the statistics of
// detailed_result.hpp.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/accumulator_arrays.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"
#include "kestrovane/selection_core/kernels/detailed_result.hpp"
#include "kestrovane/selection_core/kernels/numeric/options.hpp"
#include "kestrovane/selection_core/kernels/population.hpp"
#include "kestrovane/selection_core/kernels/rating_work.hpp"
#include "kestrovane/selection_core/kernels/numeric/detailed_observers.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

inline PyObject* detailed_kernel(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                 const DetailedOptions& o) {
    MonteCarloCall mc;
    const Prepared st =
        prepare_population(mu_obj, sigma2_obj, n_samples, o.percentile, &mc.pop, &mc.map);
    if (st != Prepared::ready) return st == Prepared::empty ? empty_detailed_result() : nullptr;
    const std::int32_t n = mc.pop.n;
    AccumulatorArrays acc;
    if (!mc.create_arrays() || !acc.create(n, n_samples, o.quantiles_mode_i, o.quantiles_budget) ||
        !mc.work.allocate_scratch(n))
        return nullptr;
    PyRef front_counts = new_i32(g.c.s_empty, n);
    if (!front_counts) return nullptr;
    mc.add_arrays();
    acc.add_to(&mc.map);
    mc.map.add("front_counts", front_counts);
    if (!mc.map.claim()) return nullptr;
    // Per-sample place and within-front rank of every individual.
    std::unique_ptr<std::int32_t[]> observed(new (std::nothrow) std::int32_t[2 * std::size_t(n)]);
    if (!observed) return PyErr_NoMemory();
    const std::int64_t* front_id = data_of<const std::int64_t>(mc.work.front_id);
    std::int32_t* counts_of_fronts = data_of<std::int32_t>(front_counts);
    DetailedObserver observer{acc.view, front_id, counts_of_fronts, observed.get(),
                              observed.get() + n};
    if (!mc.sample(n_samples, o, observer)) return nullptr;
    const DetailedState state{n, n_samples, mc.pop.k, &mc.counts, &acc,
                              QualityWeights{o.quality_w_place, o.quality_w_front,
                                             o.quality_w_within, o.quality_sign}};
    return assemble_detailed_result(state);
}

}  // namespace kestrovane::mc

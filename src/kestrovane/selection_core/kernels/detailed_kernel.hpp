// The detailed kernel behind mc_rank_select_detailed: the counting loop plus,
// per individual and sample, its place, front and within-front rank fed to
// the metric accumulators; then the statistics of detailed_result.hpp.
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
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

// Derives place, front and within-front rank at each position of the global
// order.  The front id comes from the outside rating and indexes
// front_counts, so it is checked first.  The observations are recorded after
// the walk, all individuals at once: each individual's accumulators see the
// same values in the same sample order, and the accumulators are visited in
// memory order rather than in the sample's random order.  With a permuting
// tie policy the rating's front ids are by row, so each member's front is
// copied into `front_of` (N entries; unused with IndexTies).
template <class Ties = IndexTies>
struct DetailedObserver {
    MetricAccumulators acc;
    const std::int64_t* front_id;
    std::int32_t* front_counts;
    std::int32_t* place_of;   // N: this sample's place of each individual
    std::int32_t* within_of;  // N: its rank within its front
    std::int64_t* front_of = nullptr;
    std::int32_t n_fronts = 0;
    std::int64_t bad_front = 0;

    void begin_sample(std::int32_t, std::int32_t fronts) {
        n_fronts = fronts;
        std::fill(front_counts, front_counts + fronts, 0);
    }

    bool at_position(std::int32_t, std::int32_t pos, std::int32_t row, std::int32_t idx) {
        const std::int64_t f = front_id[row];
        if (static_cast<std::uint64_t>(f) >= static_cast<std::uint64_t>(n_fronts)) {
            bad_front = f;
            return false;
        }
        place_of[idx] = pos;
        within_of[idx] = front_counts[f]++;
        if constexpr (Ties::kPermutes) front_of[idx] = f;
        return true;
    }

    void end_sample(std::int32_t s) {
        acc.record_sample(s, place_of, Ties::kPermutes ? front_of : front_id, within_of);
        if (s == kP2Warmup - 1 && acc.mode.use_p2) acc.init_p2();
    }

    std::int64_t bad_value() const { return bad_front; }
};

// `Ties`: who wins equal keys (IndexTies for mc_rank_select_detailed, whose
// code it leaves as it was; RandomTies for the public layer).
template <class Ties = IndexTies, class Pacer = NoPacer>
PyObject* detailed_kernel_paced(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                const DetailedOptions& o, Pacer&& pacer = Pacer{}) {
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
    bool sampled;
    if constexpr (Ties::kPermutes) {
        TieRows tie_rows;
        std::unique_ptr<std::int64_t[]> front_of(new (std::nothrow) std::int64_t[n]);
        if (!front_of) return PyErr_NoMemory();
        if (!tie_rows.allocate(n, o.seed)) return nullptr;
        DetailedObserver<Ties> observer{acc.view,       front_id,           counts_of_fronts,
                                        observed.get(), observed.get() + n, front_of.get()};
        sampled = mc.sample(n_samples, o, observer, pacer, tie_rows.order);
    } else {
        DetailedObserver<Ties> observer{acc.view, front_id, counts_of_fronts, observed.get(),
                                        observed.get() + n};
        sampled = mc.sample(n_samples, o, observer, pacer);
    }
    if (!sampled) return nullptr;
    const DetailedState state{n, n_samples, mc.pop.k, &mc.counts, &acc,
                              QualityWeights{o.quality_w_place, o.quality_w_front,
                                             o.quality_w_within, o.quality_sign}};
    return assemble_detailed_result(state);
}

inline PyObject* detailed_kernel(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                 const DetailedOptions& o) {
    return detailed_kernel_paced(mu_obj, sigma2_obj, n_samples, o);
}

}  // namespace kestrovane::mc

// The NumPy arrays behind the metric accumulators, created in a fixed order:
// the six moment arrays, then the buffers, then (P² mode) the estimator
// state: one array for all nine estimators of every individual, in the lane
// layout of metric_accumulators.hpp (callers never see it).
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/memory_map.hpp"
#include "kestrovane/selection_core/kernels/numeric/accumulator_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

struct AccumulatorArrays {
    PyRef mean[kMetrics], M2[kMetrics], buf[kMetrics];
    PyRef p2_state;
    // The raw accumulators over these arrays with the quantile mode chosen,
    // set by create(); the mode is kept nowhere else.
    MetricAccumulators view{};

    bool create(std::int32_t n, std::int32_t n_samples, std::int32_t quantiles_mode_i,
                std::int64_t budget) {
        for (int m = 0; m < kMetrics; ++m)
            if (!(mean[m] = new_f64(g.c.s_zeros, n)) || !(M2[m] = new_f64(g.c.s_zeros, n)))
                return false;
        const QuantileMode mode = choose_quantile_mode(quantiles_mode_i, n_samples, n, budget);
        for (int m = 0; m < kMetrics; ++m)
            if (!(buf[m] = new_f64(g.c.s_empty, mode.s_init, n))) return false;
        if (mode.use_p2 && !create_p2(n)) return false;
        view = make_view(n, mode);
        return true;
    }

    void add_to(MemoryMap* map) const {
        static const char* const moment_names[kMetrics][3] = {
            {"place_mean", "place_M2", "place_buf"},
            {"front_mean", "front_M2", "front_buf"},
            {"within_mean", "within_M2", "within_buf"}};
        for (int m = 0; m < kMetrics; ++m) {
            map->add(moment_names[m][0], mean[m]);
            map->add(moment_names[m][1], M2[m]);
            map->add(moment_names[m][2], buf[m]);
        }
        map->add("p2_state", p2_state);
    }

  private:
    bool create_p2(std::int32_t n) {
        const std::int64_t per_block = kEstimators * kP2SetDoubles;
        p2_state = new_f64(g.c.s_empty, p2_state_doubles(n) / per_block, per_block);
        return static_cast<bool>(p2_state);
    }

    MetricAccumulators make_view(std::int32_t n, QuantileMode mode) const {
        MetricAccumulators a{};
        a.n = n;
        a.mode = mode;
        for (int m = 0; m < kMetrics; ++m) {
            a.mean[m] = data_of<double>(mean[m]);
            a.M2[m] = data_of<double>(M2[m]);
            a.buf[m] = data_of<double>(buf[m]);
        }
        if (mode.use_p2) a.p2 = data_of<double>(p2_state);
        a.lanes = lanes_for_this_call();
        return a;
    }
};

}  // namespace kestrovane::mc

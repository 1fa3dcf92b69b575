// The NumPy arrays behind the metric accumulators, created in a fixed order:
// the six moment arrays, then the buffers, then (P² mode) the estimator rows.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/memory_map.hpp"
#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

struct AccumulatorArrays {
    PyRef mean[kMetrics], M2[kMetrics], buf[kMetrics];
    PyRef q[kMetrics][kQuantiles], npos[kMetrics][kQuantiles], des[kMetrics][kQuantiles];
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
        static const char* const p2_names[kMetrics][3][kQuantiles] = {
            {{"q_place25", "q_place50", "q_place75"},
             {"npos_place25", "npos_place50", "npos_place75"},
             {"des_place25", "des_place50", "des_place75"}},
            {{"q_front25", "q_front50", "q_front75"},
             {"npos_front25", "npos_front50", "npos_front75"},
             {"des_front25", "des_front50", "des_front75"}},
            {{"q_within25", "q_within50", "q_within75"},
             {"npos_within25", "npos_within50", "npos_within75"},
             {"des_within25", "des_within50", "des_within75"}}};
        for (int m = 0; m < kMetrics; ++m) {
            map->add(moment_names[m][0], mean[m]);
            map->add(moment_names[m][1], M2[m]);
            map->add(moment_names[m][2], buf[m]);
            for (int j = 0; j < kQuantiles; ++j) {
                map->add(p2_names[m][0][j], q[m][j]);
                map->add(p2_names[m][1][j], npos[m][j]);
                map->add(p2_names[m][2][j], des[m][j]);
            }
        }
    }

  private:
    bool create_p2(std::int32_t n) {
        for (int m = 0; m < kMetrics; ++m) {
            for (int j = 0; j < kQuantiles; ++j)
                if (!(q[m][j] = new_f64(g.c.s_empty, n, kP2Markers))) return false;
            for (int j = 0; j < kQuantiles; ++j)
                if (!(npos[m][j] = np_new(g.c.s_empty, n, kP2Markers, g.c.s_int32, NPY_INT32)))
                    return false;
            for (int j = 0; j < kQuantiles; ++j)
                if (!(des[m][j] = new_f64(g.c.s_empty, n, kP2Markers))) return false;
        }
        return true;
    }

    MetricAccumulators make_view(std::int32_t n, QuantileMode mode) const {
        MetricAccumulators a{};
        a.n = n;
        a.mode = mode;
        for (int m = 0; m < kMetrics; ++m) {
            a.mean[m] = data_of<double>(mean[m]);
            a.M2[m] = data_of<double>(M2[m]);
            a.buf[m] = data_of<double>(buf[m]);
            if (!mode.use_p2) continue;
            for (int j = 0; j < kQuantiles; ++j)
                a.p2[m][j] = P2Rows{data_of<double>(q[m][j]), data_of<std::int32_t>(npos[m][j]),
                                    data_of<double>(des[m][j])};
        }
        return a;
    }
};

}  // namespace kestrovane::mc

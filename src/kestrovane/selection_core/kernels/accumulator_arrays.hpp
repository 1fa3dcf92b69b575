// The accumulator arrays of the calling contract, made through np in a fixed
// order: the six moment arrays, then the buffers of stored observations,
// then (P² mode) one array for the estimators' state.  The engine
// accumulates in heap blocks of its own (AccumulatorBuffers); what the
// result shows or hands to np.median / np.quantile -- the means, the stored
// observations -- is copied in after sampling.  M2 and the P² state stay as
// np made them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/selection_core/kernels/numeric/accumulator_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

struct AccumulatorArrays {
    NpArray mean[kMetrics], M2[kMetrics], buf[kMetrics];
    NpArray p2_state;
    QuantileMode mode{};

    bool create(std::int32_t n, std::int32_t n_samples, std::int32_t quantiles_mode_i,
                std::int64_t budget) {
        for (int m = 0; m < kMetrics; ++m)
            if (!(mean[m] = new_f64(g.c.s_zeros, n)) || !(M2[m] = new_f64(g.c.s_zeros, n)))
                return false;
        mode = choose_quantile_mode(quantiles_mode_i, n_samples, n, budget);
        for (int m = 0; m < kMetrics; ++m)
            if (!(buf[m] = new_f64(g.c.s_empty, mode.s_init, n))) return false;
        if (!mode.use_p2) return true;
        const std::int64_t per_block = kEstimators * kP2SetDoubles;
        return static_cast<bool>(
            p2_state = new_f64(g.c.s_empty, p2_state_doubles(n) / per_block, per_block));
    }

    // The engine's means and, for the exact quantiles, its stored
    // observations, copied in with the lock held; each metric's observations
    // are freed once copied, so that they are held twice for one metric at
    // most.
    bool fill(AccumulatorBuffers& engine) const {
        for (int m = 0; m < kMetrics; ++m) {
            if (!mean[m].fill(engine.view.mean[m])) return false;
            if (mode.use_p2) continue;
            if (!buf[m].fill(engine.view.buf[m])) return false;
            engine.release_observations(m);
        }
        return true;
    }
};

}  // namespace kestrovane::mc

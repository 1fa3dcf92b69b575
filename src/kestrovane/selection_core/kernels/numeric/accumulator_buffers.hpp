// The metric accumulators' memory in heap blocks of their own: M2, the
// stored observations and the P² state; the means go wherever the caller
// says (the public engine: into its result array), or into a block too
// (_mc_rank, which copies them into np's arrays after sampling).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numeric/rating_buffers.hpp"

namespace kestrovane::mc {

// The estimators' instruction set: the widest this processor runs, unless
// KESTROVANE_P2_LANES names one ("baseline", "avx2", "avx512") -- a knob for
// checking that every build gives the same bits, which they must.  A build
// the processor cannot run falls back to the baseline where the chunks run.
inline LaneIsa lanes_for_this_call() {
    const char* name = std::getenv("KESTROVANE_P2_LANES");
    if (name != nullptr)
        for (LaneIsa isa : {LaneIsa::baseline, LaneIsa::avx2, LaneIsa::avx512})
            if (std::strcmp(name, lane_isa_key(isa)) == 0) return isa;
    return best_lane_isa();
}

struct AccumulatorBuffers {
    std::unique_ptr<double[]> M2, p2_state, means;
    std::unique_ptr<double[]> buf[kMetrics];  // a block per metric: each may go on its own
    MetricAccumulators view{};

    // The same with the means in a block of its own too.
    bool allocate(std::int32_t n, std::int32_t n_samples, std::int32_t quantiles_mode_i,
                  std::int64_t budget) {
        means = heap_block<double>(kMetrics * std::int64_t{n}, true);
        if (!means) return false;
        double* rows[kMetrics];
        for (int m = 0; m < kMetrics; ++m) rows[m] = means.get() + m * std::int64_t{n};
        return allocate(n, n_samples, quantiles_mode_i, budget, rows);
    }

    // `means[m]`: n zeroed doubles per metric, kept by the caller.  False
    // when a block cannot be had.
    bool allocate(std::int32_t n, std::int32_t n_samples, std::int32_t quantiles_mode_i,
                  std::int64_t budget, double* const (&means)[kMetrics]) {
        const QuantileMode mode = choose_quantile_mode(quantiles_mode_i, n_samples, n, budget);
        const std::int64_t cells = std::int64_t{n};
        M2 = heap_block<double>(kMetrics * cells, true);
        bool stored = true;
        for (auto& block : buf) stored = (block = heap_block<double>(cells * mode.s_init)) && stored;
        if (mode.use_p2) p2_state = heap_block<double>(p2_state_doubles(n));
        if (!M2 || !stored || (mode.use_p2 && !p2_state)) return false;
        view = MetricAccumulators{};
        view.n = n;
        view.mode = mode;
        for (int m = 0; m < kMetrics; ++m) {
            view.mean[m] = means[m];
            view.M2[m] = M2.get() + m * cells;
            view.buf[m] = buf[m].get();
        }
        view.p2 = p2_state.get();
        view.lanes = lanes_for_this_call();
        return true;
    }

    // Frees metric m's stored observations, once they are copied elsewhere
    // (the P² estimates and the moments do not need them).
    void release_observations(int m) {
        buf[m].reset();
        view.buf[m] = nullptr;
    }
};

}  // namespace kestrovane::mc

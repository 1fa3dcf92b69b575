// Per-individual statistics of place, front and within-front rank: exact
// running moments (Welford) plus what the quartiles come from, either every
// observation (exact buffers) or three P² estimators per metric, so memory
// per individual stays constant however many samples run.  Plain numeric
// code; the arrays are owned by the caller.
#pragma once

#include <cmath>
#include <cstdint>

#include "kestrovane/selection_core/quantiles/p2_quantile.hpp"

namespace kestrovane::mc {

inline constexpr int kMetrics = 3;    // place, front, within
inline constexpr int kQuantiles = 3;  // 25 %, 50 %, 75 %
inline constexpr double kQuantileP[kQuantiles] = {0.25, 0.5, 0.75};
inline constexpr std::int32_t kP2Warmup = kP2Markers;  // samples buffered before P² starts

struct QuantileMode {
    bool use_p2;
    std::int32_t s_init;  // leading samples kept in the buffers
};

// 0: exact; 1: P² whenever five samples run; other: P² when storing every
// observation would exceed the budget (or the budget is <= 0).
inline QuantileMode choose_quantile_mode(std::int32_t quantiles_mode_i, std::int32_t n_samples,
                                         std::int32_t n, std::int64_t budget) {
    bool use_p2;
    if (quantiles_mode_i == 0) {
        use_p2 = false;
    } else if (quantiles_mode_i == 1) {
        use_p2 = n_samples >= kP2Warmup;
    } else {
        const std::int64_t stored = static_cast<std::int64_t>(n) * n_samples;
        use_p2 = n_samples >= kP2Warmup && (budget <= 0 || stored > budget);
    }
    return QuantileMode{use_p2, use_p2 ? kP2Warmup : n_samples};
}

// One P² estimator set: N rows of kP2Markers slots each.
struct P2Rows {
    double* q;
    std::int32_t* npos;
    double* des;
};

struct MetricAccumulators {
    std::int64_t n;
    QuantileMode mode;
    double* mean[kMetrics];
    double* M2[kMetrics];
    double* buf[kMetrics];               // s_init x N, row = sample
    P2Rows p2[kMetrics][kQuantiles];     // only with use_p2

    // One observation of individual idx in sample s (n_d = s + 1).
    void record(std::int32_t idx, std::int32_t s, double n_d, const double (&x)[kMetrics]) {
        for (int m = 0; m < kMetrics; ++m) {
            const double delta = x[m] - mean[m][idx];
            mean[m][idx] = mean[m][idx] + delta / n_d;
            M2[m][idx] = M2[m][idx] + delta * (x[m] - mean[m][idx]);
        }
        if (s < mode.s_init) {
            const std::int64_t at = static_cast<std::int64_t>(s) * n + idx;
            for (int m = 0; m < kMetrics; ++m) buf[m][at] = x[m];
        } else if (mode.use_p2) {
            for (int m = 0; m < kMetrics; ++m)
                for (int j = 0; j < kQuantiles; ++j) {
                    const P2Rows& r = p2[m][j];
                    const std::int64_t row = static_cast<std::int64_t>(idx) * kP2Markers;
                    _p2_update(r.q + row, r.npos + row, r.des + row, kQuantileP[j], x[m]);
                }
        }
    }

    // Starts every estimator from the five buffered samples.
    void init_p2() {
        for (std::int64_t i = 0; i < n; ++i) init_p2_member(i);
    }

    // Starts individual i's estimators from its five buffered samples.
    void init_p2_member(std::int64_t i) {
        for (int m = 0; m < kMetrics; ++m) {
            double tmp[kP2Warmup];
            for (int s = 0; s < kP2Warmup; ++s) tmp[s] = buf[m][s * n + i];
            _sort5(tmp);
            for (int j = 0; j < kQuantiles; ++j) {
                const P2Rows& r = p2[m][j];
                const std::int64_t row = i * kP2Markers;
                _p2_init(r.q + row, r.npos + row, r.des + row, kQuantileP[j], tmp[0], tmp[1],
                         tmp[2], tmp[3], tmp[4]);
            }
        }
    }
};

// Population standard deviation (divisor n_samples) from the M2 sums.
inline void population_std(const double* M2, double* out, std::int64_t n, std::int32_t n_samples) {
    const double count = static_cast<double>(n_samples);
    for (std::int64_t i = 0; i < n; ++i) out[i] = std::sqrt(M2[i] / count);
}

// The estimate of every P² estimator in a set is its marker height 2.
inline void read_p2_estimates(const P2Rows& rows, double* out, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = rows.q[i * kP2Markers + 2];
}

}  // namespace kestrovane::mc

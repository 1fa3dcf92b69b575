// The detailed result's numbers once sampling has ended: winners and losers
// from the counts, and per metric the standard deviation and the quartiles
// (exact, from the stored observations, or the P² estimates), then the
// quality score.  The means are already in place (the accumulators wrote
// them there).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "kestrovane/selection_core/kernels/numeric/exact_quantiles.hpp"
#include "kestrovane/selection_core/kernels/numeric/member_order.hpp"
#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numeric/quality_score.hpp"
#include "kestrovane/selection_core/kernels/numeric/rating_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

// The statistics of one metric, in this order: rows of the result's
// kMetrics x kStatistics x N array.
enum Statistic : int { kMean, kStd, kMedian, kQ25, kQ75, kStatistics };
inline constexpr const char* kStatisticNames[kStatistics] = {"mean", "std", "median", "q25",
                                                             "q75"};
inline constexpr const char* kMetricNames[kMetrics] = {"place", "front", "within"};

struct DetailedOutput {
    double* stats;          // kMetrics x kStatistics x n
    double* quality;        // n
    std::int64_t* winners;  // k
    std::int64_t* losers;   // k

    double* row(int metric, int statistic, std::int64_t n) const {
        return stats + (std::int64_t{metric} * kStatistics + statistic) * n;
    }
};

// Scratch for detailed_statistics, taken before sampling so that a shortage
// of memory never throws finished work away.
struct StatisticsScratch {
    std::unique_ptr<std::int64_t[]> rows;  // n
    std::unique_ptr<double[]> columns;     // kGathered x stored samples (exact mode)

    bool allocate(std::int64_t n, const QuantileMode& mode) {
        rows = heap_block<std::int64_t>(n);
        columns = heap_block<double>(mode.use_p2 ? 1 : kGathered * mode.s_init);
        return rows && columns;
    }
};

inline void detailed_statistics(const MetricAccumulators& acc, const Counts& counts,
                                std::int32_t n_samples, std::int64_t k,
                                const QualityWeights& weights, const StatisticsScratch& scratch,
                                const DetailedOutput& out) {
    const std::int64_t n = acc.n;
    std::int64_t* rows = scratch.rows.get();
    winner_rows(counts.win_count, counts.rank_sum, n, k, rows);
    std::copy(rows, rows + k, out.winners);
    loser_rows(counts.lose_count, counts.rank_sum, n, k, rows);
    std::copy(rows, rows + k, out.losers);
    for (int m = 0; m < kMetrics; ++m) {
        population_std(acc.M2[m], out.row(m, kStd, n), n, n_samples);
        if (acc.mode.use_p2) {
            read_p2_estimates(acc, m, 0, out.row(m, kQ25, n));
            read_p2_estimates(acc, m, 1, out.row(m, kMedian, n));
            read_p2_estimates(acc, m, 2, out.row(m, kQ75, n));
        } else {
            exact_quartiles(acc.buf[m], acc.mode.s_init, n, out.row(m, kQ25, n),
                            out.row(m, kMedian, n), out.row(m, kQ75, n), scratch.columns.get());
        }
    }
    quality_scores(out.row(0, kMean, n), out.row(1, kMean, n), out.row(2, kMean, n), weights,
                   out.quality, n);
}

}  // namespace kestrovane::mc

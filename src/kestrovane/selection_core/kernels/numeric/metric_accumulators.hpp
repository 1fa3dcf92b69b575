// Per-individual statistics of place, front and within-front rank: exact
// running moments (Welford) plus what the quartiles come from, either every
// observation (exact buffers, n_samples doubles per individual and metric)
// or three P² estimators per metric, whose memory per individual stays
// constant however many samples run.  Plain numeric code; the arrays are
// owned by the caller.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kestrovane/selection_core/quantiles/p2_lanes.hpp"
#include "kestrovane/selection_core/quantiles/p2_lanes_avx2.hpp"
#include "kestrovane/selection_core/quantiles/p2_lanes_avx512.hpp"
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

// Individuals per pass of record_sample: its observations, converted to
// doubles, and its lists of moving markers live on the stack.
inline constexpr std::int32_t kChunk = 8 * kP2Lanes;
inline constexpr int kEstimators = kMetrics * kQuantiles;
inline constexpr std::int32_t kP2Eighths[kQuantiles] = {2, 4, 6};  // 8 p

// Doubles of P² state for n individuals: per block of kP2Lanes individuals
// one lane set per estimator, metric by metric, quantile by quantile.
inline std::int64_t p2_state_doubles(std::int64_t n) {
    return (n + kP2Lanes - 1) / kP2Lanes * kEstimators * kP2SetDoubles;
}

struct MetricAccumulators {
    std::int64_t n;
    QuantileMode mode;
    double* mean[kMetrics];
    double* M2[kMetrics];
    double* buf[kMetrics];  // s_init x N, row = sample
    double* p2;             // p2_state_doubles(n), only with use_p2
    // The instruction set the lane sets go through: the widest that runs
    // here (same bits on every one; tests choose each in turn).
    LaneIsa lanes = best_lane_isa();

    // Lane set of metric m, quantile j for the block holding individual i.
    double* p2_set(std::int64_t i, int m, int j) const {
        return p2 + ((i / kP2Lanes) * kEstimators + m * kQuantiles + j) * kP2SetDoubles;
    }

    // The observations of sample s: place, front and within-front rank of
    // every individual.
    void record_sample(std::int32_t s, const std::int32_t* place, const std::int64_t* front,
                       const std::int32_t* within) {
        record_range(s, place, front, within, 0, n);
    }

    // The same for individuals begin .. end - 1 only; begin is a multiple of
    // kChunk and end one too or n, so that ranges share no lane set and
    // threads may record disjoint ranges side by side.
    void record_range(std::int32_t s, const std::int32_t* place, const std::int64_t* front,
                      const std::int32_t* within, std::int64_t begin, std::int64_t end) {
        const double n_d = static_cast<double>(s) + 1.0;
        double desired[kQuantiles][4] = {};
        if (s >= mode.s_init && mode.use_p2)
            for (int j = 0; j < kQuantiles; ++j)
                for (int i = 1; i <= 3; ++i) desired[j][i] = p2_desired(i, kP2Eighths[j], s + 1);
        for (std::int64_t i0 = begin; i0 < end; i0 += kChunk) {
            const std::int32_t len =
                static_cast<std::int32_t>(std::min<std::int64_t>(kChunk, end - i0));
            double x[kMetrics][kChunk];
            for (std::int32_t t = 0; t < len; ++t) {
                x[0][t] = static_cast<double>(place[i0 + t]);
                x[1][t] = static_cast<double>(front[i0 + t]);
                x[2][t] = static_cast<double>(within[i0 + t]);
            }
            for (int m = 0; m < kMetrics; ++m) {
                // Lanes past the last individual see zeros; nothing reads them.
                for (std::int32_t t = len; t < kChunk; ++t) x[m][t] = 0.0;
                welford(mean[m] + i0, M2[m] + i0, x[m], len, n_d);
            }
            if (s < mode.s_init) {
                for (int m = 0; m < kMetrics; ++m)
                    std::copy(x[m], x[m] + len, buf[m] + static_cast<std::int64_t>(s) * n + i0);
            } else if (mode.use_p2) {
                const std::int32_t blocks = (len + kP2Lanes - 1) / kP2Lanes;
                p2_chunk_on(lanes, p2_set(i0, 0, 0), x, blocks, desired, n_d);
            }
        }
    }

    // Starts every estimator from the five buffered samples.
    void init_p2() { init_p2_range(0, n); }

    // The same for individuals begin .. end - 1 (as in record_range), with
    // the padding lanes of the last block when end is n.
    void init_p2_range(std::int64_t begin, std::int64_t end) {
        const std::int64_t lanes = end == n ? (n + kP2Lanes - 1) / kP2Lanes * kP2Lanes : end;
        for (std::int64_t i = begin; i < lanes; ++i)
            for (int m = 0; m < kMetrics; ++m) {
                double tmp[kP2Warmup] = {};
                if (i < n)
                    for (int s = 0; s < kP2Warmup; ++s) tmp[s] = buf[m][s * n + i];
                _sort5(tmp);
                for (int j = 0; j < kQuantiles; ++j)
                    p2_lane_init(p2_set(i, m, j), static_cast<int>(i % kP2Lanes), tmp);
            }
        for (std::int64_t i = begin; i < lanes; i += kP2Lanes) mirror_if_equal(p2_set(i, 0, 0));
    }

    // Marker height r (0..4) of the estimator of metric m, quantile j of
    // individual i; marker 2 is the estimate.
    double p2_height(std::int64_t i, int m, int j, int r) const {
        return p2_state_of(i, m, j)[p2_q(r) + i % kP2Lanes];
    }

    // Position of marker r (1..3) of the same estimator.
    double p2_position(std::int64_t i, int m, int j, int r) const {
        return p2_state_of(i, m, j)[p2_n(r) + i % kP2Lanes];
    }

  private:
    // At M = 1 the front is the place in every sample (no ties), so a block's
    // front estimators would repeat its place estimators' work bit for bit.
    // While they have seen the same observations, the front lane sets are
    // not updated and carry a mark instead: position 1 of lane 0 of the
    // first front set is 0, which no position can be (the reference keeps
    // npos[1] >= 2).  The place sets stand for them until the streams part.
    static constexpr int kFrontSets = kQuantiles, kWithinSets = 2 * kQuantiles;  // of a block
    static constexpr std::int64_t kMetricDoubles = kQuantiles * kP2SetDoubles;

    static bool front_mirrors_place(const double* block) {
        return block[kFrontSets * kP2SetDoubles + p2_n(1)] == 0.0;
    }

    // After the start: the block's front sets equal its place sets bit for
    // bit exactly when the five first observations were the same.
    static void mirror_if_equal(double* block) {
        double* front = block + kFrontSets * kP2SetDoubles;
        if (std::memcmp(front, block, kMetricDoubles * sizeof(double)) == 0)
            front[p2_n(1)] = 0.0;
    }

    // The sets of metric m, quantile j that hold individual i's estimator.
    const double* p2_state_of(std::int64_t i, int m, int j) const {
        const bool mirrored = m == 1 && front_mirrors_place(p2_set(i, 0, 0));
        return p2_set(i, mirrored ? 0 : m, j);
    }

    static void welford(double* __restrict mean, double* __restrict M2,
                        const double* __restrict x, std::int32_t len, double n_d) {
        for (std::int32_t t = 0; t < len; ++t) {
            const double delta = x[t] - mean[t];
            mean[t] = mean[t] + delta / n_d;
            M2[t] = M2[t] + delta * (x[t] - mean[t]);
        }
    }

    // One observation for every estimator of `blocks` blocks from `base`:
    // cells and marker 1's test for all, then the moves of marker 1, the test
    // and moves of marker 2, then of marker 3 -- each estimator's markers in
    // the reference's order.  Movers are listed per quantile (their desired
    // positions differ), so the move loops do not branch on the data.  A set
    // whose update moves no height (p2_lanes_flat: a constant stream, the
    // within-front rank at M = 1) is updated at once and left out of the
    // rest, as are the front sets of a block that mirrors its place sets.
    template <class Lanes>
    static void p2_chunk(double* base, const double (&x)[kMetrics][kChunk], std::int32_t blocks,
                         const double (&desired)[kQuantiles][4], double count) {
        // One set's room past the end: a wide list stores eight entries.
        constexpr int kCap = (kChunk / kP2Lanes * kMetrics + 1) * kP2Lanes;
        std::int32_t moving[kQuantiles][kCap];
        std::int32_t size[kQuantiles] = {};
        unsigned apart[kChunk / kP2Lanes];  // bit e: set e of the block is done
        for (std::int32_t b = 0; b < blocks; ++b) {
            double* block = base + b * kEstimators * kP2SetDoubles;
            // One test per block: the mirror's mark, or the top height of the
            // first within-front set at this observation (a flat candidate).
            const bool candidate = front_mirrors_place(block) ||
                                   block[kWithinSets * kP2SetDoubles + p2_q(4)] == x[2][b * kP2Lanes];
            apart[b] = candidate ? set_apart<Lanes>(block, x, b, desired, count) : 0;
            for (int m = 0; m < kMetrics; ++m)
                for (int j = 0; j < kQuantiles; ++j) {
                    const int e = m * kQuantiles + j;
                    if (apart[b] && (apart[b] >> e & 1u)) continue;
                    double* set = block + e * kP2SetDoubles;
                    Lanes::list(moving[j], &size[j], set - base,
                                Lanes::observe(set, x[m] + b * kP2Lanes, desired[j][1]));
                }
        }
        move<Lanes, 1>(base, moving, size, desired, count);
        test_and_move<Lanes, 2>(base, blocks, apart, moving, size, desired, count);
        test_and_move<Lanes, 3>(base, blocks, apart, moving, size, desired, count);
    }

    // p2_chunk compiled once per instruction set, with everything it calls
    // inlined into it (flatten) so that all of it gets the target.
#ifdef KESTROVANE_X86_SIMD
    KESTROVANE_TARGET_AVX512 __attribute__((flatten)) static void p2_chunk_avx512(
        double* base, const double (&x)[kMetrics][kChunk], std::int32_t blocks,
        const double (&desired)[kQuantiles][4], double count) {
        p2_chunk<P2LanesAvx512>(base, x, blocks, desired, count);
    }
    KESTROVANE_TARGET_AVX2 __attribute__((flatten)) static void p2_chunk_avx2(
        double* base, const double (&x)[kMetrics][kChunk], std::int32_t blocks,
        const double (&desired)[kQuantiles][4], double count) {
        p2_chunk<P2LanesAvx2>(base, x, blocks, desired, count);
    }
#endif

    static void p2_chunk_on(LaneIsa isa, double* base, const double (&x)[kMetrics][kChunk],
                            std::int32_t blocks, const double (&desired)[kQuantiles][4],
                            double count) {
#ifdef KESTROVANE_X86_SIMD
        // A set the processor lacks runs as the baseline, whatever asked for
        // it (the check reads a cached flag).
        if (isa == LaneIsa::avx512 && lane_isa_available(isa))
            return p2_chunk_avx512(base, x, blocks, desired, count);
        if (isa == LaneIsa::avx2 && lane_isa_available(isa))
            return p2_chunk_avx2(base, x, blocks, desired, count);
#endif
        (void)isa;
        p2_chunk<P2LanesBaseline>(base, x, blocks, desired, count);
    }

    // Updates the sets of block b that need no list (flat sets, and front
    // sets mirroring the place sets, which are not updated at all) and
    // returns them as bits; ends a mirror whose streams part this sample.
    template <class Lanes>
    static unsigned set_apart(double* block, const double (&x)[kMetrics][kChunk], std::int32_t b,
                              const double (&desired)[kQuantiles][4], double count) {
        unsigned apart = 0;
        if (front_mirrors_place(block)) {
            if (same_observations(x[0] + b * kP2Lanes, x[1] + b * kP2Lanes))
                apart = ((1u << kQuantiles) - 1) << kFrontSets;
            else
                std::memcpy(block + kFrontSets * kP2SetDoubles, block,
                            kMetricDoubles * sizeof(double));
        }
        for (int e = 0; e < kEstimators; ++e) {
            if (apart >> e & 1u) continue;
            double* set = block + e * kP2SetDoubles;
            if (!Lanes::flat(set, x[e / kQuantiles] + b * kP2Lanes)) continue;
            Lanes::flat_update(set, desired[e % kQuantiles], count);
            apart |= 1u << e;
        }
        return apart;
    }

    // The eight observations of one block are the same in both metrics (they
    // are converted integers: equal values have equal bits).
    static bool same_observations(const double* a, const double* b) {
        bool same = true;
        for (int l = 0; l < kP2Lanes; ++l) same &= a[l] == b[l];
        return same;
    }

    template <class Lanes, int I, int Cap>
    static void move(double* base, std::int32_t (&moving)[kQuantiles][Cap],
                     std::int32_t (&size)[kQuantiles], const double (&desired)[kQuantiles][4],
                     double count) {
        for (int j = 0; j < kQuantiles; ++j) {
            Lanes::template move<I>(base, moving[j], size[j], desired[j][I], count);
            size[j] = 0;
        }
    }

    template <class Lanes, int I, int Cap>
    static void test_and_move(double* base, std::int32_t blocks,
                              const unsigned (&apart)[kChunk / kP2Lanes],
                              std::int32_t (&moving)[kQuantiles][Cap],
                              std::int32_t (&size)[kQuantiles],
                              const double (&desired)[kQuantiles][4], double count) {
        for (std::int32_t b = 0; b < blocks; ++b)
            for (int m = 0; m < kMetrics; ++m)
                for (int j = 0; j < kQuantiles; ++j) {
                    if (apart[b] && (apart[b] >> (m * kQuantiles + j) & 1u)) continue;
                    double* set = base + (b * kEstimators + m * kQuantiles + j) * kP2SetDoubles;
                    Lanes::list(moving[j], &size[j], set - base,
                                Lanes::template test<I>(set, desired[j][I], count));
                }
        move<Lanes, I>(base, moving, size, desired, count);
    }
};

// Population standard deviation (divisor n_samples) from the M2 sums.
inline void population_std(const double* M2, double* out, std::int64_t n, std::int32_t n_samples) {
    const double count = static_cast<double>(n_samples);
    for (std::int64_t i = 0; i < n; ++i) out[i] = std::sqrt(M2[i] / count);
}

// The estimates of metric m, quantile j: every individual's marker 2.
inline void read_p2_estimates(const MetricAccumulators& acc, int m, int j, double* out) {
    for (std::int64_t i = 0; i < acc.n; ++i) out[i] = acc.p2_height(i, m, j, 2);
}

}  // namespace kestrovane::mc

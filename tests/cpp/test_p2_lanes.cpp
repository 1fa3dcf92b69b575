// The detailed kernel's accumulators (estimators side by side, moments over
// whole samples) against the readable reference: _p2_init/_p2_update per
// estimator and the Welford steps, bit for bit, on adversarial streams --
// with the baseline lane operations and with each wider instruction set the
// processor has (AVX2, AVX-512).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/quantiles/p2_lanes_avx2.hpp"
#include "kestrovane/selection_core/quantiles/p2_lanes_avx512.hpp"
#include "kestrovane/selection_core/quantiles/p2_quantile.hpp"

namespace {

using namespace kestrovane;
using namespace kestrovane::mc;

// x(s, i, m): observation of metric m of individual i in sample s.  Front
// ids are int64 and the others int32 in the kernel, so streams are integers.
using Stream = std::int64_t (*)(std::int32_t s, std::int32_t i, int m, std::mt19937_64& gen);

struct Reference {
    double q[kP2Markers];
    std::int32_t npos[kP2Markers];
    double ndes[kP2Markers];
};

// Runs both on n individuals for `samples` samples; returns the number of
// differing values (heights, positions, desired positions, moments).
long compare(std::int32_t n, std::int32_t samples, Stream stream, std::uint64_t seed, LaneIsa lanes) {
    std::mt19937_64 gen(seed);
    std::vector<double> mean(kMetrics * n, 0.0), M2(kMetrics * n, 0.0),
        buf(kMetrics * kP2Warmup * std::size_t(n)), state(p2_state_doubles(n));
    MetricAccumulators acc{};
    acc.n = n;
    acc.mode = choose_quantile_mode(1, samples, n, 0);
    for (int m = 0; m < kMetrics; ++m) {
        acc.mean[m] = &mean[m * std::size_t(n)];
        acc.M2[m] = &M2[m * std::size_t(n)];
        acc.buf[m] = &buf[m * kP2Warmup * std::size_t(n)];
    }
    acc.p2 = state.data();
    acc.lanes = lanes;

    std::vector<Reference> ref(std::size_t(n) * kEstimators);
    std::vector<double> rmean(kMetrics * n, 0.0), rM2(kMetrics * n, 0.0);
    std::vector<double> first(std::size_t(n) * kMetrics * kP2Warmup);
    std::vector<std::int32_t> place(n), within(n);
    std::vector<std::int64_t> front(n);
    for (std::int32_t s = 0; s < samples; ++s) {
        for (std::int32_t i = 0; i < n; ++i) {
            place[i] = static_cast<std::int32_t>(stream(s, i, 0, gen));
            front[i] = stream(s, i, 1, gen);
            within[i] = static_cast<std::int32_t>(stream(s, i, 2, gen));
        }
        acc.record_sample(s, place.data(), front.data(), within.data());
        if (s == kP2Warmup - 1) acc.init_p2();

        const double n_d = s + 1.0;
        for (std::int32_t i = 0; i < n; ++i) {
            const double x[kMetrics] = {double(place[i]), double(front[i]), double(within[i])};
            for (int m = 0; m < kMetrics; ++m) {
                double& mu = rmean[m * std::size_t(n) + i];
                const double delta = x[m] - mu;
                mu = mu + delta / n_d;
                rM2[m * std::size_t(n) + i] = rM2[m * std::size_t(n) + i] + delta * (x[m] - mu);
                if (s < kP2Warmup) {
                    first[(std::size_t(i) * kMetrics + m) * kP2Warmup + s] = x[m];
                    continue;
                }
                for (int j = 0; j < kQuantiles; ++j) {
                    Reference& r = ref[std::size_t(i) * kEstimators + m * kQuantiles + j];
                    _p2_update(r.q, r.npos, r.ndes, kQuantileP[j], x[m]);
                }
            }
            if (s != kP2Warmup - 1) continue;
            for (int m = 0; m < kMetrics; ++m) {
                double* t = &first[(std::size_t(i) * kMetrics + m) * kP2Warmup];
                _sort5(t);
                for (int j = 0; j < kQuantiles; ++j) {
                    Reference& r = ref[std::size_t(i) * kEstimators + m * kQuantiles + j];
                    _p2_init(r.q, r.npos, r.ndes, kQuantileP[j], t[0], t[1], t[2], t[3], t[4]);
                }
            }
        }
    }

    long bad = 0;
    for (std::int32_t i = 0; i < n; ++i)
        for (int m = 0; m < kMetrics; ++m) {
            const std::size_t at = m * std::size_t(n) + i;
            bad += kcheck::bits_of(mean[at]) != kcheck::bits_of(rmean[at]);
            bad += kcheck::bits_of(M2[at]) != kcheck::bits_of(rM2[at]);
            for (int j = 0; j < kQuantiles; ++j) {
                const Reference& r = ref[std::size_t(i) * kEstimators + m * kQuantiles + j];
                for (int k = 0; k < kP2Markers; ++k)
                    bad += kcheck::bits_of(acc.p2_height(i, m, j, k)) != kcheck::bits_of(r.q[k]);
                bad += r.npos[0] != 1 || r.npos[4] != samples;
                for (int k = 1; k <= 3; ++k)
                    bad += acc.p2_position(i, m, j, k) != static_cast<double>(r.npos[k]);
                for (int k = 1; k <= 4; ++k)
                    bad += p2_desired(k, kP2Eighths[j], samples) != r.ndes[k];
            }
        }
    return bad;
}

std::int64_t uniform(std::int64_t hi, std::mt19937_64& gen) {
    return std::uniform_int_distribution<std::int64_t>(0, hi)(gen);
}

// Random places, few fronts, small within ranks: what the kernel sees.
std::int64_t typical(std::int32_t, std::int32_t, int m, std::mt19937_64& gen) {
    return uniform(m == 0 ? 999 : m == 1 ? 4 : 2, gen);
}
// One value for ever, per individual and metric.
std::int64_t constant(std::int32_t, std::int32_t i, int m, std::mt19937_64&) {
    return (i * 7 + m) % 5;
}
// Runs of equal values of random length and level.
std::int64_t runs(std::int32_t s, std::int32_t i, int m, std::mt19937_64& gen) {
    const std::int64_t level = (s / (3 + (i + m) % 17)) * 13 % 7;
    return uniform(9, gen) == 0 ? uniform(6, gen) : level;
}
std::int64_t ascending(std::int32_t s, std::int32_t i, int m, std::mt19937_64&) {
    return s * (m + 1) + i;
}
std::int64_t descending(std::int32_t s, std::int32_t i, int m, std::mt19937_64&) {
    return 100000 - s * (m + 1) - i;
}
// Two values only, and large values whose differences lose bits.
std::int64_t binary(std::int32_t, std::int32_t, int, std::mt19937_64& gen) {
    return uniform(1, gen);
}
std::int64_t wide(std::int32_t, std::int32_t, int m, std::mt19937_64& gen) {
    return m == 1 ? std::int64_t(1) << 60 | uniform(1 << 20, gen) : uniform(2000000000, gen);
}
// As at M = 1: the front equals the place and the within-front rank is 0,
// until a tie (from a sample that depends on the individual, first in a
// middle lane of each set) parts them.
std::int64_t one_objective(std::int32_t s, std::int32_t i, int m, std::mt19937_64&) {
    const std::int64_t place = (s * 7919 + i * 104729) % 211;
    if (m == 2) return s > 150 + 2 * i ? place % 2 : 0;
    return m == 1 && s > 100 + 3 * ((i * 5 + 3) % 8) + i / 8 ? place / 2 : place;
}
// Different kinds in neighbouring lanes of one set.
std::int64_t mixed(std::int32_t s, std::int32_t i, int m, std::mt19937_64& gen) {
    static const Stream kinds[] = {typical, constant, runs, ascending, descending, binary, one_objective};
    return kinds[(i + m) % 7](s, i, m, gen);
}

// The lane operations to test: the baseline and what else runs here.
std::vector<LaneIsa> lane_paths() {
    std::vector<LaneIsa> paths;
    for (LaneIsa isa : {LaneIsa::baseline, LaneIsa::avx2, LaneIsa::avx512}) {
        if (lane_isa_available(isa))
            paths.push_back(isa);
        else
            std::fprintf(stderr, "  (no %s here: its lanes are not tested)\n", lane_isa_key(isa));
    }
    return paths;
}

void test_streams_match_reference() {
    struct Case {
        const char* name;
        Stream stream;
    };
    const Case cases[] = {{"typical", typical},     {"constant", constant},
                          {"runs", runs},           {"ascending", ascending},
                          {"descending", descending}, {"binary", binary},
                          {"wide", wide},           {"mixed", mixed},
                          {"one objective", one_objective}};
    // N = 1, one short block, a full chunk and a ragged one; 5 samples only
    // start the estimators, 6 updates once.
    for (const LaneIsa lanes : lane_paths())
        for (const Case& c : cases)
            for (std::int32_t n : {1, 13, 32, 77, 200})
                for (std::int32_t samples : {5, 6, 400}) {
                    const long bad = compare(n, samples, c.stream, 17 + n * 31 + samples, lanes);
                    CHECK_EQ(bad, 0L);
                    if (bad)
                        std::fprintf(stderr, "  stream %s, N=%d, %d samples, %s lanes\n", c.name, n,
                                     samples, lane_isa_key(lanes));
                }
}

void test_long_stream_matches_reference() {
    for (const LaneIsa lanes : lane_paths()) CHECK_EQ(compare(24, 20000, mixed, 99, lanes), 0L);
}

void test_desired_positions() {
    // The reference's start values and first steps, and a count past 2^24
    // where a float would already have lost the eighths.
    for (int j = 0; j < kQuantiles; ++j) {
        const double p = kQuantileP[j];
        double q[5] = {1, 2, 3, 4, 5}, ndes[5];
        std::int32_t npos[5];
        _p2_init(q, npos, ndes, p, 1, 2, 3, 4, 5);
        for (int k = 1; k <= 4; ++k) CHECK_EQ(p2_desired(k, kP2Eighths[j], 5), ndes[k]);
        for (std::int64_t n = 6; n <= 200; ++n) {
            _p2_update(q, npos, ndes, p, static_cast<double>(n % 7));
            for (int k = 1; k <= 4; ++k) CHECK_EQ(p2_desired(k, kP2Eighths[j], n), ndes[k]);
        }
    }
    CHECK_EQ(p2_desired(1, 2, 5 + (std::int64_t(1) << 25)), 1.5 + 0.125 * (1 << 25));
    CHECK_EQ(p2_desired(3, 6, 5 + (std::int64_t(1) << 25)), 4.5 + 0.875 * (1 << 25));
}

// The flat update (heights kept, positions moved) against the reference on
// values the kernel never feeds but the lanes must not misjudge: -0.0 next
// to +0.0, infinities, NaN, and constant runs that end.  Each step a set
// that p2_lanes_flat accepts takes p2_lanes_flat_update; any other lane is
// stepped by the reference, so a wrong acceptance shows as differing bits.
template <class Lanes>
void flat_sets_match_reference() {
    const double inf = INFINITY, nan = NAN;
    // Lane l's value at step s (the first five start the estimators).
    const auto value = [&](int lane, int s) -> double {
        switch (lane) {
            case 0: return 0.0;                       // +0.0 for ever: flat
            case 1: return s < 5 ? 0.0 : -0.0;        // -0.0 on +0.0 heights
            case 2: return -0.0;                      // -0.0 heights: never flat
            case 3: return inf;                       // inf - inf is NaN
            case 4: return s < 100 ? 7.5 : 2.0;        // a constant run that ends
            case 5: return s == 60 ? nan : 1e300;     // one NaN in a flat run
            case 6: return s == 80 ? 1.0 : 0x1p60;    // a low value in a long run
            default: return s % 2 ? 0.0 : -0.0;       // alternating zeros
        }
    };
    for (int only = -1; only < kP2Lanes; ++only) {
        for (int j = 0; j < kQuantiles; ++j) {
            double set[kP2SetDoubles] = {};
            Reference ref[kP2Lanes];
            // Lane `only` alone varies; the others repeat lane 0 (so that every
            // lane kind gets a set that can be flat as a whole), or all vary.
            const auto x_of = [&](int l, int s) { return value(only < 0 || l == only ? l : 0, s); };
            for (int l = 0; l < kP2Lanes; ++l) {
                double first[kP2Markers];
                for (int s = 0; s < kP2Markers; ++s) first[s] = x_of(l, s);
                _sort5(first);
                p2_lane_init(set, l, first);
                _p2_init(ref[l].q, ref[l].npos, ref[l].ndes, kQuantileP[j], first[0], first[1],
                         first[2], first[3], first[4]);
            }
            long bad = 0, flat_steps = 0;
            for (int s = kP2Markers; s < 200; ++s) {
                double x[kP2Lanes], desired[4] = {};
                for (int l = 0; l < kP2Lanes; ++l) x[l] = x_of(l, s);
                for (int i = 1; i <= 3; ++i) desired[i] = p2_desired(i, kP2Eighths[j], s + 1);
                const bool flat = Lanes::flat(set, x);
                flat_steps += flat;
                if (flat) Lanes::flat_update(set, desired, s + 1.0);
                for (int l = 0; l < kP2Lanes; ++l) {
                    Reference& r = ref[l];
                    _p2_update(r.q, r.npos, r.ndes, kQuantileP[j], x[l]);
                    if (flat) continue;
                    for (int k = 0; k < kP2Markers; ++k) set[p2_q(k) + l] = r.q[k];
                    for (int k = 1; k <= 3; ++k) set[p2_n(k) + l] = r.npos[k];
                }
                for (int l = 0; l < kP2Lanes; ++l) {
                    for (int k = 0; k < kP2Markers; ++k)
                        bad += kcheck::bits_of(set[p2_q(k) + l]) != kcheck::bits_of(ref[l].q[k]);
                    for (int k = 1; k <= 3; ++k) bad += set[p2_n(k) + l] != ref[l].npos[k];
                }
            }
            CHECK_EQ(bad, 0L);
            // Sets of +0.0 and of long runs are flat for a good part of the
            // stream (a run until its first other value); -0.0 and inf never.
            const bool can_be_flat = only == 0 || only == 4 || only == 5 || only == 6;
            if (only >= 0) CHECK_EQ(flat_steps > 50, can_be_flat);
        }
    }
}

void test_flat_sets_match_reference() {
    flat_sets_match_reference<P2LanesBaseline>();
#ifdef KESTROVANE_X86_SIMD
    if (lane_isa_available(LaneIsa::avx2)) flat_sets_match_reference<P2LanesAvx2>();
    if (lane_isa_available(LaneIsa::avx512)) flat_sets_match_reference<P2LanesAvx512>();
#endif
}

}  // namespace

int main() {
    RUN(test_streams_match_reference);
    RUN(test_long_stream_matches_reference);
    RUN(test_flat_sets_match_reference);
    RUN(test_desired_positions);
    return kcheck::finish();
}

// The detailed kernel's accumulators alone, on observation streams recorded
// from real samples: time per member and sample for every build of the lane
// operations this processor runs, and how often the reference estimator
// moves a marker on the same streams.
//
//   accumulators FILE N SAMPLES ROUNDS
//
// FILE holds SAMPLES x 3 x N int32 (place, front, within of every member, per
// sample).  Prints one JSON object.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/quantiles/p2_quantile.hpp"

using namespace kestrovane;
using namespace kestrovane::mc;

namespace {

struct Streams {
    std::int32_t n, samples;
    std::vector<std::int32_t> obs;    // sample, metric, member
    std::vector<std::int64_t> front;  // the front ids as the kernel holds them

    const std::int32_t* at(std::int32_t s, int m) const {
        return &obs[(static_cast<std::size_t>(s) * kMetrics + m) * n];
    }
};

// Seconds per run of the accumulators over every sample (best of `rounds`).
double time_build(const Streams& st, LaneIsa lanes, int rounds) {
    const std::size_t n = st.n;
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> mean(kMetrics * n), M2(kMetrics * n), buf(kMetrics * kP2Warmup * n),
            state(p2_state_doubles(st.n));
        MetricAccumulators acc{};
        acc.n = st.n;
        acc.mode = QuantileMode{true, kP2Warmup};
        for (int m = 0; m < kMetrics; ++m) {
            acc.mean[m] = &mean[m * n];
            acc.M2[m] = &M2[m * n];
            acc.buf[m] = &buf[m * kP2Warmup * n];
        }
        acc.p2 = state.data();
        acc.lanes = lanes;
        const auto start = std::chrono::steady_clock::now();
        for (std::int32_t s = 0; s < st.samples; ++s) {
            acc.record_sample(s, st.at(s, 0), &st.front[s * n], st.at(s, 2));
            if (s == kP2Warmup - 1) acc.init_p2();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// Marker moves per estimator update of the reference, and the share of
// updates that move any marker, for metric m over every member.
void count_moves(const Streams& st, int m, double* per_update) {
    long long moves = 0, updates = 0;
    for (std::int32_t i = 0; i < st.n; ++i)
        for (int j = 0; j < kQuantiles; ++j) {
            double q[kP2Markers], ndes[kP2Markers], first[kP2Warmup];
            std::int32_t npos[kP2Markers];
            for (int s = 0; s < kP2Warmup; ++s) first[s] = st.at(s, m)[i];
            _sort5(first);
            _p2_init(q, npos, ndes, kQuantileP[j], first[0], first[1], first[2], first[3], first[4]);
            for (std::int32_t s = kP2Warmup; s < st.samples; ++s) {
                std::int32_t before[kP2Markers];
                double heights[kP2Markers];
                std::copy(npos, npos + kP2Markers, before);
                std::copy(q, q + kP2Markers, heights);
                const double x = st.at(s, m)[i];
                _p2_update(q, npos, ndes, kQuantileP[j], x);
                // A marker's position grows by one when the observation falls
                // below it; any other change is a move.
                const bool below = x < heights[0], top = !below && x >= heights[4];
                for (int r = 1; r <= 3; ++r) {
                    const int grows = below ? 1 : top ? 0 : x < heights[r] ? 1 : 0;
                    moves += npos[r] - before[r] != grows ? 1 : 0;
                }
                ++updates;
            }
        }
    *per_update = updates ? static_cast<double>(moves) / updates : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s FILE N SAMPLES ROUNDS\n", argv[0]);
        return 2;
    }
    Streams st{std::atoi(argv[2]), std::atoi(argv[3]), {}, {}};
    const int rounds = std::atoi(argv[4]);
    st.obs.resize(static_cast<std::size_t>(st.samples) * kMetrics * st.n);
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f || std::fread(st.obs.data(), sizeof(std::int32_t), st.obs.size(), f) != st.obs.size()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::fclose(f);
    st.front.resize(static_cast<std::size_t>(st.samples) * st.n);
    for (std::int32_t s = 0; s < st.samples; ++s)
        std::copy(st.at(s, 1), st.at(s, 1) + st.n, &st.front[static_cast<std::size_t>(s) * st.n]);

    std::printf("{\"ns_per_member\": {");
    bool first = true;
    for (LaneIsa isa : {LaneIsa::baseline, LaneIsa::avx2, LaneIsa::avx512}) {
        if (!lane_isa_available(isa)) continue;
        const double secs = time_build(st, isa, rounds);
        std::printf("%s\"%s\": %.4f", first ? "" : ", ", lane_isa_key(isa),
                    secs * 1e9 / (static_cast<double>(st.samples) * st.n));
        first = false;
    }
    std::printf("}, \"moves_per_update\": [");
    for (int m = 0; m < kMetrics; ++m) {
        double per_update = 0;
        count_moves(st, m, &per_update);
        std::printf("%s%.4f", m ? ", " : "", per_update);
    }
    std::printf("]}\n");
    return 0;
}

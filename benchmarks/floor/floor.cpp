// The hardware floor of one Monte-Carlo sample: what no correct ranking of a
// freshly drawn population can skip.  Per sample it draws N*M normal
// deviates with the package's own generator (xoshiro256** + Box-Muller, the
// same header the kernels include) and sorts each objective's N values once
// with std::sort -- no dominance test, no crowding, no counting.
//
// Deviates are written objective-major so every column is contiguous and is
// sorted in place; the draw order (row by row, objective innermost) and the
// arithmetic (mu + sd * z) are those of the kernels' sampling loop.  Every
// sample sorts fresh data, so branch predictors cannot learn the input.
//
//   floor N M n_samples [seed]     prints the time per sample in microseconds
//
// Built as a program and, from the same source with -DFLOOR_NO_MAIN, as a
// shared library whose floor_run() the Python suite calls in-process so the
// floor can alternate with the other implementations.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kestrovane/selection_core/random/xoshiro256ss.hpp"

namespace {

volatile double g_sink = 0.0;

}  // namespace

// Runs n_samples samples of an n x m population and returns the elapsed
// seconds (set-up excluded).  mu and sd may be null: then mu ~ Normal(0, 1)
// and sd = 0.3, drawn from the seed.
extern "C" double floor_run(std::int32_t n, std::int32_t m, std::int32_t n_samples,
                            std::uint64_t seed, const double* mu_in, const double* sd_in) {
    using kestrovane::Xoshiro256ss;
    const std::int64_t cells = static_cast<std::int64_t>(n) * m;
    std::vector<double> mu(cells), sd(cells), cols(cells);
    Xoshiro256ss rng;
    kestrovane::_xoshiro_seed(&rng, seed);
    for (std::int64_t c = 0; c < cells; ++c) {
        mu[c] = mu_in ? mu_in[c] : kestrovane::_xoshiro_randn(&rng);
        sd[c] = sd_in ? sd_in[c] : 0.3;
    }
    double sink = 0.0;
    const auto start = std::chrono::steady_clock::now();
    for (std::int32_t s = 0; s < n_samples; ++s) {
        // Draw: cell (i, k) of the row-major population goes to column k.
        for (std::int32_t i = 0; i < n; ++i) {
            const double* mu_row = mu.data() + static_cast<std::int64_t>(i) * m;
            const double* sd_row = sd.data() + static_cast<std::int64_t>(i) * m;
            for (std::int32_t k = 0; k < m; ++k) {
                const double d = sd_row[k];
                cols[static_cast<std::int64_t>(k) * n + i] =
                    d == 0.0 ? mu_row[k] : mu_row[k] + d * kestrovane::_xoshiro_randn(&rng);
            }
        }
        // One sort of N keys per objective.
        for (std::int32_t k = 0; k < m; ++k) {
            double* col = cols.data() + static_cast<std::int64_t>(k) * n;
            std::sort(col, col + n);
            sink += col[0];
        }
    }
    const auto stop = std::chrono::steady_clock::now();
    g_sink = g_sink + sink;
    return std::chrono::duration<double>(stop - start).count();
}

#ifndef FLOOR_NO_MAIN
int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s N M n_samples [seed]\n", argv[0]);
        return 2;
    }
    const long n = std::strtol(argv[1], nullptr, 10);
    const long m = std::strtol(argv[2], nullptr, 10);
    const long samples = std::strtol(argv[3], nullptr, 10);
    const unsigned long long seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    if (n < 1 || m < 1 || samples < 1 || n > INT32_MAX || m > INT32_MAX || samples > INT32_MAX) {
        std::fprintf(stderr, "N, M and n_samples must be positive 32-bit integers\n");
        return 2;
    }
    const double seconds = floor_run(static_cast<std::int32_t>(n), static_cast<std::int32_t>(m),
                                     static_cast<std::int32_t>(samples), seed, nullptr, nullptr);
    std::printf("N=%ld M=%ld n_samples=%ld us_per_sample=%.4f\n", n, m, samples,
                seconds / static_cast<double>(samples) * 1e6);
    return 0;
}
#endif

// The population the engine samples from, in memory of its own: the means
// and the standard deviations, and k, the winners (and losers) per sample.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "kestrovane/selection_core/kernels/numeric/rating_buffers.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

// max(1, ceil(n * percentile)), at most n; the product is taken in double
// precision, as the low-level kernels take it (0 < percentile <= 1).
inline std::int32_t winner_count(std::int32_t n, double percentile) {
    const double up = std::ceil(static_cast<double>(n) * percentile);
    if (!(up >= 1.0)) return n < 1 ? n : 1;
    return up >= static_cast<double>(n) ? n : static_cast<std::int32_t>(up);
}

struct OwnedPopulation {
    std::unique_ptr<double[]> mu, sigma;  // n x m each
    std::int32_t n = 0, m = 0, k = 0;

    // Copies the means, derives the deviations, keeps `winners` as k; false
    // when memory is short.
    bool take(const double* means, const double* variances, std::int32_t rows,
              std::int32_t cols, std::int32_t winners) {
        const std::int64_t cells = std::int64_t{rows} * cols;
        mu = heap_block<double>(cells);
        sigma = heap_block<double>(cells);
        if (!mu || !sigma) return false;
        if (cells > 0) std::memcpy(mu.get(), means, static_cast<std::size_t>(cells) * sizeof(double));
        fill_sigma(variances, sigma.get(), cells);
        n = rows;
        m = cols;
        k = winners;
        return true;
    }
};

}  // namespace kestrovane::mc

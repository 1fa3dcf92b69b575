// Medians and quartiles of stored observations with NumPy's arithmetic, so
// that they equal np.median(buf, axis=0) and np.quantile(buf, q, axis=0)
// (linear interpolation) bit for bit: the same order statistics, combined by
// the same operations in the same order.  Equal values of either sign (+0
// and -0) at a chosen position may come out as either, as NumPy's partition
// leaves it open too; the kernels' observations are never -0.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrovane::mc {

// The value of rank r (0-based) among v[0 .. count-1], which is reordered so
// that nothing after r is smaller.
inline double rank_value(double* v, std::int64_t count, std::int64_t r) {
    std::nth_element(v, v + r, v + count);
    return v[r];
}

// np.median of v[0 .. count-1] (count >= 1, no NaN): the mean of the middle
// value or of the two middle values, as np.mean takes it: a sum that starts
// from +0 (so -0 comes out as +0), divided by the count.
inline double numpy_median(double* v, std::int64_t count) {
    const std::int64_t half = count / 2;
    if (count % 2 == 1) return (0.0 + rank_value(v, count, half)) / 1.0;
    const double a = rank_value(v, count, half - 1);
    const double b = *std::min_element(v + half, v + count);
    return ((0.0 + a) + b) / 2.0;
}

// np.quantile(v, q) with method="linear" (count >= 1, no NaN, 0 <= q <= 1):
// virtual index (count - 1) * q between ranks i and i + 1, weight g, and
// NumPy's two-sided interpolation: a + (b - a) g below g = 0.5, else
// b - (b - a)(1 - g).  At or past the last rank both are the last value and
// g is the index + 1, as in NumPy.
inline double numpy_linear_quantile(double* v, std::int64_t count, double q) {
    const double index = static_cast<double>(count - 1) * q;
    double a, b, g;
    if (index >= static_cast<double>(count - 1)) {
        a = b = rank_value(v, count, count - 1);
        g = index + 1.0;
    } else {
        const double below = std::floor(index);
        const std::int64_t i = static_cast<std::int64_t>(below);
        a = rank_value(v, count, i);
        b = *std::min_element(v + i + 1, v + count);
        g = index - below;
    }
    const double diff = b - a;
    return g >= 0.5 ? b - diff * (1.0 - g) : a + diff * g;
}

// Columns gathered per pass: one cache line of a buffer row.
inline constexpr std::int64_t kGathered = 8;

// Per column of the rows x n buffer (row = sample): the 25 % and 75 %
// quantiles and the median, each as its NumPy function gives it (NaN in a
// column with a NaN).  `columns` is scratch of kGathered * rows doubles.
inline void exact_quartiles(const double* buf, std::int64_t rows, std::int64_t n, double* q25,
                            double* median, double* q75, double* columns) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t i0 = 0; i0 < n; i0 += kGathered) {
        const std::int64_t width = std::min(kGathered, n - i0);
        for (std::int64_t s = 0; s < rows; ++s)
            for (std::int64_t j = 0; j < width; ++j) columns[j * rows + s] = buf[s * n + i0 + j];
        for (std::int64_t j = 0; j < width; ++j) {
            double* column = columns + j * rows;
            const std::int64_t i = i0 + j;
            if (std::any_of(column, column + rows, [](double x) { return std::isnan(x); })) {
                q25[i] = median[i] = q75[i] = kNaN;
                continue;
            }
            q25[i] = numpy_linear_quantile(column, rows, 0.25);
            median[i] = numpy_median(column, rows);
            q75[i] = numpy_linear_quantile(column, rows, 0.75);
        }
    }
}

}  // namespace kestrovane::mc

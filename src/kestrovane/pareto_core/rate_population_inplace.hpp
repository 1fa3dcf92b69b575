// rate_population_inplace: the rating behind the exported function pointer.
// Checks the view records, then runs the numeric rating on their memory.
#pragma once

#include <cstdint>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/pareto_core/rating.hpp"

namespace kestrovane::pareto {

// C-contiguous with the given extents (strides of extent-1 dimensions are
// free, as in NumPy); extents beyond `ndim` are not looked at.  Every size
// product is overflow-checked: a wrapped product could match a small stride
// and pass a view far larger than its memory.
inline bool view_fits(const ArrayView& v, int ndim, const std::int64_t* extents,
                      std::int64_t itemsize) {
    std::int64_t total = 1;
    for (int d = 0; d < ndim; ++d) {
        if (extents[d] < 0 || v.shape[d] != extents[d]) return false;
        if (__builtin_mul_overflow(total, extents[d], &total)) return false;
    }
    if (total == 0) return true;
    if (v.data == nullptr) return false;
    std::int64_t expected = itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
        if (extents[d] > 1 && v.strides[d] != expected) return false;
        if (__builtin_mul_overflow(expected, extents[d], &expected)) return false;
    }
    return true;
}

inline bool view_fits_1d(const ArrayView& v, std::int64_t n, std::int64_t itemsize) {
    return view_fits(v, 1, &n, itemsize);
}

inline bool view_fits_2d(const ArrayView& v, std::int64_t rows, std::int64_t cols,
                         std::int64_t itemsize) {
    const std::int64_t extents[2] = {rows, cols};
    return view_fits(v, 2, extents, itemsize);
}

inline int rate_population_views(ArrayView X, int mode_i, int within_mode_i, ArrayView front_id,
                                 ArrayView within, ArrayView order, ArrayView offsets,
                                 ArrayView items, ArrayView dom, ArrayView n_dom, ArrayView cur,
                                 ArrayView nxt, Pair* pairs, OrderKey* keys, ArrayView R) {
    if (mode_i != 0 && mode_i != 1) return kBadMode;
    if (within_mode_i != 0) return kBadWithinMode;
    const std::int64_t n = X.shape[0], m = X.shape[1];
    // Indices are stored as int32 in the scratch records.
    if (n < 0 || m < 0 || n > kMaxExtent || !view_fits_2d(X, n, m, sizeof(double)))
        return kBadWorkArray;
    const double* x = reinterpret_cast<const double*>(X.data);
    if (has_nan(x, n * m)) return kNaNValue;
    const bool fits = view_fits_2d(R, n, m, sizeof(double)) &&
                      view_fits_1d(front_id, n, sizeof(std::int64_t)) &&
                      view_fits_1d(within, n, sizeof(double)) &&
                      view_fits_1d(order, n, sizeof(std::int64_t)) &&
                      view_fits_1d(offsets, n + 1, sizeof(std::int64_t)) &&
                      view_fits_1d(items, n, sizeof(std::int64_t)) &&
                      view_fits_2d(dom, n, n, sizeof(std::uint8_t)) &&
                      view_fits_1d(n_dom, n, sizeof(std::int32_t)) &&
                      view_fits_1d(cur, n, sizeof(std::int32_t)) &&
                      view_fits_1d(nxt, n, sizeof(std::int32_t)) &&
                      (n == 0 || (pairs != nullptr && keys != nullptr));
    if (!fits) return kBadWorkArray;

    const RatingArrays a{x,
                         n,
                         m,
                         reinterpret_cast<std::int64_t*>(front_id.data),
                         reinterpret_cast<double*>(within.data),
                         reinterpret_cast<std::int64_t*>(order.data),
                         reinterpret_cast<std::int64_t*>(offsets.data),
                         reinterpret_cast<std::int64_t*>(items.data),
                         reinterpret_cast<std::int32_t*>(n_dom.data),
                         reinterpret_cast<std::int32_t*>(cur.data),
                         reinterpret_cast<std::int32_t*>(nxt.data),
                         pairs,
                         keys,
                         reinterpret_cast<double*>(R.data),
                         reinterpret_cast<unsigned char*>(dom.data)};
    return rate(a, mode_i);
}

}  // namespace kestrovane::pareto

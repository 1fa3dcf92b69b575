// Pareto rating of one population: fronts, crowding inside each front and the
// global order, best first.  Plain numeric code: no interpreter, no allocation,
// and the result does not depend on what the work arrays held before.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/pareto_core/crowding.hpp"
#include "kestrovane/pareto_core/nondominated_sort.hpp"

namespace kestrovane::pareto {

enum RatingError : int {
    kBadMode = -1,        // mode_i is not 0 (values) or 1 (ranks)
    kBadWithinMode = -2,  // within_mode_i is not 0 (crowding)
    kNaNValue = -3,       // X holds a NaN
    kBadWorkArray = -4,   // an array does not fit N x M, or is not C-contiguous
};

// Raw storage of one rating call; shapes as in rate_population_inplace.
struct RatingArrays {
    const double* X;  // N x M
    std::int64_t n;
    std::int64_t m;
    std::int64_t* front_id;  // N, output
    double* within;          // N, output: crowding score
    std::int64_t* order;     // N, output: global order
    std::int64_t* offsets;   // N + 1
    std::int64_t* items;     // N
    std::int32_t* n_dom;     // N
    std::int32_t* cur;       // N
    std::int32_t* nxt;       // N
    Pair* pairs;             // max(N, 1)
    OrderKey* keys;          // max(N, 1)
    double* R;               // N x M
    unsigned char* dom;      // N x N bytes, scratch
};

// R[i,m] = number of j with X[j,m] < X[i,m] (the "min" rank), as a double.
inline void fill_min_ranks(const double* X, std::int64_t n, std::int64_t m, Pair* pairs,
                           double* R) {
    for (std::int64_t k = 0; k < m; ++k) {
        for (std::int64_t i = 0; i < n; ++i)
            pairs[i] = Pair{X[i * m + k], static_cast<std::int32_t>(i)};
        std::sort(pairs, pairs + n, [](const Pair& a, const Pair& b) { return a.val < b.val; });
        std::int64_t rank = 0;
        for (std::int64_t j = 0; j < n; ++j) {
            if (j > 0 && pairs[j - 1].val < pairs[j].val) rank = j;
            R[pairs[j].idx * m + k] = static_cast<double>(rank);
        }
    }
}

inline bool has_nan(const double* X, std::int64_t count) {
    bool nan = false;
    for (std::int64_t i = 0; i < count; ++i) nan |= std::isnan(X[i]);
    return nan;
}

// Returns the number of fronts.  The caller has checked the arguments
// (mode_i 0 or 1, within_mode_i 0, no NaN, shapes): see rate_population_views.
inline int rate(const RatingArrays& a, int mode_i) {
    if (a.n == 0) return 0;

    const double* values = a.X;
    if (mode_i == 1) {
        fill_min_ranks(a.X, a.n, a.m, a.pairs, a.R);
        values = a.R;
    }
    const Points pts{values, a.n, a.m};

    std::int32_t n_fronts;
    if (a.m == 0) {
        std::fill(a.front_id, a.front_id + a.n, 0);
        n_fronts = 1;
    } else if (a.m == 1) {
        n_fronts = fronts_1d(pts, a.front_id, a.pairs);
    } else if (a.m == 2) {
        n_fronts = fronts_2d(pts, a.front_id, a.cur, a.nxt, a.pairs);
    } else {
        n_fronts = fronts_ens_ndt(pts, a.front_id, a.cur, a.n_dom, a.nxt, a.pairs, a.keys,
                                  a.items, a.dom, a.n * a.n);
    }

    group_by_front(a.front_id, a.n, n_fronts, a.offsets, a.items);
    crowding_scores(pts, a.offsets, a.items, n_fronts, a.pairs, a.within);
    global_order(a.offsets, a.items, n_fronts, a.within, a.keys, a.order);
    return n_fronts;
}

}  // namespace kestrovane::pareto

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
#include "kestrovane/pareto_core/objective_orders.hpp"

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
    double* R;               // N x M, scratch
    unsigned char* dom;      // N x N bytes, scratch
};

// The N x N byte block, 8-byte aligned, as T.  Its N^2 - 7 usable bytes hold
// the bit sets (16 N ceil(N / 64) bytes) for N > 64 and the staircases
// (16 (kStairFirstCap + 4) N bytes) for N >= kStaircaseMinN.
template <class T>
T* aligned_block(unsigned char* block) {
    const auto addr = reinterpret_cast<std::uintptr_t>(block);
    return reinterpret_cast<T*>(static_cast<void*>(block + (8 - addr % 8) % 8));
}

inline bool has_nan(const double* X, std::int64_t count) {
    bool nan = false;
    for (std::int64_t i = 0; i < count; ++i) nan |= std::isnan(X[i]);
    return nan;
}

// Returns the number of fronts.  The caller has checked the arguments
// (mode_i 0 or 1, within_mode_i 0, no NaN, shapes): see rate_population_views.
//
// mode_i 1 rates on the "min" ranks (the number of strictly smaller values in
// the objective).  Ranks order like the values, so fronts are computed on the
// values in both modes and ranks only enter the crowding gaps.  R (8 N M
// bytes) holds each objective's order (int32, N M) and, in mode 1, the ranks
// (int32, N M).
inline int rate(const RatingArrays& a, int mode_i) {
    const std::int64_t n = a.n, m = a.m;
    if (n == 0) return 0;
    const Points pts{a.X, n, m};
    std::int32_t* orders = reinterpret_cast<std::int32_t*>(static_cast<void*>(a.R));
    std::int32_t* ranks = mode_i == 1 ? orders + n * m : nullptr;
    // `order` and `nxt` are free until the end: radix scratch.
    sort_objectives(pts, a.pairs, reinterpret_cast<std::uint64_t*>(a.order), a.nxt, orders, ranks);

    std::int32_t n_fronts;
    if (m == 0) {
        std::fill(a.front_id, a.front_id + n, 0);
        n_fronts = 1;
    } else if (m == 1) {
        n_fronts = fronts_1d(pts, orders, a.front_id);
    } else {
        lexicographic_order(pts, orders, a.cur);
        if (m == 2) {
            n_fronts = fronts_2d(pts, a.cur, a.front_id, a.within);  // free until crowding
        } else if (m == 3 && n >= kStaircaseMinN) {
            // `order` is free until the global order.
            n_fronts = fronts_3d(pts, a.cur, a.front_id, a.order, a.nxt, a.n_dom,
                                 aligned_block<double>(a.dom));
        } else {
            // The bit sets fit the stack up to 64 points, else the N x N block.
            constexpr std::int64_t kStackN = 64;
            std::uint64_t local[2 * kStackN];
            std::uint64_t* words = n <= kStackN ? local : aligned_block<std::uint64_t>(a.dom);
            n_fronts = fronts_bitset(pts, orders, ranks, a.cur, a.front_id, a.n_dom, words);
        }
    }

    group_by_front(a.front_id, n, n_fronts, a.offsets, a.items);
    if (ranks) {
        const auto rank_of = [ranks, n](std::int32_t i, std::int64_t k) {
            return static_cast<double>(ranks[k * n + i]);
        };
        crowding_scores(n, m, rank_of, orders, a.front_id, a.offsets, a.items, n_fronts, a.n_dom,
                        a.cur, a.within);
    } else {
        const auto value_of = [&pts](std::int32_t i, std::int64_t k) { return pts.row(i)[k]; };
        crowding_scores(n, m, value_of, orders, a.front_id, a.offsets, a.items, n_fronts,
                        a.n_dom, a.cur, a.within);
    }
    global_order(a.offsets, a.items, n, n_fronts, a.front_id, a.within, a.keys, a.nxt, a.cur,
                 a.n_dom, a.order);
    return n_fronts;
}

}  // namespace kestrovane::pareto

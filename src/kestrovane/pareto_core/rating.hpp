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

// The work arrays of the fixed interface, named for the roles they play.  One
// array serves several roles when their lifetimes do not overlap; each group
// says which array it is and in which order its roles follow each other.
struct RatingWorkspace {
    // R (8 N M bytes), for the whole call: each objective's (value, index)
    // order, then, in ranks mode, each objective's min ranks (int32, N M each).
    std::int32_t* objective_orders;
    std::int32_t* objective_ranks;  // null in values mode
    // `order` (N int64) until the global order is written into it: the radix
    // keys of the objective sorts, then the staircases' block starts.
    std::uint64_t* sort_keys;
    std::int64_t* stair_start;
    // `nxt` (N int32): the radix sorts' spare buffer, then the staircase sizes.
    std::int32_t* sort_spare;
    std::int32_t* stair_size;
    // `cur` (N int32): the rows in lexicographic order until the fronts are
    // known, then the per-front buckets of crowding, then the global order's
    // radix positions.
    std::int32_t* lex_order;
    std::int32_t* front_bucket;
    std::int32_t* order_positions;
    // `n_dom` (N int32): each row's place in lexicographic order (bit sets) or
    // the staircase capacities, then the per-front fill cursors.
    std::int32_t* lex_place;
    std::int32_t* stair_cap;
    std::int32_t* front_cursor;
    // `dom` (N x N bytes, 8-byte aligned): the bit sets or the staircase pool.
    std::uint64_t* bit_sets;
    double* stair_pool;
    // `within` before the crowding is written: the two-objective search's
    // least second value per front.
    double* least_second;
    Pair* pairs;     // comparison-sort scratch of the objective sorts
    OrderKey* keys;  // comparison-sort scratch of the global order
};

inline RatingWorkspace map_workspace(const RatingArrays& a, int mode_i) {
    std::int32_t* orders = reinterpret_cast<std::int32_t*>(static_cast<void*>(a.R));
    // Below 8 bytes the block has no aligned word; no method then uses it.
    const bool has_block = a.n * a.n >= 8;
    return RatingWorkspace{orders,
                           mode_i == 1 ? orders + a.n * a.m : nullptr,
                           reinterpret_cast<std::uint64_t*>(a.order),
                           a.order,
                           a.nxt,
                           a.nxt,
                           a.cur,
                           a.cur,
                           a.cur,
                           a.n_dom,
                           a.n_dom,
                           a.n_dom,
                           has_block ? aligned_block<std::uint64_t>(a.dom) : nullptr,
                           has_block ? aligned_block<double>(a.dom) : nullptr,
                           a.within,
                           a.pairs,
                           a.keys};
}

// Returns the number of fronts.  The caller has checked the arguments
// (mode_i 0 or 1, within_mode_i 0, no NaN, shapes): see rate_population_views.
//
// mode_i 1 rates on the "min" ranks (the number of strictly smaller values in
// the objective).  Ranks order like the values, so fronts are computed on the
// values in both modes and ranks only enter the crowding gaps.
inline int rate(const RatingArrays& a, int mode_i) {
    const std::int64_t n = a.n, m = a.m;
    if (n == 0) return 0;
    const Points pts{a.X, n, m};
    const RatingWorkspace w = map_workspace(a, mode_i);
    sort_objectives(pts, w.pairs, w.sort_keys, w.sort_spare, w.objective_orders,
                    w.objective_ranks);

    std::int32_t n_fronts;
    if (m == 0) {
        std::fill(a.front_id, a.front_id + n, 0);
        n_fronts = 1;
    } else if (m == 1) {
        n_fronts = fronts_1d(pts, w.objective_orders, a.front_id);
    } else {
        lexicographic_order(pts, w.objective_orders, w.lex_order);
        if (m == 2) {
            n_fronts = fronts_2d(pts, w.lex_order, a.front_id, w.least_second);
        } else if (m == 3 && n >= kStaircaseMinN) {
            n_fronts = fronts_3d(pts, w.lex_order, a.front_id, w.stair_start, w.stair_size,
                                 w.stair_cap, w.stair_pool);
        } else {
            // The bit sets fit the stack up to 64 points, else the N x N block.
            constexpr std::int64_t kStackN = 64;
            std::uint64_t local[2 * kStackN];
            std::uint64_t* words = n <= kStackN ? local : w.bit_sets;
            n_fronts = fronts_bitset(pts, w.objective_orders, w.objective_ranks, w.lex_order,
                                     a.front_id, w.lex_place, words);
        }
    }

    group_by_front(a.front_id, n, n_fronts, a.offsets, a.items);
    if (w.objective_ranks) {
        const std::int32_t* ranks = w.objective_ranks;
        const auto rank_of = [ranks, n](std::int32_t i, std::int64_t k) {
            return static_cast<double>(ranks[k * n + i]);
        };
        crowding_scores(n, m, rank_of, w.objective_orders, a.front_id, a.offsets, a.items,
                        n_fronts, w.front_cursor, w.front_bucket, a.within);
    } else {
        const auto value_of = [&pts](std::int32_t i, std::int64_t k) { return pts.row(i)[k]; };
        crowding_scores(n, m, value_of, w.objective_orders, a.front_id, a.offsets, a.items,
                        n_fronts, w.front_cursor, w.front_bucket, a.within);
    }
    global_order(a.offsets, a.items, n, n_fronts, a.front_id, a.within, w.keys, w.sort_spare,
                 w.order_positions, w.front_cursor, a.order);
    return n_fronts;
}

}  // namespace kestrovane::pareto

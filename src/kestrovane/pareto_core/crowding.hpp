// Crowding score inside each front, and the global order built from it.
//
// Per front, score starts at 0.0 and objectives are taken in index order.  The
// front's members are sorted by (value, index); the first and last get +inf;
// when the front's smallest and largest values are both finite and differ,
// each member strictly between them adds (next - prev) / (largest - smallest).
// A front of one or two members therefore scores +inf, and with no objectives
// every score is 0.0.  O(M N log N); no allocation.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/pareto_core/nondominated_sort.hpp"

namespace kestrovane::pareto {

// Stable counting sort by front: members of front f are
// items[offsets[f] .. offsets[f+1]), in index order.
inline void group_by_front(const std::int64_t* front_id, std::int64_t n, std::int32_t n_fronts,
                           std::int64_t* offsets, std::int64_t* items) {
    std::fill(offsets, offsets + n_fronts + 1, 0);
    for (std::int64_t i = 0; i < n; ++i) ++offsets[front_id[i] + 1];
    for (std::int32_t f = 0; f < n_fronts; ++f) offsets[f + 1] += offsets[f];
    // offsets[f] serves as the fill cursor of front f, then is restored.
    for (std::int64_t i = 0; i < n; ++i) items[offsets[front_id[i]]++] = i;
    for (std::int32_t f = n_fronts; f > 0; --f) offsets[f] = offsets[f - 1];
    offsets[0] = 0;
}

// Adds one objective's contribution to the scores of the members in `pairs`
// (already sorted by value, then index).
inline void add_objective_crowding(const Pair* pairs, std::int64_t size, double* score) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    score[pairs[0].idx] += inf;
    score[pairs[size - 1].idx] += inf;
    const double lo = pairs[0].val, hi = pairs[size - 1].val;
    if (!(std::isfinite(lo) && std::isfinite(hi)) || lo == hi) return;
    double range = hi - lo;
    if (std::isfinite(range)) {
        for (std::int64_t j = 1; j + 1 < size; ++j)
            score[pairs[j].idx] += (pairs[j + 1].val - pairs[j - 1].val) / range;
        return;
    }
    // The span overflows a double: halve everything so gaps stay finite and the
    // ratios stay in [0, 1] instead of becoming inf / inf = NaN.
    range = hi * 0.5 - lo * 0.5;
    for (std::int64_t j = 1; j + 1 < size; ++j)
        score[pairs[j].idx] += (pairs[j + 1].val * 0.5 - pairs[j - 1].val * 0.5) / range;
}

inline void crowding_scores(const Points& pts, const std::int64_t* offsets,
                            const std::int64_t* items, std::int32_t n_fronts, Pair* pairs,
                            double* score) {
    std::fill(score, score + pts.n, 0.0);
    if (pts.m == 0) return;
    const auto by_value = [](const Pair& a, const Pair& b) {
        return a.val < b.val || (a.val == b.val && a.idx < b.idx);
    };
    for (std::int32_t f = 0; f < n_fronts; ++f) {
        const std::int64_t* members = items + offsets[f];
        const std::int64_t size = offsets[f + 1] - offsets[f];
        if (size <= 2) {
            for (std::int64_t j = 0; j < size; ++j)
                score[members[j]] = std::numeric_limits<double>::infinity();
            continue;
        }
        for (std::int64_t k = 0; k < pts.m; ++k) {
            for (std::int64_t j = 0; j < size; ++j) {
                const std::int64_t i = members[j];
                pairs[j] = Pair{pts.row(i)[k], static_cast<std::int32_t>(i)};
            }
            std::sort(pairs, pairs + size, by_value);
            add_objective_crowding(pairs, size, score);
        }
    }
}

// order = all individuals by (front ascending, score descending, index
// ascending).  Fronts are already grouped, so only each front is sorted.
inline void global_order(const std::int64_t* offsets, const std::int64_t* items,
                         std::int32_t n_fronts, const double* score, OrderKey* keys,
                         std::int64_t* order) {
    for (std::int32_t f = 0; f < n_fronts; ++f) {
        const std::int64_t begin = offsets[f], end = offsets[f + 1];
        for (std::int64_t j = begin; j < end; ++j) keys[j] = OrderKey{f, -score[items[j]], items[j]};
        std::sort(keys + begin, keys + end, [](const OrderKey& a, const OrderKey& b) {
            return a.neg_score < b.neg_score || (a.neg_score == b.neg_score && a.idx < b.idx);
        });
        for (std::int64_t j = begin; j < end; ++j) order[j] = keys[j].idx;
    }
}

}  // namespace kestrovane::pareto

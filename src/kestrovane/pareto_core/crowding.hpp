// Crowding score inside each front, and the global order built from it.
//
// Per front, score starts at 0.0 and objectives are taken in index order.  The
// front's members are taken in (value, index) order; the first and last get +inf;
// when the front's smallest and largest values are both finite and differ,
// each member strictly between them adds (next - prev) / (largest - smallest).
// A front of one or two members therefore scores +inf, and with no objectives
// every score is 0.0.  O(M N) given each objective's order; no allocation.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/pareto_core/nondominated_sort.hpp"
#include "kestrovane/pareto_core/objective_orders.hpp"
#include "kestrovane/pareto_core/radix_order.hpp"

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

// Adds one objective's contribution to the scores of a front's members,
// given in (value, index) order; value(i) is member i's value.
template <class Value>
void add_objective_crowding(const std::int32_t* members, std::int64_t size, const Value& value,
                            double* score) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    score[members[0]] += inf;
    score[members[size - 1]] += inf;
    const double lo = value(members[0]), hi = value(members[size - 1]);
    if (!(std::isfinite(lo) && std::isfinite(hi)) || lo == hi) return;
    double range = hi - lo;
    if (std::isfinite(range)) {
        double prev = lo, here = value(members[1]);
        for (std::int64_t j = 1; j + 1 < size; ++j) {
            const double next = value(members[j + 1]);
            score[members[j]] += (next - prev) / range;
            prev = here;
            here = next;
        }
        return;
    }
    // The span overflows a double: halve everything so gaps stay finite and the
    // ratios stay in [0, 1] instead of becoming inf / inf = NaN.
    range = hi * 0.5 - lo * 0.5;
    for (std::int64_t j = 1; j + 1 < size; ++j)
        score[members[j]] += (value(members[j + 1]) * 0.5 - value(members[j - 1]) * 0.5) / range;
}

// Crowding scores of every front.  orders[k * n ..]: the individuals by
// (value, index) in objective k; `cursor` and `bucket` are scratch of n.
template <class Value>
void crowding_scores(std::int64_t n, std::int64_t m, const Value& value,
                     const std::int32_t* orders, const std::int64_t* front_id,
                     const std::int64_t* offsets, const std::int64_t* items,
                     std::int32_t n_fronts, std::int32_t* cursor, std::int32_t* bucket,
                     double* score) {
    std::fill(score, score + n, 0.0);
    if (m == 0) return;
    bool any_large = false;
    for (std::int32_t f = 0; f < n_fronts; ++f) {
        if (offsets[f + 1] - offsets[f] > 2) {
            any_large = true;
            continue;
        }
        // One or two members are the extremes of every objective.
        for (std::int64_t j = offsets[f]; j < offsets[f + 1]; ++j)
            score[items[j]] = std::numeric_limits<double>::infinity();
    }
    if (!any_large) return;
    for (std::int64_t k = 0; k < m; ++k) {
        distribute_by_front(orders + k * n, n, front_id, offsets, n_fronts, cursor, bucket);
        const auto value_k = [&value, k](std::int32_t i) { return value(i, k); };
        for (std::int32_t f = 0; f < n_fronts; ++f) {
            const std::int64_t size = offsets[f + 1] - offsets[f];
            if (size > 2) add_objective_crowding(bucket + offsets[f], size, value_k, score);
        }
    }
}

// order = all individuals by (front ascending, score descending, index
// ascending).  Fronts are already grouped, members in index order.  From
// kRadixMinN individuals on, all are radix-sorted at once by (-score,
// place in `items`), then distributed stably into their fronts; below, each
// front is sorted on its own.  `tmp`, `pos` and `cursor` are scratch of n.
inline void global_order(const std::int64_t* offsets, const std::int64_t* items, std::int64_t n,
                         std::int32_t n_fronts, const std::int64_t* front_id, const double* score,
                         OrderKey* keys, std::int32_t* tmp, std::int32_t* pos,
                         std::int32_t* cursor, std::int64_t* order) {
    if (n >= kRadixMinN) {
        // The keys live in `order`, which is written only once they are sorted.
        auto* radix_keys = reinterpret_cast<std::uint64_t*>(order);
        for (std::int64_t j = 0; j < n; ++j) radix_keys[j] = order_key(-score[items[j]]);
        radix_order_keys(radix_keys, n, tmp, pos);
        for (std::int32_t f = 0; f < n_fronts; ++f) cursor[f] = static_cast<std::int32_t>(offsets[f]);
        for (std::int64_t j = 0; j < n; ++j) {
            const std::int64_t i = items[pos[j]];
            order[cursor[front_id[i]]++] = i;
        }
        return;
    }
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

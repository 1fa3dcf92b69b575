// One sort per objective serves the whole rating.  The order of the
// individuals by (value, index) in objective m gives:
//   - the "min" ranks (the first position of each run of equal values);
//   - the lexicographic order of the rows (objective 0's order with its runs
//     of equal values re-sorted by the remaining objectives);
//   - every front's members in (value, index) order for crowding, by a stable
//     distribution of the objective's order into fronts, without sorting.
// Ranks are a strictly increasing function of the values, so dominance, and
// with it the fronts, is the same on values and on ranks; only the crowding
// gaps differ between the two modes.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/pareto_core/nondominated_sort.hpp"
#include "kestrovane/pareto_core/radix_order.hpp"

namespace kestrovane::pareto {

// From this many individuals on, objectives are radix-sorted.
inline constexpr std::int64_t kRadixMinN = 32;

// order[0..n): the individuals by (value, index) in objective k.
inline void order_objective(const Points& pts, std::int64_t k, Pair* pairs,
                            std::uint64_t* radix_keys, std::int32_t* radix_tmp,
                            std::int32_t* order) {
    const std::int64_t n = pts.n, m = pts.m;
    if (n >= kRadixMinN) {
        radix_order(pts.v + k, m, n, radix_keys, radix_tmp, order);
        return;
    }
    for (std::int64_t i = 0; i < n; ++i)
        pairs[i] = Pair{pts.v[i * m + k], static_cast<std::int32_t>(i)};
    std::sort(pairs, pairs + n, [](const Pair& a, const Pair& b) {
        return a.val < b.val || (a.val == b.val && a.idx < b.idx);
    });
    for (std::int64_t j = 0; j < n; ++j) order[j] = pairs[j].idx;
}

// perm[m * n + j]: the j-th individual of objective m by (value, index).
// With `rank` (same layout by individual, rank[m * n + i]) the min ranks too.
// `pairs`, `radix_keys` and `radix_tmp` are scratch of n entries.
inline void sort_objectives(const Points& pts, Pair* pairs, std::uint64_t* radix_keys,
                            std::int32_t* radix_tmp, std::int32_t* perm, std::int32_t* rank) {
    const std::int64_t n = pts.n, m = pts.m;
    for (std::int64_t k = 0; k < m; ++k) {
        std::int32_t* order = perm + k * n;
        order_objective(pts, k, pairs, radix_keys, radix_tmp, order);
        if (!rank) continue;
        std::int32_t* r = rank + k * n;
        std::int32_t run_start = 0;
        for (std::int64_t j = 0; j < n; ++j) {
            if (j > 0 && pts.row(order[j - 1])[k] < pts.row(order[j])[k])
                run_start = static_cast<std::int32_t>(j);
            r[order[j]] = run_start;
        }
    }
}

// The rows in lexicographic order (then by index), from objective 0's order.
inline void lexicographic_order(const Points& pts, const std::int32_t* perm0,
                                std::int32_t* sorted) {
    const std::int64_t n = pts.n, m = pts.m;
    std::copy(perm0, perm0 + n, sorted);
    const auto rest_less = [&pts, m](std::int32_t a, std::int32_t b) {
        const double* ra = pts.row(a);
        const double* rb = pts.row(b);
        for (std::int64_t k = 1; k < m; ++k) {
            if (ra[k] < rb[k]) return true;
            if (rb[k] < ra[k]) return false;
        }
        return a < b;
    };
    for (std::int64_t begin = 0; begin < n;) {
        const double v = pts.row(sorted[begin])[0];
        std::int64_t end = begin + 1;
        while (end < n && pts.row(sorted[end])[0] == v) ++end;
        if (end - begin > 1) std::sort(sorted + begin, sorted + end, rest_less);
        begin = end;
    }
}

// Stable distribution of one objective's order into fronts: front f's
// members land in bucket[offsets[f] .. offsets[f+1]) in (value, index) order.
inline void distribute_by_front(const std::int32_t* order, std::int64_t n,
                                const std::int64_t* front_id, const std::int64_t* offsets,
                                std::int32_t n_fronts, std::int32_t* cursor,
                                std::int32_t* bucket) {
    for (std::int32_t f = 0; f < n_fronts; ++f) cursor[f] = static_cast<std::int32_t>(offsets[f]);
    for (std::int64_t j = 0; j < n; ++j) {
        const std::int32_t i = order[j];
        bucket[cursor[front_id[i]]++] = i;
    }
}

}  // namespace kestrovane::pareto

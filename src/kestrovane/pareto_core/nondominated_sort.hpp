// Non-dominated sorting: the 0-based Pareto front of every individual.
//
// All objectives are minimised.  i dominates j iff V[i,m] <= V[j,m] for every m
// and V[i,m] < V[j,m] for at least one m; identical points do not dominate
// each other.  Front 0 holds the individuals nobody dominates, front f+1 those
// dominated only by members of fronts <= f.
//
// Every method processes the points in lexicographic order, so a point can
// only be dominated by points met before it, and uses the fact that "some
// member of front f dominates p" is monotone in f (a dominator in front g has
// a dominator in every front below g, and dominance is transitive): the front
// of p is found by binary search over the fronts built so far.
//   M = 1: one sort, O(N log N).
//   M = 2: the last member of a front has the smallest second value of that
//          front, so one comparison decides a front: O(N log N) overall.
//   M >= 3: ENS-BS (Zhang, Tian, Cheng, Jin, "An efficient approach to
//          nondominated sorting for evolutionary multiobjective optimization",
//          IEEE TEVC 19(2), 2015): members of a front are checked newest first;
//          O(M N^2) in the worst case, far less on typical populations.
// No allocation: the caller supplies every scratch array.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kestrovane/_native/rating_abi.hpp"

namespace kestrovane::pareto {

// Row-major N x M values.
struct Points {
    const double* v;
    std::int64_t n;
    std::int64_t m;
    const double* row(std::int64_t i) const { return v + i * m; }
};

// True iff point q dominates point p, given that q does not come after p in
// lexicographic order (so the first objective where they differ favours q).
inline bool dominates_lex_before(const double* q, const double* p, std::int64_t m) {
    bool strict = false;
    for (std::int64_t k = 0; k < m; ++k) {
        if (q[k] > p[k]) return false;
        strict |= q[k] < p[k];
    }
    return strict;
}

// Fills idx[0..n) with 0..n-1 sorted lexicographically by row, then by index.
inline void sort_lexicographic(const Points& pts, std::int32_t* idx) {
    for (std::int64_t i = 0; i < pts.n; ++i) idx[i] = static_cast<std::int32_t>(i);
    const std::int64_t m = pts.m;
    std::sort(idx, idx + pts.n, [&pts, m](std::int32_t a, std::int32_t b) {
        const double* ra = pts.row(a);
        const double* rb = pts.row(b);
        for (std::int64_t k = 0; k < m; ++k) {
            if (ra[k] < rb[k]) return true;
            if (rb[k] < ra[k]) return false;
        }
        return a < b;
    });
}

// One objective: the front is the number of distinct smaller values.
inline std::int32_t fronts_1d(const Points& pts, std::int64_t* front_id, Pair* pairs) {
    const std::int64_t n = pts.n;
    for (std::int64_t i = 0; i < n; ++i) pairs[i] = Pair{pts.v[i], static_cast<std::int32_t>(i)};
    std::sort(pairs, pairs + n, [](const Pair& a, const Pair& b) {
        return a.val < b.val || (a.val == b.val && a.idx < b.idx);
    });
    std::int64_t f = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        if (j > 0 && pairs[j - 1].val < pairs[j].val) ++f;
        front_id[pairs[j].idx] = f;
    }
    return static_cast<std::int32_t>(f + 1);
}

// Two objectives.  In lexicographic order the members of one front have
// strictly falling second values (equal points aside), so the front's newest
// member `last[f]` dominates p iff any member does.
inline std::int32_t fronts_2d(const Points& pts, std::int64_t* front_id, std::int32_t* sorted,
                              std::int32_t* last) {
    sort_lexicographic(pts, sorted);
    std::int32_t n_fronts = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        const std::int32_t p = sorted[j];
        const double p0 = pts.v[2 * p], p1 = pts.v[2 * p + 1];
        std::int32_t lo = 0, hi = n_fronts;
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            const std::int32_t q = last[mid];
            const double q0 = pts.v[2 * q], q1 = pts.v[2 * q + 1];
            if (q1 < p1 || (q1 == p1 && q0 < p0)) lo = mid + 1;
            else hi = mid;
        }
        if (lo == n_fronts) ++n_fronts;
        last[lo] = p;
        front_id[p] = lo;
    }
    return n_fronts;
}

// Three or more objectives: ENS with binary search.  `newest[f]` is the most
// recently added member of front f and `older[p]` links p to the member added
// before it, so each front is a list walked newest first.
inline std::int32_t fronts_ens_bs(const Points& pts, std::int64_t* front_id, std::int32_t* sorted,
                                  std::int32_t* newest, std::int32_t* older) {
    sort_lexicographic(pts, sorted);
    const std::int64_t m = pts.m;
    std::int32_t n_fronts = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        const std::int32_t p = sorted[j];
        const double* rp = pts.row(p);
        std::int32_t lo = 0, hi = n_fronts;
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            bool dominated = false;
            for (std::int32_t q = newest[mid]; q >= 0; q = older[q]) {
                if (dominates_lex_before(pts.row(q), rp, m)) {
                    dominated = true;
                    break;
                }
            }
            if (dominated) lo = mid + 1;
            else hi = mid;
        }
        if (lo == n_fronts) {
            ++n_fronts;
            newest[lo] = -1;
        }
        older[p] = newest[lo];
        newest[lo] = p;
        front_id[p] = lo;
    }
    return n_fronts;
}

}  // namespace kestrovane::pareto

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
// of p is found by binary search over the fronts built so far.  A copy of
// the point met just before shares its front and is placed without a search.
//   M = 1: one sort, O(N log N).
//   M = 2: the newest member of a front decides it: O(N log N).
//   M >= 3: each point's dominators as a bit set, each front as a bit set:
//          O(M N^2 / 64) word operations whatever the data.
//   M = 3, N >= kStaircaseMinN: each front as a 2-D staircase,
//          O(N log F log S); faster only for large N.
// No allocation: the caller supplies every scratch array.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kestrovane::pareto {

// Row-major N x M values.
struct Points {
    const double* v;
    std::int64_t n;
    std::int64_t m;
    const double* row(std::int64_t i) const { return v + i * m; }
};

// One objective: the front is the number of distinct smaller values.
// `order`: the individuals by (value, index).
inline std::int32_t fronts_1d(const Points& pts, const std::int32_t* order,
                              std::int64_t* front_id) {
    std::int64_t f = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        if (j > 0 && pts.v[order[j - 1]] < pts.v[order[j]]) ++f;
        front_id[order[j]] = f;
    }
    return static_cast<std::int32_t>(f + 1);
}

// Two objectives.  In lexicographic order the members of one front have
// strictly falling second values, so the front's newest member dominates p
// iff any member does, i.e. iff its second value is <= p's (p not being a
// copy of it).  Those values, `least[f]`, never fall with f: a front's newest
// member was dominated by an older member of the front below, and the
// second values of that front only fell since.  So p's front is the first f
// with least[f] > p's second value.
// `sorted`: the rows in lexicographic order.
inline std::int32_t fronts_2d(const Points& pts, const std::int32_t* sorted,
                              std::int64_t* front_id, double* least) {
    std::int32_t n_fronts = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        const std::int32_t p = sorted[j];
        const double p0 = pts.row(p)[0], p1 = pts.row(p)[1];
        // A copy of the point met just before shares its front.
        if (j > 0) {
            const double* q = pts.row(sorted[j - 1]);
            if (q[0] == p0 && q[1] == p1) {
                front_id[p] = front_id[sorted[j - 1]];
                continue;
            }
        }
        // Branch-free upper bound: on fresh data a branch would be
        // mispredicted half of the time.
        const double* base = least;
        for (std::int32_t len = n_fronts; len > 1;) {
            const std::int32_t half = len / 2;
            base = base[half - 1] <= p1 ? base + half : base;
            len -= half;
        }
        std::int32_t f = static_cast<std::int32_t>(base - least);
        if (n_fronts > 0 && *base <= p1) ++f;
        if (f == n_fronts) ++n_fronts;
        least[f] = p1;
        front_id[p] = f;
    }
    return n_fronts;
}

// Three or more objectives with bit sets.  Rows are numbered by their place P
// in lexicographic order: every row before P is <= p in objective 0, and no
// row after P dominates p.  One sweep per further objective through its
// (value, index) order keeps the set of rows <= the current value and
// intersects it into every row's set: afterwards le[P], restricted to the
// rows before P, holds the rows <= p in every objective, i.e. p's dominators
// and copies.  A point's front is then found by binary search over the
// fronts, testing le[P] against each front's member set.
// O(M N^2 / 64) word operations whatever the data; up to a few thousand
// points the sets stay in cache and this beats searches that compare points
// (ENS and its tree variants, O(M N^2) comparisons at worst) by 2-4x.
// Scratch: `pos` (N int32) and `words`, 2 N ceil(N / 64) 64-bit words: N
// dominator rows, then up to N front rows (the first doubles as the sweep's
// running set).  `ranks`: the min ranks, or null.
inline constexpr std::int64_t kWholeRowWords = 32;

inline std::int32_t fronts_bitset(const Points& pts, const std::int32_t* orders,
                                  const std::int32_t* ranks, const std::int32_t* sorted,
                                  std::int64_t* front_id, std::int32_t* pos,
                                  std::uint64_t* words) {
    const std::int64_t n = pts.n, m = pts.m;
    const std::int64_t stride = (n + 63) / 64;
    std::uint64_t* le = words;
    std::uint64_t* fronts = words + n * stride;
    for (std::int64_t j = 0; j < n; ++j) pos[sorted[j]] = static_cast<std::int32_t>(j);
    std::uint64_t* run = fronts;  // free until the fronts are built
    for (std::int64_t k = 1; k < m; ++k) {
        const std::int32_t* ord = orders + k * n;
        std::fill(run, run + stride, 0);
        for (std::int64_t j = 0; j < n;) {
            // Rows of equal value are <= each other: add the whole run first.
            // The min ranks, when at hand, mark the run (a run starting at
            // j has rank j) with a load from a smaller array.
            const double v = pts.row(ord[j])[k];
            std::int64_t end = j;
            do {
                const std::int32_t P = pos[ord[end]];
                run[P >> 6] |= std::uint64_t{1} << (P & 63);
                ++end;
            } while (end < n && (ranks ? ranks[k * n + ord[end]] == j : pts.row(ord[end])[k] == v));
            for (; j < end; ++j) {
                const std::int64_t P = pos[ord[j]];
                // Only the bits before P matter (the bits past it are never
                // tested against a set member), but a length that changes
                // at random from row to row costs a mispredicted loop exit
                // per row: up to 32 words, whole rows are cheaper.
                std::uint64_t* row = le + P * stride;
                const std::int64_t w = stride <= kWholeRowWords ? stride : (P + 63) >> 6;
                if (k == 1)
                    for (std::int64_t i = 0; i < w; ++i) row[i] = run[i];
                else
                    for (std::int64_t i = 0; i < w; ++i) row[i] &= run[i];
            }
        }
    }
    std::int32_t n_fronts = 0;
    for (std::int64_t P = 0; P < n; ++P) {
        const std::int32_t p = sorted[P];
        const double* rp = pts.row(p);
        std::int64_t f;
        // A copy of the point met just before shares its front; le[P] holds
        // that copy, so the search would misplace it.
        if (P > 0 && std::equal(rp, rp + m, pts.row(sorted[P - 1]))) {
            f = front_id[sorted[P - 1]];
        } else {
            const std::uint64_t* row = le + P * stride;
            const std::int64_t w = (P + 63) >> 6;
            std::int32_t lo = 0, hi = n_fronts;
            while (lo < hi) {
                const std::int32_t mid = lo + (hi - lo) / 2;
                const std::uint64_t* members = fronts + mid * stride;
                std::uint64_t any = 0;
                for (std::int64_t i = 0; i < w; ++i) any |= row[i] & members[i];
                if (any) lo = mid + 1;
                else hi = mid;
            }
            f = lo;
            if (lo == n_fronts) {
                std::uint64_t* members = fronts + static_cast<std::int64_t>(n_fronts) * stride;
                std::fill(members, members + stride, 0);
                ++n_fronts;
            }
        }
        fronts[f * stride + (P >> 6)] |= std::uint64_t{1} << (P & 63);
        front_id[p] = f;
    }
    return n_fronts;
}

// Three objectives.  Every point before p in lexicographic order is <= p in
// objective 0, so a member q of a front dominates p iff q <= p in objectives
// 1 and 2 (copies of p aside).  Each front keeps the staircase of its
// members in those two objectives: the members no other member is <= in
// both, by objective 1 ascending and so by objective 2 strictly descending.
// Some member is <= p iff the staircase point with the largest objective 1
// value <= p's has objective 2 value <= p's.  O(N log F log S) for
// staircases of S points.
// `start`, `size` and `cap` are scratch of N.
// Front f's staircase is size[f] entries of a block of cap[f] objective 1
// values followed by cap[f] objective 2 values at pool + start[f]; a full
// block is copied to one twice as large.  Blocks take at most
// (kStairFirstCap + 4) N entries: a front whose block grew to C once held
// more than C / 2 points, and its blocks total less than 2 C.
inline constexpr std::int64_t kStaircaseMinN = 5000;  // where it overtakes the bit sets
inline constexpr std::int64_t kStairFirstCap = 4;
inline constexpr std::int32_t kStairScanMax = 32;

inline std::int32_t fronts_3d(const Points& pts, const std::int32_t* sorted,
                              std::int64_t* front_id, std::int64_t* start, std::int32_t* size,
                              std::int32_t* cap, double* pool) {
    std::int64_t used = 0;
    std::int32_t n_fronts = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        const std::int32_t p = sorted[j];
        const double* rp = pts.row(p);
        const double p1 = rp[1], p2 = rp[2];
        if (j > 0 && std::equal(rp, rp + 3, pts.row(sorted[j - 1]))) {
            front_id[p] = front_id[sorted[j - 1]];
            continue;
        }
        // Number of staircase points of front f with objective 1 value <= p1:
        // staircases are short on typical data, where a branch-free count
        // beats a search.
        const auto count_le = [&](std::int32_t f) {
            const double* a = pool + start[f];
            if (size[f] > kStairScanMax)
                return static_cast<std::int32_t>(std::upper_bound(a, a + size[f], p1) - a);
            std::int32_t c = 0;
            for (std::int32_t t = 0; t < size[f]; ++t) c += a[t] <= p1;
            return c;
        };
        std::int32_t lo = 0, hi = n_fronts;
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            const std::int32_t c = count_le(mid);
            if (c > 0 && pool[start[mid] + cap[mid] + c - 1] <= p2) lo = mid + 1;
            else hi = mid;
        }
        const std::int32_t f = lo;
        if (f == n_fronts) {
            start[f] = used;
            size[f] = 0;
            cap[f] = kStairFirstCap;
            used += 2 * kStairFirstCap;
            ++n_fronts;
        }
        // p replaces the points it is <= in objectives 1 and 2: those from
        // the first with objective 1 value >= p1 while objective 2 >= p2.
        double* a = pool + start[f];
        double* b = a + cap[f];
        const std::int32_t s = size[f];
        const std::int32_t i = static_cast<std::int32_t>(std::lower_bound(a, a + s, p1) - a);
        std::int32_t k = i;
        while (k < s && b[k] >= p2) ++k;
        const std::int32_t new_size = s - (k - i) + 1;
        if (new_size > cap[f]) {
            const std::int32_t new_cap = 2 * cap[f];
            double* na = pool + used;
            double* nb = na + new_cap;
            std::copy(a, a + i, na);
            std::copy(b, b + i, nb);
            std::copy(a + k, a + s, na + i + 1);
            std::copy(b + k, b + s, nb + i + 1);
            start[f] = used;
            cap[f] = new_cap;
            used += 2 * static_cast<std::int64_t>(new_cap);
            a = na;
            b = nb;
        } else if (k == i) {
            std::copy_backward(a + k, a + s, a + s + 1);
            std::copy_backward(b + k, b + s, b + s + 1);
        } else if (k > i + 1) {
            std::copy(a + k, a + s, a + i + 1);
            std::copy(b + k, b + s, b + i + 1);
        }
        a[i] = p1;
        b[i] = p2;
        size[f] = new_size;
        front_id[p] = f;
    }
    return n_fronts;
}

}  // namespace kestrovane::pareto

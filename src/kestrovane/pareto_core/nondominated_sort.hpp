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
//          IEEE TEVC 19(2), 2015) with each front in a bucket k-d tree, and
//          copies of a point placed without a search (see fronts_ens_ndt);
//          O(M N^2) in the worst case, far less on typical populations.
// No allocation: the caller supplies every scratch array.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

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
// strictly falling second values (equal points aside), so the front's newest
// member `last[f]` dominates p iff any member does.
// `sorted`: the rows in lexicographic order.
inline std::int32_t fronts_2d(const Points& pts, const std::int32_t* sorted,
                              std::int64_t* front_id, std::int32_t* last) {
    std::int32_t n_fronts = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        const std::int32_t p = sorted[j];
        const double p0 = pts.row(p)[0], p1 = pts.row(p)[1];
        std::int32_t lo = 0, hi = n_fronts;
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            const std::int32_t q = last[mid];
            const double q0 = pts.row(q)[0], q1 = pts.row(q)[1];
            if (q1 < p1 || (q1 == p1 && q0 < p0)) lo = mid + 1;
            else hi = mid;
        }
        if (lo == n_fronts) ++n_fronts;
        last[lo] = p;
        front_id[p] = lo;
    }
    return n_fronts;
}

// Three or more objectives: ENS with binary search, each front held in a
// bucket k-d tree over objectives 1..M-1 (objective 0 is settled by the
// lexicographic order), after ENS-NDT (Gustavsson, Syberfeldt, "A new
// algorithm using the non-dominated tree to improve non-dominated sorting",
// Evolutionary Computation 26(1), 2018).  An inner node splits on objective k
// at value s: its lower child holds the members with value < s, its upper
// child the rest.  Every node also keeps its box: the smallest value of each
// objective over its members.  Nothing in a node whose box is not <= p can
// dominate p, so the search that confirms "no member dominates p" -- the
// costly case of plain ENS -- skips most of a large front.  Leaves are lists
// of members, newest first, split once they pass kLeafSize.
//
// Nodes live in the rating's Pair and OrderKey scratch records (node t uses
// keys[t] and pairs[t]; at most N nodes):
//   inner node: pairs[t].idx = k >= 1, keys[t].neg_score = s,
//               keys[t].front = lower child, keys[t].idx = upper child;
//   leaf:       pairs[t].idx = -k (k: objective of its next split),
//               keys[t].front = newest member (-1: none), keys[t].idx = size,
//               keys[t].neg_score = size at which to try splitting.
// Members of one leaf are chained through `link`.  The boxes, M-1 doubles a
// node, go to a byte block of at least N (M-1) doubles (the rating's unused
// N x N block); without one, fronts stay single lists, i.e. plain ENS-BS.
class FrontTrees {
public:
    static constexpr std::int64_t kLeafSize = 16;

    FrontTrees(const Points& pts, Pair* pairs, OrderKey* keys, std::int32_t* link,
               std::int64_t* stack, unsigned char* boxes)
        : pts_(pts), pairs_(pairs), keys_(keys), link_(link), stack_(stack), boxes_(boxes) {}

    // A new empty tree; returns its root.  Splits leave a node for every point
    // still to come, so each new front finds one.
    std::int32_t new_tree() { return new_leaf(1); }

    // True iff some member of the tree dominates p (members come before p in
    // lexicographic order).
    bool dominated(std::int32_t root, const double* p) const {
        const std::int64_t m = pts_.m;
        std::int64_t top = 0;
        stack_[top++] = root;  // each node is pushed at most once: <= N entries
        while (top > 0) {
            const std::int64_t t = stack_[--top];
            if (boxes_ && !box_below(t, p)) continue;
            const std::int32_t k = pairs_[t].idx;
            if (k < 0) {
                for (std::int64_t q = keys_[t].front; q >= 0; q = link_[q])
                    if (dominates_lex_before(pts_.row(q), p, m)) return true;
                continue;
            }
            if (!(p[k] < keys_[t].neg_score)) stack_[top++] = keys_[t].idx;
            stack_[top++] = keys_[t].front;  // the lower child is the likelier
        }
        return false;
    }

    void insert(std::int32_t root, std::int32_t p) {
        const double* rp = pts_.row(p);
        std::int64_t t = root;
        for (;;) {
            if (boxes_) widen_box(t, rp);
            const std::int32_t k = pairs_[t].idx;
            if (k < 0) break;
            t = rp[k] < keys_[t].neg_score ? keys_[t].front : keys_[t].idx;
        }
        link_[p] = static_cast<std::int32_t>(keys_[t].front);
        keys_[t].front = p;
        ++inserted_;
        if (static_cast<double>(++keys_[t].idx) > keys_[t].neg_score && boxes_) split(t);
    }

private:
    double box(std::int64_t t, std::int64_t k) const {
        double v;
        std::memcpy(&v, boxes_ + ((t * (pts_.m - 1) + k - 1) * sizeof(double)), sizeof v);
        return v;
    }
    void set_box(std::int64_t t, std::int64_t k, double v) {
        std::memcpy(boxes_ + ((t * (pts_.m - 1) + k - 1) * sizeof(double)), &v, sizeof v);
    }
    bool box_below(std::int64_t t, const double* p) const {
        bool below = true;
        for (std::int64_t k = 1; k < pts_.m; ++k) below &= box(t, k) <= p[k];
        return below;
    }
    void widen_box(std::int64_t t, const double* rp) {
        for (std::int64_t k = 1; k < pts_.m; ++k)
            if (rp[k] < box(t, k)) set_box(t, k, rp[k]);
    }

    std::int32_t new_leaf(std::int32_t k) {
        const std::int32_t t = used_++;
        pairs_[t].idx = -k;
        keys_[t] = OrderKey{-1, static_cast<double>(kLeafSize), 0};
        if (boxes_)
            for (std::int64_t j = 1; j < pts_.m; ++j)
                set_box(t, j, std::numeric_limits<double>::infinity());
        return t;
    }

    std::int32_t next_objective(std::int32_t k) const { return k + 1 < pts_.m ? k + 1 : 1; }

    // Splits leaf t at the median of a sample of its members in the first
    // objective, starting from its own, that separates them; if none does (or
    // the node space is short) the leaf just grows and tries again at twice
    // its size.
    void split(std::int64_t t) {
        const std::int64_t size = keys_[t].idx;
        keys_[t].neg_score = 2.0 * static_cast<double>(size);
        // Nodes in use never outnumber the points inserted (at most N).
        if (used_ + 2 > inserted_) return;
        std::int32_t k = -pairs_[t].idx;
        for (std::int64_t tries = 1; tries < pts_.m; ++tries, k = next_objective(k)) {
            double sample[2 * kLeafSize];
            std::int64_t count = 0;
            for (std::int64_t q = keys_[t].front; q >= 0 && count < 2 * kLeafSize; q = link_[q])
                sample[count++] = pts_.row(q)[k];
            if (count == 0) return;
            std::sort(sample, sample + count);
            double s = sample[count / 2];
            if (s == sample[0]) {
                const double* above = std::upper_bound(sample, sample + count, sample[0]);
                if (above == sample + count) continue;  // all equal in k
                s = *above;
            }
            // Both children get members: sample[0] < s, and s is some member's value.
            const std::int32_t lower = new_leaf(next_objective(k));
            const std::int32_t upper = new_leaf(next_objective(k));
            for (std::int64_t q = keys_[t].front, next; q >= 0; q = next) {
                next = link_[q];
                const double* rq = pts_.row(q);
                const std::int32_t child = rq[k] < s ? lower : upper;
                link_[q] = static_cast<std::int32_t>(keys_[child].front);
                keys_[child].front = q;
                ++keys_[child].idx;
                widen_box(child, rq);
            }
            pairs_[t].idx = k;
            keys_[t] = OrderKey{lower, s, upper};
            return;
        }
    }

    Points pts_;
    Pair* pairs_;
    OrderKey* keys_;
    std::int32_t* link_;
    std::int64_t* stack_;
    unsigned char* boxes_;
    std::int32_t used_ = 0;
    std::int32_t inserted_ = 0;
};

// `root[f]` is the tree of front f; the other arrays are FrontTrees' scratch
// (`block`: `block_size` bytes, for the boxes when large enough).
inline std::int32_t fronts_ens_ndt(const Points& pts, const std::int32_t* sorted,
                                   std::int64_t* front_id, std::int32_t* root, std::int32_t* link,
                                   Pair* pairs, OrderKey* keys, std::int64_t* stack,
                                   unsigned char* block, std::int64_t block_size) {
    const bool boxes_fit = block != nullptr && block_size / pts.n / (pts.m - 1) >=
                                                   static_cast<std::int64_t>(sizeof(double));
    FrontTrees trees(pts, pairs, keys, link, stack, boxes_fit ? block : nullptr);
    std::int32_t n_fronts = 0;
    for (std::int64_t j = 0; j < pts.n; ++j) {
        const std::int32_t p = sorted[j];
        const double* rp = pts.row(p);
        // A copy of the point met just before shares its front (whatever
        // dominates one dominates the other) and dominates nothing the
        // original does not, so it is not added to the tree.
        if (j > 0 && std::equal(rp, rp + pts.m, pts.row(sorted[j - 1]))) {
            front_id[p] = front_id[sorted[j - 1]];
            continue;
        }
        std::int32_t lo = 0, hi = n_fronts;
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            if (trees.dominated(root[mid], rp)) lo = mid + 1;
            else hi = mid;
        }
        if (lo == n_fronts) root[n_fronts++] = trees.new_tree();
        trees.insert(root[lo], p);
        front_id[p] = lo;
    }
    return n_fronts;
}

}  // namespace kestrovane::pareto

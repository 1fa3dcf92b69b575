// P² estimators side by side: the same algorithm as p2_quantile.hpp (the
// readable reference, which this must match bit for bit), laid out so that
// kP2Lanes estimators of one quantile p, fed one observation each, update
// together without branches, and only the markers that move take the
// divisions of the parabolic step.
//
// A lane set is kP2Rows rows of kP2Lanes doubles; lane l of row r is slot
// r * kP2Lanes + l.  Rows 0..4 are the heights q[0..4], rows 5..7 the
// positions npos[1..3] as doubles (exact integers).  npos[0] is always 1 and
// npos[4] always the number of observations n: the reference never changes
// npos[0] (the cell k is at least 0, so increments start at marker 1, and
// markers 0 and 4 never move) and increments npos[4] on every update (k is at
// most 3).  The desired positions are not stored either: see p2_desired.
#pragma once

#include <cstdint>
#include <cstring>

#include "kestrovane/selection_core/quantiles/p2_quantile.hpp"

namespace kestrovane {

inline constexpr int kP2Lanes = 8;
inline constexpr int kP2Rows = 8;
inline constexpr int kP2SetDoubles = kP2Rows * kP2Lanes;

// Slot of height j / of position j (1..3) of lane 0.
constexpr int p2_q(int j) { return j * kP2Lanes; }
constexpr int p2_n(int j) { return (4 + j) * kP2Lanes; }

// Desired position of marker i (1..4) of an estimator of p = p8 / 8 after
// n >= 5 observations, for p8 in {2, 4, 6} (p = 0.25, 0.5, 0.75).
//
// The reference starts from (1, 1 + 2p, 1 + 4p, 3 + 2p, 5) and adds
// (0, p/2, p, (1 + p)/2, 1) once per further observation; every start value
// and increment, and each of its products by 2, 4 and 0.5, is a multiple of
// 1/8 computed exactly.  So after u updates each partial sum is a multiple of
// 1/8 of magnitude below 5 + u <= 2^32: it needs fewer than 35 significant
// bits, is a double, and every addition of the reference is exact.  Its
// stored value is therefore exactly start + u * increment, which this
// computes in integer eighths.  The difference ndes - npos of the move test
// is then exact as well.
inline double p2_desired(int marker, std::int32_t p8, std::int64_t n) {
    const std::int64_t u = n - kP2Markers;
    std::int64_t eighths;
    switch (marker) {
        case 1: eighths = 8 + 2 * p8 + u * (p8 / 2); break;
        case 2: eighths = 8 + 4 * p8 + u * p8; break;
        case 3: eighths = 24 + 2 * p8 + u * (4 + p8 / 2); break;
        default: eighths = 8 * n; break;
    }
    return static_cast<double>(eighths) * 0.125;
}

// _p2_init for lane l of a set (s0..s4 ascending).
inline void p2_lane_init(double* set, int l, const double (&s)[kP2Markers]) {
    for (int j = 0; j < kP2Markers; ++j) set[p2_q(j) + l] = s[j];
    for (int j = 1; j <= 3; ++j) set[p2_n(j) + l] = static_cast<double>(j + 1);
}

// Two lanes at a time in the compiler's generic vectors: SSE2 registers on
// x86-64 (its baseline), plain code where the target has none.  Each lane
// computes the reference's IEEE operations.  A comparison gives all ones or
// all zeros per lane.
namespace p2v {
typedef double Duo __attribute__((vector_size(16)));

template <class V>
using MaskOf = decltype(V{} < V{});
using DuoMask = MaskOf<Duo>;
inline constexpr int kDuoLanes = 2;

template <class V>
inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
inline void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
template <class V>
inline V splat(double x) {
    return V{} + x;
}
template <class V, class M>
inline V select(M m, V a, V b) {
    return reinterpret_cast<V>((m & reinterpret_cast<M>(a)) | (~m & reinterpret_cast<M>(b)));
}
template <class V, class M>
inline V one_where(M m) {
    return reinterpret_cast<V>(m & reinterpret_cast<M>(splat<V>(1.0)));
}
template <class M>
inline unsigned bits(M m) {
    unsigned out = 0;
    for (unsigned t = 0; t < sizeof(M) / 8; ++t) out |= static_cast<unsigned>(m[t] & 1) << t;
    return out;
}
}  // namespace p2v

// Steps 1 and 2 of _p2_update for every lane (x[l] goes to lane l), then the
// move test of marker 1 (desired position d1); bit l of the result is set
// when marker 1 of lane l moves.  The cell search mirrors the reference rule
// by rule, so it agrees with it for any heights: marker j >= 1 gains one rank
// when x < q[0], or otherwise, unless x >= q[4], when x < q[i] for some i in
// 1..j (the reference's first cell k with x < q[k + 1]).
inline unsigned p2_lanes_observe(double* set, const double* x, double d1) {
    using namespace p2v;
    using V = Duo;
    using M = DuoMask;
    const V desired = splat<V>(d1), one = splat<V>(1.0);
    unsigned mask = 0;
    for (int l = 0; l < kP2Lanes; l += kDuoLanes) {
        double* at = set + l;
        const V xl = load<V>(x + l);
        const V q0 = load<V>(at + p2_q(0)), q4 = load<V>(at + p2_q(4));
        const M below = xl < q0;
        const M top = ~below & (xl >= q4);
        const M inner = ~(below | top);
        const M up1 = below | (inner & (xl < load<V>(at + p2_q(1))));
        const M up2 = up1 | (inner & (xl < load<V>(at + p2_q(2))));
        const M up3 = up2 | (inner & (xl < load<V>(at + p2_q(3))));
        store(at + p2_q(0), select(below, xl, q0));
        store(at + p2_q(4), select(top, xl, q4));
        const V n1 = load<V>(at + p2_n(1)) + one_where<V>(up1);
        const V n2 = load<V>(at + p2_n(2)) + one_where<V>(up2);
        store(at + p2_n(1), n1);
        store(at + p2_n(2), n2);
        store(at + p2_n(3), load<V>(at + p2_n(3)) + one_where<V>(up3));
        const V d = desired - n1;
        const M moves = ((d >= one) & (n2 - n1 > one)) | ((d <= -one) & (one - n1 < -one));
        mask |= bits(moves) << l;
    }
    return mask;
}

// Move test of marker I (2 or 3) for every lane, on the positions left by the
// markers below it; n is the number of observations (npos[4]).
template <int I>
inline unsigned p2_lanes_test(const double* set, double desired, double n) {
    static_assert(I == 2 || I == 3, "markers 2 and 3; marker 1 is tested by p2_lanes_observe");
    using namespace p2v;
    using V = Duo;
    const V want = splat<V>(desired), one = splat<V>(1.0);
    unsigned mask = 0;
    for (int l = 0; l < kP2Lanes; l += kDuoLanes) {
        const double* at = set + l;
        const V below = load<V>(at + p2_n(I - 1));
        const V here = load<V>(at + p2_n(I));
        const V above = I == 3 ? splat<V>(n) : load<V>(at + p2_n(I + 1));
        const V d = want - here;
        const DuoMask moves =
            ((d >= one) & (above - here > one)) | ((d <= -one) & (below - here < -one));
        mask |= bits(moves) << l;
    }
    return mask;
}

// True when every lane's five heights have the bits of its observation x[l]
// and that is finite and not -0.0.  An update of such a set leaves every
// height as it is: x is at least q[4], so only the extremes take x (the
// same bits), and a moving marker's height differences are h - h = +0, so
// both of the reference's predictions are h + (+0 or -0), which is h for a
// finite h other than -0.0.  Only positions change (p2_lanes_flat_update).
// Lane 0's extremes are tested first: most sets fail there.
inline bool p2_lanes_flat(const double* set, const double* x) {
    if (!(set[p2_q(0)] == x[0] && set[p2_q(4)] == x[0])) return false;
    using namespace p2v;
    using V = Duo;
    using M = DuoMask;
    const M minus_zero = reinterpret_cast<M>(V{-0.0, -0.0});  // splat would add -0.0 to +0.0
    M flat = ~M{};
    for (int l = 0; l < kP2Lanes; l += kDuoLanes) {
        const V xl = load<V>(x + l);
        const M bits_x = reinterpret_cast<M>(xl);
        flat &= (xl - xl == V{}) & (bits_x != minus_zero);
        for (int j = 0; j < kP2Markers; ++j)
            flat &= reinterpret_cast<M>(load<V>(set + p2_q(j) + l)) == bits_x;
    }
    return (flat[0] & flat[1]) != 0;
}

// _p2_update of a set for which p2_lanes_flat holds: the cell is the top one,
// so no inner position gains a rank, and markers 1, 2, 3 move in turn by
// positions alone (desired[i] is marker i's desired position, n the count).
inline void p2_lanes_flat_update(double* set, const double (&desired)[4], double n) {
    using namespace p2v;
    using V = Duo;
    const V one = splat<V>(1.0);
    for (int l = 0; l < kP2Lanes; l += kDuoLanes) {
        double* at = set + l;
        V pos[5] = {one, load<V>(at + p2_n(1)), load<V>(at + p2_n(2)), load<V>(at + p2_n(3)),
                    splat<V>(n)};
        for (int i = 1; i <= 3; ++i) {
            const V d = splat<V>(desired[i]) - pos[i];
            const DuoMask up = (d >= one) & (pos[i + 1] - pos[i] > one);
            const DuoMask down = (d <= -one) & (pos[i - 1] - pos[i] < -one);
            pos[i] = pos[i] + one_where<V>(up) - one_where<V>(down);
        }
        for (int i = 1; i <= 3; ++i) store(at + p2_n(i), pos[i]);
    }
}

// Step 4 of _p2_update for marker I of one lane (`lane` points at its slot 0),
// known to move; its direction follows from the desired position as in the
// test.  Both predictions are computed, two divisions at a time, and the
// reference's choice taken by masks: a branch here would follow the data.
template <int I>
inline void p2_lane_move(double* lane, double desired, double n) {
    static_assert(I >= 1 && I <= 3, "inner markers only");
    using namespace p2v;
    using M = DuoMask;
    const double qm = lane[p2_q(I - 1)];
    const double qi = lane[p2_q(I)];
    const double qp = lane[p2_q(I + 1)];
    const double nm = I == 1 ? 1.0 : lane[p2_n(I - 1)];
    const double ni = lane[p2_n(I)];
    const double np = I == 3 ? n : lane[p2_n(I + 1)];
    const M up = splat<Duo>(desired - ni) >= splat<Duo>(1.0);
    const double dd = select(up, splat<Duo>(1.0), splat<Duo>(-1.0))[0];
    // The neighbour in the direction of the move: (height, position).
    const Duo next = select(up, Duo{qp, np}, Duo{qm, nm});
    // (A, B) of the parabola, then (F, the linear step).
    const Duo ab = Duo{(ni - nm + dd) * (qp - qi), (np - ni - dd) * (qi - qm)} /
                    Duo{np - ni, ni - nm};
    const Duo fl = Duo{dd, (next[0] - qi) * dd} / Duo{np - nm, next[1] - ni};
    const double qhat = qi + fl[0] * (ab[0] + ab[1]);
    const M inside = Duo{qm, qhat} < Duo{qhat, qp};
    const M keep = M{} + (inside[0] & inside[1]);
    lane[p2_q(I)] = select(keep, splat<Duo>(qhat), splat<Duo>(qi + fl[1]))[0];
    lane[p2_n(I)] = ni + dd;
}

// The two predictions of step 4 for a register of moving markers, one lane
// each, shared by the wide builds: V is a GCC vector of doubles (__m256d,
// __m512d), whose operators are the IEEE operations of its lanes (the
// intrinsics' sub, mul, div and add are these operators), taken here in the
// reference's order.  Always inlined, so the caller's target chooses the
// instructions; V goes by reference because a vector passed or returned by
// value would have a different calling convention in the baseline (GCC
// warns of that even for a call that is inlined).
//
// The parabolic height from the neighbours (qm, nm) and (qp, np), for a
// move by dd (+1 or -1).
template <class V>
[[gnu::always_inline]] inline void p2_parabolic(V& qhat, const V& qm, const V& qi, const V& qp,
                                                const V& nm, const V& ni, const V& np,
                                                const V& dd) {
    const V a = (ni - nm + dd) * (qp - qi) / (np - ni);
    const V b = (np - ni - dd) * (qi - qm) / (ni - nm);
    qhat = qi + dd / (np - nm) * (a + b);
}

// The linear height, towards the neighbour (q_next, n_next) in the direction
// of the move.
template <class V>
[[gnu::always_inline]] inline void p2_linear(V& qhat, const V& qi, const V& q_next, const V& ni,
                                             const V& n_next, const V& dd) {
    qhat = qi + (q_next - qi) * dd / (n_next - ni);
}

// Listing of moving markers: lane l of the set at `offset` (in doubles from
// the chunk's base) is appended when bit l of mask is set.  The wide
// operations may write up to kP2Lanes entries past the new end, so lists
// keep that much room.
inline void p2_list_movers(std::int32_t* moving, std::int32_t* size, std::int64_t offset,
                           unsigned mask) {
    std::int32_t k = *size;
    for (int l = 0; l < kP2Lanes; ++l) {
        moving[k] = static_cast<std::int32_t>(offset) + l;
        k += static_cast<std::int32_t>((mask >> l) & 1u);
    }
    *size = k;
}

// The operations the accumulators run on lane sets, for any x86-64 (and any
// other target): the functions above.  p2_lanes_avx512.hpp has the same
// with one register per row, chosen at run time; both give the same bits.
struct P2LanesBaseline {
    static unsigned observe(double* set, const double* x, double d1) {
        return p2_lanes_observe(set, x, d1);
    }
    template <int I>
    static unsigned test(const double* set, double desired, double n) {
        return p2_lanes_test<I>(set, desired, n);
    }
    static bool flat(const double* set, const double* x) { return p2_lanes_flat(set, x); }
    static void flat_update(double* set, const double (&desired)[4], double n) {
        p2_lanes_flat_update(set, desired, n);
    }
    static void list(std::int32_t* moving, std::int32_t* size, std::int64_t offset,
                     unsigned mask) {
        p2_list_movers(moving, size, offset, mask);
    }
    // Moves marker I of the `size` listed lanes (offsets from base).
    template <int I>
    static void move(double* base, const std::int32_t* moving, std::int32_t size,
                     double desired, double n) {
        for (std::int32_t t = 0; t < size; ++t) p2_lane_move<I>(base + moving[t], desired, n);
    }
};

}  // namespace kestrovane

// The lane-set operations of p2_lanes.hpp with AVX2: four lanes per
// register, so a row of a set is two; lane tests are all-ones/all-zeros
// lanes read out with movemask.  For processors with AVX2 but without
// AVX-512, compiled function by function for it and called only where
// x86_simd.hpp says it runs.
//
// The same IEEE operations as the reference in its order, nothing fused
// (-ffp-contract=off); tests/cpp/test_p2_lanes.cpp holds every path this
// processor runs to the reference bit for bit.
#pragma once

#include <cstdint>

#include "kestrovane/selection_core/quantiles/p2_lanes.hpp"
#include "kestrovane/selection_core/quantiles/x86_simd.hpp"

namespace kestrovane {

#ifdef KESTROVANE_X86_SIMD

struct P2LanesAvx2 {
    static constexpr int kQuad = 4;  // lanes per register

    KESTROVANE_TARGET_AVX2 static __m256d row(const double* p) { return _mm256_loadu_pd(p); }
    KESTROVANE_TARGET_AVX2 static __m256d splat(double x) { return _mm256_set1_pd(x); }
    KESTROVANE_TARGET_AVX2 static __m256d lt(__m256d a, __m256d b) {
        return _mm256_cmp_pd(a, b, _CMP_LT_OQ);
    }
    // 1.0 where the mask lane is set, +0.0 elsewhere.
    KESTROVANE_TARGET_AVX2 static __m256d one_where(__m256d mask) {
        return _mm256_and_pd(mask, splat(1.0));
    }
    // One row's slot of each listed lane (`other` where the lane is not live).
    KESTROVANE_TARGET_AVX2 static __m256d gather(const double* row_start, __m128i at,
                                                 __m256d live, __m256d other) {
        return _mm256_mask_i32gather_pd(other, row_start, at, live, 8);
    }
    KESTROVANE_TARGET_AVX2 static unsigned bits(__m256d mask) {
        return static_cast<unsigned>(_mm256_movemask_pd(mask));
    }

    // The move test of a marker at `here` between `below` and `above`.
    KESTROVANE_TARGET_AVX2 static __m256d moves(__m256d want, __m256d below, __m256d here,
                                                __m256d above) {
        const __m256d one = splat(1.0), minus_one = splat(-1.0);
        const __m256d d = _mm256_sub_pd(want, here);
        const __m256d up = _mm256_and_pd(_mm256_cmp_pd(d, one, _CMP_GE_OQ),
                                         _mm256_cmp_pd(_mm256_sub_pd(above, here), one, _CMP_GT_OQ));
        const __m256d down = _mm256_and_pd(_mm256_cmp_pd(d, minus_one, _CMP_LE_OQ),
                                           lt(_mm256_sub_pd(below, here), minus_one));
        return _mm256_or_pd(up, down);
    }

    KESTROVANE_TARGET_AVX2 static unsigned observe(double* set, const double* x, double d1) {
        const __m256d one = splat(1.0), want = splat(d1);
        unsigned mask = 0;
        for (int l = 0; l < kP2Lanes; l += kQuad) {
            double* at = set + l;
            const __m256d xl = row(x + l);
            const __m256d q0 = row(at + p2_q(0)), q4 = row(at + p2_q(4));
            const __m256d below = lt(xl, q0);
            const __m256d top = _mm256_andnot_pd(below, _mm256_cmp_pd(xl, q4, _CMP_GE_OQ));
            const __m256d inner = _mm256_xor_pd(_mm256_or_pd(below, top),
                                                _mm256_castsi256_pd(_mm256_set1_epi64x(-1)));
            const __m256d up1 = _mm256_or_pd(below, _mm256_and_pd(inner, lt(xl, row(at + p2_q(1)))));
            const __m256d up2 = _mm256_or_pd(up1, _mm256_and_pd(inner, lt(xl, row(at + p2_q(2)))));
            const __m256d up3 = _mm256_or_pd(up2, _mm256_and_pd(inner, lt(xl, row(at + p2_q(3)))));
            _mm256_storeu_pd(at + p2_q(0), _mm256_blendv_pd(q0, xl, below));
            _mm256_storeu_pd(at + p2_q(4), _mm256_blendv_pd(q4, xl, top));
            const __m256d n1 = _mm256_add_pd(row(at + p2_n(1)), one_where(up1));
            const __m256d n2 = _mm256_add_pd(row(at + p2_n(2)), one_where(up2));
            _mm256_storeu_pd(at + p2_n(1), n1);
            _mm256_storeu_pd(at + p2_n(2), n2);
            _mm256_storeu_pd(at + p2_n(3), _mm256_add_pd(row(at + p2_n(3)), one_where(up3)));
            mask |= bits(moves(want, one, n1, n2)) << l;
        }
        return mask;
    }

    template <int I>
    KESTROVANE_TARGET_AVX2 static unsigned test(const double* set, double desired, double n) {
        static_assert(I == 2 || I == 3, "markers 2 and 3; marker 1 is tested by observe");
        unsigned mask = 0;
        for (int l = 0; l < kP2Lanes; l += kQuad) {
            const double* at = set + l;
            const __m256d above = I == 3 ? splat(n) : row(at + p2_n(I + 1));
            mask |= bits(moves(splat(desired), row(at + p2_n(I - 1)), row(at + p2_n(I)), above)) << l;
        }
        return mask;
    }

    // p2_lanes_flat: every height has the bits of x, which is finite and
    // not -0.0.
    KESTROVANE_TARGET_AVX2 static bool flat(const double* set, const double* x) {
        if (!(set[p2_q(0)] == x[0] && set[p2_q(4)] == x[0])) return false;
        const __m256i minus_zero = _mm256_castpd_si256(splat(-0.0));
        __m256i ok = _mm256_set1_epi64x(-1);
        for (int l = 0; l < kP2Lanes; l += kQuad) {
            const __m256d xl = row(x + l);
            const __m256i bits_x = _mm256_castpd_si256(xl);
            ok = _mm256_and_si256(ok, _mm256_castpd_si256(_mm256_cmp_pd(
                                          _mm256_sub_pd(xl, xl), _mm256_setzero_pd(), _CMP_EQ_OQ)));
            ok = _mm256_andnot_si256(_mm256_cmpeq_epi64(bits_x, minus_zero), ok);
            for (int j = 0; j < kP2Markers; ++j)
                ok = _mm256_and_si256(
                    ok, _mm256_cmpeq_epi64(_mm256_castpd_si256(row(set + p2_q(j) + l)), bits_x));
        }
        return _mm256_movemask_pd(_mm256_castsi256_pd(ok)) == 0xF;
    }

    KESTROVANE_TARGET_AVX2 static void flat_update(double* set, const double (&desired)[4],
                                                   double n) {
        const __m256d one = splat(1.0);
        for (int l = 0; l < kP2Lanes; l += kQuad) {
            double* at = set + l;
            __m256d pos[5] = {one, row(at + p2_n(1)), row(at + p2_n(2)), row(at + p2_n(3)),
                              splat(n)};
            for (int i = 1; i <= 3; ++i) {
                const __m256d d = _mm256_sub_pd(splat(desired[i]), pos[i]);
                const __m256d up =
                    _mm256_and_pd(_mm256_cmp_pd(d, one, _CMP_GE_OQ),
                                  _mm256_cmp_pd(_mm256_sub_pd(pos[i + 1], pos[i]), one, _CMP_GT_OQ));
                const __m256d down =
                    _mm256_and_pd(_mm256_cmp_pd(d, splat(-1.0), _CMP_LE_OQ),
                                  lt(_mm256_sub_pd(pos[i - 1], pos[i]), splat(-1.0)));
                pos[i] = _mm256_sub_pd(_mm256_add_pd(pos[i], one_where(up)), one_where(down));
            }
            for (int i = 1; i <= 3; ++i) _mm256_storeu_pd(at + p2_n(i), pos[i]);
        }
    }

    static void list(std::int32_t* moving, std::int32_t* size, std::int64_t offset,
                     unsigned mask) {
        p2_list_movers(moving, size, offset, mask);
    }

    // p2_lane_move for four listed lanes at a time, gathered into registers
    // (AVX2 has no scatter: the results are stored lane by lane).
    template <int I>
    KESTROVANE_TARGET_AVX2 static void move(double* base, const std::int32_t* moving,
                                            std::int32_t size, double desired, double n) {
        static_assert(I >= 1 && I <= 3, "inner markers only");
        const __m256d one = splat(1.0), minus_one = splat(-1.0), zero = _mm256_setzero_pd();
        for (std::int32_t t = 0; t < size; t += kQuad) {
            const std::int32_t count = size - t < kQuad ? size - t : kQuad;
            const __m128i first = _mm_set1_epi32(count);
            const __m128i live32 = _mm_cmpgt_epi32(first, _mm_setr_epi32(0, 1, 2, 3));
            const __m128i at = _mm_maskload_epi32(moving + t, live32);
            const __m256d live = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(live32));
            const __m256d qm = gather(base + p2_q(I - 1), at, live, zero);
            const __m256d qi = gather(base + p2_q(I), at, live, zero);
            const __m256d qp = gather(base + p2_q(I + 1), at, live, zero);
            const __m256d nm = I == 1 ? one : gather(base + p2_n(I - 1), at, live, zero);
            const __m256d ni = gather(base + p2_n(I), at, live, one);
            const __m256d np = I == 3 ? splat(n) : gather(base + p2_n(I + 1), at, live, zero);
            const __m256d up = _mm256_cmp_pd(_mm256_sub_pd(splat(desired), ni), one, _CMP_GE_OQ);
            const __m256d dd = _mm256_blendv_pd(minus_one, one, up);
            __m256d qhat;
            p2_parabolic(qhat, qm, qi, qp, nm, ni, np, dd);
            const __m256d inside = _mm256_and_pd(lt(qm, qhat), lt(qhat, qp));
            const __m256d linear = _mm256_andnot_pd(inside, live);
            if (bits(linear)) {
                const __m256d q_next = _mm256_blendv_pd(qm, qp, up);
                const __m256d n_next = _mm256_blendv_pd(nm, np, up);
                __m256d line;
                p2_linear(line, qi, q_next, ni, n_next, dd);
                qhat = _mm256_blendv_pd(qhat, line, linear);
            }
            alignas(32) double heights[kQuad], positions[kQuad];
            alignas(16) std::int32_t slots[kQuad];
            _mm256_store_pd(heights, qhat);
            _mm256_store_pd(positions, _mm256_add_pd(ni, dd));
            _mm_store_si128(reinterpret_cast<__m128i*>(slots), at);
            for (std::int32_t k = 0; k < count; ++k) {
                base[slots[k] + p2_q(I)] = heights[k];
                base[slots[k] + p2_n(I)] = positions[k];
            }
        }
    }
};

#endif

}  // namespace kestrovane

// The lane-set operations of p2_lanes.hpp with AVX-512: a row of a set (eight
// lanes) is one register, a lane test one mask bit.  Compiled for that
// instruction set function by function and called only where the processor
// and the system support it (x86_simd.hpp), so the module still runs on any
// x86-64.
//
// Every lane computes the reference's IEEE operations in the reference's
// order: compares, additions of 1 to whole numbers and the move's
// subtractions, products and quotients, with nothing fused (the build has
// -ffp-contract=off).  The results are the baseline's bits, which
// tests/cpp/test_p2_lanes.cpp checks on every path this processor runs.
#pragma once

#include <cstdint>

#include "kestrovane/selection_core/quantiles/p2_lanes.hpp"
#include "kestrovane/selection_core/quantiles/x86_simd.hpp"

namespace kestrovane {

#ifdef KESTROVANE_X86_SIMD

struct P2LanesAvx512 {
    KESTROVANE_TARGET_AVX512 static __m512d row(const double* p) { return _mm512_loadu_pd(p); }
    KESTROVANE_TARGET_AVX512 static __m512d splat(double x) { return _mm512_set1_pd(x); }
    // One row's slot of each listed lane (`other` where the lane is not live).
    KESTROVANE_TARGET_AVX512 static __m512d gather(const double* row_start, __m256i at,
                                                   __mmask8 live, __m512d other) {
        return _mm512_mask_i32gather_pd(other, live, at, row_start, 8);
    }

    // The move test of a marker at `here` between `below` and `above`
    // (the reference's `up || down`, before any move).
    KESTROVANE_TARGET_AVX512 static __mmask8 moves(__m512d want, __m512d below, __m512d here,
                                                  __m512d above) {
        const __m512d one = splat(1.0), minus_one = splat(-1.0);
        const __m512d d = _mm512_sub_pd(want, here);
        const __mmask8 up = _mm512_cmp_pd_mask(d, one, _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(_mm512_sub_pd(above, here), one, _CMP_GT_OQ);
        const __mmask8 down = _mm512_cmp_pd_mask(d, minus_one, _CMP_LE_OQ) &
                              _mm512_cmp_pd_mask(_mm512_sub_pd(below, here), minus_one, _CMP_LT_OQ);
        return up | down;
    }

    // p2_lanes_observe: cells, extremes, ranks and marker 1's test.  The
    // ordered compares are false for NaN, as the reference's are.
    KESTROVANE_TARGET_AVX512 static unsigned observe(double* set, const double* x, double d1) {
        const __m512d xl = row(x), one = splat(1.0);
        const __m512d q0 = row(set + p2_q(0)), q4 = row(set + p2_q(4));
        const __mmask8 below = _mm512_cmp_pd_mask(xl, q0, _CMP_LT_OQ);
        const __mmask8 top = _mm512_mask_cmp_pd_mask(static_cast<__mmask8>(~below), xl, q4,
                                                     _CMP_GE_OQ);
        const __mmask8 inner = static_cast<__mmask8>(~(below | top));
        const __mmask8 up1 =
            below | _mm512_mask_cmp_pd_mask(inner, xl, row(set + p2_q(1)), _CMP_LT_OQ);
        const __mmask8 up2 = up1 | _mm512_mask_cmp_pd_mask(inner, xl, row(set + p2_q(2)), _CMP_LT_OQ);
        const __mmask8 up3 = up2 | _mm512_mask_cmp_pd_mask(inner, xl, row(set + p2_q(3)), _CMP_LT_OQ);
        _mm512_mask_storeu_pd(set + p2_q(0), below, xl);
        _mm512_mask_storeu_pd(set + p2_q(4), top, xl);
        __m512d n1 = row(set + p2_n(1)), n2 = row(set + p2_n(2)), n3 = row(set + p2_n(3));
        n1 = _mm512_mask_add_pd(n1, up1, n1, one);
        n2 = _mm512_mask_add_pd(n2, up2, n2, one);
        n3 = _mm512_mask_add_pd(n3, up3, n3, one);
        _mm512_storeu_pd(set + p2_n(1), n1);
        _mm512_storeu_pd(set + p2_n(2), n2);
        _mm512_storeu_pd(set + p2_n(3), n3);
        return moves(splat(d1), one, n1, n2);
    }

    template <int I>
    KESTROVANE_TARGET_AVX512 static unsigned test(const double* set, double desired, double n) {
        static_assert(I == 2 || I == 3, "markers 2 and 3; marker 1 is tested by observe");
        const __m512d above = I == 3 ? splat(n) : row(set + p2_n(I + 1));
        return moves(splat(desired), row(set + p2_n(I - 1)), row(set + p2_n(I)), above);
    }

    // p2_lanes_flat: every height has the bits of x, which is finite and
    // not -0.0.
    KESTROVANE_TARGET_AVX512 static bool flat(const double* set, const double* x) {
        if (!(set[p2_q(0)] == x[0] && set[p2_q(4)] == x[0])) return false;
        const __m512d xl = row(x);
        const __m512i bits_x = _mm512_castpd_si512(xl);
        __mmask8 ok = _mm512_cmp_pd_mask(_mm512_sub_pd(xl, xl), _mm512_setzero_pd(), _CMP_EQ_OQ);
        ok &= _mm512_cmpneq_epi64_mask(bits_x, _mm512_castpd_si512(splat(-0.0)));
        for (int j = 0; j < kP2Markers; ++j)
            ok &= _mm512_cmpeq_epi64_mask(_mm512_castpd_si512(row(set + p2_q(j))), bits_x);
        return ok == 0xFF;
    }

    KESTROVANE_TARGET_AVX512 static void flat_update(double* set, const double (&desired)[4],
                                                     double n) {
        const __m512d one = splat(1.0);
        __m512d pos[5] = {one, row(set + p2_n(1)), row(set + p2_n(2)), row(set + p2_n(3)),
                          splat(n)};
        for (int i = 1; i <= 3; ++i) {
            const __m512d d = _mm512_sub_pd(splat(desired[i]), pos[i]);
            const __mmask8 up = _mm512_cmp_pd_mask(d, one, _CMP_GE_OQ) &
                                _mm512_cmp_pd_mask(_mm512_sub_pd(pos[i + 1], pos[i]), one, _CMP_GT_OQ);
            const __mmask8 down =
                _mm512_cmp_pd_mask(d, splat(-1.0), _CMP_LE_OQ) &
                _mm512_cmp_pd_mask(_mm512_sub_pd(pos[i - 1], pos[i]), splat(-1.0), _CMP_LT_OQ);
            pos[i] = _mm512_mask_add_pd(pos[i], up, pos[i], one);
            pos[i] = _mm512_mask_sub_pd(pos[i], down, pos[i], one);
        }
        for (int i = 1; i <= 3; ++i) _mm512_storeu_pd(set + p2_n(i), pos[i]);
    }

    // p2_list_movers by compression; writes eight entries, keeps popcount.
    KESTROVANE_TARGET_AVX512 static void list(std::int32_t* moving, std::int32_t* size,
                                              std::int64_t offset, unsigned mask) {
        const __m256i lanes = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(offset)),
                                               _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(moving + *size),
                            _mm256_maskz_compress_epi32(static_cast<__mmask8>(mask), lanes));
        *size += __builtin_popcount(mask);
    }

    // p2_lane_move for eight listed lanes at a time, gathered into registers:
    // the listed lanes are distinct estimators, so their moves are
    // independent.  The linear fallback's quotient is taken only when a lane
    // needs it, which changes no bit of the others.
    template <int I>
    KESTROVANE_TARGET_AVX512 static void move(double* base, const std::int32_t* moving,
                                              std::int32_t size, double desired, double n) {
        static_assert(I >= 1 && I <= 3, "inner markers only");
        const __m512d one = splat(1.0), minus_one = splat(-1.0), zero = _mm512_setzero_pd();
        for (std::int32_t t = 0; t < size; t += kP2Lanes) {
            const std::int32_t left = size - t;
            const __mmask8 live = static_cast<__mmask8>(left >= kP2Lanes ? 0xFFu : (1u << left) - 1u);
            const __m256i at = _mm256_maskz_loadu_epi32(live, moving + t);
            const __m512d qm = gather(base + p2_q(I - 1), at, live, zero);
            const __m512d qi = gather(base + p2_q(I), at, live, zero);
            const __m512d qp = gather(base + p2_q(I + 1), at, live, zero);
            const __m512d nm = I == 1 ? one : gather(base + p2_n(I - 1), at, live, zero);
            const __m512d ni = gather(base + p2_n(I), at, live, one);
            const __m512d np = I == 3 ? splat(n) : gather(base + p2_n(I + 1), at, live, zero);
            const __mmask8 up = _mm512_cmp_pd_mask(_mm512_sub_pd(splat(desired), ni), one, _CMP_GE_OQ);
            const __m512d dd = _mm512_mask_blend_pd(up, minus_one, one);
            __m512d qhat;
            p2_parabolic(qhat, qm, qi, qp, nm, ni, np, dd);
            const __mmask8 inside = _mm512_cmp_pd_mask(qm, qhat, _CMP_LT_OQ) &
                                    _mm512_cmp_pd_mask(qhat, qp, _CMP_LT_OQ);
            const __mmask8 linear = static_cast<__mmask8>(~inside & live);
            if (linear) {
                const __m512d q_next = _mm512_mask_blend_pd(up, qm, qp);
                const __m512d n_next = _mm512_mask_blend_pd(up, nm, np);
                __m512d line;
                p2_linear(line, qi, q_next, ni, n_next, dd);
                qhat = _mm512_mask_blend_pd(linear, qhat, line);
            }
            _mm512_mask_i32scatter_pd(base + p2_q(I), live, at, qhat, 8);
            _mm512_mask_i32scatter_pd(base + p2_n(I), live, at, _mm512_add_pd(ni, dd), 8);
        }
    }
};

#endif

}  // namespace kestrovane

// The instruction sets the estimators may use beyond the x86-64 baseline
// (SSE2), and whether this processor and its system support them.  Code for
// them is compiled function by function (the target attributes below) and
// run only where lane_isa_available() says so; elsewhere, and on other
// targets, the baseline runs.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define KESTROVANE_X86_SIMD 1
#include <immintrin.h>
#define KESTROVANE_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#define KESTROVANE_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,avx512dq,popcnt")))
#endif

namespace kestrovane {

enum class LaneIsa { baseline, avx2, avx512 };

// Its name, as KESTROVANE_P2_LANES gives it.
inline const char* lane_isa_key(LaneIsa isa) {
    switch (isa) {
        case LaneIsa::avx2: return "avx2";
        case LaneIsa::avx512: return "avx512";
        default: return "baseline";
    }
}

// The processor has the instructions and the system saves their registers
// (the compiler's feature check reads both).
inline bool lane_isa_available(LaneIsa isa) {
#ifdef KESTROVANE_X86_SIMD
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    }();
    static const bool avx512 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("popcnt");
    }();
    switch (isa) {
        case LaneIsa::avx2: return avx2;
        case LaneIsa::avx512: return avx512;
        default: return true;
    }
#else
    return isa == LaneIsa::baseline;
#endif
}

inline LaneIsa best_lane_isa() {
    if (lane_isa_available(LaneIsa::avx512)) return LaneIsa::avx512;
    if (lane_isa_available(LaneIsa::avx2)) return LaneIsa::avx2;
    return LaneIsa::baseline;
}

}  // namespace kestrovane

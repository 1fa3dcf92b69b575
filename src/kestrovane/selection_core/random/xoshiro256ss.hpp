// xoshiro256** generator seeded by splitmix64, with uniform doubles from the
// top 53 bits of an output and standard normals from basic Box-Muller.
//
// Each kernel call owns one record on its stack, seeds it once and advances
// it; nothing is global, nothing allocates, nothing can fail.  Integer state,
// outputs and uniforms are exact on every platform; normals are exact up to
// the libm's log, sqrt and sin/cos.
#pragma once

#include <cmath>
#include <cstdint>

namespace kestrovane {

struct Xoshiro256ss {
    std::uint64_t s0;
    std::uint64_t s1;
    std::uint64_t s2;
    std::uint64_t s3;
    std::int32_t has_spare;  // 1 while `spare` is still to be handed out
    double spare;
};

// k in 1..63; k = 0 would shift by 64.
inline std::uint64_t _xoshiro_rotl(std::uint64_t x, std::int32_t k) {
    return (x << k) | (x >> (64 - k));
}

inline std::uint64_t _splitmix64(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

inline void _xoshiro_seed(Xoshiro256ss* rng, std::uint64_t seed) {
    rng->has_spare = 0;
    rng->spare = 0.0;
    std::uint64_t sm = seed;
    rng->s0 = _splitmix64(&sm);
    rng->s1 = _splitmix64(&sm);
    rng->s2 = _splitmix64(&sm);
    rng->s3 = _splitmix64(&sm);
}

inline std::uint64_t _xoshiro_next_u64(Xoshiro256ss* rng) {
    const std::uint64_t result = _xoshiro_rotl(rng->s1 * 5, 7) * 9;
    const std::uint64_t t = rng->s1 << 17;
    rng->s2 ^= rng->s0;
    rng->s3 ^= rng->s1;
    rng->s1 ^= rng->s2;
    rng->s0 ^= rng->s3;
    rng->s2 ^= t;
    rng->s3 = _xoshiro_rotl(rng->s3, 45);
    return result;
}

// Top 53 bits times 2^-53: exact, in [0, 1 - 2^-53]; 1.0 never occurs.
inline double _xoshiro_u01(Xoshiro256ss* rng) {
    return static_cast<double>(_xoshiro_next_u64(rng) >> 11) * 0x1.0p-53;
}

// One Box-Muller evaluation serves two calls: the sine half waits in `spare`.
inline double _xoshiro_randn(Xoshiro256ss* rng) {
    if (rng->has_spare) {
        rng->has_spare = 0;
        return rng->spare;
    }
    double u1 = _xoshiro_u01(rng);
    const double u2 = _xoshiro_u01(rng);
    // Only u1 = 0 is below the floor; it would make log() return -inf.
    if (1e-300 > u1) u1 = 1e-300;
    const double r = std::sqrt(std::log(u1) * -2.0);
    const double theta = u2 * 6.283185307179586;
    double s, c;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    ::sincos(theta, &s, &c);
#else
    s = std::sin(theta);
    c = std::cos(theta);
#endif
    rng->spare = r * s;
    rng->has_spare = 1;
    return r * c;
}

// Moves the generator past `count` normals exactly as `count` calls of
// _xoshiro_randn would, without computing them: a pair costs two raw steps,
// and only a pair that the skip ends inside is evaluated, for its spare.
// This is how one stream is split over threads: every sample takes a known
// number of normals, so a thread starts its samples at a known place.
inline void _xoshiro_skip_normals(Xoshiro256ss* rng, std::uint64_t count) {
    if (count == 0) return;
    if (rng->has_spare) {
        rng->has_spare = 0;
        --count;
    }
    for (std::uint64_t step = 0; step < count / 2 * 2; ++step) _xoshiro_next_u64(rng);
    if (count % 2 == 1) static_cast<void>(_xoshiro_randn(rng));
}

}  // namespace kestrovane

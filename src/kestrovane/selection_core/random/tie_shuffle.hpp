// The random tie order: per sample, a uniformly random permutation of the
// rows, drawn from a stream of its own (the normals stay the ones the
// index-ordered loop draws).  The permutation is a function of the tie seed
// and the sample index only, so every thread count gives the same one.
#pragma once

#include <cstdint>
#include <utility>

#include "kestrovane/selection_core/random/xoshiro256ss.hpp"

namespace kestrovane {

// The tie stream's seed: apart from the generator's, which runs splitmix64
// from `seed` itself.
inline std::uint64_t tie_seed_of(std::uint64_t seed) {
    std::uint64_t state = seed ^ 0x6A09E667F3BCC909ULL;
    return _splitmix64(&state);
}

// Sample s's splitmix64 state: distinct samples get distinct states (the
// mix is a bijection), at unrelated places of the stream.
inline std::uint64_t tie_sample_state(std::uint64_t tie_seed, std::int32_t s) {
    std::uint64_t state = tie_seed + 0xD1B54A32D192ED03ULL * (static_cast<std::uint64_t>(s) + 1);
    return _splitmix64(&state);
}

// Uniform in 0 .. range - 1 for 1 <= range <= 2^31: Lemire's multiply-shift
// on 32 bits with rejection, so no residue is favoured.
inline std::uint32_t tie_bounded(std::uint64_t* state, std::uint32_t range) {
    std::uint64_t product = (_splitmix64(state) >> 32) * range;
    std::uint32_t low = static_cast<std::uint32_t>(product);
    if (low < range) {
        const std::uint32_t reject_below = (0u - range) % range;  // 2^32 mod range
        while (low < reject_below) {
            product = (_splitmix64(state) >> 32) * range;
            low = static_cast<std::uint32_t>(product);
        }
    }
    return static_cast<std::uint32_t>(product >> 32);
}

// perm[0 .. n-1] := sample s's permutation of 0 .. n-1, by the inside-out
// Fisher-Yates shuffle (no earlier content is read).
inline void tie_permutation(std::uint64_t tie_seed, std::int32_t s, std::int32_t n,
                            std::int32_t* perm) {
    std::uint64_t state = tie_sample_state(tie_seed, s);
    for (std::int32_t i = 0; i < n; ++i) {
        perm[i] = i;
        if (i == 0) continue;
        const std::uint32_t j = tie_bounded(&state, static_cast<std::uint32_t>(i) + 1);
        std::swap(perm[i], perm[j]);
    }
}

// inverse[perm[i]] := i.
inline void invert_permutation(const std::int32_t* perm, std::int32_t n, std::int32_t* inverse) {
    for (std::int32_t i = 0; i < n; ++i) inverse[perm[i]] = i;
}

}  // namespace kestrovane

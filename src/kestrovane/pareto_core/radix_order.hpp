// Stable LSD radix sort of one objective's values: the individuals by
// (value, index) without comparisons, O(8 N).  Pays off from a few hundred
// individuals on, where a comparison sort's mispredicted branches dominate.
#pragma once

#include <cstdint>
#include <cstring>

namespace kestrovane::pareto {

// Unsigned key that orders like the double (NaN excluded); -0.0 and 0.0 get
// the same key, as they compare equal.
inline std::uint64_t order_key(double v) {
    v += 0.0;  // -0.0 + 0.0 is +0.0
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) ? ~bits : (bits | 0x8000000000000000ULL);
}

// out[0..n): the indices 0..n-1 by (values[i * stride], i).  `keys` and `tmp`
// are scratch of n entries.
inline void radix_order(const double* values, std::int64_t stride, std::int64_t n,
                        std::uint64_t* keys, std::int32_t* tmp, std::int32_t* out) {
    constexpr int kPasses = 8;
    std::uint32_t count[kPasses][256] = {};
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint64_t key = order_key(values[i * stride]);
        keys[i] = key;
        for (int p = 0; p < kPasses; ++p) ++count[p][(key >> (8 * p)) & 0xFF];
    }
    // A pass whose digit is the same for everyone leaves the order alone.
    int active[kPasses], n_active = 0;
    for (int p = 0; p < kPasses; ++p)
        if (count[p][(keys[0] >> (8 * p)) & 0xFF] != static_cast<std::uint64_t>(n)) active[n_active++] = p;
    if (n_active == 0) {
        for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::int32_t>(i);
        return;
    }
    // Ping-pong so that the last pass writes `out`.
    std::int32_t* dst = (n_active % 2 == 1) ? out : tmp;
    const std::int32_t* src = nullptr;  // the first pass reads 0..n-1
    for (int a = 0; a < n_active; ++a) {
        const int shift = 8 * active[a];
        std::uint32_t pos[256];
        std::uint32_t sum = 0;
        for (int d = 0; d < 256; ++d) {
            pos[d] = sum;
            sum += count[active[a]][d];
        }
        for (std::int64_t j = 0; j < n; ++j) {
            const std::int32_t i = src ? src[j] : static_cast<std::int32_t>(j);
            dst[pos[(keys[i] >> shift) & 0xFF]++] = i;
        }
        src = dst;
        dst = (dst == out) ? tmp : out;
    }
}

}  // namespace kestrovane::pareto

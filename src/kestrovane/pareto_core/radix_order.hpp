// LSD radix sort of doubles (an objective's values, the crowding scores):
// the indices by (value, index) with few comparisons.  Pays off from a few
// dozen values on, where a comparison sort's mispredicted branches dominate.
#pragma once

#include <algorithm>
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

// Sorts `order`, which holds the indices by (keys[i] >> shift, i), by
// (keys[i], i): only runs that agree above `shift` can be out of place.
inline void refine_order(const std::uint64_t* keys, std::int64_t n, int shift,
                         std::int32_t* order) {
    if (shift == 0) return;
    for (std::int64_t begin = 0; begin + 1 < n;) {
        const std::uint64_t high = keys[order[begin]] >> shift;
        std::int64_t end = begin + 1;
        while (end < n && keys[order[end]] >> shift == high) ++end;
        const auto less = [keys](std::int32_t a, std::int32_t b) {
            return keys[a] < keys[b] || (keys[a] == keys[b] && a < b);
        };
        // Runs of equal keys are common (copies, infinite scores) and sorted.
        if (end - begin > 1 && !std::is_sorted(order + begin, order + end, less))
            std::sort(order + begin, order + end, less);
        begin = end;
    }
}

// out[0..n): the indices 0..n-1 by (keys[i], i).  `tmp` is scratch of n
// entries.  Only the 24 key bits from the highest bit that differs between
// two keys down are radix-sorted (for doubles of both signs: sign, exponent
// and the top mantissa bits); keys that agree on them as well are rare on
// continuous data and are then put in order by comparison.
inline void radix_order_keys(const std::uint64_t* keys, std::int64_t n, std::int32_t* tmp,
                             std::int32_t* out) {
    constexpr int kPasses = 3;
    std::uint64_t differ = 0;
    for (std::int64_t i = 0; i < n; ++i) differ |= keys[i] ^ keys[0];
    if (differ == 0) {
        for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::int32_t>(i);
        return;
    }
    int top = 63;
    while (!(differ >> top)) --top;
    const int low = top + 1 > 8 * kPasses ? top + 1 - 8 * kPasses : 0;
    std::uint32_t count[kPasses][256] = {};
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint64_t key = keys[i] >> low;
        for (int p = 0; p < kPasses; ++p) ++count[p][(key >> (8 * p)) & 0xFF];
    }
    // A pass whose digit is the same for everyone leaves the order alone.
    int active[kPasses], n_active = 0;
    for (int p = 0; p < kPasses; ++p)
        if (count[p][(keys[0] >> (low + 8 * p)) & 0xFF] != static_cast<std::uint64_t>(n))
            active[n_active++] = p;
    // Ping-pong so that the last pass writes `out` (the top digit differs,
    // so at least one pass runs).
    std::int32_t* dst = (n_active % 2 == 1) ? out : tmp;
    const std::int32_t* src = nullptr;  // the first pass reads 0..n-1
    for (int a = 0; a < n_active; ++a) {
        const int shift = low + 8 * active[a];
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
    refine_order(keys, n, low, out);
}

// out[0..n): the indices 0..n-1 by (values[i * stride], i).  `keys` and `tmp`
// are scratch of n entries.
inline void radix_order(const double* values, std::int64_t stride, std::int64_t n,
                        std::uint64_t* keys, std::int32_t* tmp, std::int32_t* out) {
    for (std::int64_t i = 0; i < n; ++i) keys[i] = order_key(values[i * stride]);
    radix_order_keys(keys, n, tmp, out);
}

}  // namespace kestrovane::pareto

// Known-answer tests for the xoshiro256** source.  Expected values come from
// gen_random_vectors.py, an independent pure-Python version of the generator.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "check.hpp"
// First, as in the module: <immintrin.h> defines macros such as _rotl and
// _rotr, which must not reach a name of the generator.
#include "kestrovane/selection_core/quantiles/x86_simd.hpp"
#include "kestrovane/selection_core/random/xoshiro256ss.hpp"

using kestrovane::Xoshiro256ss;

namespace {

// ---- vectors printed by gen_random_vectors.py ----
constexpr std::uint64_t kSplitmixSeed0[] = {
    0xE220A8397B1DCDAFULL, 0x6E789E6AA1B965F4ULL, 0x06C45D188009454FULL,
    0xF88BB8A8724C81ECULL, 0x1B39896A51A8749BULL, 0x53CB9F0C747EA2EAULL,
};
constexpr std::uint64_t kStateSeed0[] = {
    0xE220A8397B1DCDAFULL, 0x6E789E6AA1B965F4ULL,
    0x06C45D188009454FULL, 0xF88BB8A8724C81ECULL,
};
constexpr std::uint64_t kStateSeed1[] = {
    0x910A2DEC89025CC1ULL, 0xBEEB8DA1658EEC67ULL,
    0xF893A2EEFB32555EULL, 0x71C18690EE42C90BULL,
};
constexpr std::uint64_t kStateSeedMax[] = {
    0xE4D971771B652C20ULL, 0xE99FF867DBF682C9ULL,
    0x382FF84CB27281E9ULL, 0x6D1DB36CCBA982D2ULL,
};
constexpr std::uint64_t kU64Seed0[] = {
    0x99EC5F36CB75F2B4ULL, 0xBF6E1F784956452AULL, 0x1A5F849D4933E6E0ULL,
    0x6AA594F1262D2D2CULL, 0xBBA5AD4A1F842E59ULL, 0xFFEF8375D9EBCACAULL,
};
constexpr std::uint64_t kU64Seed1[] = {
    0xB3F2AF6D0FC710C5ULL, 0x853B559647364CEAULL, 0x92F89756082A4514ULL,
    0x642E1C7BC266A3A7ULL, 0xB27A48E29A233673ULL, 0x24C123126FFDA722ULL,
};
constexpr std::uint64_t kU64SeedMax[] = {
    0x8F5520D52A7EAD08ULL, 0xC476A018CAA1802DULL, 0x81DE31C0D260469EULL,
    0xBF658D7E065F3C2FULL, 0x913593FDA1BCA32AULL, 0xBB535E93941BA525ULL,
};
constexpr std::uint64_t kStateSeed0After3[] = {
    0xD25FE24EBB167550ULL, 0x1EC6297E161873C9ULL,
    0x9F7FFFEF4C273F8AULL, 0x7D71B21262A405B1ULL,
};
constexpr std::uint64_t kU01Seed12345[] = {
    0x3FE7CD46C6E82C1AULL, 0x3FC0A555031BD344ULL, 0x3FEED3A2DBD32A9AULL,
    0x3FA8C009189D2DC0ULL, 0x3FE1C40ED5DDAA38ULL, 0x3F85DE60E0FE2840ULL,
};
constexpr std::uint64_t kRandnSeed0[] = {
    0xBF8CE4064B3AE873ULL, 0xBFF0232B91AAA7A5ULL, 0xBFFD88C949980295ULL,
    0x3FF1122350011511ULL, 0x3FE938C38139F4F7ULL, 0xBF546952C7A96694ULL,
    0xBFF47C75A32F0257ULL, 0xBFD2ABD0BE9F6AB2ULL,
};
constexpr std::uint64_t kRandnSeed42[] = {
    0xBFF9CFC3B5554226ULL, 0x3FF88D42946B3DE2ULL, 0x3FE9039F092211CBULL,
    0xBFD99CC52C8C3EBCULL, 0x3F90409077FAF56DULL, 0xBFC04BB11BDC1BCEULL,
    0x3FDE8AB869120C28ULL, 0xBFE5042C21093054ULL,
};
// s1 whose xoshiro256** output is all ones.
constexpr std::uint64_t kS1AllOnes = 0x4FC71C71C71C71C7ULL;
// Pair drawn from s0 = 0x0123456789ABCDEF, s1 = 0, s2 = s0 ^ kS1AllOnes,
// s3 = 0xFEDCBA9876543210: u1 = 0 (floored to 1e-300), u2 = 1 - 2^-53.
constexpr std::uint64_t kRandnZeroU1[] = {0x404295A910166F18ULL, 0xBD27B5A93E8FAC8FULL};

constexpr std::uint64_t kAllOnes = ~0ULL;

Xoshiro256ss seeded(std::uint64_t seed) {
    Xoshiro256ss rng;
    kestrovane::_xoshiro_seed(&rng, seed);
    return rng;
}

Xoshiro256ss with_state(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2, std::uint64_t s3) {
    return Xoshiro256ss{s0, s1, s2, s3, 0, 0.0};
}

bool same_state(const Xoshiro256ss& a, const Xoshiro256ss& b) {
    return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3;
}

void check_state(const Xoshiro256ss& rng, const std::uint64_t* want) {
    CHECK_EQ(rng.s0, want[0]);
    CHECK_EQ(rng.s1, want[1]);
    CHECK_EQ(rng.s2, want[2]);
    CHECK_EQ(rng.s3, want[3]);
}

// Normals go through libm; glibc (which also produced the vectors via
// Python's math module) matches to the bit, other libms to a few ulp.
void check_normal(double got, std::uint64_t want) {
#if defined(__GLIBC__)
    CHECK_BITS(got, want);
#else
    const double w = kcheck::from_bits(want);
    CHECK(std::fabs(got - w) <= 4 * std::fabs(std::nextafter(w, 0.0) - w));
#endif
}

// ---- tests ----

void test_layout() {
    static_assert(std::is_standard_layout_v<Xoshiro256ss>);
    static_assert(offsetof(Xoshiro256ss, s0) < offsetof(Xoshiro256ss, s1));
    static_assert(offsetof(Xoshiro256ss, s1) < offsetof(Xoshiro256ss, s2));
    static_assert(offsetof(Xoshiro256ss, s2) < offsetof(Xoshiro256ss, s3));
    static_assert(offsetof(Xoshiro256ss, s3) < offsetof(Xoshiro256ss, has_spare));
    static_assert(offsetof(Xoshiro256ss, has_spare) < offsetof(Xoshiro256ss, spare));
    static_assert(std::is_same_v<decltype(Xoshiro256ss::has_spare), std::int32_t>);
}

void test_xoshiro_rotl() {
    // Direction and wrap-around of the bits leaving the top.
    CHECK_EQ(kestrovane::_xoshiro_rotl(0x8000000000000001ULL, 1), 0x3ULL);
    CHECK_EQ(kestrovane::_xoshiro_rotl(0x1ULL, 63), 0x8000000000000000ULL);
    CHECK_EQ(kestrovane::_xoshiro_rotl(0x0123456789ABCDEFULL, 45), 0x79BDE02468ACF135ULL);
}

void test_splitmix_seed0() {
    std::uint64_t sm = 0;
    for (std::uint64_t want : kSplitmixSeed0) CHECK_EQ(kestrovane::_splitmix64(&sm), want);
    // The state itself advances by the golden-ratio increment per call.
    CHECK_EQ(sm, 6 * 0x9E3779B97F4A7C15ULL);
}

void test_seeding() {
    check_state(seeded(0), kStateSeed0);
    check_state(seeded(1), kStateSeed1);
    check_state(seeded(kAllOnes), kStateSeedMax);

    // Seeding clears a pending spare, so a re-seeded record replays exactly.
    Xoshiro256ss rng = seeded(7);
    const double first = kestrovane::_xoshiro_randn(&rng);
    CHECK_EQ(rng.has_spare, 1);
    kestrovane::_xoshiro_seed(&rng, 7);
    CHECK_EQ(rng.has_spare, 0);
    CHECK_BITS(rng.spare, 0ULL);
    CHECK_BITS(kestrovane::_xoshiro_randn(&rng), kcheck::bits_of(first));
}

void test_next_u64() {
    const struct {
        std::uint64_t seed;
        const std::uint64_t* want;
    } cases[] = {{0, kU64Seed0}, {1, kU64Seed1}, {kAllOnes, kU64SeedMax}};
    for (const auto& c : cases) {
        Xoshiro256ss rng = seeded(c.seed);
        for (int i = 0; i < 6; ++i) CHECK_EQ(kestrovane::_xoshiro_next_u64(&rng), c.want[i]);
        CHECK_EQ(rng.has_spare, 0);
    }
    Xoshiro256ss rng = seeded(0);
    for (int i = 0; i < 3; ++i) kestrovane::_xoshiro_next_u64(&rng);
    check_state(rng, kStateSeed0After3);
}

void test_u01() {
    Xoshiro256ss rng = seeded(12345);
    for (std::uint64_t want : kU01Seed12345) CHECK_BITS(kestrovane::_xoshiro_u01(&rng), want);

    // One step per uniform, and exactly the top 53 bits of that step.
    Xoshiro256ss a = seeded(99), b = seeded(99);
    bool all_match = true, all_in_range = true;
    for (int i = 0; i < 10000; ++i) {
        const double u = kestrovane::_xoshiro_u01(&a);
        const std::uint64_t x = kestrovane::_xoshiro_next_u64(&b);
        all_match &= u == static_cast<double>(x >> 11) / 9007199254740992.0;
        all_in_range &= u >= 0.0 && u < 1.0;
    }
    CHECK(all_match);
    CHECK(all_in_range);
    CHECK(same_state(a, b));

    // Extremes: output 0 gives exactly 0.0; all-ones gives 1 - 2^-53, never 1.0.
    Xoshiro256ss lo = with_state(5, 0, 6, 7);
    CHECK_BITS(kestrovane::_xoshiro_u01(&lo), 0x0000000000000000ULL);
    Xoshiro256ss hi = with_state(5, kS1AllOnes, 6, 7);
    Xoshiro256ss hi_copy = hi;
    CHECK_EQ(kestrovane::_xoshiro_next_u64(&hi_copy), kAllOnes);
    const double top = kestrovane::_xoshiro_u01(&hi);
    CHECK_BITS(top, 0x3FEFFFFFFFFFFFFFULL);
    CHECK(top < 1.0);
    CHECK(top * 6.283185307179586 < 6.283185307179586);
}

void test_randn_pairs() {
    const struct {
        std::uint64_t seed;
        const std::uint64_t* want;
    } cases[] = {{0, kRandnSeed0}, {42, kRandnSeed42}};
    for (const auto& c : cases) {
        Xoshiro256ss rng = seeded(c.seed);
        Xoshiro256ss shadow = rng;  // advanced by hand to count steps
        for (int i = 0; i < 8; i += 2) {
            // First of a pair: two steps, the sine half parked as the spare.
            const double cos_half = kestrovane::_xoshiro_randn(&rng);
            kestrovane::_xoshiro_next_u64(&shadow);
            kestrovane::_xoshiro_next_u64(&shadow);
            CHECK(same_state(rng, shadow));
            CHECK_EQ(rng.has_spare, 1);
            check_normal(cos_half, c.want[i]);
            const double parked = rng.spare;

            // Second: the spare itself, no step.
            const double sin_half = kestrovane::_xoshiro_randn(&rng);
            CHECK(same_state(rng, shadow));
            CHECK_EQ(rng.has_spare, 0);
            CHECK_BITS(sin_half, kcheck::bits_of(parked));
            check_normal(sin_half, c.want[i + 1]);
        }
    }
}

void test_randn_zero_uniform() {
    const std::uint64_t s0 = 0x0123456789ABCDEFULL;
    Xoshiro256ss rng = with_state(s0, 0, s0 ^ kS1AllOnes, 0xFEDCBA9876543210ULL);
    Xoshiro256ss probe = rng;
    CHECK_EQ(kestrovane::_xoshiro_next_u64(&probe), 0ULL);       // u1 = 0
    CHECK_EQ(kestrovane::_xoshiro_next_u64(&probe), kAllOnes);   // u2 = 1 - 2^-53

    const double c = kestrovane::_xoshiro_randn(&rng);
    const double s = kestrovane::_xoshiro_randn(&rng);
    CHECK(std::isfinite(c));
    CHECK(std::isfinite(s));
    check_normal(c, kRandnZeroU1[0]);
    check_normal(s, kRandnZeroU1[1]);
    // Radius of the floored pair: sqrt(-2 ln 1e-300) ~ 37.17.
    CHECK(std::fabs(std::hypot(c, s) - 37.169221888498384) < 1e-12);
    // θ just below 2π: cosine ~ +r, sine a tiny negative.
    CHECK(c > 37.0);
    CHECK(s < 0.0 && s > -1e-12);
}

void test_randn_moments() {
    // Coarse guard against a broken transform that known answers alone might
    // share with the generator script (both written from one description).
    Xoshiro256ss rng = seeded(2024);
    const int n = 200000;
    double sum = 0.0, sum2 = 0.0, sum4 = 0.0;
    for (int i = 0; i < n; ++i) {
        const double z = kestrovane::_xoshiro_randn(&rng);
        sum += z;
        sum2 += z * z;
        sum4 += z * z * z * z;
    }
    const double mean = sum / n, var = sum2 / n - mean * mean, kurt = sum4 / n;
    CHECK(std::fabs(mean) < 0.015);      // ~6.7 sigma
    CHECK(std::fabs(var - 1.0) < 0.02);  // ~6.3 sigma
    CHECK(std::fabs(kurt - 3.0) < 0.15);
}

void test_skip_normals() {
    // Skipping k normals leaves the generator where k draws would: same
    // state, same spare, so the next normals are the same bits.  Starts with
    // and without a parked spare, odd and even k, zero.
    for (const int start_draws : {0, 1, 2, 5}) {
        for (const std::uint64_t k : {0ULL, 1ULL, 2ULL, 3ULL, 4ULL, 7ULL, 64ULL, 1001ULL}) {
            Xoshiro256ss drawn = seeded(7);
            for (int i = 0; i < start_draws; ++i) kestrovane::_xoshiro_randn(&drawn);
            Xoshiro256ss skipped = drawn;
            for (std::uint64_t i = 0; i < k; ++i) kestrovane::_xoshiro_randn(&drawn);
            kestrovane::_xoshiro_skip_normals(&skipped, k);
            CHECK(same_state(drawn, skipped));
            CHECK_EQ(drawn.has_spare, skipped.has_spare);
            for (int i = 0; i < 3; ++i)
                CHECK_BITS(kestrovane::_xoshiro_randn(&skipped),
                           kcheck::bits_of(kestrovane::_xoshiro_randn(&drawn)));
        }
    }
}

}  // namespace

int main() {
    RUN(test_layout);
    RUN(test_xoshiro_rotl);
    RUN(test_splitmix_seed0);
    RUN(test_seeding);
    RUN(test_next_u64);
    RUN(test_u01);
    RUN(test_randn_pairs);
    RUN(test_randn_zero_uniform);
    RUN(test_randn_moments);
    RUN(test_skip_normals);
    return kcheck::finish();
}

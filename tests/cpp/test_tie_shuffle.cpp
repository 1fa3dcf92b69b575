// The random tie order's permutations: known answers from gen_tie_vectors.py
// (an independent Python version), validity, dependence on (seed, sample)
// only, and uniformity.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "kestrovane/selection_core/random/tie_shuffle.hpp"

using kestrovane::tie_seed_of;
using kestrovane::tie_permutation;

namespace {

// ---- vectors printed by gen_tie_vectors.py ----
constexpr std::uint64_t kTieSeeds[] = {
    0x63CFC62A2B097592ULL, 0x1AC046DDA8E86E2AULL, 0x28B159DEFD9C7FBAULL,
};
// twelve draws below 3 * 2^30 from state 0x0123456789ABCDEF, then the state
constexpr std::uint32_t kBoundedDraws[] = {270248453,  2685828596, 598509922,  2048856806,
                                           15743406,   1726283591, 3139675258, 484482123,
                                           2588579673, 1339214013, 1795941445, 2716916088};
constexpr std::uint64_t kBoundedState = 0xE49AE0FF7E538F3FULL;
constexpr std::int32_t kPermSeed0Sample0[] = {4, 0, 3, 5, 7, 1, 8, 6, 2, 9};
constexpr std::int32_t kPermSeed0Sample1[] = {3, 6, 4, 0, 5, 2, 7, 8, 9, 1};
constexpr std::int32_t kPermSeedMaxSample7[] = {3, 9, 10, 11, 5, 8, 4, 2, 7, 6, 1, 0};
// ---- end of vectors ----

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

std::vector<std::int32_t> permutation(std::uint64_t seed, std::int32_t s, std::int32_t n) {
    std::vector<std::int32_t> perm(static_cast<std::size_t>(n), -1);
    tie_permutation(tie_seed_of(seed), s, n, perm.data());
    return perm;
}

void test_known_answers() {
    CHECK_EQ(tie_seed_of(0), kTieSeeds[0]);
    CHECK_EQ(tie_seed_of(1), kTieSeeds[1]);
    CHECK_EQ(tie_seed_of(kAllOnes), kTieSeeds[2]);
    // A bound that rejects a quarter of the draws (four of the sixteen here).
    std::uint64_t state = 0x0123456789ABCDEFULL;
    for (std::uint32_t want : kBoundedDraws)
        CHECK_EQ(kestrovane::tie_bounded(&state, 3u << 30), want);
    CHECK_EQ(state, kBoundedState);
    const struct {
        std::uint64_t seed;
        std::int32_t s;
        const std::int32_t* want;
        std::int32_t n;
    } cases[] = {{0, 0, kPermSeed0Sample0, 10},
                 {0, 1, kPermSeed0Sample1, 10},
                 {kAllOnes, 7, kPermSeedMaxSample7, 12}};
    for (const auto& c : cases)
        CHECK(permutation(c.seed, c.s, c.n) == std::vector<std::int32_t>(c.want, c.want + c.n));
}

// Every size gives a permutation, and its inverse inverts it; the result
// depends on (seed, sample) only, not on what was computed before.
void test_valid_and_a_function_of_seed_and_sample() {
    for (std::int32_t n : {0, 1, 2, 3, 64, 1000}) {
        std::vector<std::int32_t> perm = permutation(5, 3, n);
        std::vector<std::int32_t> inverse(perm.size(), -1);
        kestrovane::invert_permutation(perm.data(), n, inverse.data());
        std::vector<std::int32_t> sorted = perm;
        std::sort(sorted.begin(), sorted.end());
        bool identity = true, inverted = true;
        for (std::int32_t i = 0; i < n; ++i) {
            identity &= sorted[i] == i;
            inverted &= inverse[perm[i]] == i;
        }
        CHECK(identity);
        CHECK(inverted);
    }
    // Backwards, interleaved with another seed: the same permutations.
    std::vector<std::vector<std::int32_t>> forward;
    for (std::int32_t s = 0; s < 20; ++s) forward.push_back(permutation(9, s, 16));
    for (std::int32_t s = 19; s >= 0; --s) {
        permutation(10, s, 16);
        CHECK(permutation(9, s, 16) == forward[s]);
    }
    CHECK(permutation(9, 0, 16) != permutation(10, 0, 16));
    CHECK(forward[0] != forward[1]);
}

// Samples 0 .. n_samples-1 of one seed: every permutation of n (n! of them,
// numbered by their Lehmer code) equally often, each count within five
// standard deviations, and a chi-square within five of its own.
void check_uniform(std::int32_t n, std::int32_t n_samples) {
    std::int32_t cells = 1;
    for (std::int32_t i = 2; i <= n; ++i) cells *= i;
    std::vector<std::int64_t> counts(static_cast<std::size_t>(cells), 0);
    std::vector<std::int32_t> perm(static_cast<std::size_t>(n));
    const std::uint64_t tie_seed = tie_seed_of(2024);
    for (std::int32_t s = 0; s < n_samples; ++s) {
        tie_permutation(tie_seed, s, n, perm.data());
        std::int32_t code = 0;
        for (std::int32_t i = 0; i < n; ++i) {
            std::int32_t smaller_after = 0;
            for (std::int32_t j = i + 1; j < n; ++j) smaller_after += perm[j] < perm[i];
            code = code * (n - i) + smaller_after;
        }
        ++counts[code];
    }
    const double p = 1.0 / cells, expected = n_samples * p;
    const double sd = std::sqrt(n_samples * p * (1.0 - p));
    double chi2 = 0.0, worst = 0.0;
    for (std::int64_t c : counts) {
        chi2 += (c - expected) * (c - expected) / expected;
        worst = std::max(worst, std::abs(c - expected));
    }
    const double dof = cells - 1;
    CHECK(worst < 5.0 * sd);
    CHECK(std::abs(chi2 - dof) < 5.0 * std::sqrt(2.0 * dof));
}

void test_uniform() {
    check_uniform(2, 20000);
    check_uniform(3, 60000);
    check_uniform(4, 96000);
}

}  // namespace

int main() {
    RUN(test_known_answers);
    RUN(test_valid_and_a_function_of_seed_and_sample);
    RUN(test_uniform);
    return kcheck::finish();
}

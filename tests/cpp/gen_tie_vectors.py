#!/usr/bin/env python3
"""Prints the known-answer vectors hard-coded in test_tie_shuffle.cpp.

The tie order's permutations re-implemented in plain Python integers, on the
splitmix64 of gen_random_vectors.py.  Run: python3 tests/cpp/gen_tie_vectors.py
"""
from gen_random_vectors import MASK, dump, hx, splitmix64

WORD = 1 << 32


def tie_seed_of(seed):
    return splitmix64(seed ^ 0x6A09E667F3BCC909)[1]


def sample_state(tie_seed, s):
    return splitmix64((tie_seed + 0xD1B54A32D192ED03 * (s + 1)) & MASK)[1]


def bounded(state, bound):
    """Returns (new_state, value): Lemire's method on the top 32 bits, with rejection."""
    state, x = splitmix64(state)
    product = (x >> 32) * bound
    if product % WORD < bound:
        while product % WORD < (WORD - bound) % bound:
            state, x = splitmix64(state)
            product = (x >> 32) * bound
    return state, product >> 32


def permutation(tie_seed, s, n):
    """Inside-out Fisher-Yates."""
    state = sample_state(tie_seed, s)
    perm = []
    for i in range(n):
        perm.append(i)
        if i:
            state, j = bounded(state, i + 1)
            perm[i], perm[j] = perm[j], perm[i]
    return perm


def main():
    dump("kTieSeeds", [tie_seed_of(0), tie_seed_of(1), tie_seed_of(MASK)])
    # 3 * 2^30 rejects a quarter of the draws: the loop is taken.
    state, values = 0x0123456789ABCDEF, []
    for _ in range(12):
        state, v = bounded(state, 3 << 30)
        values.append(v)
    print("// twelve draws below 3 * 2^30 from state 0x0123456789ABCDEF, then the state")
    print("constexpr std::uint32_t kBoundedDraws[] = {%s};" % ", ".join(map(str, values)))
    print("constexpr std::uint64_t kBoundedState = %s;" % hx(state))
    for name, seed, s, n in (("kPermSeed0Sample0", 0, 0, 10), ("kPermSeed0Sample1", 0, 1, 10),
                             ("kPermSeedMaxSample7", MASK, 7, 12)):
        print("// tie_permutation(tie_seed_of(%d), %d, %d)" % (seed, s, n))
        print("constexpr std::int32_t %s[] = {%s};"
              % (name, ", ".join(map(str, permutation(tie_seed_of(seed), s, n)))))


if __name__ == "__main__":
    main()

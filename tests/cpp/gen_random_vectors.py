#!/usr/bin/env python3
"""Prints the known-answer vectors hard-coded in test_random.cpp.

An independent re-implementation of the generator in plain Python integers
and floats (stdlib only), so the C++ header is checked against something
that does not share its code.  Run: python3 tests/cpp/gen_random_vectors.py
"""
import math
import struct

MASK = (1 << 64) - 1


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


def splitmix64(state):
    """Returns (new_state, output)."""
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


class Gen:
    def __init__(self, seed=None, words=None):
        if words is not None:
            self.s = list(words)
        else:
            sm = seed
            self.s = []
            for _ in range(4):
                sm, out = splitmix64(sm)
                self.s.append(out)
        self.spare = None

    def next_u64(self):
        s = self.s
        result = (rotl((s[1] * 5) & MASK, 7) * 9) & MASK
        t = (s[1] << 17) & MASK
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return result

    def u01(self):
        return float(self.next_u64() >> 11) * 2.0 ** -53

    def randn(self):
        if self.spare is not None:
            v, self.spare = self.spare, None
            return v
        u1 = self.u01()
        u2 = self.u01()
        if 1e-300 > u1:
            u1 = 1e-300
        r = math.sqrt(math.log(u1) * -2.0)
        theta = u2 * 6.283185307179586
        self.spare = r * math.sin(theta)
        return r * math.cos(theta)


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def hx(v):
    return "0x%016XULL" % v


def dump(name, values, conv=hx, per_line=3):
    print("// %s" % name)
    print("constexpr std::uint64_t %s[] = {" % name)
    for i in range(0, len(values), per_line):
        print("    " + ", ".join(conv(v) for v in values[i:i + per_line]) + ",")
    print("};")


def inverse_odd(a):
    return pow(a, -1, 1 << 64)


def rotr(x, k):
    return ((x >> k) | (x << (64 - k))) & MASK


def s1_for_output(out):
    """The s1 word whose xoshiro256** output is `out`."""
    return (inverse_odd(5) * rotr((out * inverse_odd(9)) & MASK, 7)) & MASK


def main():
    sm, outs = 0, []
    for _ in range(6):
        sm, o = splitmix64(sm)
        outs.append(o)
    dump("kSplitmixSeed0", outs)

    for name, seed in (("kStateSeed0", 0), ("kStateSeed1", 1), ("kStateSeedMax", MASK)):
        dump(name, Gen(seed).s, per_line=2)

    for name, seed in (("kU64Seed0", 0), ("kU64Seed1", 1), ("kU64SeedMax", MASK)):
        g = Gen(seed)
        dump(name, [g.next_u64() for _ in range(6)])

    g = Gen(0)
    for _ in range(3):
        g.next_u64()
    dump("kStateSeed0After3", g.s, per_line=2)

    g = Gen(12345)
    dump("kU01Seed12345", [bits(g.u01()) for _ in range(6)])

    for name, seed in (("kRandnSeed0", 0), ("kRandnSeed42", 42)):
        g = Gen(seed)
        dump(name, [bits(g.randn()) for _ in range(8)])

    # u1 = 0: s1 = 0 makes the first output 0; the second output comes from
    # s1' = s0 ^ s1 ^ s2, here chosen so that output is all ones: u2 is then
    # the largest uniform.
    s1_max = s1_for_output(MASK)
    print("// s1 whose output is all ones")
    print("constexpr std::uint64_t kS1AllOnes = %s;" % hx(s1_max))
    words = [0x0123456789ABCDEF, 0, 0x0123456789ABCDEF ^ s1_max, 0xFEDCBA9876543210]
    g = Gen(words=words)
    assert g.next_u64() == 0 and g.next_u64() == MASK
    g = Gen(words=words)
    d = [g.randn(), g.randn()]
    assert all(math.isfinite(v) for v in d)
    print("// state: s0 = 0x0123456789ABCDEF, s1 = 0, s2 = s0 ^ kS1AllOnes, s3 = 0xFEDCBA9876543210")
    print("// r = %r" % math.sqrt(math.log(1e-300) * -2.0))
    dump("kRandnZeroU1", [bits(v) for v in d], per_line=2)

    largest = float(MASK >> 11) * 2.0 ** -53
    assert largest == 1.0 - 2.0 ** -53
    assert largest * 6.283185307179586 < 6.283185307179586
    print("// largest uniform, 2^-53, 1e-300, 2*pi")
    print("// %s %s %s %s" % (hx(bits(largest)), hx(bits(2.0 ** -53)),
                              hx(bits(1e-300)), hx(bits(6.283185307179586))))


if __name__ == "__main__":
    main()

"""Pure-Python reference of the Monte-Carlo sampling loop of _mc_rank.

Pieces, meant to be reused by other reference kernels:

* ``Xoshiro256ss``: the deterministic random source (splitmix64 seeding,
  xoshiro256**, 53-bit uniforms, Box-Muller with a cached spare).
* ``std_devs`` and ``winners_per_sample``: the per-call set-up.
* ``iter_samples``: yields, per sample, the drawn population and the real
  rating of it (``kestrovane.pareto_core._pareto_rating_cy.rate_population``).
* ``reference_counts`` and ``reference_select``: the counting and selection
  results built on top of them.

Everything is plain Python floats and ints (math.log/sqrt/sin/cos), so it
shares no code with the compiled kernels apart from the rating itself.
"""

import math
from typing import Iterator, NamedTuple

import numpy as np

from kestrovane.pareto_core._pareto_rating_cy import rate_population

MASK64 = (1 << 64) - 1
TWO_PI = 6.283185307179586
U01_FLOOR = 1e-300


def splitmix64(state: int) -> tuple[int, int]:
    """One splitmix64 step: returns (new_state, output)."""
    state = (state + 0x9E3779B97F4A7C15) & MASK64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return state, z ^ (z >> 31)


def rotl(x: int, k: int) -> int:
    return ((x << k) | (x >> (64 - k))) & MASK64


class Xoshiro256ss:
    """xoshiro256** seeded by splitmix64; normals by basic Box-Muller."""

    def __init__(self, seed: int):
        sm = seed & MASK64
        words = []
        for _ in range(4):
            sm, out = splitmix64(sm)
            words.append(out)
        self.s = words
        self.has_spare = False
        self.spare = 0.0
        self.steps = 0  # number of 64-bit outputs taken so far

    def next_u64(self) -> int:
        s0, s1, s2, s3 = self.s
        result = (rotl((s1 * 5) & MASK64, 7) * 9) & MASK64
        t = (s1 << 17) & MASK64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        self.steps += 1
        return result

    def u01(self) -> float:
        return float(self.next_u64() >> 11) * (1.0 / 9007199254740992.0)

    def randn(self) -> float:
        if self.has_spare:
            self.has_spare = False
            return self.spare
        u1 = self.u01()
        u2 = self.u01()
        if U01_FLOOR > u1:
            u1 = U01_FLOOR
        r = math.sqrt(math.log(u1) * -2.0)
        theta = u2 * TWO_PI
        self.spare = r * math.sin(theta)
        self.has_spare = True
        return r * math.cos(theta)


def std_devs(sigma2) -> list[list[float]]:
    """0.0 for a variance <= 0, else its square root (NaN stays NaN)."""
    return [[0.0 if v <= 0.0 else math.sqrt(v) for v in row] for row in sigma2]


def winners_per_sample(n: int, percentile: float) -> int:
    """k = min(n, max(1, ceil(n * percentile))), product in double precision."""
    return min(n, max(1, math.ceil(float(n) * percentile)))


class Sample(NamedTuple):
    s: int
    X: np.ndarray
    n_fronts: int
    front_id: np.ndarray
    within: np.ndarray
    order: np.ndarray


def iter_samples(mu, sigma2, n_samples: int, seed: int = 0, mode_i: int = 1,
                 within_mode_i: int = 0, rng: Xoshiro256ss | None = None) -> Iterator[Sample]:
    """Draw and rate n_samples populations exactly as the kernels do.

    One generator runs across all samples (the Box-Muller spare carries over);
    a cell whose deviation is exactly 0.0 takes its mean and draws nothing.
    A rating failure propagates as rate_population's own ValueError.
    """
    mu_rows = [[float(v) for v in row] for row in np.asarray(mu, dtype=np.float64)]
    sd_rows = std_devs([[float(v) for v in row] for row in np.asarray(sigma2, dtype=np.float64)])
    n = len(mu_rows)
    m = np.asarray(mu).shape[1] if n == 0 else len(mu_rows[0])
    if rng is None:
        rng = Xoshiro256ss(seed)
    for s in range(n_samples):
        X = np.empty((n, m), dtype=np.float64)
        for i in range(n):
            for j in range(m):
                sd = sd_rows[i][j]
                X[i, j] = mu_rows[i][j] if sd == 0.0 else mu_rows[i][j] + sd * rng.randn()
        n_fronts, front_id, within, order = rate_population(X, mode_i, within_mode_i)
        yield Sample(s, X, n_fronts, front_id, within, order)


def reference_counts(mu, sigma2, n_samples: int, percentile: float = 0.2, seed: int = 0,
                     mode_i: int = 1, within_mode_i: int = 0):
    """(win_count int32, lose_count int32, rank_sum int64) for N > 0."""
    n = np.asarray(mu).shape[0]
    k = winners_per_sample(n, percentile)
    win, lose, ranks = [0] * n, [0] * n, [0] * n
    for sample in iter_samples(mu, sigma2, n_samples, seed, mode_i, within_mode_i):
        order = [int(i) for i in sample.order]
        assert sorted(order) == list(range(n)), "rating order is not a permutation"
        for pos, idx in enumerate(order):
            if pos < k:
                win[idx] += 1
            if pos >= n - k:
                lose[idx] += 1
            ranks[idx] += pos
    return (np.array(win, dtype=np.int32), np.array(lose, dtype=np.int32),
            np.array(ranks, dtype=np.int64))


def reference_select(win_count, lose_count, rank_sum, k: int):
    """Winners: most wins, then smaller rank sum, then smaller index.
    Losers: most losses, then larger rank sum, then smaller index."""
    n = len(win_count)
    w = [int(v) for v in win_count]
    lo = [int(v) for v in lose_count]
    r = [int(v) for v in rank_sum]
    winners = sorted(range(n), key=lambda i: (-w[i], r[i], i))[:k]
    losers = sorted(range(n), key=lambda i: (-lo[i], -r[i], i))[:k]
    return np.array(winners, dtype=np.int64), np.array(losers, dtype=np.int64)

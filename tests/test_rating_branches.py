"""Every branch of the front search, the objective orders, crowding and the
global order, just past each size threshold, against a vectorised oracle.

Thresholds (see pareto_core): radix sorts from 32 individuals on; bit sets
on the stack up to 64, whole rows up to 2048 (32 words), rows cut at the
point's place beyond; staircases for three objectives from 5000 on.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pytest

from kestrovane.pareto_core._pareto_rating_cy import rate_population

Floats = npt.NDArray[np.float64]
Ints = npt.NDArray[np.int64]
Rating = tuple[int, Ints, Floats, Ints]


def dominance(V: Floats) -> npt.NDArray[np.bool_]:
    """D[i, j]: row i dominates row j (all objectives minimised)."""
    n = len(V)
    le = np.ones((n, n), dtype=bool)
    lt = np.zeros((n, n), dtype=bool)
    for col in V.T:
        le &= col[:, None] <= col[None, :]
        lt |= col[:, None] < col[None, :]
    return le & lt


def oracle_fronts(V: Floats) -> Ints:
    """Fronts by peeling: a row joins the front after its last dominator's."""
    n = len(V)
    front = np.full(n, -1, dtype=np.int64)
    if V.shape[1] == 0:
        front[:] = 0
        return front
    D = dominance(V)
    left = np.count_nonzero(D, axis=0)  # dominators not yet placed
    current = np.flatnonzero(left == 0)
    f = 0
    while current.size:
        front[current] = f
        left[current] = -1
        left -= np.count_nonzero(D[current], axis=0)
        current = np.flatnonzero(left == 0)
        f += 1
    assert (front >= 0).all()
    return front


def min_ranks(X: Floats) -> Floats:
    """Per objective, the number of strictly smaller values."""
    ranks = [np.searchsorted(np.sort(c), c, side="left") for c in X.T]
    return np.stack(ranks, axis=1).astype(np.float64)


def oracle(X: Floats, mode_i: int, front: Ints | None = None) -> Rating:
    """The whole rating; `front` may be passed in (fronts agree in both modes)."""
    n, m = X.shape
    V = X if mode_i == 0 else min_ranks(X)
    if front is None:
        front = oracle_fronts(X)
    n_fronts = int(front.max()) + 1 if n else 0
    score = np.zeros(n)
    idx = np.arange(n)
    for g in range(n_fronts):
        members = np.flatnonzero(front == g)
        for k in range(m):  # objectives in index order, as the rating adds them
            srt = members[np.lexsort((members, V[members, k]))]
            vals = V[srt, k]
            lo, hi = vals[0], vals[-1]
            score[srt[0]] += np.inf
            score[srt[-1]] += np.inf
            if not (np.isfinite(lo) and np.isfinite(hi)) or lo == hi:
                continue
            with np.errstate(over="ignore"):
                span = hi - lo
            if np.isfinite(span):
                score[srt[1:-1]] += (vals[2:] - vals[:-2]) / span
            else:
                score[srt[1:-1]] += (vals[2:] * 0.5 - vals[:-2] * 0.5) / (hi * 0.5 - lo * 0.5)
    order = np.lexsort((idx, -score, front)).astype(np.int64)
    return n_fronts, front, score, order


def assert_same(got: Rating, want: Rating) -> None:
    assert got[0] == want[0]
    for g, w in zip(got[1:], want[1:]):
        assert g.shape == w.shape and g.dtype == w.dtype
        assert g.tobytes() == w.tobytes()  # bit for bit


def population(kind: str, n: int, m: int, rng: np.random.Generator) -> Floats:
    if kind == "normal":  # no ties
        return rng.normal(size=(n, m))
    if kind == "levels":  # ties in every objective, few copies
        return rng.integers(0, 12, size=(n, m)).astype(np.float64)
    if kind == "copies":  # every row has copies
        rows = rng.normal(size=(max(n // 5, 1), m))
        return rows[rng.integers(0, len(rows), n)]
    if kind == "close":  # values agreeing in their leading bits
        return 1.0 + 1e-12 * rng.normal(size=(n, m))
    if kind == "ladder":
        # Objectives 1 and 2 trade off in integer steps, objective 0 orders
        # each step: every front is one long staircase with equal values.
        t = rng.integers(0, 60, size=n).astype(np.float64)
        cols = [rng.normal(size=n), t, -t] + [rng.normal(size=n) for _ in range(m - 3)]
        return np.stack(cols[:m], axis=1)
    raise AssertionError(kind)


def check(X: Floats) -> None:
    front = oracle_fronts(X)
    for mode_i in (0, 1):
        assert_same(rate_population(X, mode_i), oracle(X, mode_i, front))


# Sizes around the radix threshold (32) and the stack bit sets (64).
@pytest.mark.parametrize("m", [1, 2, 3, 4])
@pytest.mark.parametrize("kind", ["normal", "levels", "copies", "close"])
def test_small_thresholds(kind: str, m: int) -> None:
    rng = np.random.default_rng([m, len(kind)])
    for n in (31, 32, 33, 63, 64, 65, 129):
        check(population(kind, n, m, rng))


# Bit sets from the N x N block: whole rows up to 2048 points, rows cut at the
# point's place beyond; a full last word at multiples of 64, else a partial
# one.  M = 3 stays on bit sets below 5000, M >= 4 at any size.
@pytest.mark.parametrize("n, m, kind", [
    (2048, 3, "normal"), (2048, 4, "levels"),
    (2049, 3, "levels"), (2049, 4, "normal"), (2049, 5, "copies"),
    (2112, 3, "copies"), (2112, 4, "normal"),
    (3000, 3, "normal"), (3000, 4, "normal"), (3000, 4, "levels"),
    (4999, 3, "normal"), (5000, 4, "copies"),
])
def test_bit_sets(n: int, m: int, kind: str) -> None:
    check(population(kind, n, m, np.random.default_rng([n, m])))


# Staircases: three objectives from 5000 points on.  "ladder" fronts hold
# staircases longer than the scanned length (32), searched by bisection.
@pytest.mark.parametrize("n, kind", [
    (5000, "normal"), (5001, "levels"), (5001, "copies"), (5000, "ladder"),
])
def test_staircases(n: int, kind: str) -> None:
    X = population(kind, n, 3, np.random.default_rng(n))
    check(X)
    if kind == "normal":
        assert rate_population(X, 0)[0] > 20  # many fronts, not one


def test_equal_scores_keep_index_order() -> None:
    # Fronts of two (a pair, or two copies): every score is +inf, so every
    # key of the radix sort behind the global order is equal.
    t = np.repeat(np.arange(20.0), 2)[::-1].copy()
    shift = np.tile([0.0, 0.5], 20)
    pairs = np.stack([t + shift, t + 0.5 - shift], axis=1)
    for X in (pairs, np.stack([t, t], axis=1)):
        n_fronts, _, score, order = rate_population(X, 0)
        assert n_fronts == 20 and np.isinf(score).all()
        assert order.tolist() == [38 - 2 * (j // 2) + j % 2 for j in range(40)]
        check(X)


def test_oracle_hand_worked() -> None:
    # The oracle itself, on a case worked by hand.
    X = np.array([[1, 4], [2, 2], [4, 1], [3, 3], [5, 5]], dtype=np.float64)
    want = (3, np.array([0, 0, 0, 1, 2]), np.array([np.inf, 2.0, np.inf, np.inf, np.inf]),
            np.array([0, 2, 1, 3, 4]))
    assert_same(oracle(X, 0), want)
    assert oracle_fronts(np.array([[3.0, 0], [1, 0], [3, 0], [2, 1]])).tolist() == [1, 0, 1, 1]

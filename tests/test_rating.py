import math

import numpy as np
import pytest

from kestrovane.pareto_core._pareto_rating_cy import rate_population
from helpers import VALUE_KINDS, values
from rating_ctypes import SLOTS, capsule_name, rate_fn, rate_inplace, work_arrays


def oracle(X, mode_i=1):
    """The rating by its definition, in the plainest O(N^2) way."""
    X = np.asarray(X, dtype=np.float64)
    n, m = X.shape
    V = X if mode_i == 0 else (X[None, :, :] < X[:, None, :]).sum(axis=1).astype(np.float64)
    le = (V[:, None, :] <= V[None, :, :]).all(axis=2)
    lt = (V[:, None, :] < V[None, :, :]).any(axis=2)
    dom = le & lt  # dom[i, j]: i dominates j
    front = np.full(n, -1, dtype=np.int64)
    f = 0
    while (front < 0).any():
        left = front < 0
        front[left & ~dom[left].any(axis=0)] = f
        f += 1
    score = [0.0] * n
    for g in range(f):
        members = np.flatnonzero(front == g)
        for k in range(m):  # contributions in objective order, as the rating adds them
            srt = members[np.lexsort((members, V[members, k]))].tolist()
            vals = V[srt, k].tolist()
            lo, hi = vals[0], vals[-1]
            score[srt[0]] += math.inf
            score[srt[-1]] += math.inf
            if not (math.isfinite(lo) and math.isfinite(hi)) or lo == hi:
                continue
            for j in range(1, len(srt) - 1):
                if math.isfinite(hi - lo):
                    score[srt[j]] += (vals[j + 1] - vals[j - 1]) / (hi - lo)
                else:
                    score[srt[j]] += (vals[j + 1] * 0.5 - vals[j - 1] * 0.5) / (hi * 0.5 - lo * 0.5)
    order = sorted(range(n), key=lambda i: (front[i], -score[i], i))
    return f, front, np.array(score, dtype=np.float64), np.array(order, dtype=np.int64)


def assert_same(got, want):
    assert got[0] == want[0]
    for g, w in zip(got[1:], want[1:]):
        assert g.shape == w.shape and g.dtype == w.dtype
        assert g.tobytes() == w.tobytes()  # bit for bit


@pytest.mark.parametrize("kind", VALUE_KINDS)
@pytest.mark.parametrize("m", range(6))
def test_matches_oracle(kind, m):
    rng = np.random.default_rng([m, VALUE_KINDS.index(kind)])
    for n in (0, 1, 2, 3, 4, 7, 20, 64, 300):
        X = values(kind, n, m, rng)
        for mode_i in (0, 1):
            assert_same(rate_population(X, mode_i), oracle(X, mode_i))


@pytest.mark.parametrize("kind", ["normal", "grid", "front"])
@pytest.mark.parametrize("m", [3, 4])
def test_matches_oracle_large(kind, m):
    # Large fronts: deep search trees over each front.
    X = values(kind, 2000, m, np.random.default_rng(m))
    assert_same(rate_population(X, 0), oracle(X, 0))


def test_hand_worked_example():
    X = [[1, 4], [2, 2], [4, 1], [3, 3], [5, 5]]
    want = (3, np.array([0, 0, 0, 1, 2]), np.array([np.inf, 2.0, np.inf, np.inf, np.inf]),
            np.array([0, 2, 1, 3, 4]))
    for got in (rate_population(X, 0), oracle(X, 0)):
        assert_same(got, want)
    # Ranks are "min" ranks: ties share the smallest, the next value skips.
    _, front, _, _ = rate_population([[3.0, 0], [1, 0], [3, 0], [2, 1]], 1)
    assert front.tolist() == [1, 0, 1, 1]


@pytest.mark.parametrize("kwargs, message", [
    ({"mode_i": 2}, "mode_i must be 0 (values) or 1 (ranks)"),
    ({"mode_i": -1, "within_mode_i": 3}, "mode_i must be 0 (values) or 1 (ranks)"),
    ({"within_mode_i": 1}, "within_mode_i must be 0 (crowding)"),
    ({"mode_i": 0, "within_mode_i": -1}, "within_mode_i must be 0 (crowding)"),
    ({"nan": True}, "X must not contain NaN"),
    ({"nan": True, "mode_i": 5}, "mode_i must be 0 (values) or 1 (ranks)"),
    ({"nan": True, "within_mode_i": 2}, "within_mode_i must be 0 (crowding)"),
])
def test_errors(kwargs, message):
    X = np.ones((4, 2))
    if kwargs.pop("nan", False):
        X[3, 1] = np.nan
    with pytest.raises(ValueError) as exc:
        rate_population(X, **kwargs)
    assert str(exc.value) == message


@pytest.mark.parametrize("X", [1.0, [], [1.0, 2.0], np.zeros((2, 2, 2)), np.zeros((0, 0, 0))])
def test_needs_2d(X):
    with pytest.raises(ValueError, match="^X must be a 2D array$"):
        rate_population(X)


@pytest.mark.parametrize("convert", [
    lambda X: X.tolist(),
    np.asfortranarray,
    lambda X: np.repeat(X, 2, axis=0)[::2],
    lambda X: X.astype(np.int64),
    lambda X: X.astype(np.float32),
])
def test_input_conversion(convert):
    X = np.random.default_rng(1).integers(-5, 5, size=(40, 3)).astype(float)
    for mode_i in (0, 1):
        assert_same(rate_population(convert(X), mode_i), oracle(X, mode_i))


def test_capsule_name():
    expected = (
        "int (__Pyx_memviewslice, int, int, __Pyx_memviewslice, __Pyx_memviewslice, "
        "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
        "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
        "struct __pyx_t_10kestrovane_11pareto_core_17_pareto_rating_cy_Pair *, "
        "struct __pyx_t_10kestrovane_11pareto_core_17_pareto_rating_cy_OrderKey *, "
        "__Pyx_memviewslice)"
    )
    assert len(expected) == 378
    assert capsule_name() == expected


@pytest.mark.parametrize("m", range(6))
def test_stale_work_arrays(m):
    rng, fn = np.random.default_rng(m), rate_fn()
    for n in (0, 1, 2, 5, 150):
        w = work_arrays(n, m)  # junk first, then whatever the previous call left
        for kind in ("grid", "normal", "infinite", "grid"):
            X = np.ascontiguousarray(values(kind, n, m, rng))
            for mode_i in (1, 0):
                code = rate_inplace(X, w, mode_i, fn=fn)
                got = (code, w["front_id"].copy(), w["within"].copy(), w["order"].copy())
                assert_same(got, rate_population(X, mode_i))


def _misfit(arr, defect):
    if defect == "short":
        return arr[:-1] if arr.ndim == 1 else arr[:, :-1]
    if defect == "strided":
        return np.repeat(arr, 2, axis=arr.ndim - 1)[..., ::2]
    return np.zeros(arr.shape, np.int16)  # an item size no slot has


MISFITS = [(slot, d) for slot in SLOTS for d in ("short", "strided", "dtype")]


@pytest.mark.parametrize("slot, defect", MISFITS + [
    ("X", "strided"), ("X", "dtype"), ("pairs", None), ("keys", None)])
def test_misfit_work_array_writes_nothing(slot, defect):
    n, m = 6, 3
    X = np.random.default_rng(0).normal(size=(n, m))
    w = work_arrays(n, m)
    if slot in ("pairs", "keys"):
        w[slot] = None  # plain pointers: only a missing block can be seen
    elif slot == "X":
        X = np.asfortranarray(X) if defect == "strided" else X.astype(np.float32)
    else:
        w[slot] = _misfit(w[slot], defect)
    before = {k: v.tobytes() for k, v in w.items() if v is not None}
    assert rate_inplace(X, w, 1) == -4
    assert before == {k: v.tobytes() for k, v in w.items() if v is not None}


@pytest.mark.parametrize("mode_i, within_mode_i, nan, code", [
    (2, 1, True, -1),
    (0, 1, True, -2),
    (1, 0, True, -3),
    (0, 0, False, -4),
])
def test_codes_in_order_and_nothing_written(mode_i, within_mode_i, nan, code):
    X = np.zeros((5, 2))
    if nan:
        X[2, 0] = np.nan
    w = work_arrays(5, 2)
    w["cur"] = w["cur"][:3]  # misfit too: the earlier codes win
    before = {k: v.tobytes() for k, v in w.items()}
    assert rate_inplace(X, w, mode_i, within_mode_i) == code
    assert before == {k: v.tobytes() for k, v in w.items()}

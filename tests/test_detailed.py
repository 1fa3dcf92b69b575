import inspect
import math
import tracemalloc

import numpy as np
import pytest

from kestrovane.selection_core._mc_rank import mc_rank_counts, mc_rank_select_detailed as detailed
from helpers import UNCERTAIN_KINDS, uncertain
from reference_detailed import _p2_init, _p2_update, _sort5, reference_detailed

KEYS = ["mean", "quantiles_mode_used", "median", "std", "q25", "q75"]
ARRAY_KEYS = [k for k in KEYS if k != "quantiles_mode_used"]


def same_array(got, want):
    assert type(got) is np.ndarray
    assert got.dtype == want.dtype and got.shape == want.shape
    assert np.array_equal(got, want, equal_nan=True)
    assert got.tobytes() == want.tobytes()  # bit for bit, signed zeros included


def assert_same_result(got, want):
    assert type(got) is tuple and len(got) == 9
    for i in (0, 1, 2, 3, 4, 8):
        same_array(got[i], want[i])
    for g, w in zip(got[5:8], want[5:8]):
        assert list(g) == KEYS
        assert type(g["quantiles_mode_used"]) is int
        assert g["quantiles_mode_used"] == w["quantiles_mode_used"]
        for key in ARRAY_KEYS:
            same_array(g[key], w[key])


def mixed():
    return uncertain("mixed", np.random.default_rng(7))


# (quantiles_mode_i, n_samples, quantiles_budget, uses P²); the mixed population has N = 9.
MODE_CASES = [
    (0, 12, 2500000, 0),
    (0, 12, 0, 0),
    (1, 4, 2500000, 0),
    (1, 5, 2500000, 1),
    (1, 37, 2500000, 1),
    (2, 12, 9 * 12, 0),  # product equals the budget: exact
    (2, 12, 9 * 12 - 1, 1),  # one above: P²
    (2, 12, 2500000, 0),
    (2, 5, 0, 1),
    (2, 23, -1, 1),
    (2, 30, -(2**63), 1),
    (2, 4, 0, 0),
    (2, 1, -1, 0),
    (3, 12, 0, 1),
    (-1, 12, 9 * 12, 0),
    (-1, 40, 0, 1),
    (3, 4, -5, 0),
    (1, 1, 0, 0),
    (0, 1, 0, 0),
]


@pytest.mark.parametrize("qmode, n_samples, budget, used", MODE_CASES)
def test_matches_reference_in_every_quantile_mode(qmode, n_samples, budget, used):
    mu, s2 = mixed()
    args = (mu, s2, n_samples, 0.3, 11, 1, 0, qmode, budget)
    want, _ = reference_detailed(*args)
    got = detailed(*args)
    assert_same_result(got, want)
    assert [d["quantiles_mode_used"] for d in got[5:8]] == [used] * 3


@pytest.mark.parametrize("kind", UNCERTAIN_KINDS)
@pytest.mark.parametrize("mode_i", [0, 1])
@pytest.mark.parametrize("qmode", [0, 1])
def test_matches_reference_on_populations(kind, mode_i, qmode):
    mu, s2 = uncertain(kind, np.random.default_rng(len(kind)))
    args = (mu, s2, 33, 0.25, 2024 + mode_i, mode_i, 0, qmode)
    want, _ = reference_detailed(*args)
    assert_same_result(detailed(*args), want)


@pytest.mark.parametrize("qmode", [0, 1])
def test_members_past_the_first_chunk_match_reference(qmode):
    # 75 members: the accumulators' second chunk of 64, a ragged one.
    rng = np.random.default_rng(75)
    mu, s2 = rng.normal(size=(75, 2)), rng.uniform(0.1, 1.0, size=(75, 2))
    args = (mu, s2, 20, 0.2, 3, 1, 0, qmode)
    want, _ = reference_detailed(*args)
    assert_same_result(detailed(*args), want)


@pytest.mark.parametrize("weights, sign", [
    ((0.1, 0.2, 0.3), 1.0),
    ((-2.5, 1e-3, 7.0), 0.7),
    ((1.0, 1.0, 1.0), -1e300),
    ((0.0, -0.0, 3.3), -0.1),
])
@pytest.mark.parametrize("qmode", [0, 1])
def test_weights_and_sign_match_reference(weights, sign, qmode):
    mu, s2 = mixed()
    kw = dict(percentile=0.6, seed=2**64 - 1, quantiles_mode_i=qmode, quality_w_place=weights[0],
              quality_w_front=weights[1], quality_w_within=weights[2], quality_sign=sign)
    want, _ = reference_detailed(mu, s2, 17, **kw)
    got = detailed(mu, s2, 17, **kw)
    assert_same_result(got, want)
    assert len(set(got[0]) & set(got[1])) > 0  # 2k > N: picked on both sides, no de-duplication


def test_p2_with_five_samples_reads_third_smallest():
    mu, s2 = mixed()
    got = detailed(mu, s2, 5, quantiles_mode_i=1, seed=3)
    want, seen = reference_detailed(mu, s2, 5, quantiles_mode_i=1, seed=3)
    assert_same_result(got, want)
    for stats, metric in zip(got[5:8], ("place", "front", "within")):
        third = np.sort(np.array(seen[metric]), axis=0)[2]
        assert stats["quantiles_mode_used"] == 1
        for key in ("median", "q25", "q75"):
            assert np.array_equal(stats[key], third)


def test_reference_p2_pieces_follow_worked_example():
    a = [3.0, 1.0, 2.0, 1.0, 0.0]
    _sort5(a)
    assert a == [0.0, 1.0, 1.0, 2.0, 3.0]
    q, npos, ndes = [0.0] * 5, [0] * 5, [0.0] * 5
    _p2_init(q, npos, ndes, 0.5, 1.0, 2.0, 3.0, 4.0, 5.0)
    _p2_update(q, npos, ndes, 0.5, 6.0)
    assert (q, npos, ndes) == ([1, 2, 3, 4, 6], [1, 2, 3, 4, 6], [1, 2.25, 3.5, 4.75, 6])
    _p2_update(q, npos, ndes, 0.5, 7.0)
    assert (q, npos) == ([1, 2, 3, 5, 7], [1, 2, 3, 5, 7])


# ------------------------------------------------------------------ structure
@pytest.mark.parametrize("qmode", [0, 1])
def test_result_structure_and_counts(qmode):
    mu, s2 = mixed()
    args = (mu, s2, 20, 0.3, 5, 0, 0)
    r = detailed(*args, quantiles_mode_i=qmode)
    assert type(r) is tuple and len(r) == 9
    assert [a.dtype for a in r[:5]] == [np.int64, np.int64, np.int32, np.int32, np.int64]
    assert r[0].shape == r[1].shape == (3,) and r[8].dtype == np.float64 and r[8].shape == (9,)
    stats = r[5:8]
    assert len({id(d) for d in stats}) == 3
    assert len({id(d["mean"]) for d in stats}) == 3 and len({id(d["std"]) for d in stats}) == 3
    for d in stats:
        assert list(d) == KEYS and d["quantiles_mode_used"] == qmode
        for key in ARRAY_KEYS:
            assert d[key].dtype == np.float64 and d[key].shape == (9,)
    for got, want in zip(r[2:5], mc_rank_counts(*args)):
        same_array(got, want)
    assert r[2].sum() == r[3].sum() == 3 * 20 and r[4].sum() == 20 * 9 * 8 // 2


@pytest.mark.parametrize("n_samples, percentile", [(10, 0.2), (0, 0.2), (-4, 5.0), (3, math.nan)])
def test_empty_population(n_samples, percentile):
    r = detailed(np.zeros((0, 3)), np.zeros((0, 3)), n_samples, percentile)
    assert type(r) is tuple and len(r) == 9
    assert r[0] is r[1] and r[2] is r[3] and r[5] is r[6] is r[7]
    assert len({id(r[0]), id(r[2]), id(r[4]), id(r[8])}) == 4
    assert [(a.dtype, a.shape) for a in (r[0], r[2], r[4], r[8])] == [
        (np.int64, (0,)), (np.int32, (0,)), (np.int64, (0,)), (np.float64, (0,))]
    assert list(r[5]) == ["mean", "median", "std", "q25", "q75"]
    assert all(v is r[8] for v in r[5].values())


@pytest.mark.parametrize("shapes", [((0, 2), (0, 3)), ((0, 2), (1, 2))])
def test_shape_mismatch_reported_before_empty_result(shapes):
    with pytest.raises(ValueError, match="^mu and sigma2 must have the same shape$"):
        detailed(np.zeros(shapes[0]), np.zeros(shapes[1]), 0, 5.0)


@pytest.mark.parametrize("qmode, budget", [(0, 2500000), (1, 2500000), (2, 0), (-1, -1)])
def test_single_sample(qmode, budget):
    mu, s2 = mixed()
    r = detailed(mu, s2, 1, quantiles_mode_i=qmode, quantiles_budget=budget)
    assert sorted(r[4]) == list(range(9))  # one sample: rank_sum is the place itself
    for d in r[5:8]:
        assert d["quantiles_mode_used"] == 0
        assert np.all(d["std"] == 0.0)
        for key in ("median", "q25", "q75"):
            same_array(d[key], d["mean"])
    same_array(r[5]["mean"], r[4].astype(np.float64))


@pytest.mark.parametrize("qmode", [0, 1])
@pytest.mark.parametrize("mode_i", [0, 1])
def test_identical_individuals_share_front_zero(qmode, mode_i):
    mu = np.tile([0.5, -1.0, 2.0], (6, 1))
    r = detailed(mu, np.zeros_like(mu), 12, 0.5, 0, mode_i, quantiles_mode_i=qmode)
    place, front, within = r[5:8]
    for key in ARRAY_KEYS:
        same_array(within[key], place[key])
        assert np.all(front[key] == 0.0)


@pytest.mark.parametrize("qmode", [0, 1])
def test_default_quality_of_always_first_is_zero(qmode):
    mu, s2 = mixed()
    mu = np.vstack([[-50.0, -50.0], mu])
    s2 = np.vstack([[0.0, 0.0], s2])
    r = detailed(mu, s2, 25, quantiles_mode_i=qmode)
    q = r[8]
    assert q[0] == 0.0 and np.all(q[1:] < 0.0)
    assert r[0][0] == 0 and r[2][0] == 25 and r[4][0] == 0


# --------------------------------------------------------------------- errors
@pytest.mark.parametrize("n_samples, percentile, exc, msg", [
    (0, 0.2, ValueError, "^n_samples must be > 0$"),
    (-3, 5.0, ValueError, "^n_samples must be > 0$"),  # n_samples is checked first
    (5, 0.0, ValueError, r"^percentile must be in \(0,1\]$"),
    (5, -0.1, ValueError, r"^percentile must be in \(0,1\]$"),
    (5, 1.0000001, ValueError, r"^percentile must be in \(0,1\]$"),
    (5, math.inf, ValueError, r"^percentile must be in \(0,1\]$"),
    (5, math.nan, ValueError, "NaN"),
])
def test_invalid_arguments(n_samples, percentile, exc, msg):
    mu, s2 = mixed()
    with pytest.raises(exc, match=msg):
        detailed(mu, s2, n_samples, percentile)


@pytest.mark.parametrize("bad, msg", [
    ("mode", "^pareto_core returned error code: -1$"),
    ("nan_variance", r"^pareto_core returned error code: -\d+$"),  # NaN sigma draws NaN
])
def test_rating_error_code(bad, msg):
    mu, s2 = mixed()
    mode_i = 1
    if bad == "mode":
        mode_i = 7
    else:
        s2[3, 1] = np.nan
    with pytest.raises(ValueError, match=msg):
        detailed(mu, s2, 8, mode_i=mode_i, quantiles_mode_i=1)


# -------------------------------------------------------------------- binding
def test_binding_and_introspection():
    mu, s2 = mixed()
    assert str(inspect.signature(detailed)) == (
        "(mu_obj, sigma2_obj, n_samples, percentile=0.2, seed=0, mode_i=1, within_mode_i=0, "
        "quantiles_mode_i=2, quantiles_budget=2500000, quality_w_place=1.0, quality_w_front=1.0, "
        "quality_w_within=1.0, quality_sign=-1.0)")
    d = detailed.__defaults__
    assert d == (0.2, 0, 1, 0, 2, 2500000, 1.0, 1.0, 1.0, -1.0)
    assert [type(v) for v in d] == [float, int, int, int, int, int, float, float, float, float]
    assert "P\u00b2 (Jain-Chlamtac)" in detailed.__doc__
    full = (mu, s2, 9, 0.4, 3, 1, 0, 1, 7, 0.5, 2.0, 0.25, 3.0)
    names = list(inspect.signature(detailed).parameters)
    assert_same_result(detailed(*full), detailed(**dict(zip(names, full))))
    assert_same_result(detailed(mu, s2, 9), detailed(mu, s2, 9, *d))
    with pytest.raises(TypeError, match=r"^mc_rank_select_detailed\(\) takes at most 13 "
                                        r"positional arguments \(14 given\)$"):
        detailed(*full, 1.0)
    with pytest.raises(TypeError, match=r"^mc_rank_select_detailed\(\) takes at least 3 "
                                        r"positional arguments \(1 given\)$"):
        detailed(mu)
    with pytest.raises(TypeError, match="unexpected keyword argument 'quality'"):
        detailed(mu, s2, 9, quality=1.0)


# --------------------------------------------------------------------- memory
def peak_bytes(**kw):
    mu = np.random.default_rng(1).normal(size=(200, 2))
    s2 = np.ones_like(mu)
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        detailed(mu, s2, **kw)
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


def test_p2_memory_does_not_grow_with_samples():
    small = peak_bytes(n_samples=50, quantiles_mode_i=1)
    large = peak_bytes(n_samples=3000, quantiles_mode_i=1)
    assert small > 0
    assert abs(large - small) <= 0.05 * small + 4096
    exact = peak_bytes(n_samples=3000, quantiles_mode_i=0)
    assert exact > 3 * 3000 * 200 * 8  # the three buffers alone

"""mc_rank_counts: bit-exact agreement with the pure-Python loop, count
invariants, k, validation order and input normalisation."""

import math

import numpy as np
import pytest

from kestrovane.selection_core import _mc_rank
from kestrovane.selection_core._mc_rank import mc_rank_counts
from helpers import population
from reference_loop import Xoshiro256ss, reference_counts, winners_per_sample

SEEDS = [0, 1, 2**64 - 1]


def assert_counts_equal(got, want):
    assert [a.dtype for a in got] == [np.int32, np.int32, np.int64]
    for a, b in zip(got, want):
        np.testing.assert_array_equal(a, b)


def test_reference_generator_matches_published_splitmix64():
    # splitmix64 from seed 0: the published first four outputs.
    assert Xoshiro256ss(0).s == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4,
                                 0x06C45D188009454F, 0xF88BB8A8724C81EC]
    g = Xoshiro256ss(2**64 - 1)
    zs = [g.randn() for _ in range(3)]
    assert g.steps == 4 and all(math.isfinite(z) for z in zs)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("mode_i", [0, 1])
@pytest.mark.parametrize("n,m", [(1, 1), (2, 1), (2, 2), (5, 3), (17, 2), (17, 3), (5, 0)])
def test_counts_match_reference(seed, mode_i, n, m):
    mu, sigma2 = population(n, m, seed=n * 10 + m)
    for percentile in (0.2, 0.5):
        got = mc_rank_counts(mu, sigma2, 30, percentile, seed, mode_i, 0)
        assert_counts_equal(got, reference_counts(mu, sigma2, 30, percentile, seed, mode_i, 0))


def test_zero_deviation_cell_takes_no_deviate():
    # Cell (0, 0) with variance 0 versus 1e-300: X[0, 0] is 0.5 either way
    # (0.5 + 1e-150 * z rounds to 0.5), but only the second one draws, so every
    # later cell sees shifted deviates.
    mu, sigma2 = population(6, 2, seed=3, nonpositive=0.0)
    mu[0, 0] = 0.5
    results = []
    for v in (0.0, 1e-300):
        sigma2[0, 0] = v
        got = mc_rank_counts(mu, sigma2, 200, 0.2, 7, 0)
        assert_counts_equal(got, reference_counts(mu, sigma2, 200, 0.2, 7, 0))
        results.append(got)
    assert any(not np.array_equal(a, b) for a, b in zip(*results))


def test_extreme_values_match_reference():
    # Infinite means, an infinite and a denormal variance, variances near the
    # top of the double range: still finite-or-infinite samples, never NaN.
    mu = np.zeros((5, 2))
    mu[2, 1], mu[3, 0] = np.inf, -np.inf
    sigma2 = np.ones((5, 2))
    sigma2[1, 0], sigma2[0, 0], sigma2[4, 1], sigma2[2, 1], sigma2[3, 0] = (
        np.inf, 5e-324, 1e308, 0.0, 0.0)
    for mode_i in (0, 1):
        assert_counts_equal(mc_rank_counts(mu, sigma2, 40, 0.4, 3, mode_i),
                            reference_counts(mu, sigma2, 40, 0.4, 3, mode_i))


@pytest.mark.parametrize("n,m,percentile,mode_i", [
    (2, 2, 0.2, 1), (7, 3, 0.3, 0), (10, 2, 0.5, 1), (13, 4, 0.9, 0), (30, 3, 1.0, 1),
])
def test_count_invariants(n, m, percentile, mode_i):
    mu, sigma2 = population(n, m, seed=n)
    n_samples = 40
    win, lose, ranks = mc_rank_counts(mu, sigma2, n_samples, percentile, 5, mode_i)
    k = winners_per_sample(n, percentile)
    assert win.shape == lose.shape == ranks.shape == (n,)
    assert win.sum() == k * n_samples and lose.sum() == k * n_samples
    assert ranks.sum() == n_samples * n * (n - 1) // 2
    assert win.min() >= 0 and win.max() <= n_samples and lose.max() <= n_samples
    assert ranks.min() >= 0 and ranks.max() <= n_samples * (n - 1)


@pytest.mark.parametrize("n,percentile,k", [
    (10, 0.2, 2), (3, 0.2, 1), (7, 0.3, 3), (100, 0.07, 8), (5, 1e-300, 1), (1000, 5e-324, 1),
    (4, 0.25, 1), (4, 0.2500001, 2),
])
def test_k_from_ceiling_of_double_product(n, percentile, k):
    mu, sigma2 = population(n, 1, seed=1, nonpositive=0.0)
    win, lose, _ = mc_rank_counts(mu, sigma2, 3, percentile)
    assert win.sum() == 3 * k and lose.sum() == 3 * k


def test_full_percentile_every_individual_wins_and_loses_each_sample():
    mu, sigma2 = population(9, 2, seed=2)
    win, lose, ranks = mc_rank_counts(mu, sigma2, 25, 1.0, 3)
    assert (win == 25).all() and (lose == 25).all()
    assert ranks.sum() == 25 * 36


def test_single_individual():
    win, lose, ranks = mc_rank_counts([[1.0, 2.0]], [[0.5, 0.5]], 13, 0.01, 99)
    assert win.tolist() == [13] and lose.tolist() == [13] and ranks.tolist() == [0]


@pytest.mark.parametrize("n_samples,percentile", [(5, 0.2), (0, 0.2), (-3, 5.0), (1, float("nan"))])
@pytest.mark.parametrize("m", [0, 3])
def test_empty_population_skips_validation(n_samples, percentile, m):
    out = mc_rank_counts(np.zeros((0, m)), np.zeros((0, m)), n_samples, percentile)
    assert isinstance(out, tuple) and len(out) == 3
    assert [a.dtype for a in out] == [np.int32, np.int32, np.int64]
    assert all(a.shape == (0,) for a in out)


def test_all_variances_nonpositive_make_seed_irrelevant():
    mu = np.array([[3.0, 1.0], [0.0, 0.0], [1.0, 3.0], [2.0, 2.5], [5.0, 5.0]])
    sigma2 = np.array([[0.0, -1.0], [-0.0, 0.0], [-2.0, 0.0], [0.0, 0.0], [-1e-300, 0.0]])
    results = [mc_rank_counts(mu, sigma2, 11, 0.4, seed) for seed in SEEDS]
    for got in results:
        assert_counts_equal(got, results[0])
    # Every sample is mu itself, so every count is 0 or 11 and ranks are 11 * position.
    win, lose, ranks = results[0]
    assert set(win.tolist()) <= {0, 11} and set(lose.tolist()) <= {0, 11}
    assert sorted(ranks.tolist()) == [11 * p for p in range(5)]
    assert win[1] == 11 and lose[4] == 11


def test_repeated_calls_are_identical_and_seed_matters():
    mu, sigma2 = population(8, 3, seed=4, nonpositive=0.0)
    a = mc_rank_counts(mu, sigma2, 100, 0.25, 12345)
    assert_counts_equal(mc_rank_counts(mu, sigma2, 100, 0.25, 12345), a)
    b = mc_rank_counts(mu, sigma2, 100, 0.25, 12346)
    assert any(not np.array_equal(x, y) for x, y in zip(a, b))


@pytest.mark.parametrize("mu_fix,sigma2_fix,code", [
    (None, lambda s: s.__setitem__((1, 1), np.nan), -3),  # NaN deviation -> NaN sample
    (lambda u: u.__setitem__((2, 0), np.nan), lambda s: s.__setitem__((2, 0), 0.0), -3),
])
def test_nan_sample_is_a_rating_error(mu_fix, sigma2_fix, code):
    mu, sigma2 = population(3, 2, seed=0, nonpositive=0.0)
    for fix, arr in ((mu_fix, mu), (sigma2_fix, sigma2)):
        if fix:
            fix(arr)
    with pytest.raises(ValueError, match=f"^pareto_core returned error code: {code}$"):
        mc_rank_counts(mu, sigma2, 4)


@pytest.mark.parametrize("mode_i,within_mode_i,code", [(5, 0, -1), (-1, 0, -1), (1, 3, -2)])
def test_bad_modes_report_the_rating_code(mode_i, within_mode_i, code):
    mu, sigma2 = population(4, 2)
    with pytest.raises(ValueError, match=f"^pareto_core returned error code: {code}$"):
        mc_rank_counts(mu, sigma2, 2, 0.2, 0, mode_i, within_mode_i)


GOOD = np.ones((3, 2))


@pytest.mark.parametrize("mu,sigma2,n_samples,percentile,message", [
    (np.ones(3), GOOD, 5, 0.2, "expected a 2D array"),
    (GOOD, np.ones((3, 2, 1)), 5, 0.2, "expected a 2D array"),
    (3.0, GOOD, 5, 0.2, "expected a 2D array"),
    (GOOD, None, 5, 0.2, "expected a 2D array"),
    (np.ones(3), "not a number", 0, 0.0, "expected a 2D array"),  # mu converted first
    (GOOD, np.ones((3, 3)), 0, 0.0, "mu and sigma2 must have the same shape"),
    (np.ones((2, 2)), GOOD, 5, 0.2, "mu and sigma2 must have the same shape"),
    (np.ones((0, 2)), np.ones((0, 3)), 5, 0.2, "mu and sigma2 must have the same shape"),
    (GOOD, GOOD, 0, 5.0, "n_samples must be > 0"),
    (GOOD, GOOD, -5, 0.2, "n_samples must be > 0"),
    (GOOD, GOOD, 1, 0.0, r"percentile must be in \(0,1\]"),
    (GOOD, GOOD, 1, -0.5, r"percentile must be in \(0,1\]"),
    (GOOD, GOOD, 1, 1.0000000000000002, r"percentile must be in \(0,1\]"),
    (GOOD, GOOD, 1, float("inf"), r"percentile must be in \(0,1\]"),
    (GOOD, GOOD, 1, float("nan"), "NaN"),
    (np.broadcast_to(0.0, (1, 2**31)), np.broadcast_to(0.0, (1, 2**31)), 1, 0.2,
     "fewer than 2\\*\\*31 rows and columns"),  # (0, 2**31) is an empty population
    (np.empty((2**31, 0)), np.empty((2**31, 0)), 1, 0.2, "fewer than 2\\*\\*31 rows and columns"),
])
def test_validation_order_and_messages(mu, sigma2, n_samples, percentile, message):
    with pytest.raises(ValueError, match=message) as info:
        mc_rank_counts(mu, sigma2, n_samples, percentile)
    if message == "expected a 2D array":
        names = [tb.tb_frame.f_code.co_name for tb in _walk(info.value.__traceback__)]
        assert "kestrovane.selection_core._mc_rank._as_contig_f64_2d" in names


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def _unaligned(a):
    buf = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    out = np.frombuffer(buf.data, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


INPUT_FORMS = {
    "list": lambda a: a.tolist(),
    "fortran": np.asfortranarray,
    "int32": lambda a: np.round(a * 4).astype(np.int32),
    "float32": lambda a: a.astype(np.float32),
    "big_endian": lambda a: a.astype(">f8"),
    "strided_slice": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "negative_strides": lambda a: np.flipud(np.flipud(a).copy()),
    "readonly": _readonly,
    "unaligned": _unaligned,
}


@pytest.mark.parametrize("form", INPUT_FORMS)
def test_input_forms_match_c_float64_copy(form):
    mu, sigma2 = population(6, 3, seed=8)
    sigma2 = np.abs(sigma2) + (form == "int32")  # int variances must stay positive
    mu_in, s2_in = INPUT_FORMS[form](mu), INPUT_FORMS[form](sigma2)
    mu_c = np.ascontiguousarray(np.asarray(mu_in, dtype=np.float64))
    s2_c = np.ascontiguousarray(np.asarray(s2_in, dtype=np.float64))
    want = mc_rank_counts(mu_c, s2_c, 50, 0.3, 9, 0)
    assert_counts_equal(mc_rank_counts(mu_in, s2_in, 50, 0.3, 9, 0), want)
    assert_counts_equal(want, reference_counts(mu_c, s2_c, 50, 0.3, 9, 0))


class _RecordingNumpy:
    """Stands in for the module's `np`, recording conversions."""

    def __init__(self):
        self.asarray_results = []
        self.contiguous_calls = 0

    def __getattr__(self, name):
        return getattr(np, name)

    def asarray(self, *args, **kwargs):
        out = np.asarray(*args, **kwargs)
        self.asarray_results.append((args[0], out))
        return out

    def ascontiguousarray(self, *args, **kwargs):
        self.contiguous_calls += 1
        return np.ascontiguousarray(*args, **kwargs)


def test_c_contiguous_float64_inputs_are_used_in_place(monkeypatch):
    mu, sigma2 = population(5, 2, seed=6)
    rec = _RecordingNumpy()
    monkeypatch.setattr(_mc_rank, "np", rec)
    got = mc_rank_counts(mu, sigma2, 20, 0.2, 1)
    assert [src is out for src, out in rec.asarray_results] == [True, True]
    assert rec.contiguous_calls == 0
    rec.asarray_results.clear()
    got_f = mc_rank_counts(np.asfortranarray(mu), np.asfortranarray(sigma2), 20, 0.2, 1)
    assert rec.contiguous_calls == 2
    monkeypatch.undo()
    assert_counts_equal(got, got_f)
    assert_counts_equal(got, mc_rank_counts(mu, sigma2, 20, 0.2, 1))

"""kestrovane.pbt.policies: the window estimates, the plain rule and the
Monte-Carlo rule (early stopping, fairness between exchangeable members,
determinism)."""

import re

import numpy as np
import pytest

import kestrovane
from kestrovane.pbt.policies import Evidence, MonteCarloRule, ParetoRule, window_moments


def evidence(windows, member, *, seed=0, percentile=0.25, copyable=None):
    n = len(windows)
    ok = np.ones(n, dtype=bool) if copyable is None else np.asarray(copyable)
    return Evidence(tuple(f"m{i}" for i in range(n)), tuple(np.asarray(w, float) for w in windows),
                    member, ok, percentile, seed)


def test_means_and_their_variances_are_those_of_estimate():
    rng = np.random.default_rng(0)
    windows = tuple(rng.normal(i, 1.0 + i, size=(k, 3)) for i, k in enumerate([1, 2, 5, 8]))
    mu, sigma2 = window_moments(windows)
    ref_mu, ref_sigma2 = kestrovane.estimate(list(windows))
    np.testing.assert_allclose(mu, ref_mu, rtol=1e-13)
    np.testing.assert_allclose(sigma2, ref_sigma2, rtol=1e-12)
    # A prior weight moves each own variance towards the pooled one.
    _, shrunk = window_moments(windows, prior_weight=1e9)
    pooled = ref_sigma2[0]  # the one-evaluation member has the pooled variance
    np.testing.assert_allclose(shrunk * [[1], [2], [5], [8]], np.broadcast_to(pooled, (4, 3)),
                               rtol=1e-6)


def test_trend_estimates_against_a_fitted_line():
    rng = np.random.default_rng(1)
    windows = []
    for k, slope in [(3, -0.5), (5, 0.2), (8, -1.0), (8, 0.0)]:
        x = np.arange(k)
        windows.append(np.c_[2.0 + slope * x + rng.normal(0, 0.05, k), rng.normal(0, 1, k)])
    mu, sigma2 = window_moments(tuple(windows), trend="line")
    for i, w in enumerate(windows):
        for j in range(2):
            fit = np.polyfit(np.arange(len(w)), w[:, j], 1)
            assert mu[i, j] == pytest.approx(np.polyval(fit, len(w) - 1), abs=1e-12)
    # Clear slopes are kept by "shrunk"; a flat window is judged by its mean.
    shrunk, shrunk_var = window_moments(tuple(windows), trend="shrunk")
    np.testing.assert_allclose(shrunk[:3, 0], mu[:3, 0], atol=1e-3)
    means = np.array([w.mean(axis=0) for w in windows])
    assert abs(shrunk[3, 0] - means[3, 0]) < abs(mu[3, 0] - means[3, 0]) + 1e-12
    assert (shrunk_var <= sigma2 + 1e-15).all()
    # A noiseless line is known exactly at its last point.
    exact = (np.c_[np.arange(6.0), -2.0 * np.arange(6.0)], np.c_[np.ones(4), np.ones(4)])
    mu, sigma2 = window_moments(exact, trend="line")
    np.testing.assert_allclose(mu, [[5.0, -10.0], [1.0, 1.0]], atol=1e-12)
    np.testing.assert_allclose(sigma2, 0.0, atol=1e-24)


# Eight members in a strict chain of dominance, 0 best, each with a small noise.
CLEAR = [np.array([[i + 0.01 * r, 2.0 * i - 0.01 * r] for r in range(4)]) for i in range(8)]


@pytest.mark.parametrize("policy", [ParetoRule(), ParetoRule(trend="shrunk"),
                                    MonteCarloRule(), MonteCarloRule(replace_if=0.5),
                                    MonteCarloRule(source="sample", trend="shrunk")])
def test_a_clearly_worst_member_copies_one_of_the_best(policy):
    windows = CLEAR
    for seed in range(5):
        v = policy(evidence(windows, 7, seed=seed))
        assert v.source is not None and not v.upper
        e = evidence(windows, 0, seed=seed)
        assert policy(e).source is None and policy(e).upper
        # Nobody copyable: the member continues.
        assert policy(evidence(windows, 7, seed=seed, copyable=[False] * 8)).source is None


@pytest.mark.parametrize("policy", [ParetoRule(), MonteCarloRule(replace_if=None)])
def test_the_policies_keep_a_member_in_both_the_best_and_the_worst_k(policy):
    # Five members, k = 3: the middle one is among the best 3 and the worst 3,
    # so, as in Selection.replacements, it is neither replaced nor copied.
    windows = CLEAR[:5]
    for seed in range(20):
        middle = policy(evidence(windows, 2, seed=seed, percentile=0.6))
        assert middle.source is None and middle.upper
        worst = policy(evidence(windows, 4, seed=seed, percentile=0.6))
        assert worst.source in (0, 1)
        assert policy(evidence(windows, 3, seed=seed, percentile=0.6,
                               copyable=[False, False, True, True, True])).source is None


def test_monte_carlo_rule_stops_once_the_decision_is_settled():
    rule = MonteCarloRule(n_samples=2000, batch=200)
    assert rule(evidence(CLEAR, 7)).detail.n_samples == 200
    # Exchangeable members: no evidence either way, so every sample is drawn.
    same = [np.tile([1.0, 2.0], (4, 1)) + np.array([[0.1], [-0.1], [0.1], [-0.1]])] * 8
    tally = rule(evidence(same, 3, percentile=0.5)).detail  # a chance of losing of 1/2
    assert tally.n_samples == 2000 and tally.win.sum() == 2000 * 4
    # Deterministic for a seed.
    assert rule(evidence(same, 3, seed=5)).detail == rule(evidence(same, 3, seed=5)).detail
    assert rule(evidence(same, 3, seed=5)).detail != rule(evidence(same, 3, seed=6)).detail


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n_samples": 0}, ValueError, r"n_samples must be in \[1, 2147483647\]; got 0"),
    ({"batch": 2**31}, ValueError, r"batch must be in \[1, 2147483647\]"),
    ({"batch": 2.5}, TypeError, "batch must be an integer; got 2.5"),
    ({"recent": -1}, ValueError, r"recent must be in \[0, 2147483647\]; got -1"),
    ({"replace_if": 1.5}, ValueError, r"replace_if must be in \[0, 1\]; got 1.5"),
    ({"replace_if": True}, TypeError, r"replace_if must be a real number in \[0, 1\]"),
    ({"source": "best"}, ValueError, "source must be 'top' or 'sample'"),
    ({"source": 1}, TypeError, "source must be 'top' or 'sample'; got 1"),
    ({"trend": "quadratic"}, ValueError, "trend must be 'none', 'line' or 'shrunk'"),
    ({"trend": None}, TypeError, "trend must be 'none', 'line' or 'shrunk'; got None"),
    ({"prior_weight": -1}, ValueError, r"prior_weight must be in \[0, inf\); got -1.0"),
    ({"prior_weight": float("inf")}, ValueError, r"prior_weight must be in \[0, inf\)"),
    ({"prior_weight": "4"}, TypeError, "prior_weight must be a real number"),
    ({"mode": "rank"}, ValueError, "mode must be 'ranks' or 'values'"),
    ({"mode": 1}, TypeError, "mode must be 'ranks' or 'values'; got 1"),
])
def test_bad_policy_settings(kwargs, error, message):
    """Wrong kinds raise TypeError, values out of bounds ValueError, as
    kestrovane.select raises them for its arguments."""
    with pytest.raises(error, match=message):
        MonteCarloRule(**kwargs)
    if "mode" in kwargs or "trend" in kwargs:
        with pytest.raises(error, match=message):
            ParetoRule(**kwargs)


@pytest.mark.parametrize("setting, value", [("n_samples", 0), ("n_samples", 2.0),
                                            ("n_samples", True), ("mode", "rank"),
                                            ("mode", 0)])
def test_a_policy_refuses_a_shared_setting_as_select_does(setting, value):
    with pytest.raises((TypeError, ValueError)) as by_select:
        kestrovane.select(np.zeros((3, 2)), np.ones((3, 2)), **{setting: value})
    with pytest.raises(by_select.type, match=f"^{re.escape(str(by_select.value))}$"):
        MonteCarloRule(**{setting: value})


def test_policy_settings_are_stored_as_plain_values():
    rule = MonteCarloRule(n_samples=np.int64(300), prior_weight=np.float32(2.0), recent=3,
                          replace_if=np.float64(0.25))
    assert type(rule.n_samples) is int and type(rule.prior_weight) is float
    assert rule == MonteCarloRule(n_samples=300, prior_weight=2, recent=3, replace_if=0.25)


@pytest.mark.parametrize("policy", [ParetoRule(),
                                    MonteCarloRule(n_samples=200, batch=200, replace_if=None)])
def test_exchangeable_members_are_treated_alike(policy):
    """Identical windows: every row is replaced and kept as often as any other,
    whatever the order in which members joined."""
    n, trials = 6, 300
    same = [np.array([[1.0, 2.0], [1.2, 1.8], [0.8, 2.2]])] * n
    replaced = np.zeros(n)
    upper = np.zeros(n)
    for seed in range(trials):
        for m in range(n):
            v = policy(evidence(same, m, seed=seed * n + m))
            replaced[m] += v.source is not None
            upper[m] += v.upper
    for counts in (replaced, upper):
        p = counts.sum() / (n * trials)
        se = np.sqrt(p * (1 - p) / trials)
        assert p > 0.05
        assert np.abs(counts / trials - p).max() < 4 * se, counts

"""kestrovane.estimate near the float range, and the Estimates it returns:
unpacking as before, passed whole to select and counts, directions not
flippable twice."""

import pickle

import numpy as np
import pytest

import kestrovane
from kestrovane import Estimates, counts, estimate, select


def old_estimate(members):
    """The plain formulas, as estimate computed them before scaling."""
    mean = np.array([x.mean(axis=0) for x in members])
    ss = np.array([((x - x.mean(axis=0)) ** 2).sum(axis=0) for x in members])
    k = np.array([len(x) for x in members])[:, None]
    return mean, ss / (k - 1) / k


def test_scaled_estimates_equal_the_plain_formulas_bit_for_bit():
    rng = np.random.default_rng(1)
    for scale in (1e-30, 1e-3, 1.0, 7.0, 1e40):
        members = [rng.normal(0.3, 2.0, size=(k, 3)) * scale for k in (2, 3, 5, 8)]
        mu, sigma2 = estimate(members)
        want_mu, want_var = old_estimate(members)
        assert mu.tobytes() == want_mu.tobytes() and sigma2.tobytes() == want_var.tobytes()


def test_estimates_near_the_float_range_do_not_overflow():
    mu, sigma2 = estimate([np.array([[1e308], [1e308]]), np.array([[1.0], [2.0]])])
    assert mu[0, 0] == 1e308 and sigma2[0, 0] == 0.0
    mu, sigma2 = estimate([np.array([[1e154], [-1e154]])])
    assert mu[0, 0] == 0.0 and sigma2[0, 0] == pytest.approx(1e308, rel=1e-15)
    # Pooled over members of very different sizes, for a single-value member:
    # the squared deviations (2e308) overflow, their mean over 3 dof does not.
    mu, sigma2 = estimate([np.array([[1e154], [-1e154]]), np.array([[1.0], [2.0], [3.0]]),
                           np.array([[5.0]])])
    assert sigma2[2, 0] == pytest.approx(1e154 ** 2 / 3 * 2, rel=1e-15)
    with pytest.raises(ValueError, match=r"variance of the mean of member 'x' \(row 0\), "
                                         r"objective 'a' \(column 0\) is too large"):
        estimate([np.array([[1e308], [-1e308]])], ids=["x"], objectives=["a"])


def test_estimates_unpack_as_before_with_maximised_means_negated():
    evals = [np.array([[0.9, 3.0], [0.7, 5.0]]), np.array([[0.2, 1.0], [0.4, 1.0]])]
    est = estimate(evals, maximize=["acc"], objectives=["acc", "ms"], ids=["a", "b"])
    mu, sigma2 = est
    assert isinstance(est, tuple) and len(est) == 2
    assert mu.tolist() == [[-0.8, 4.0], [-0.30000000000000004, 1.0]]
    assert est.means[:, 0].tolist() == [0.8, 0.30000000000000004]
    assert est.ids == ("a", "b") and est.objectives == ("acc", "ms")
    assert est.maximize == (True, False)
    with pytest.raises(AttributeError, match="immutable"):
        est.maximize = (False, False)
    assert pickle.loads(pickle.dumps(est)) == est and est != estimate(evals)


def test_select_and_counts_take_estimates_and_refuse_a_second_maximize():
    rng = np.random.default_rng(2)
    evals = [rng.normal([q, 1 - q], 0.1, size=(4, 2)) for q in np.linspace(0, 1, 6)]
    names = [f"m{i}" for i in range(6)]
    est = estimate(evals, maximize=["acc"], objectives=["acc", "loss"], ids=names)
    mu, sigma2 = est
    by_hand = select(mu, sigma2, n_samples=300, ids=names, objectives=["acc", "loss"])
    sel = select(est, n_samples=300)
    assert sel.winners == by_hand.winners and np.array_equal(sel.p_win, by_hand.p_win)
    assert sel.ids == tuple(names) and sel.maximize == (True, False)
    assert sel.objectives == ("acc", "loss")
    assert np.array_equal(counts(est, n_samples=300).win_count, by_hand.win_count)
    for call in (select, counts):
        with pytest.raises(TypeError, match="maximize must not be given with an Estimates"):
            call(est, maximize=["acc"])
        with pytest.raises(TypeError, match="sigma2 must be omitted"):
            call(est, sigma2)
        with pytest.raises(TypeError, match="ids must not be given"):
            call(est, ids=names)
        with pytest.raises(TypeError, match="sigma2 is missing"):
            call(mu)
    # Estimates without ids take them from select.
    plain = select(estimate(evals), ids=names, n_samples=10)
    assert plain.ids == tuple(names) and plain.maximize == (False, False)
    assert "Estimates" in kestrovane.__all__


def test_estimates_hold_read_only_copies_of_the_arrays_given():
    mu, sigma2 = np.zeros((2, 2)), np.ones((2, 2))
    est = Estimates(mu, sigma2)
    mu[0, 0] = sigma2[0, 0] = 5.0  # the caller's arrays stay its own
    assert est.mu[0, 0] == 0.0 and est.sigma2[0, 0] == 1.0
    for arr in (est.mu, *estimate([np.ones((2, 1)), np.zeros((3, 1))])):
        with pytest.raises(ValueError, match="read-only"):
            arr[0, 0] = 1.0
    assert select(est, n_samples=5).n_samples == counts(est, n_samples=5).n_samples == 5


def test_estimates_refuse_maximize_flags_as_select_does():
    """Non-bool flags are the wrong kind (TypeError, as select says for
    maximize=[1, 0]); the wrong number of bools a wrong value."""
    mu, s2 = np.zeros((2, 2)), np.ones((2, 2))
    with pytest.raises(TypeError):
        select(mu, s2, maximize=[1, 0])
    with pytest.raises(TypeError, match=r"maximize must hold one bool per objective \(2\)"):
        Estimates(mu, s2, maximize=[1, 0])
    with pytest.raises(ValueError, match=r"maximize must hold one bool per objective \(2\)"):
        Estimates(mu, s2, maximize=[True])
    assert Estimates(mu, s2, maximize=[np.True_, False]).maximize == (True, False)

"""kestrovane.estimate: means and variances of the mean from repeated evaluations."""

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrovane import estimate, select


def expected(members):
    """Member by member with NumPy's own mean and var, pooling for single values."""
    m = members[0].shape[1]
    mu = np.array([x.mean(axis=0) for x in members])
    ss = sum(x.var(axis=0, ddof=1) * (len(x) - 1) for x in members if len(x) >= 2)
    dof = sum(len(x) - 1 for x in members if len(x) >= 2)
    pooled = ss / dof if dof else np.full(m, np.nan)
    sigma2 = np.array([x.var(axis=0, ddof=1) / len(x) if len(x) >= 2 else pooled
                       for x in members])
    return mu, sigma2


def padded(members):
    """The same evaluations as one (N, K, M) array, NaN for the missing ones."""
    out = np.full((len(members), max(map(len, members)), members[0].shape[1]), np.nan)
    for i, x in enumerate(members):
        out[i, :len(x)] = x
    return out


@settings(max_examples=80, deadline=None)
@given(st.lists(st.integers(1, 7), min_size=1, max_size=12), st.integers(1, 3),
       st.integers(0, 2**32), st.sampled_from([1e-3, 1.0, 1e6]))
def test_ragged_agrees_with_numpy_and_with_the_padded_array(counts, m, seed, scale):
    if max(counts) < 2:
        counts = counts + [2]
    rng = np.random.default_rng(seed)
    members = [rng.normal(5.0, 1.0, size=(k, m)) * scale for k in counts]
    mu, sigma2 = estimate(members)
    want_mu, want_s2 = expected(members)
    assert mu.shape == sigma2.shape == (len(counts), m)
    assert mu.dtype == sigma2.dtype == np.float64
    np.testing.assert_allclose(mu, want_mu, rtol=1e-13)
    np.testing.assert_allclose(sigma2, want_s2, rtol=1e-9, atol=0)
    assert np.isfinite(sigma2).all() and (sigma2 >= 0).all()
    as_objects = np.empty(len(members), dtype=object)
    for i, x in enumerate(members):
        as_objects[i] = x
    mu_o, sigma2_o = estimate(as_objects)
    assert np.array_equal(mu_o, mu) and np.array_equal(sigma2_o, sigma2)
    mu3, sigma23 = estimate(padded(members))
    np.testing.assert_allclose(mu3, mu, rtol=1e-13)
    np.testing.assert_allclose(sigma23, sigma2, rtol=1e-12)


def test_missing_values_count_per_objective():
    evals = np.array([[[1.0, 10.0], [3.0, np.nan], [5.0, 14.0]],
                      [[2.0, np.nan], [np.nan, 20.0], [np.nan, np.nan]]])
    mu, sigma2 = estimate(evals)
    assert mu.tolist() == [[3.0, 12.0], [2.0, 20.0]]
    # member 0: var 4 over 3 values and var 8 over 2; member 1 has one value
    # of each objective and gets the pooled variances (8/2 = 4 and 8/1 = 8).
    assert sigma2.tolist() == [[4.0 / 3, 4.0], [4.0, 8.0]]


def test_single_evaluations_use_the_pooled_variance_and_never_nan():
    members = [np.array([[1.0], [3.0]]), np.array([[7.0]]),
               np.array([[0.0], [0.0], [6.0]])]
    mu, sigma2 = estimate(members)
    pooled = ((1 - 2) ** 2 + (3 - 2) ** 2 + 2 * 2 ** 2 + 4 ** 2) / (1 + 2)
    assert sigma2[1, 0] == pytest.approx(pooled)
    assert sigma2[0, 0] == pytest.approx(2.0 / 2) and sigma2[2, 0] == pytest.approx(12.0 / 3)
    constant = estimate([np.ones((3, 2)), np.ones((1, 2))])[1]
    assert constant.tolist() == [[0.0, 0.0], [0.0, 0.0]]  # no noise seen: 0, allowed by select


def test_maximize_negates_the_means_only_and_feeds_select():
    members = [np.array([[0.9, 2.0], [0.7, 4.0]]), np.array([[0.5, 3.0], [0.6, 3.0]])]
    plain_mu, plain_s2 = estimate(members)
    mu, sigma2 = estimate(members, maximize=["acc"], objectives=["acc", "cost"])
    assert np.array_equal(mu, plain_mu * [-1, 1]) and np.array_equal(sigma2, plain_s2)
    assert select(mu, sigma2, n_samples=10).losers == (1,)  # lower accuracy, same cost


ERRORS = [
    ("empty-member", [np.ones((2, 2)), np.ones((0, 2))], ValueError, "member 1 has no evaluations"),
    ("all-missing", np.array([[[1.0, np.nan], [2.0, np.nan]]]), ValueError,
     "member 0 has no evaluation of objective 1"),
    ("infinite", [np.ones((2, 1)), np.array([[1.0], [2.0], [np.inf]])], ValueError,
     "evaluation 2 of member 1, objective 0 is infinite (inf)"),
    ("no-repeats", [np.ones((1, 2)), np.ones((1, 2))], ValueError,
     "cannot estimate the noise of objective 0: member 0 has a single evaluation of it and no "
     "member has two or more"),
    ("objectives-differ", [np.ones((2, 2)), np.ones((2, 3))], ValueError,
     "evaluations of member 1 have 3 objectives but those of member 0 have 2"),
    ("member-1d", [np.ones(3)], ValueError,
     "evaluations of member 0 must be 2-D (k evaluations x M objectives); got shape (3,)"),
    ("array-2d", np.ones((3, 2)), ValueError,
     "evaluations as one array must be 3-D (N members x K evaluations x M objectives); got "
     "shape (3, 2)"),
    ("no-members", [], ValueError, "evaluations holds no members"),
    ("no-objectives", np.ones((2, 2, 0)), ValueError,
     "evaluations has no objectives (shape (2, 2, 0)); at least one is needed"),
    ("masked", np.ma.masked_array(np.ones((2, 2, 1))), TypeError,
     "evaluations is a masked array; fill or drop the masked entries first (their fill values "
     "would otherwise be used)"),
    ("complex-member", [np.ones((2, 1)) * 1j], TypeError,
     "evaluations of member 0 must hold real numbers; got dtype complex128"),
    ("mapping", {"a": np.ones((2, 1))}, TypeError,
     "evaluations must be an (N, K, M) array or a sequence of per-member (k, M) arrays; "
     "got dict"),
]


@pytest.mark.parametrize("evaluations,exc,message", [row[1:] for row in ERRORS],
                         ids=[row[0] for row in ERRORS])
def test_refused_evaluations(evaluations, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        estimate(evaluations)

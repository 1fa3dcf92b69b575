"""kestrovane.rate: the rating of the low-level module, by name, with maximisation."""

import pickle

import numpy as np
import pytest

from kestrovane import Rating, rate
from kestrovane.pareto_core._pareto_rating_cy import rate_population


@pytest.mark.parametrize("mode,mode_i", [("ranks", 1), ("values", 0)])
def test_equals_rate_population_and_maximize_negates(mode, mode_i):
    X = np.random.default_rng(5).normal(size=(40, 3))
    X[:5] = X[5:10]  # ties
    want = rate_population(X * [1, -1, 1], mode_i)
    got = rate(X, mode=mode, maximize=[False, True, False])
    assert got.n_fronts == want[0] and type(got.n_fronts) is int
    for arr, ref in zip((got.front, got.crowding, got.order), want[1:]):
        assert arr.dtype == ref.dtype and arr.tobytes() == ref.tobytes()
        assert not arr.flags.writeable
    assert got == rate(X * [1, -1, 1], mode=mode)
    assert pickle.loads(pickle.dumps(got)) == got
    assert isinstance(got, Rating) and got != rate(X, mode=mode)


def test_empty_population():
    r = rate(np.zeros((0, 2)))
    assert r.n_fronts == 0 and r.order.shape == (0,)

"""The members most likely on the true first front: `front_chances`, its picks,
and the tracker's way to ask for them at the end of a run."""

import math

import numpy as np
import pytest

import kestrovane
from kestrovane._api import front
from kestrovane.pbt import Population
from kestrovane.pbt.policies import ParetoRule


def test_non_dominated_rows_match_a_direct_check():
    rng = np.random.default_rng(3)
    points = rng.integers(0, 4, size=(6, 12, 3)).astype(float)  # many ties and equal rows
    got = front.nondominated(points)
    for block, mask in zip(points, got):
        for i, a in enumerate(block):
            dominated = any((b <= a).all() and (b < a).any() for b in block)
            assert mask[i] == (not dominated)


def test_chances_known_answers_and_directions():
    # One objective: the first front is the minimum; a - b ~ N(-1, 1).
    r = kestrovane.front_chances([[0.0], [1.0]], [[0.5], [0.5]], n_samples=40_000, seed=1)
    phi = 0.5 * (1 + math.erf(1 / math.sqrt(2)))
    assert r.p_front[0] == pytest.approx(phi, abs=4 * math.sqrt(phi * (1 - phi) / 40_000))
    assert r.p_front.sum() == pytest.approx(1.0)
    # Two exact trade-offs and a dominated member; maximised objectives flip.
    mu = [[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]]
    exact = kestrovane.front_chances(mu, np.zeros((3, 2)), n_samples=10, ids=list("abc"))
    assert exact.p_front.tolist() == [1.0, 1.0, 0.0] and exact.likely() == ["a", "b"]
    flipped = kestrovane.front_chances(mu, np.zeros((3, 2)), n_samples=10, maximize=True)
    assert flipped.p_front.tolist() == [0.0, 0.0, 1.0]


def test_chances_repeat_for_a_seed_whatever_the_block_size(monkeypatch):
    rng = np.random.default_rng(0)
    mu, s2 = rng.normal(size=(9, 2)), rng.uniform(0.1, 1.0, (9, 2))
    first = kestrovane.front_chances(mu, s2, n_samples=3001, seed=7)
    monkeypatch.setattr(front, "_BLOCK_CELLS", 50)  # blocks of one sample
    again = kestrovane.front_chances(mu, s2, n_samples=3001, seed=7)
    np.testing.assert_array_equal(first.p_front, again.p_front)
    other = kestrovane.front_chances(mu, s2, n_samples=3001, seed=8)
    assert not np.array_equal(first.p_front, other.p_front)
    with pytest.raises(ValueError):
        first.p_front[0] = 1.0


def test_picks_and_their_errors():
    r = kestrovane.front_chances([[0.0], [0.1], [5.0]], [[1.0], [1.0], [0.0]],
                                 ids=["x", "y", "z"], n_samples=2000)
    assert r.likely(1) == ["x"] and r.likely(3)[2] == "z"
    assert r.likely(at_least=0.99) == ["x"]  # at least the most likely one
    with pytest.raises(ValueError, match="size"):
        r.likely(4)
    with pytest.raises(TypeError, match="size"):
        r.likely(1.5)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="at_least"):
        r.likely(at_least=1.5)
    with pytest.raises(ValueError, match="sigma2 of member 1"):
        kestrovane.front_chances([[0.0], [1.0]], [[0.0], [-1.0]])
    with pytest.raises(ValueError, match="n_samples"):
        kestrovane.front_chances([[0.0]], [[0.0]], n_samples=0)


def test_the_tracker_names_its_likely_front_without_touching_decisions():
    def filled(pop):
        rng = np.random.default_rng(5)
        centres = {"a": (0.0, 1.0), "b": (1.0, 0.0), "c": (2.0, 2.0), "d": (0.5, 0.5)}
        for _ in range(6):
            for name, c in centres.items():
                pop.report(name, np.add(c, rng.normal(0.0, 0.05, 2)))
        return pop

    pop = filled(Population[str](["x", "y"], policy=ParetoRule(), seed=4))
    twin = filled(Population[str](["x", "y"], policy=ParetoRule(), seed=4))
    chances = pop.front_chances(n_samples=500)
    assert set(chances.likely()) == {"a", "b", "d"} and chances.p_front[2] == 0.0
    np.testing.assert_array_equal(chances.p_front, pop.front_chances(n_samples=500).p_front)
    assert pop.decide("c") == twin.decide("c")  # the decision counter did not move
    window = pop.evaluations("a")
    assert window.shape == (6, 2)
    window[:] = 99.0  # a copy
    assert pop.evaluations("a")[0, 0] != 99.0
    with pytest.raises(ValueError, match="min_reports"):
        Population[str](["x"]).front_chances()
    # Maximised objectives are compared as the user gave them.
    up = Population[str](["acc"], maximize=True)
    for _ in range(3):
        up.report("low", [0.1])
        up.report("high", [0.9])
    assert up.front_chances(n_samples=100).likely(1) == ["high"]
    assert up.evaluations("high").tolist() == [[0.9]] * 3

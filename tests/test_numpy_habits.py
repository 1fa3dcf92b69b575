"""What NumPy and pandas users pass: seeds as None or a Generator, variances
that broadcast, and labelled frames."""

import numpy as np
import pytest

import kestrovane as k
from kestrovane.pbt import Population

pd = pytest.importorskip("pandas")

MU = np.array([[0.1, 0.9], [0.2, 0.8], [0.3, 0.95], [0.15, 0.7]])
SMALL = dict(n_samples=300)


@pytest.mark.parametrize("run", [k.select, k.counts, k.front_chances])
def test_fresh_and_generator_seeds_are_recorded_and_repeat(run):
    fresh = run(MU, 0.01, seed=None, **SMALL)
    assert run(MU, 0.01, seed=fresh.seed, **SMALL).seed == fresh.seed
    assert run(MU, 0.01, seed=None, **SMALL).seed != fresh.seed
    gen, twin = np.random.default_rng(7), np.random.default_rng(7)
    first, second = run(MU, 0.01, seed=gen, **SMALL), run(MU, 0.01, seed=gen, **SMALL)
    assert first.seed != second.seed  # the generator advances, as NumPy's functions do
    assert run(MU, 0.01, seed=twin, **SMALL).seed == first.seed


def test_a_refused_call_does_not_advance_the_generator():
    gen = np.random.default_rng(3)
    with pytest.raises(ValueError):
        k.select(MU, -1.0, seed=gen)
    assert gen.integers(10**9) == np.random.default_rng(3).integers(10**9)


@pytest.mark.parametrize("seed", [1.5, "1", np.random.RandomState(0), True, -1])
def test_bad_seeds_name_the_argument(seed):
    with pytest.raises((TypeError, ValueError), match="^seed must be"):
        k.select(MU, 0.01, seed=seed)


@pytest.mark.parametrize("sigma2", [0.01, [0.01, 0.04], np.array([[0.01, 0.04]]),
                                    np.array([[0.01], [0.02], [0.03], [0.04]])])
def test_variances_broadcast_as_numpy_broadcasts(sigma2):
    full = np.broadcast_to(np.asarray(sigma2, dtype=float), MU.shape)
    a = k.select(MU, sigma2, seed=5, **SMALL)
    b = k.select(MU, np.array(full), seed=5, **SMALL)
    assert np.array_equal(a.win_count, b.win_count) and np.array_equal(a.place.mean, b.place.mean)


@pytest.mark.parametrize("sigma2", [np.ones(4), np.ones((2, 2)), np.ones((1, 4, 2))])
def test_variances_that_do_not_broadcast_are_refused(sigma2):
    with pytest.raises(ValueError, match=r"broadcasts to mu's .*got \(4, 2\) and"):
        k.select(MU, sigma2)


def test_a_bad_broadcast_variance_is_named():
    with pytest.raises(ValueError, match="sigma2 of member 0, objective 1 is negative"):
        k.select(MU, [0.1, -1.0])


FRAME = pd.DataFrame(MU, index=list("abcd"), columns=["loss", "acc"])


def test_a_frame_names_members_and_objectives():
    s = k.select(FRAME, 0.01, maximize=["acc"], seed=2, **SMALL)
    assert s.ids == ("a", "b", "c", "d") and s.objectives == ("loss", "acc")
    plain = k.select(MU, 0.01, maximize=[False, True], seed=2, ids=list("abcd"), **SMALL)
    assert s.winners == plain.winners and np.array_equal(s.win_count, plain.win_count)
    # A frame of defaults (0..N-1 index and columns) carries no labels.
    bare = k.select(pd.DataFrame(MU), 0.01, seed=2, **SMALL)
    assert bare.objectives is None and bare.ids == (0, 1, 2, 3)


def test_variance_frames_and_series_are_aligned_by_label():
    var = pd.DataFrame({"acc": [0.04, 0.03, 0.02, 0.01], "loss": [0.1, 0.2, 0.3, 0.4]},
                       index=list("abcd"))
    shuffled = var.loc[list("dbca")]
    a = k.select(FRAME, shuffled, seed=1, **SMALL)
    b = k.select(MU, var[["loss", "acc"]].to_numpy(), ids=list("abcd"), seed=1, **SMALL)
    assert np.array_equal(a.win_count, b.win_count)
    per_objective = k.select(FRAME, pd.Series({"acc": 0.04, "loss": 0.1}), seed=1, **SMALL)
    same = k.select(FRAME, [0.1, 0.04], seed=1, **SMALL)
    assert np.array_equal(per_objective.win_count, same.win_count)
    one = pd.Series([3.0, 1.0, 2.0], index=list("xyz"), name="loss")
    by_member = k.select(one, pd.Series({"z": 0.3, "x": 0.1, "y": 0.2}), seed=1, **SMALL)
    assert by_member.objectives == ("loss",)
    assert np.array_equal(by_member.win_count,
                          k.select([[3.0], [1.0], [2.0]], [[0.1], [0.2], [0.3]], seed=1,
                                   **SMALL).win_count)


@pytest.mark.parametrize("kwargs, message", [
    (dict(sigma2=pd.DataFrame(0.1, index=list("abcx"), columns=["loss", "acc"])),
     "sigma2's index must hold the labels of mu's index, each once; it lacks 'd'"),
    (dict(sigma2=pd.DataFrame(0.1, index=list("abcd"), columns=["loss", "lat"])),
     "sigma2's columns must hold the labels of mu's columns, each once; it lacks 'acc'"),
    (dict(sigma2=pd.Series({"loss": 0.1})), "sigma2 is a Series whose index is neither"),
    (dict(sigma2=0.1, ids=list("wxyz")), "ids differ from mu's index"),
    (dict(sigma2=0.1, objectives=["a", "b"]), "objectives differ from mu's columns"),
])
def test_labels_that_disagree_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        k.select(FRAME, **kwargs)
    # Labels given again that agree are fine.
    k.select(FRAME, 0.1, ids=list("abcd"), objectives=["loss", "acc"], n_samples=10)


def test_population_seeds_and_scalar_reports():
    fresh = Population(["loss"], seed=None)
    assert 0 <= fresh.seed < 2**64 and Population(["loss"], seed=None).seed != fresh.seed
    gen = np.random.default_rng(11)
    assert Population(["loss"], seed=gen).seed == Population(
        ["loss"], seed=np.random.default_rng(11)).seed
    fresh.report("a", 0.5)
    fresh.report("a", np.float32(0.25))
    assert fresh.evaluations("a").tolist() == [[0.5], [0.25]]

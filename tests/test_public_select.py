"""kestrovane.select: with ties="index" the same numbers as the low-level
kernel, named by id, immutable, and exported intact (pickle, JSON, pandas,
repr)."""

import dataclasses
import json
import pickle
import subprocess
import sys

import numpy as np
import pytest

import kestrovane
from kestrovane import MetricStats, Selection, select
from kestrovane.selection_core._mc_rank import mc_rank_select_detailed

STATS = ("mean", "std", "median", "q25", "q75")
MODES = {"values": 0, "ranks": 1}
QUANTILES = {"exact": 0, "p2": 1, "auto": 2}


def bits(a):
    a = np.asarray(a)
    return a.dtype.str, a.shape, a.tobytes()


def assert_matches_kernel(sel, raw, ids):
    """`sel` holds exactly the arrays of the kernel's nine-tuple `raw`, named by `ids`."""
    winners, losers, wins, losses, rank_sum, place, front, within, quality = raw
    assert sel.ids == tuple(ids)
    assert sel.winners == tuple(ids[i] for i in winners)
    assert sel.losers == tuple(ids[i] for i in losers)
    for got, want in [(sel.winner_rows, winners), (sel.loser_rows, losers),
                      (sel.win_count, wins), (sel.lose_count, losses),
                      (sel.rank_sum, rank_sum), (sel.quality, quality)]:
        assert bits(got) == bits(want)
    for stats, d in [(sel.place, place), (sel.front, front), (sel.within, within)]:
        for key in STATS:
            assert bits(getattr(stats, key)) == bits(d[key])
    used = place.get("quantiles_mode_used", 0)
    assert sel.quantiles_used == ("p2" if used == 1 else "exact")
    assert bits(sel.p_win) == bits(wins / sel.n_samples)
    assert bits(sel.mean_place) == bits(rank_sum / sel.n_samples)


CASES = [  # (N, M, n_samples, percentile, seed, mode, quantiles)
    (1, 1, 1, 0.2, 0, "ranks", "auto"),
    (2, 3, 7, 1.0, 5, "values", "exact"),
    (5, 2, 50, 0.2, 1, "ranks", "p2"),
    (9, 1, 40, 0.5, 2, "values", "auto"),
    (13, 4, 30, 0.07, 2**64 - 1, "ranks", "exact"),
    (40, 2, 25, 0.3, 3, "values", "p2"),
    (64, 3, 12, 0.2, 4, "ranks", "auto"),
    (100, 2, 6, 0.07, 99, "values", "auto"),
]


@pytest.mark.parametrize("n,m,n_samples,percentile,seed,mode,quantiles", CASES)
def test_equals_the_kernel_bit_for_bit(n, m, n_samples, percentile, seed, mode, quantiles):
    rng = np.random.default_rng(n * 31 + m)
    mu = rng.normal(size=(n, m))
    sigma2 = rng.uniform(0.0, 1.5, size=(n, m))
    sigma2[rng.random((n, m)) < 0.2] = 0.0  # some scores known exactly
    ids = [f"run-{i}" for i in range(n)]
    sel = select(mu, sigma2, n_samples=n_samples, percentile=percentile, seed=seed, mode=mode,
                 quantiles=quantiles, ids=ids, ties="index")
    raw = mc_rank_select_detailed(mu, sigma2, n_samples, percentile, seed, MODES[mode], 0,
                                  QUANTILES[quantiles])
    assert_matches_kernel(sel, raw, ids)
    assert (sel.n_samples, sel.seed, sel.percentile, sel.mode, sel.quantiles) == (
        n_samples, seed, percentile, mode, quantiles)
    assert sel.k == len(sel.losers) == min(n, max(1, int(np.ceil(n * percentile))))


@pytest.mark.parametrize("mode", ["ranks", "values"])
def test_maximize_is_exact_negation_in_every_spelling(mode):
    rng = np.random.default_rng(11)
    mu = rng.normal(size=(12, 3)) * [1.0, 100.0, 0.01]
    mu[0, 1] = 0.0  # negates to -0.0
    sigma2 = rng.uniform(0.0, 0.5, size=(12, 3))
    original = mu.copy()
    negated = mu.copy()
    negated[:, [0, 2]] *= -1
    raw = mc_rank_select_detailed(negated, sigma2, 60, 0.25, 8, MODES[mode], 0, 0)
    names = ["acc", "loss", "f1"]
    for maximize, objectives in [([True, False, True], None),
                                 (np.array([True, False, True]), None),
                                 (["acc", "f1"], names), ({"f1", "acc"}, names)]:
        sel = select(mu, sigma2, n_samples=60, percentile=0.25, seed=8, mode=mode,
                     quantiles="exact", maximize=maximize, objectives=objectives, ties="index")
        assert_matches_kernel(sel, raw, list(range(12)))
        assert sel.maximize == (True, False, True)
    everything = select(mu, sigma2, n_samples=20, seed=1, maximize=True, ties="index")
    assert_matches_kernel(everything, mc_rank_select_detailed(-mu, sigma2, 20, 0.2, 1), range(12))
    assert bits(mu) == bits(original)  # the caller's array is untouched


def test_inputs_of_other_types_convert_like_the_kernel():
    mu = [[1, 2], [3, 0], [2, 2]]  # Python ints
    sigma2 = np.array([[0.5, 0.5], [0.1, 0.2], [0.3, 0.0]], dtype=np.float32)
    sel = select(mu, np.asfortranarray(sigma2), n_samples=30, seed=2, ties="index")
    raw = mc_rank_select_detailed(mu, sigma2, 30, 0.2, 2)
    assert_matches_kernel(sel, raw, [0, 1, 2])


def test_ids_come_back_everywhere_and_numpy_ids_become_python_scalars():
    mu = np.arange(10.0)[:, None] * [1.0, 1.0]
    sel = select(mu, np.zeros_like(mu), n_samples=3, ids=np.arange(100, 110))
    assert sel.ids == tuple(range(100, 110)) and all(type(i) is int for i in sel.ids)
    assert sel.winners == (100, 101) and sel.losers == (109, 108)
    assert sel.replacements == [(109, 100), (108, 101)]
    frame = sel.to_pandas() if _has("pandas") else None
    if frame is not None:
        assert list(frame.index) == list(range(100, 110))
        assert frame.loc[100, "winner"] and frame.loc[109, "loser"]


def test_empty_population_gives_an_empty_selection():
    sel = select(np.zeros((0, 2)), np.zeros((0, 2)), n_samples=5)
    assert sel.ids == sel.winners == sel.losers == () and sel.replacements == []
    assert sel.quantiles_used == "exact" and sel.place.mean.shape == (0,)
    assert "0 members" in repr(sel)


def test_quantiles_used_follows_the_budget():
    mu = np.zeros((10, 2))
    s2 = np.ones((10, 2))
    assert select(mu, s2, n_samples=100, quantiles_budget=1000).quantiles_used == "exact"
    assert select(mu, s2, n_samples=101, quantiles_budget=1000).quantiles_used == "p2"
    assert select(mu, s2, n_samples=4, quantiles="p2").quantiles_used == "exact"


# -- the result object --------------------------------------------------------------


@pytest.fixture(scope="module")
def result():
    rng = np.random.default_rng(3)
    mu = rng.normal(size=(25, 2))
    return select(mu, np.full_like(mu, 0.8), n_samples=200, seed=4, percentile=0.4,
                  ids=[f"m{i:02d}" for i in range(25)], objectives=["acc", "loss"],
                  maximize=["acc"])


def test_result_is_immutable(result):
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.winners = ()
    arrays = [result.win_count, result.rank_sum, result.quality, result.p_win,
              result.mean_place, result.winner_rows, result.place.median, result.within.q75]
    for arr in arrays:
        with pytest.raises(ValueError, match="read-only"):
            arr[0] = 1
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.front.mean = np.zeros(25)
    with pytest.raises(TypeError):
        hash(result)


def test_pickles_to_an_equal_immutable_result(result):
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(result, protocol))
        assert back == result and back is not result
        assert back.replacements == result.replacements
        assert not back.place.q25.flags.writeable and not back.win_count.flags.writeable
    assert result != dataclasses.replace(result, seed=5)


def test_to_dict_round_trips_through_json(result):
    d = result.to_dict()
    text = json.dumps(d, allow_nan=False)
    loaded = json.loads(text)
    assert loaded == d
    back = Selection.from_dict(loaded)
    assert back == result
    assert bits(back.place.mean) == bits(result.place.mean)  # floats survive exactly
    assert loaded["replacements"] == [list(p) for p in result.replacements]
    assert loaded["objectives"] == ["acc", "loss"] and loaded["maximize"] == [True, False]
    assert set(loaded["place"]) == set(STATS)


def test_repr_is_a_table_truncated_for_large_populations(result):
    text = repr(result)
    lines = text.splitlines()
    assert lines[0].startswith("Selection: 25 members x 2 objectives (acc (max), loss); 200 "
                               "samples, seed 4")
    assert "... 13 more" in text and len(lines) < 20
    # The command line's order: the winners best first, the losers worst last.
    assert lines[4].split()[0] == result.winners[0] and lines[4].split()[-1] == "W"
    assert lines[-1].split()[0] == result.losers[0] and lines[-1].split()[-1] == "L"
    small = select([[0.0], [1.0]], [[0.0], [0.0]], n_samples=1, percentile=1.0)
    assert "W+L" in repr(small) and "more" not in repr(small)


@pytest.mark.skipif(not __import__("importlib").util.find_spec("pandas"),
                    reason="pandas not installed")
def test_to_pandas_has_one_row_per_member(result):
    frame = result.to_pandas()
    assert list(frame.index) == list(result.ids) and frame.index.name == "id"
    assert np.array_equal(frame["place_median"].to_numpy(), result.place.median)
    assert frame["winner"].sum() == frame["loser"].sum() == result.k
    frame.loc[:, "p_win"] = 0.0  # the frame is the caller's; the result stays as it was
    assert result.p_win.max() > 0


def test_to_pandas_without_pandas_says_how_to_get_it(result, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"needs pandas \(pip install 'kestrovane\[pandas\]'\)"):
        result.to_pandas()


def test_metric_stats_is_its_own_record():
    stats = MetricStats.from_mapping({key: [1.0, 2.0] for key in STATS})
    assert pickle.loads(pickle.dumps(stats)) == stats
    assert stats.to_dict() == {key: [1.0, 2.0] for key in STATS}


def _has(module):
    import importlib.util
    return importlib.util.find_spec(module) is not None


# -- the package ---------------------------------------------------------------------


def test_version_and_public_names():
    from importlib import metadata
    assert kestrovane.__version__ == metadata.version("kestrovane")
    assert set(kestrovane.__all__) >= {"select", "rate", "estimate", "Selection", "MetricStats",
                                       "Rating", "__version__"}
    namespace = {}
    exec("from kestrovane import *", namespace)
    assert all(name in namespace for name in kestrovane.__all__)
    assert set(kestrovane.__all__) <= set(dir(kestrovane))
    with pytest.raises(AttributeError, match="no attribute 'selekt'"):
        kestrovane.selekt


def test_low_level_import_does_not_load_the_public_layer():
    code = ("import sys, kestrovane.selection_core._mc_rank; "
            "print(any(m.startswith('kestrovane._api') for m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"

"""The entry points travel to worker processes by reference and give there
exactly what they give here."""

import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

from kestrovane.pareto_core._pareto_rating_cy import rate_population
from kestrovane.selection_core import _mc_rank

FUNCTIONS = [_mc_rank.mc_rank_counts, _mc_rank.mc_rank_select,
             _mc_rank.mc_rank_select_detailed, rate_population]


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.__name__)
def test_pickles_and_copies_as_the_same_object(f):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def flatten(result):
    """Bytes of every array in a result, dicts included, in order."""
    out = []
    for item in result if isinstance(result, tuple) else (result,):
        if isinstance(item, dict):
            out += [(k, np.asarray(v).tobytes(), np.asarray(v).dtype.str) for k, v in item.items()]
        elif isinstance(item, np.ndarray):
            out.append((item.tobytes(), item.dtype.str, item.shape))
        else:
            out.append(item)
    return out


def test_spawned_workers_reproduce_the_parent():
    rng = np.random.default_rng(5)
    mu = rng.normal(size=(40, 3))
    sigma2 = rng.uniform(0.01, 0.5, size=(40, 3))
    calls = [
        (_mc_rank.mc_rank_counts, (mu, sigma2, 300, 0.2, 11)),
        (_mc_rank.mc_rank_select, (mu, sigma2, 300, 0.3, 12, 0)),
        (_mc_rank.mc_rank_select_detailed, (mu, sigma2, 300, 0.2, 13, 1, 0, 1)),
        (_mc_rank.mc_rank_select_detailed, (mu, sigma2, 50, 0.2, 14, 1, 0, 0)),
        (rate_population, (mu,)),
    ]
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        futures = [pool.submit(f, *args) for f, args in calls]
        remote = [fut.result(timeout=120) for fut in futures]
    for (f, args), got in zip(calls, remote):
        assert flatten(got) == flatten(f(*args)), f.__name__


def test_unpickled_counts_are_read_only_and_equal():
    import kestrovane
    mu = np.random.default_rng(5).random((6, 2))
    got = kestrovane.counts(mu, np.full_like(mu, 0.1), n_samples=200, ids=list("abcdef"))
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(got, protocol))
        for name in ("win_count", "lose_count", "rank_sum"):
            array = getattr(back, name)
            assert np.array_equal(array, getattr(got, name))
            with pytest.raises(ValueError, match="read-only"):
                array[0] = 1
        assert (back.ids, back.n_samples, back.ties) == (got.ids, got.n_samples, got.ties)


def test_results_pickled_before_their_modules_were_split_still_load():
    """MetricStats lived in kestrovane._api.selection; pickles that name it
    there load as the same class."""
    import kestrovane
    mu = np.random.default_rng(2).random((5, 2))
    sel = kestrovane.select(mu, np.full_like(mu, 0.05), n_samples=40)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(sel, protocol)) == sel
    old = pickle.dumps(sel.place, 0).replace(b"kestrovane._api.metric_stats",
                                              b"kestrovane._api.selection")
    assert b"kestrovane._api.selection\nMetricStats" in old
    assert pickle.loads(old) == sel.place and type(pickle.loads(old)) is kestrovane.MetricStats

"""The rows of docs/randomness.md's table of ties that other tests leave
open: who orders equal keys by row, who at random per decision."""

from types import SimpleNamespace

import numpy as np
import kestrovane
from kestrovane._api.selection_display import selection_order
from kestrovane.pbt import Evidence, any_source, streams, truncate, truncation


def evidence(windows, member, seed, copyable=None):
    n = len(windows)
    return Evidence(tuple(range(n)), tuple(windows), member,
                    np.ones(n, bool) if copyable is None else np.asarray(copyable), 0.5, seed)


def test_the_rating_orders_equal_keys_by_row():
    x = np.array([[0.0, 1.0], [1.0, 0.0], [0.5, 0.5], [0.5, 0.5], [0.25, 0.75]])
    order = kestrovane.rate(x).order.tolist()
    # Swapping the two equal members leaves the order of the rows as it was.
    assert kestrovane.rate(x[[0, 1, 3, 2, 4]]).order.tolist() == order
    assert order.index(3) < order.index(2)  # not simply the lower row first


def test_truncation_goes_by_row_and_truncate_by_the_order_given():
    same = [np.zeros((2, 1))] * 4  # k = 2
    for seed in range(5):
        assert [truncation(np.zeros(4), evidence(same, m, seed)).upper
                for m in range(4)] == [True, True, False, False]
        assert [truncate(np.array([3, 1, 2, 0]), evidence(same, m, seed)).upper
                for m in range(4)] == [False, True, False, True]
    # Row 2 is among the last two: replaced by row 0 or 1, whichever the seed draws.
    assert {truncation(np.zeros(4), evidence(same, 2, seed)).source
            for seed in range(40)} == {0, 1}


def test_any_source_draws_uniformly_among_copyable_sources_in_row_order():
    e = evidence([np.zeros((1, 1))] * 5, 0, 0, copyable=[True, False, True, True, True])
    drawn = [any_source([4, 1, 2], e, streams.choice_rng(seed)) for seed in range(600)]
    assert set(drawn) == {2, 4} and abs(drawn.count(2) - 300) < 4 * np.sqrt(150)
    # The same generator gives the same row whatever order the sources came in.
    assert all(any_source([4, 1, 2], e, streams.choice_rng(s)) ==
               any_source([2, 4, 1], e, streams.choice_rng(s)) for s in range(20))
    assert any_source([1], e, streams.choice_rng(0)) is None


def test_the_shown_order_breaks_ties_by_wins_then_place_then_row():
    sel = SimpleNamespace(ids=list("abcdef"), win_count=np.array([0, 3, 3, 3, 1, 0]),
                          rank_sum=np.array([9, 5, 4, 5, 7, 9]),
                          winner_rows=np.array([2]), loser_rows=np.array([5, 0]))
    # Neither: rows 1 and 3 tie on wins and place and go by row; the worst, 5, last.
    assert selection_order(sel).tolist() == [2, 1, 3, 4, 0, 5]

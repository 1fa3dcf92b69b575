"""Ties in the public layer: with ties="random" exchangeable members get the
same chances and permuting the rows permutes the result's distribution;
where nothing ties, both tie orders give the same result; "index" keeps the
row order of the low-level functions; the setting is recorded."""

import dataclasses
import json
import math

import numpy as np
import pytest

import kestrovane
from kestrovane import Selection

SAMPLES = 4000
TOLERANCE = 4.0  # standard errors


def k_of(n, percentile=0.2):
    return min(n, max(1, math.ceil(n * percentile)))


def worst_z(got, want, se):
    """Largest |got - want| in standard errors; a zero error allows no difference."""
    diff = np.abs(np.asarray(got, dtype=float) - want)
    se = np.broadcast_to(np.asarray(se, dtype=float), diff.shape)
    return float(np.max(np.where(se > 0, diff / np.where(se > 0, se, 1.0),
                                 np.where(diff > 0, np.inf, 0.0))))


# (M, N): one objective (fronts are single members), boundary ties at M = 2,
# bit-set fronts at M >= 3, sizes around a word of the bit sets.
SHAPES = [(1, 2), (1, 17), (2, 7), (2, 64), (3, 10), (3, 33), (4, 5), (4, 64)]


@pytest.mark.parametrize("variance", [1.0, 0.0])
@pytest.mark.parametrize("m,n", SHAPES)
def test_exchangeable_members_win_and_lose_alike(m, n, variance):
    mu = np.full((n, m), 0.25)
    s2 = np.full((n, m), variance)
    c = kestrovane.counts(mu, s2, n_samples=SAMPLES, seed=n * 10 + m, threads=1)
    # Each sample has k winners and k losers among alike members: a member's
    # count is Binomial(SAMPLES, k / N); its place is uniform on 0 .. N-1.
    p = k_of(n) / n
    se = math.sqrt(p * (1 - p) / SAMPLES)
    assert worst_z(c.p_win, p, se) < TOLERANCE
    assert worst_z(c.p_lose, p, se) < TOLERANCE
    place_se = math.sqrt((n * n - 1) / 12 / SAMPLES)
    assert worst_z(c.mean_place, (n - 1) / 2, place_se) < TOLERANCE
    if variance == 0.0:
        # Every sample is the same population: "index" orders it the same way each time.
        rows = kestrovane.counts(mu, s2, n_samples=50, ties="index")
        assert set(rows.win_count.tolist()) | set(rows.lose_count.tolist()) == {0, 50}


@pytest.mark.parametrize("m,n", [(3, 10), (2, 33)])
def test_exchangeable_members_have_alike_place_statistics(m, n):
    mu = np.zeros((n, m))
    sel = kestrovane.select(mu, np.ones((n, m)), n_samples=SAMPLES, seed=3, threads=1,
                            quantiles="exact")
    se = sel.place.std / math.sqrt(SAMPLES)
    assert worst_z(sel.place.mean, (n - 1) / 2, se) < TOLERANCE
    for stats in (sel.front, sel.within):
        assert worst_z(stats.mean, stats.mean.mean(), stats.std / math.sqrt(SAMPLES)) < TOLERANCE
    np.testing.assert_array_equal(sel.mean_place, sel.rank_sum / SAMPLES)


def tied_population():
    """Distinct members, four alike ones, and two alike exactly known ones."""
    rng = np.random.default_rng(5)
    mu = rng.normal(size=(12, 2))
    s2 = rng.uniform(0.05, 0.5, size=(12, 2))
    mu[2:6], s2[2:6] = mu[2], s2[2]
    mu[8:10], s2[8:10] = [-0.5, -0.5], 0.0
    return mu, s2


def permutation_deviation(ties):
    """The largest deviation, in standard errors of the difference, between the
    results of a population and of its rows permuted (another seed)."""
    mu, s2 = tied_population()
    perm = np.random.default_rng(1).permutation(len(mu))
    kw = dict(n_samples=SAMPLES, quantiles="exact", ties=ties, threads=1)
    a = kestrovane.select(mu, s2, seed=1, **kw)
    b = kestrovane.select(mu[perm], s2[perm], seed=2, **kw)
    worst = 0.0
    for share_a, share_b in ((a.p_win[perm], b.p_win), (a.p_lose[perm], b.p_lose)):
        pooled = (share_a + share_b) / 2
        worst = max(worst, worst_z(share_b, share_a,
                                   np.sqrt(2 * pooled * (1 - pooled) / SAMPLES)))
    for stats_a, stats_b in ((a.place, b.place), (a.front, b.front), (a.within, b.within)):
        se = np.sqrt((stats_a.std[perm] ** 2 + stats_b.std ** 2) / SAMPLES)
        worst = max(worst, worst_z(stats_b.mean, stats_a.mean[perm], se))
    return worst


def test_permuted_rows_give_the_permuted_distribution():
    assert permutation_deviation("random") < TOLERANCE
    # The same check sees the row order that "index" keeps.
    assert permutation_deviation("index") > 2 * TOLERANCE


@pytest.mark.parametrize("mode", ["ranks", "values"])
def test_without_ties_both_orders_give_the_same_result(mode):
    rng = np.random.default_rng(7)
    # One objective with every variance > 0: distinct draws, one member per front.
    one = (rng.normal(size=(20, 1)), rng.uniform(0.1, 1.0, size=(20, 1)))
    # A dominance chain: every front a single member, so no crowding ties.
    chain = (np.arange(15.0)[::-1, None] * [1.0, 2.0, 0.5], np.full((15, 3), 0.01))
    for mu, s2 in (one, chain):
        kw = dict(n_samples=300, seed=4, mode=mode, quantiles="exact", percentile=0.3)
        shuffled = kestrovane.select(mu, s2, **kw)
        by_row = kestrovane.select(mu, s2, ties="index", **kw)
        assert shuffled.ties == "random" and by_row.ties == "index"
        assert shuffled == dataclasses.replace(by_row, ties="random")


def test_the_setting_is_recorded_and_round_trips():
    mu = np.zeros((4, 2))
    sel = kestrovane.select(mu, np.ones((4, 2)), n_samples=20)
    assert sel.ties == "random"
    d = json.loads(json.dumps(sel.to_dict()))
    assert d["ties"] == "random" and Selection.from_dict(d) == sel
    by_row = kestrovane.select(mu, np.ones((4, 2)), n_samples=20, ties="index")
    assert Selection.from_dict(by_row.to_dict()) == by_row
    # Results written before the setting existed broke ties by row.
    del d["ties"]
    assert Selection.from_dict(d).ties == "index"
    assert kestrovane.counts(mu, np.ones((4, 2)), n_samples=5).ties == "random"
    assert kestrovane.counts(mu, np.ones((4, 2)), n_samples=5, ties="index").ties == "index"
    with pytest.raises(ValueError, match="ties must be 'random' or 'index'; got 'row'"):
        kestrovane.counts(mu, np.ones((4, 2)), n_samples=5, ties="row")


@pytest.mark.parametrize("seed", range(6))
def test_winners_and_losers_follow_the_counts_then_the_row(seed):
    # Exchangeable members under random ties often end with equal counts and
    # equal rank sums: the lower row goes first among them, as np.lexsort
    # orders the counts (most wins, smaller rank sum, row; most losses,
    # larger rank sum, row).
    rng = np.random.default_rng(seed)
    n = 9
    mu = rng.integers(0, 2, size=(n, 2)).astype(float)
    sel = kestrovane.select(mu, np.zeros_like(mu), n_samples=int(rng.integers(2, 6)),
                            percentile=0.4, seed=seed)
    rows = np.arange(n)
    by_wins = np.lexsort((rows, sel.rank_sum, -sel.win_count.astype(np.int64)))
    by_losses = np.lexsort((rows, -sel.rank_sum, -sel.lose_count.astype(np.int64)))
    np.testing.assert_array_equal(sel.winner_rows, by_wins[:sel.k])
    np.testing.assert_array_equal(sel.loser_rows, by_losses[:sel.k])

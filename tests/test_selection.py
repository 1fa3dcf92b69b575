"""mc_rank_select: winners and losers from the Monte-Carlo tallies."""

import numpy as np
import pytest

from kestrovane.selection_core._mc_rank import mc_rank_counts, mc_rank_select
from helpers import population
from reference_loop import reference_select, winners_per_sample


def check_int64(*arrays):
    assert all(a.dtype == np.int64 and a.ndim == 1 for a in arrays)


@pytest.mark.parametrize("n,m,n_samples,percentile,seed,mode_i", [
    (2, 1, 2, 0.5, 0, 1), (5, 2, 3, 0.2, 1, 0), (7, 3, 4, 0.3, 2**64 - 1, 1),
    (10, 2, 6, 0.2, 3, 0), (12, 3, 5, 0.6, 4, 1), (17, 2, 40, 0.1, 5, 0),
    (25, 4, 3, 0.9, 6, 1), (100, 2, 2, 0.07, 7, 1), (6, 0, 3, 0.5, 8, 1),
])
def test_selection_matches_counts_and_reference(n, m, n_samples, percentile, seed, mode_i):
    mu, sigma2 = population(n, m, seed=n)
    winners, losers, win, lose, ranks = mc_rank_select(mu, sigma2, n_samples, percentile, seed,
                                                       mode_i)
    for got, want in zip((win, lose, ranks), mc_rank_counts(mu, sigma2, n_samples, percentile,
                                                            seed, mode_i)):
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)
    k = winners_per_sample(n, percentile)
    check_int64(winners, losers)
    assert len(winners) == len(losers) == k
    want_w, want_l = reference_select(win, lose, ranks, k)
    np.testing.assert_array_equal(winners, want_w)
    np.testing.assert_array_equal(losers, want_l)


@pytest.mark.parametrize("m", [0, 2])
def test_empty_population(m):
    winners, losers, win, lose, ranks = mc_rank_select(np.zeros((0, m)), np.zeros((0, m)), 0, 7.0)
    assert winners is losers
    check_int64(winners, ranks)
    assert winners.shape == (0,) and win.dtype == lose.dtype == np.int32
    assert win.shape == lose.shape == ranks.shape == (0,)


def test_single_individual_is_winner_and_loser():
    winners, losers, win, lose, ranks = mc_rank_select([[0.3, 0.1]], [[1.0, 1.0]], 9, 0.01, 4)
    check_int64(winners, losers)
    assert winners.tolist() == [0] and losers.tolist() == [0]
    assert win.tolist() == [9] and lose.tolist() == [9] and ranks.tolist() == [0]


def test_full_percentile_gives_permutations_ordered_by_rank_sum():
    mu, sigma2 = population(10, 3, seed=11)
    winners, losers, win, lose, ranks = mc_rank_select(mu, sigma2, 30, 1.0, 2)
    assert sorted(winners.tolist()) == sorted(losers.tolist()) == list(range(10))
    # k = N: every count is n_samples, so the rank sum decides both orders.
    assert (win == 30).all() and (lose == 30).all()
    assert (np.diff(ranks[winners]) >= 0).all() and (np.diff(ranks[losers]) <= 0).all()


def test_overlap_when_more_than_half_selected():
    mu, sigma2 = population(7, 2, seed=3)
    winners, losers, *_ = mc_rank_select(mu, sigma2, 20, 0.6, 1)  # k = 5, 2k > N
    assert len(set(winners.tolist()) & set(losers.tolist())) >= 3


@pytest.mark.parametrize("m", [1, 2])
def test_noisy_individual_both_winner_and_loser_with_small_k(m):
    # Equal means; individual 4 is ten times noisier: it is first or last far more
    # often than anyone else, so it leads both lists although 2k <= N.
    mu, sigma2 = np.zeros((10, m)), np.ones((10, m))
    sigma2[4] = 100.0
    winners, losers, win, lose, _ = mc_rank_select(mu, sigma2, 2000, 0.1, 0)
    assert winners.tolist() == losers.tolist() == [4]
    assert win[4] > 2 * np.delete(win, 4).max() and lose[4] > 1.5 * np.delete(lose, 4).max()


# One objective and no variance: every sample is mu, so the rating order is
# fixed (smaller is better) and each count is 0 or n_samples.
CHAIN_MU = [[4.0], [3.0], [1.0], [0.0], [2.0]]


@pytest.mark.parametrize("percentile,winners,losers", [
    (1.0, [3, 2, 4, 1, 0], [0, 1, 4, 2, 3]),  # all counts tie: rank sum decides
    (0.6, [3, 2, 4], [0, 1, 4]),              # tied winners / losers ordered by rank sum
    (0.2, [3], [0]),
])
def test_rank_sum_breaks_count_ties(percentile, winners, losers):
    got = mc_rank_select(CHAIN_MU, np.zeros((5, 1)), 6, percentile, 0, 0)
    assert got[0].tolist() == winners and got[1].tolist() == losers
    assert got[4].tolist() == [24, 18, 6, 0, 12]


def test_index_breaks_full_ties():
    # Two identical random individuals, two samples: find a seed where each wins
    # once; then counts and rank sums tie on both sides and index 0 comes first.
    mu, sigma2 = np.zeros((2, 2)), np.ones((2, 2))
    for seed in range(64):
        winners, losers, win, lose, ranks = mc_rank_select(mu, sigma2, 2, 0.5, seed, 0)
        if win.tolist() == [1, 1]:
            break
    else:
        pytest.fail("no seed split the wins")
    assert lose.tolist() == [1, 1] and ranks.tolist() == [1, 1]
    assert winners.tolist() == [0] and losers.tolist() == [0]
    # With percentile 1.0 both lists hold both, smaller index first.
    winners, losers, *_ = mc_rank_select(mu, sigma2, 2, 1.0, seed, 0)
    assert winners.tolist() == [0, 1] and losers.tolist() == [0, 1]


@pytest.mark.parametrize("args,message", [
    (((np.ones((2, 2)), np.ones((3, 2)), 5)), "mu and sigma2 must have the same shape"),
    (((np.ones((2, 2)), np.ones((2, 2)), 0)), "n_samples must be > 0"),
    (((np.ones((2, 2)), np.ones((2, 2)), 5, 1.5)), r"percentile must be in \(0,1\]"),
    (((np.ones(2), np.ones((2, 2)), 5)), "expected a 2D array"),
    (((np.ones((2, 2)), np.ones((2, 2)), 5, 0.2, 0, 9)), "^pareto_core returned error code: -1$"),
])
def test_counting_errors_pass_through(args, message):
    with pytest.raises(ValueError, match=message):
        mc_rank_select(*args)

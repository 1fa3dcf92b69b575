"""Several threads in one call: the same bits as one thread for any count
and either tie order, progress and Ctrl-C across threads, and the rule of
threads=None."""

import numpy as np
import pytest
from helpers import canon, interrupted_while_sampling, low_level_shape

import kestrovane
from kestrovane._api import _engine, threads as thread_rule
from kestrovane.selection_core._mc_rank import mc_rank_counts, mc_rank_select_detailed

RNG = np.random.default_rng(11)


def population(n, m, zero_cells=0):
    mu = RNG.random((n, m))
    s2 = np.full_like(mu, 0.04)
    # Cells known exactly draw nothing: an odd count makes samples start
    # inside a Box-Muller pair.
    s2.flat[RNG.choice(n * m, size=zero_cells, replace=False)] = 0.0
    return mu, s2


# (N, M, samples, zero cells): odd and even normals per sample, more threads
# than samples, one objective, P² from the first block on, members folded in
# several chunks of which the last is ragged.
SHAPES = [(9, 3, 101, 1), (40, 2, 700, 2), (33, 1, 64, 3), (5, 2, 3, 0), (70, 4, 130, 5),
          (200, 2, 90, 3)]


@pytest.mark.parametrize("n,m,samples,zeros", SHAPES)
@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_any_thread_count_gives_the_one_thread_bits(n, m, samples, zeros, threads):
    mu, s2 = population(n, m, zeros)
    for mode, mode_i in (("ranks", 1), ("values", 0)):
        for quantiles, q_i in (("exact", 0), ("p2", 1)):
            kernel = mc_rank_select_detailed(mu, s2, samples, 0.3, 5, mode_i, 0, q_i)
            got = _engine.select_detailed(mu, s2, samples, 0.3, 5, mode_i, q_i, 2_500_000, 0,
                                          threads, None, 0.005)
            assert canon(low_level_shape(got)) == canon(kernel)
            for ties in ("index", "random"):
                one = kestrovane.select(mu, s2, n_samples=samples, percentile=0.3, seed=5,
                                        mode=mode, quantiles=quantiles, threads=1, ties=ties)
                many = kestrovane.select(mu, s2, n_samples=samples, percentile=0.3, seed=5,
                                         mode=mode, quantiles=quantiles, threads=threads,
                                         ties=ties)
                assert many == one
        counted = kestrovane.counts(mu, s2, n_samples=samples, percentile=0.3, seed=5, mode=mode,
                                    threads=threads, ties="index")
        for got_c, want in zip((counted.win_count, counted.lose_count, counted.rank_sum),
                               mc_rank_counts(mu, s2, samples, 0.3, 5, mode_i)):
            np.testing.assert_array_equal(got_c, want)
        shuffled = [kestrovane.counts(mu, s2, n_samples=samples, percentile=0.3, seed=5,
                                      mode=mode, threads=t) for t in (1, threads)]
        for a, b in zip(*((c.win_count, c.lose_count, c.rank_sum) for c in shuffled)):
            np.testing.assert_array_equal(a, b)


def test_counts_agree_with_select():
    mu, s2 = population(30, 3, 1)
    mu[:10] = 0.5  # ten exchangeable members: ties decided by the tie order
    s2[:10] = 0.0
    for ties in ("random", "index"):
        sel = kestrovane.select(mu, s2, n_samples=300, seed=2, threads=2, ties=ties)
        cnt = kestrovane.counts(mu, s2, n_samples=300, seed=2, threads=2, ties=ties)
        np.testing.assert_array_equal(cnt.win_count, sel.win_count)
        np.testing.assert_array_equal(cnt.p_lose, sel.p_lose)
        np.testing.assert_array_equal(cnt.mean_place, sel.mean_place)
        assert sel.ties == cnt.ties == ties


def test_progress_across_threads_is_monotone_and_ends_at_n_samples():
    mu, s2 = population(400, 3)
    for fn in (kestrovane.select, kestrovane.counts):
        seen = []
        fn(mu, s2, n_samples=1500, threads=2, progress=lambda d, n: seen.append(d))
        assert seen[0] == 0 and seen[-1] == 1500
        assert all(a < b for a, b in zip(seen, seen[1:]))


class Stop(Exception):
    pass


def test_ctrl_c_and_callback_errors_stop_every_thread():
    # Ctrl-C is seen at the next checkpoint: no report after it but one under
    # way; the call would take minutes.
    mu, s2 = population(2000, 3)
    seen, pressed = interrupted_while_sampling(kestrovane.select, mu, s2,
                                               n_samples=20_000_000, threads=2)
    assert len(seen) <= pressed + 1 and seen[-1] < 20_000_000

    def report(done, total):
        if done:
            raise Stop
    for fn in (kestrovane.select, kestrovane.counts):
        with pytest.raises(Stop):
            fn(mu, s2, n_samples=200_000, threads=2, progress=report)


def test_a_rating_error_in_a_worker_thread_is_raised():
    mu, s2 = population(6, 2)
    mu[4, 1] = np.nan  # only the native layer sees it: the public layer refuses NaN
    with pytest.raises(ValueError, match="pareto_core returned error code: -3"):
        _engine.counts(mu, s2, 50, 0.2, 0, 1, 1, 3, None, 0.005)
    with pytest.raises(ValueError, match="pareto_core returned error code: -3"):
        _engine.select_detailed(mu, s2, 50, 0.2, 0, 1, 0, 2_500_000, 1, 3, None, 0.005)


@pytest.mark.parametrize("value,exc,message", [
    (0, ValueError, "threads must be in [1, 64]; got 0"),
    (65, ValueError, "threads must be in [1, 64]; got 65"),
    (True, TypeError, "threads must be an integer; got True"),
    (1.5, TypeError, "threads must be an integer; got 1.5"),
])
def test_bad_thread_counts_are_refused(value, exc, message):
    mu, s2 = population(4, 2)
    with pytest.raises(exc, match=message.replace("[", r"\[").replace("]", r"\]")):
        kestrovane.select(mu, s2, n_samples=10, threads=value)


def test_the_automatic_rule():
    auto = thread_rule.automatic
    assert auto(10, 2, 1000, cores=8) == 1                # too small to gain
    assert auto(2048, 3, 2000, cores=2) == 2              # big: every core
    assert auto(2048, 3, 2000, cores=8) == 8
    assert auto(100_000, 2, 20, cores=8) == 1             # too few samples per thread
    assert auto(40_000, 2, 10_000, cores=8) == 1          # extra arrays would pass 1 GiB
    assert auto(20_000, 2, 10_000, cores=8) == 3
    assert auto(1000, 3, 10_000, cores=128) == 64

"""`kestrovane.select`: Monte-Carlo Pareto selection with named results."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any, TypeVar, overload

from numpy.typing import ArrayLike

from kestrovane._api import parameters as P
from kestrovane._api import validate as v
from kestrovane._api.estimate import Estimates, population
from kestrovane._api.memory import CallMemory, shortage
from kestrovane._api.native import run_detailed
from kestrovane._api.options import Options
from kestrovane._api.progress import Progress, reporting
from kestrovane._api.metric_stats import STAT_KEYS, MetricStats
from kestrovane._api.selection import Selection
from kestrovane._api.threads import thread_count

IdT = TypeVar("IdT", bound=Hashable)


@overload
def select(mu: Estimates[IdT], sigma2: None = None, *, n_samples: int = ...,
           percentile: float = ..., seed: v.SeedLike = ..., mode: P.Mode = ...,
           quantiles: P.Quantiles = ..., quantiles_budget: int = ...,
           maximize: None = None, ids: None = None,
           objectives: Sequence[str] | None = ...,
           progress: Progress = ..., threads: int | None = ...,
           ties: P.Ties = ...) -> Selection[IdT]: ...


@overload
def select(mu: Estimates[Any], sigma2: None = None, *, n_samples: int = ...,
           percentile: float = ..., seed: v.SeedLike = ..., mode: P.Mode = ...,
           quantiles: P.Quantiles = ..., quantiles_budget: int = ...,
           maximize: None = None, ids: Sequence[IdT],
           objectives: Sequence[str] | None = ...,
           progress: Progress = ..., threads: int | None = ...,
           ties: P.Ties = ...) -> Selection[IdT]: ...


@overload
def select(mu: ArrayLike, sigma2: ArrayLike, *, n_samples: int = ...,
           percentile: float = ..., seed: v.SeedLike = ..., mode: P.Mode = ...,
           quantiles: P.Quantiles = ..., quantiles_budget: int = ...,
           maximize: v.Maximize = ..., ids: None = None,
           objectives: Sequence[str] | None = ...,
           progress: Progress = ..., threads: int | None = ...,
           ties: P.Ties = ...) -> Selection[int]: ...


@overload
def select(mu: ArrayLike, sigma2: ArrayLike, *, n_samples: int = ...,
           percentile: float = ..., seed: v.SeedLike = ..., mode: P.Mode = ...,
           quantiles: P.Quantiles = ..., quantiles_budget: int = ...,
           maximize: v.Maximize = ..., ids: Sequence[IdT],
           objectives: Sequence[str] | None = ...,
           progress: Progress = ..., threads: int | None = ...,
           ties: P.Ties = ...) -> Selection[IdT]: ...


def select(mu: ArrayLike | Estimates[Any], sigma2: ArrayLike | None = None, *,
           n_samples: int = P.N_SAMPLES.default, percentile: float = P.PERCENTILE.default,
           seed: v.SeedLike = P.SEED.default, mode: P.Mode = P.MODE.default,
           quantiles: P.Quantiles = P.QUANTILES.default,
           quantiles_budget: int = P.QUANTILES_BUDGET.default,
           maximize: v.Maximize = None, ids: Sequence[Any] | None = None,
           objectives: Sequence[str] | None = None,
           progress: Progress = P.PROGRESS.default, threads: int | None = P.THREADS.default,
           ties: P.Ties = P.TIES.default) -> Selection[Any]:
    """Choose winners and losers of a population whose scores are uncertain.

    Each of `n_samples` samples draws every score from Normal(mean, variance),
    rates the drawn population by Pareto dominance (fronts, then crowding
    inside a front) into a global order, best first, and counts the first
    k = min(N, max(1, ceil(N * percentile))) members as winners and the last
    k as losers of that sample.  The same arguments give the same result, bit
    for bit.

    Parameters
    ----------
    mu, sigma2:
        Means and variances, (N members x M objectives) real arrays.
        `sigma2` may also be one that broadcasts to `mu`'s shape: a scalar
        for every score, or one variance per objective.  pandas objects are
        taken with their labels: a DataFrame's index gives the ids and its
        columns the objective names (a DataFrame `sigma2` is aligned to
        them; a Series `sigma2` is indexed by objective).  `sigma2` is the variance of the *mean* `mu` (the uncertainty
        of the estimate: for k evaluations, their sample variance / k), not
        the variance of one score.  A variance of 0 marks a score known
        exactly.  Or `mu` is the `Estimates` that `kestrovane.estimate`
        returns and `sigma2` is omitted: its directions, ids and objective
        names are used, and `maximize` (and labels it carries) must not be
        given again.
    n_samples:
        Number of Monte-Carlo samples, 1 to 2**31 - 1.
    percentile:
        Fraction of the population that wins and that loses per sample, in (0, 1].
    seed:
        Seed of the random stream, 0 to 2**64 - 1; None draws one from fresh
        entropy and a `numpy.random.Generator` draws one from the generator.
        The seed used is the result's `seed`, so any run can be repeated.
    mode:
        "ranks" (default) compares each objective by rank, which makes the
        crowding inside a front scale-free; "values" compares the values.
    quantiles:
        How the quantiles of place, front and within-front rank are taken:
        "exact" keeps every observation, "p2" uses the constant-memory P²
        estimator (from five samples on), "auto" uses P² when N * n_samples
        exceeds `quantiles_budget`.
    quantiles_budget:
        The number of stored observations above which "auto" switches to P².
    maximize:
        Objectives to maximise; all others are minimised.  None, one bool for
        all objectives, one bool per objective, or a collection of objective
        names (with `objectives`).  A maximised column of `mu` is negated
        exactly before sampling: the result equals that of the negated input.
    ids:
        One distinct hashable label per member (default 0..N-1); results
        name members by these ids.
    objectives:
        One distinct name per objective, used in messages and displays.
    progress:
        None shows a bar on stderr when it is a terminal and the call runs
        over about a second; True always shows it, False never; a callable is
        called with (samples_done, n_samples), non-decreasing, the last call
        being (n_samples, n_samples).  The bar is tqdm's when tqdm is
        installed (`kestrovane[progress]`), else one plain line.
    threads:
        Threads to sample on, 1 to 64.  None uses every core for calls big
        enough to gain and one thread otherwise (see
        `kestrovane._api.threads`).  The result is the same whatever the count.
    ties:
        Who wins a tie in the global order (equal fronts and crowding, or
        equal draws).  "random" (default): every sample puts the members in
        a random order before rating, so exchangeable members get the same
        chances whatever their rows, and permuting the rows permutes the
        result's distribution; the draws are the same as with "index".
        "index": the lower row wins, bit for bit the result of
        `kestrovane.selection_core._mc_rank.mc_rank_select_detailed`.

    Returns
    -------
    Selection
        Winners, losers and the exploit plan by id, per-member win and loss
        shares and place statistics, and the settings used.

    Raises
    ------
    TypeError
        An argument of the wrong kind: masked, complex, text or object arrays,
        unhashable ids, a non-integer `n_samples`, ...
    ValueError
        A bad value, named by member id and objective: NaN or infinite means;
        NaN, infinite or negative variances; shapes that differ or have no
        objectives; `ids` of the wrong length or with duplicates; `percentile`
        outside (0, 1]; `n_samples` outside its range; unknown `mode` or
        `quantiles`; `maximize` of the wrong length or naming an unknown
        objective; unknown `ties`.  Every check runs before sampling starts.
    MemoryError
        The call does not fit in memory (`kestrovane._api.memory.MemoryShortage`):
        the message names the largest part (per sampling thread an N x N
        byte block, or with exact quantiles every observation), the memory
        available and the largest N that fits.
    """
    opts = Options.of(locals())
    pop = population(mu, sigma2, ids, objectives, maximize)
    seed_i = v.drawn_seed(seed)
    member_ids = pop.ids
    n = opts.n_samples
    n_threads = thread_count(threads, pop.mu.shape[0], pop.mu.shape[1], n)

    with reporting(opts.progress, n, "kestrovane.select") as report:
        try:
            (winners, losers, win_count, lose_count, rank_sum, stats, quality,
             used_p2) = run_detailed(pop.mu, pop.sigma2, n, opts.percentile, seed_i,
                                     opts.mode_code, opts.quantiles_code, opts.quantiles_budget,
                                     n_threads, report, ties=opts.ties)
        except MemoryError as e:
            raise shortage(CallMemory(pop.mu.shape[0], pop.mu.shape[1], n, threads,
                                      opts.quantiles, opts.quantiles_budget)) from e
    place, front, within = (MetricStats(**dict(zip(STAT_KEYS, rows))) for rows in stats)
    return Selection(
        ids=member_ids,
        winners=tuple(member_ids[i] for i in winners.tolist()),
        losers=tuple(member_ids[i] for i in losers.tolist()),
        winner_rows=winners,
        loser_rows=losers,
        win_count=win_count,
        lose_count=lose_count,
        rank_sum=rank_sum,
        place=place,
        front=front,
        within=within,
        quality=quality,
        quantiles_used="p2" if used_p2 else "exact",
        seed=seed_i,
        maximize=pop.maximize,
        objectives=pop.objectives,
        **opts.settings("n_samples", "percentile", "mode", "quantiles", "quantiles_budget",
                        "ties"),
    )

"""Monte-Carlo Pareto ranking core (native extension).

Each function draws ``n_samples`` populations from independent Normal
distributions (mean ``mu_obj[i, j]``, variance ``sigma2_obj[i, j]``), rates
every draw by Pareto dominance (all objectives minimised; fronts, then
crowding inside a front) and accumulates per-individual statistics over the
global order of each draw.  Same inputs and seed give the same results, bit
for bit.  The numeric work runs without the interpreter lock.
"""

from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Imported without re-export: the extension module has no such attribute.
from kestrovane.selection_core.result_types import DetailedResult

__test__: dict[str, object]

def mc_rank_counts(
    mu_obj: ArrayLike,
    sigma2_obj: ArrayLike,
    n_samples: SupportsInt,
    percentile: SupportsFloat | SupportsIndex = 0.2,
    seed: SupportsInt = 0,
    mode_i: SupportsInt = 1,
    within_mode_i: SupportsInt = 0,
) -> tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.int64]]:
    """Accumulate Monte-Carlo win/lose counts and rank sums.

    Parameters
    ----------
    mu_obj:
        Means, anything convertible to a 2-D float64 array of shape (N, M):
        N individuals, M objectives, all minimised.
    sigma2_obj:
        Variances, convertible to a float64 array of the same shape; a
        variance <= 0 makes the cell its mean in every sample.
    n_samples:
        Number of Monte-Carlo samples, >= 1 (int32; converted with
        ``__int__``, so 2.9 counts as 2).
    percentile:
        Fraction in (0, 1] picking k = min(N, max(1, ceil(N * percentile)))
        winners and losers per sample.
    seed:
        Seed of the random stream, 0 <= seed < 2**64.
    mode_i:
        0 rates on the sampled values, 1 on their per-objective ranks
        (scale-free crowding; recommended).
    within_mode_i:
        Score inside a front; 0 (crowding distance) is the only value.

    Returns
    -------
    (win_count, lose_count, rank_sum)
        Per individual, shape (N,): the number of samples in which it was
        among the first k of the global order (int32), among the last k
        (int32), and the sum of its 0-based places (int64).  An empty
        population (N = 0) gives empty arrays without further checks.

    Raises
    ------
    TypeError
        Missing, surplus or unknown arguments; a scalar argument of the wrong
        type; inputs NumPy cannot turn into an array.
    ValueError
        Inputs not 2-D, of different shapes, not convertible to float64 or
        with 2**31 or more rows or columns; ``n_samples`` < 1; ``percentile``
        outside (0, 1]; a rating failure ("pareto_core returned error code:
        -1" for ``mode_i`` not 0/1, -2 for ``within_mode_i`` not 0, -3 for a
        NaN in a sample, e.g. from a NaN mean or variance).
    OverflowError
        An integer argument outside its range (int32; ``seed`` uint64).
    """

def mc_rank_select(
    mu_obj: ArrayLike,
    sigma2_obj: ArrayLike,
    n_samples: SupportsInt,
    percentile: SupportsFloat | SupportsIndex = 0.2,
    seed: SupportsInt = 0,
    mode_i: SupportsInt = 1,
    within_mode_i: SupportsInt = 0,
) -> tuple[
    NDArray[np.int64], NDArray[np.int64], NDArray[np.int32], NDArray[np.int32], NDArray[np.int64]
]:
    """Select winners and losers by Monte-Carlo top/bottom percentiles.

    Parameters and errors are those of :func:`mc_rank_counts`.

    Returns
    -------
    (winners, losers, win_count, lose_count, rank_sum)
        ``winners``: the k individuals with most wins (ties: smaller rank
        sum, then smaller index), best first; ``losers``: the k with most
        losses (ties: larger rank sum, then smaller index), worst first;
        both int64 index arrays of shape (k,), with
        k = min(N, max(1, ceil(N * percentile))).  The other three are the
        results of :func:`mc_rank_counts`.  An empty population gives empty
        arrays.
    """

def mc_rank_select_detailed(
    mu_obj: ArrayLike,
    sigma2_obj: ArrayLike,
    n_samples: SupportsInt,
    percentile: SupportsFloat | SupportsIndex = 0.2,
    seed: SupportsInt = 0,
    mode_i: SupportsInt = 1,
    within_mode_i: SupportsInt = 0,
    quantiles_mode_i: SupportsInt = 2,
    quantiles_budget: SupportsInt = 2500000,
    quality_w_place: SupportsFloat | SupportsIndex = 1.0,
    quality_w_front: SupportsFloat | SupportsIndex = 1.0,
    quality_w_within: SupportsFloat | SupportsIndex = 1.0,
    quality_sign: SupportsFloat | SupportsIndex = -1.0,
) -> DetailedResult:
    """Monte-Carlo winner/loser selection plus per-individual statistics.

    The first seven parameters and the errors are those of
    :func:`mc_rank_counts` (``quantiles_budget`` is int64).

    Parameters
    ----------
    quantiles_mode_i:
        0 keeps every observation and takes exact quantiles (NumPy's
        ``median``/``quantile``); 1 uses the constant-memory P² estimator
        whenever ``n_samples`` >= 5; any other value uses P² when
        N * n_samples would exceed ``quantiles_budget`` (or the budget is
        <= 0) and ``n_samples`` >= 5.
    quantiles_budget:
        Number of stored observations (N * n_samples) above which the
        default mode switches to P².  Exact quantiles peak at 32 to 36
        bytes per observation: the three metrics' buffers plus NumPy's
        working copies.
    quality_w_place, quality_w_front, quality_w_within:
        Weights of the mean place, mean front and mean within-front rank in
        ``quality_score``.
    quality_sign:
        Factor applied to the weighted sum; with -1.0, higher is better.

    Returns
    -------
    (winners, losers, win_count, lose_count, rank_sum, place_stats,
    front_stats, within_stats, quality_score)
        The first five as from :func:`mc_rank_select`.  The three stats
        dicts (``StatsDict`` of ``kestrovane.selection_core.result_types``)
        describe, per individual, its 0-based place in the global order,
        its 0-based front and its 0-based rank inside its front.
        ``quality_score`` (float64, shape (N,)) is (w_place * place mean +
        w_front * front mean + w_within * within mean) * sign.
    """

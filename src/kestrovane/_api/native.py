"""The one place where the public layer runs the engine's sampling.

`run_detailed` and `run_counts` call `_engine.select_detailed` and
`_engine.counts`, which run the same sampling loop and rating as the
low-level `_mc_rank` functions and take the interpreter lock back every few
milliseconds to report progress and let Ctrl-C through.  Their results are the engine's arrays, unchanged: the public
result objects are built from them once, in `select` and `counts`.
"""

from __future__ import annotations

from collections.abc import Callable
import numpy as np
from numpy.typing import NDArray

from kestrovane._api import _engine
from kestrovane._api.parameters import TIES, Ties

#: Called with (samples_done, n_samples): non-decreasing, the last call is
#: (n_samples, n_samples).  An exception raised by it ends the call.
Report = Callable[[int, int], None]

#: Seconds of sampling between two checkpoints (signals, then the report):
#: short enough for Ctrl-C to feel immediate, long enough to cost nothing.
CHECK_INTERVAL = 0.005


#: What the detailed kernel returns: winners, losers, win_count, lose_count,
#: rank_sum, the statistics (metric x statistic x member, rows named by
#: `_engine.METRICS` and `_engine.STATISTICS`), quality, and 1 when the
#: quantiles are P² estimates (else 0).
DetailedRun = tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int32], NDArray[np.int32],
                    NDArray[np.int64], NDArray[np.float64], NDArray[np.float64], int]


def run_detailed(mu: NDArray[np.float64], sigma2: NDArray[np.float64], n_samples: int,
                 percentile: float, seed: int, mode_i: int, quantiles_mode_i: int,
                 quantiles_budget: int, threads: int, report: Report | None, *,
                 ties: Ties = "random") -> DetailedRun:
    """`mc_rank_select_detailed` on checked arguments (crowding inside a front,
    default quality weights), reporting progress through `report`.

    With `ties="index"` (equal keys go to the lower row) the results are
    those of `mc_rank_select_detailed` with the same arguments, bit for bit;
    "random" puts the members into the rating's rows in a random order every
    sample (the same normals), so that ties favour no member.
    Progress is reported when sampling starts, about
    every `CHECK_INTERVAL` seconds while it runs, and when it ends.  Ctrl-C
    stops the sampling at the next checkpoint with KeyboardInterrupt.
    """
    if report is not None:
        report(0, n_samples)
    run = _engine.select_detailed(mu, sigma2, n_samples, percentile, seed, mode_i,
                                  quantiles_mode_i, quantiles_budget, TIES.kind.code(ties), threads,
                                  report, CHECK_INTERVAL)
    if report is not None:
        report(n_samples, n_samples)
    return run


def run_counts(mu: NDArray[np.float64], sigma2: NDArray[np.float64], n_samples: int,
               percentile: float, seed: int, mode_i: int, threads: int,
               report: Report | None, *, ties: Ties = "random"
               ) -> tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.int64]]:
    """`mc_rank_counts` on checked arguments (bit for bit with `ties="index"`),
    with ties, progress and Ctrl-C as in `run_detailed`."""
    if report is not None:
        report(0, n_samples)
    counts = _engine.counts(mu, sigma2, n_samples, percentile, seed, mode_i, TIES.kind.code(ties),
                            threads, report, CHECK_INTERVAL)
    if report is not None:
        report(n_samples, n_samples)
    return counts


"""The one place where the public layer runs the detailed Monte-Carlo kernel.

Everything `select` needs from the native side goes through `run_detailed`,
so that a kernel loop reporting progress while it runs can take the place of
the plain call without any other change.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
from numpy.typing import NDArray

from kestrovane.selection_core._mc_rank import mc_rank_select_detailed

if TYPE_CHECKING:
    from kestrovane.selection_core.result_types import MetricStats as _MetricStats

#: Called with (samples_done, n_samples): non-decreasing, the last call is
#: (n_samples, n_samples).  An exception raised by it ends the call.
Report = Callable[[int, int], None]


class DetailedRun(NamedTuple):
    """The kernel's results, by name."""

    winners: NDArray[np.int64]
    losers: NDArray[np.int64]
    win_count: NDArray[np.int32]
    lose_count: NDArray[np.int32]
    rank_sum: NDArray[np.int64]
    place: dict[str, NDArray[np.float64]]
    front: dict[str, NDArray[np.float64]]
    within: dict[str, NDArray[np.float64]]
    quality: NDArray[np.float64]
    #: 0 exact quantiles, 1 P² estimates; None for an empty population.
    quantiles_mode_used: int | None


def run_detailed(mu: NDArray[np.float64], sigma2: NDArray[np.float64], n_samples: int,
                 percentile: float, seed: int, mode_i: int, quantiles_mode_i: int,
                 quantiles_budget: int, report: Report | None) -> DetailedRun:
    """`mc_rank_select_detailed` on checked arguments (crowding inside a front,
    default quality weights), reporting progress through `report`.

    The results are those of `mc_rank_select_detailed` with the same
    arguments, bit for bit.  Progress is reported when sampling starts and
    when it ends.
    """
    if report is not None:
        report(0, n_samples)
    (winners, losers, win_count, lose_count, rank_sum, place, front, within,
     quality) = mc_rank_select_detailed(mu, sigma2, n_samples, percentile, seed, mode_i, 0,
                                        quantiles_mode_i, quantiles_budget)
    if report is not None:
        report(n_samples, n_samples)
    return DetailedRun(winners, losers, win_count, lose_count, rank_sum, _arrays(place),
                       _arrays(front), _arrays(within), quality,
                       place.get("quantiles_mode_used"))


def _arrays(stats: _MetricStats) -> dict[str, NDArray[np.float64]]:
    return {"mean": stats["mean"], "std": stats["std"], "median": stats["median"],
            "q25": stats["q25"], "q75": stats["q75"]}

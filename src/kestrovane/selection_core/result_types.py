"""Types of the results of `kestrovane.selection_core._mc_rank`, for annotations.

The extension module returns plain dicts; `MetricStats` describes them::

    from kestrovane.selection_core.result_types import MetricStats

    def widest(stats: MetricStats) -> int:
        return int((stats["q75"] - stats["q25"]).argmax())
"""

from typing import NotRequired, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = ["DetailedResult", "MetricStats"]


class MetricStats(TypedDict):
    """Distribution of one per-individual metric over the samples.

    Every array is float64 of shape (N,).  ``mean`` and ``std`` (population
    standard deviation) are exact; the quantiles are exact or P² estimates
    as ``quantiles_mode_used`` says (0 exact, 1 P²).  An empty population
    returns one dict without ``quantiles_mode_used``, shared by all three
    metrics.
    """

    mean: NDArray[np.float64]
    quantiles_mode_used: NotRequired[int]
    median: NDArray[np.float64]
    std: NDArray[np.float64]
    q25: NDArray[np.float64]
    q75: NDArray[np.float64]


#: The nine results of `mc_rank_select_detailed`: winners, losers, win_count,
#: lose_count, rank_sum, place, front and within statistics, quality score.
DetailedResult = tuple[
    NDArray[np.int64],
    NDArray[np.int64],
    NDArray[np.int32],
    NDArray[np.int32],
    NDArray[np.int64],
    MetricStats,
    MetricStats,
    MetricStats,
    NDArray[np.float64],
]

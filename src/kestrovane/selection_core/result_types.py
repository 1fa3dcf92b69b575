"""Types of the results of `kestrovane.selection_core._mc_rank`, for annotations.

The extension module returns plain dicts; `StatsDict` describes them::

    from kestrovane.selection_core.result_types import StatsDict

    def widest(stats: StatsDict) -> int:
        return int((stats["q75"] - stats["q25"]).argmax())

(`kestrovane.MetricStats` is the public layer's own result class, built
from such a dict.)  The former name of `StatsDict`, `MetricStats`, is still
importable from here, with a DeprecationWarning.
"""

import warnings
from typing import TYPE_CHECKING, NotRequired, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = ["DetailedResult", "StatsDict"]


class StatsDict(TypedDict):
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
    StatsDict,
    StatsDict,
    StatsDict,
    NDArray[np.float64],
]

#: Former names, still importable: old name -> current name.
_RENAMED = {"MetricStats": "StatsDict"}

if TYPE_CHECKING:
    MetricStats = StatsDict
else:
    def __getattr__(name: str) -> object:
        new = _RENAMED.get(name)
        if new is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        warnings.warn(f"{__name__}.{name} is renamed {new}; {name} is the name of the "
                      f"public result class, kestrovane.{name}", DeprecationWarning,
                      stacklevel=2)
        return globals()[new]

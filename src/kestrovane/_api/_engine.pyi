"""The Monte-Carlo kernels with progress reports and Ctrl-C checks (private)."""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

#: Most threads one call samples on.
MAX_THREADS: int
#: The rows of select_detailed's statistics array: metrics, then statistics.
METRICS: tuple[str, str, str]
STATISTICS: tuple[str, str, str, str, str]
#: (low, high, low_open, high_open) of the checked arguments of the public layer.
BOUNDS: dict[str, tuple[int, int, bool, bool] | tuple[float, float, bool, bool]]
#: The names of the coded options' values, in code order.
MODES: tuple[str, ...]
QUANTILES: tuple[str, ...]
TIES: tuple[str, ...]

def select_detailed(
    mu: NDArray[np.float64],
    sigma2: NDArray[np.float64],
    n_samples: int,
    percentile: float,
    seed: int,
    mode_i: int,
    quantiles_mode_i: int,
    quantiles_budget: int,
    ties_i: int,
    threads: int,
    report: Callable[[int, int], object] | None,
    interval: float,
    /,
) -> tuple[
    NDArray[np.int64],
    NDArray[np.int64],
    NDArray[np.int32],
    NDArray[np.int32],
    NDArray[np.int64],
    NDArray[np.float64],
    NDArray[np.float64],
    int,
]: ...
def counts(
    mu: NDArray[np.float64],
    sigma2: NDArray[np.float64],
    n_samples: int,
    percentile: float,
    seed: int,
    mode_i: int,
    ties_i: int,
    threads: int,
    report: Callable[[int, int], object] | None,
    interval: float,
    /,
) -> tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.int64]]: ...
def quartiles(
    observations: NDArray[np.float64], /
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...
def winner_count(n: int, percentile: float, /) -> int: ...

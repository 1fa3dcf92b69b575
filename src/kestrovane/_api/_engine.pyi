"""The Monte-Carlo kernels with progress reports and Ctrl-C checks (private)."""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

from kestrovane.selection_core.result_types import DetailedResult

MAX_THREADS: int

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
) -> DetailedResult: ...
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

"""Pareto rating of a population: non-dominated fronts, crowding inside each
front and the global order, best first.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Name -> PyCapsule holding the native rating function for other extensions.
__pyx_capi__: dict[str, object]

def rate_population(
    X: ArrayLike, mode_i: SupportsIndex = 1, within_mode_i: SupportsIndex = 0
) -> tuple[int, NDArray[np.int64], NDArray[np.float64], NDArray[np.int64]]:
    """Rate one population by Pareto dominance (all objectives minimised).

    Parameters
    ----------
    X:
        Anything convertible to an (N, M) float64 array: N individuals,
        M objectives.
    mode_i:
        0 compares the values; 1 replaces each value by its rank in its
        objective (the number of strictly smaller values), which makes the
        crowding scale-free.
    within_mode_i:
        Score inside a front; 0 (crowding distance) is the only value.

    Returns
    -------
    (n_fronts, front_id, within_score, order)
        The number of fronts; each individual's 0-based front (int64,
        shape (N,)); its crowding score (float64, shape (N,); +inf at the
        extremes of each objective); and all individuals best first (int64,
        shape (N,); front ascending, score descending, index ascending).

    Raises
    ------
    TypeError
        Wrong arguments, or a non-integer ``mode_i``/``within_mode_i``.
    ValueError
        X not 2-D or not convertible to float64, 2**31 or more rows,
        ``mode_i`` not 0/1, ``within_mode_i`` not 0, or a NaN in X.
    """

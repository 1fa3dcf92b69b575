"""What the immutable results have in common: read-only arrays, equality
field by field, pickling through __init__, plain scalars for export."""

from __future__ import annotations

import dataclasses
from typing import Any, TypeVar, cast

import numpy as np
from numpy.typing import NDArray

ScalarT = TypeVar("ScalarT", bound=np.generic)


def frozen_array(values: object, dtype: type[ScalarT]) -> NDArray[ScalarT]:
    """A read-only 1-D view of `values` as `dtype`; the array it views is left writable."""
    arr: NDArray[ScalarT] = np.asarray(values, dtype=dtype).view()
    if arr.ndim != 1:
        raise ValueError(f"expected a 1-D array; got shape {arr.shape}")
    arr.setflags(write=False)
    return arr


def freeze_counts(result: Any) -> None:
    """Sets a result's win_count, lose_count and rank_sum (and its n_samples)
    as read-only views, and their shares p_win, p_lose and mean_place."""
    put = object.__setattr__
    put(result, "win_count", frozen_array(result.win_count, np.int32))
    put(result, "lose_count", frozen_array(result.lose_count, np.int32))
    put(result, "rank_sum", frozen_array(result.rank_sum, np.int64))
    n = float(result.n_samples)
    put(result, "p_win", frozen_array(result.win_count / n, np.float64))
    put(result, "p_lose", frozen_array(result.lose_count / n, np.float64))
    put(result, "mean_place", frozen_array(result.rank_sum / n, np.float64))


def _same(a: object, b: object) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray)
                and a.dtype == b.dtype and bool(np.array_equal(a, b)))
    return bool(a == b)


def fields_equal(a: object, b: object) -> bool:
    """Whether two results hold equal values (arrays of equal dtype and entries)."""
    return all(_same(getattr(a, f.name), getattr(b, f.name))
               for f in dataclasses.fields(cast(Any, a)) if f.init)


def init_values(obj: object) -> tuple[object, ...]:
    """The arguments that rebuild a result through __init__ (for __reduce__)."""
    return tuple(getattr(obj, f.name) for f in dataclasses.fields(cast(Any, obj)) if f.init)


def plain(value: object) -> object:
    """NumPy scalars as Python scalars, so that `json` accepts them."""
    return value.item() if isinstance(value, np.generic) else value

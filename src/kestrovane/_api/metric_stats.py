"""`MetricStats`: the distribution of one per-member metric of `select`
over the samples, named by the engine's rows."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from kestrovane._api import _engine
from kestrovane._api.frozen import fields_equal, frozen_array, init_values

#: The statistics of a metric and the metrics, in the engine's order.
STAT_KEYS: tuple[str, ...] = _engine.STATISTICS
METRICS: tuple[str, ...] = _engine.METRICS


@dataclass(frozen=True, eq=False)
class MetricStats:
    """Distribution of one per-member metric over the samples.

    Each field is a read-only float64 array with one entry per member: the
    mean, the population standard deviation, the median and the 25 % and
    75 % quantiles (exact, or P² estimates; see `Selection.quantiles_used`).
    """

    mean: NDArray[np.float64]
    std: NDArray[np.float64]
    median: NDArray[np.float64]
    q25: NDArray[np.float64]
    q75: NDArray[np.float64]

    def __post_init__(self) -> None:
        for key in STAT_KEYS:
            object.__setattr__(self, key, frozen_array(getattr(self, key), np.float64))

    @classmethod
    def from_mapping(cls, stats: Mapping[str, object]) -> MetricStats:
        return cls(**{key: np.asarray(stats[key], dtype=np.float64) for key in STAT_KEYS})

    def to_dict(self) -> dict[str, list[float]]:
        return {key: getattr(self, key).tolist() for key in STAT_KEYS}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, MetricStats):
            return NotImplemented
        return fields_equal(self, other)

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[MetricStats], tuple[object, ...]]:
        return (type(self), init_values(self))

"""`kestrovane.rate`: the Pareto rating of one population of known scores."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrovane._api import parameters as P
from kestrovane._api import validate as v
from kestrovane._api.frozen import frozen_array
from kestrovane.pareto_core._pareto_rating_cy import rate_population


@dataclass(frozen=True, eq=False)
class Rating:
    """Pareto rating of one population; every array is read-only.

    `front` holds each member's 0-based non-dominated front, `crowding` its
    crowding score inside that front (larger is better; +inf at the extremes
    of each objective) and `order` all members best first (front ascending,
    crowding descending, row ascending).
    """

    n_fronts: int
    front: NDArray[np.int64]
    crowding: NDArray[np.float64]
    order: NDArray[np.int64]

    def __post_init__(self) -> None:
        object.__setattr__(self, "n_fronts", int(self.n_fronts))
        object.__setattr__(self, "front", frozen_array(self.front, np.int64))
        object.__setattr__(self, "crowding", frozen_array(self.crowding, np.float64))
        object.__setattr__(self, "order", frozen_array(self.order, np.int64))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Rating):
            return NotImplemented
        return (self.n_fronts == other.n_fronts
                and all(np.array_equal(getattr(self, f), getattr(other, f))
                        for f in ("front", "crowding", "order")))

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[Rating], tuple[object, ...]]:
        return (type(self), (self.n_fronts, self.front, self.crowding, self.order))


def rate(X: ArrayLike, *, mode: P.Mode = P.MODE.default, maximize: v.Maximize = None,
         objectives: Sequence[str] | None = None) -> Rating:
    """Rate a population of known scores by Pareto dominance.

    Parameters
    ----------
    X:
        Scores, an (N members x M objectives) real array, all finite.
    mode:
        "ranks" (default) compares each objective by rank, which makes the
        crowding scale-free; "values" compares the values.
    maximize:
        As for `kestrovane.select`: None, one bool, one bool per objective or
        objective names (with `objectives`); maximised columns are negated
        exactly before rating.
    objectives:
        One distinct name per objective, used by `maximize` and in messages.

    Raises
    ------
    TypeError, ValueError
        As for `kestrovane.select`; a NaN or infinite score is named by row
        and objective.
    """
    mode_i = P.MODE.kind.code(P.MODE.check(mode))
    arr = v.table(X, "X")
    v.require_objectives(arr, "X")
    names = v.objective_names(objectives, arr.shape[1], "X")
    flags = v.maximized(maximize, arr.shape[1], names)
    v.check_finite(arr, "X", v.Labels(None, names))
    n_fronts, front, crowding, order = rate_population(v.minimised(arr, flags), mode_i, 0)
    return Rating(n_fronts, front, crowding, order)

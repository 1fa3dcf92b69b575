"""Populations given as pandas objects: a DataFrame's index names the
members and its columns the objectives, as a pandas user expects.

pandas is not imported: a frame is recognised by its module and attributes,
so the core keeps NumPy as its only dependency.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np


def _from_pandas(value: object, *kinds: str) -> bool:
    return (type(value).__module__.split(".")[0] == "pandas"
            and type(value).__name__ in kinds)


def _labels(index: Any) -> list[Any] | None:
    """An index's labels, or None for the default 0..n-1 (no labels given)."""
    if (type(index).__name__ == "RangeIndex" and index.start == 0 and index.step == 1):
        return None
    return list(index.tolist())


def _agreeing(given: object, carried: list[Any] | None, what: str, where: str) -> object:
    """The labels to use when both an argument and a frame may name them."""
    if carried is None:
        return given
    if given is None:
        return carried
    if isinstance(given, np.ndarray):
        given = given.tolist()
    if not isinstance(given, Sequence) or list(given) != carried:
        raise ValueError(f"{what} differ from mu's {where}; give the labels once (the "
                         f"{where} is used when {what} is omitted)")
    return given


def _order(own: Any, wanted: Any, where: str) -> list[Any] | None:
    """The labels to pick `sigma2`'s `own` index (or columns) by so that they
    follow mu's `wanted` ones; None when they already do."""
    mine, theirs = list(own.tolist()), list(wanted.tolist())
    if mine == theirs:
        return None
    if not (own.is_unique and wanted.is_unique) or set(mine) != set(theirs):
        missing = [x for x in theirs if x not in set(mine)]
        detail = f"; it lacks {missing[0]!r}" if missing else ""
        raise ValueError(f"sigma2's {where} must hold the labels of mu's {where}, each once"
                         f"{detail}")
    return theirs


def unlabelled(mu: Any, sigma2: Any, ids: object,
               objectives: object) -> tuple[object, object, object, object]:
    """`mu`, `sigma2`, `ids` and `objectives` with pandas objects replaced by
    arrays and their labels moved into `ids` and `objectives`.

    A DataFrame `mu` gives the ids (its index, unless the default 0..N-1)
    and the objective names (its columns, unless the default 0..M-1); a
    Series `mu` is one objective, named by the Series' name.  A DataFrame
    `sigma2` is put in `mu`'s order of rows and columns; a Series `sigma2`
    holds one variance per objective (indexed by the objective names) or,
    with one objective, one per member.  Other input passes unchanged."""
    if _from_pandas(mu, "Series"):
        name = mu.name if isinstance(mu.name, str) else None
        objectives_carried = None if name is None else [name]
        mu = mu.to_frame(name=0 if name is None else name)
    elif _from_pandas(mu, "DataFrame"):
        objectives_carried = _labels(mu.columns)
    else:
        if _from_pandas(sigma2, "DataFrame", "Series"):
            sigma2 = sigma2.to_numpy()
        return mu, sigma2, ids, objectives
    ids = _agreeing(ids, _labels(mu.index), "ids", "index")
    objectives = _agreeing(objectives, objectives_carried, "objectives", "columns")
    if _from_pandas(sigma2, "DataFrame"):
        rows = _order(sigma2.index, mu.index, "index")
        cols = _order(sigma2.columns, mu.columns, "columns")
        if rows is not None or cols is not None:
            sigma2 = sigma2.loc[rows if rows is not None else slice(None),
                                cols if cols is not None else slice(None)]
        sigma2 = sigma2.to_numpy()
    elif _from_pandas(sigma2, "Series"):
        sigma2 = _series_variances(sigma2, mu)
    return mu.to_numpy(), sigma2, ids, objectives


def _series_variances(sigma2: Any, mu: Any) -> Any:
    """A Series of variances by objective (broadcast over the members) or,
    with one objective, by member."""
    labels = set(sigma2.index.tolist())
    if sigma2.index.is_unique and labels == set(mu.columns.tolist()):
        return sigma2.loc[mu.columns].to_numpy()
    if mu.shape[1] == 1 and sigma2.index.is_unique and labels == set(mu.index.tolist()):
        return sigma2.loc[mu.index].to_numpy()[:, None]
    raise ValueError("sigma2 is a Series whose index is neither mu's columns (one variance "
                     "per objective) nor, with one objective, mu's index (one per member)")

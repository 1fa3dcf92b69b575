"""Argument checks of the public functions.

Every check runs before any sampling.  A bad entry is named by member (its id,
and its row when ids were given) and by objective (its name and column, or
its column), so that a scheduler's log points at the run to look at.  Wrong
kinds of object raise TypeError, wrong values ValueError.
"""

from __future__ import annotations

import numbers
from collections.abc import Collection, Hashable, Mapping, Sequence, Set
from dataclasses import dataclass
from typing import Final

import numpy as np
from numpy.typing import NDArray

from kestrovane._api import _engine, streams
from kestrovane._api import parameters as P
from kestrovane._api.bounds import is_bool

# A str is itself a Collection[str]: one objective name.
Maximize = bool | Sequence[bool] | Collection[str] | None

_REAL_KINDS: Final = "biuf"


class Labels:
    """How messages name members and objectives."""

    def __init__(self, ids: Sequence[Hashable] | None = None,
                 objectives: Sequence[str] | None = None) -> None:
        self.ids = ids
        self.objectives = objectives

    def member(self, i: int) -> str:
        if self.ids is None:
            return f"member {i}"
        return f"member {self.ids[i]!r} (row {i})"

    def objective(self, j: int) -> str:
        if self.objectives is None:
            return f"objective {j}"
        return f"objective {self.objectives[j]!r} (column {j})"

    def cell(self, i: int, j: int) -> str:
        return f"{self.member(i)}, {self.objective(j)}"


def real_array(value: object, what: str) -> NDArray[np.float64]:
    """`value` as a float64 array; masked, complex, text and object input is refused."""
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"{what} is a masked array; fill or drop the masked entries first "
                        "(their fill values would otherwise be used)")
    try:
        arr = np.asarray(value)
    except ValueError as exc:  # ragged nested lists
        raise ValueError(f"{what} is not a rectangular array: {exc}") from None
    if arr.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"{what} must hold real numbers; got dtype {arr.dtype}")
    return np.asarray(arr, dtype=np.float64)


def table(value: object, what: str) -> NDArray[np.float64]:
    """A 2-D float64 table, one row per member and one column per objective."""
    arr = real_array(value, what)
    if arr.ndim != 2:
        raise ValueError(f"{what} must be 2-D (N members x M objectives); got shape {arr.shape}")
    return arr


def require_objectives(arr: NDArray[np.float64], what: str) -> None:
    if arr.shape[1] == 0:
        raise ValueError(f"{what} has no objectives (shape {arr.shape}); at least one column "
                         "is needed")


def _first_bad(bad: NDArray[np.bool_]) -> tuple[int, int, str] | None:
    """Row and column of the first flagged cell in row order, and a note on the others."""
    flagged = np.flatnonzero(bad)
    if flagged.size == 0:
        return None
    i, j = divmod(int(flagged[0]), bad.shape[1])
    more = "" if flagged.size == 1 else f" ({flagged.size} invalid entries in all)"
    return i, j, more


def check_finite(arr: NDArray[np.float64], what: str, labels: Labels) -> None:
    found = _first_bad(~np.isfinite(arr))
    if found is not None:
        i, j, more = found
        v = float(arr[i, j])
        kind = "NaN" if v != v else f"infinite ({v!r})"
        raise ValueError(f"{what} of {labels.cell(i, j)} is {kind}{more}")


def check_variances(arr: NDArray[np.float64], what: str, labels: Labels) -> None:
    """Variances must be finite and >= 0; 0 means a score known exactly."""
    found = _first_bad(~((arr >= 0.0) & (arr < np.inf)))
    if found is not None:
        i, j, more = found
        v = float(arr[i, j])
        if v != v:
            kind = "NaN"
        elif v < 0.0:
            kind = f"negative ({v!r}); a variance must be >= 0"
        else:
            kind = f"infinite ({v!r})"
        raise ValueError(f"{what} of {labels.cell(i, j)} is {kind}{more}")


def member_ids(ids: object, n: int) -> tuple[Hashable, ...]:
    """One distinct hashable label per member; 0..N-1 by default."""
    if ids is None:
        return tuple(range(n))
    if isinstance(ids, (str, bytes, Set, Mapping)) or not isinstance(ids, Collection):
        raise TypeError("ids must be a sequence of hashable labels, one per member; "
                        f"got {type(ids).__name__}")
    if isinstance(ids, np.ndarray) and ids.ndim != 1:
        raise ValueError(f"ids must be 1-D; got shape {ids.shape}")
    # NumPy scalars become Python ones: they print and serialise plainly.
    labels: list[object] = ids.tolist() if isinstance(ids, np.ndarray) else list(ids)
    if len(labels) != n:
        raise ValueError(f"ids has {len(labels)} labels but there are {n} members (rows of mu)")
    seen: dict[Hashable, int] = {}
    for i, label in enumerate(labels):
        if not isinstance(label, Hashable):
            raise TypeError(f"id of row {i} is not hashable: {label!r}")
        try:
            first = seen.setdefault(label, i)
        except TypeError:  # a tuple holding an unhashable item
            raise TypeError(f"id of row {i} is not hashable: {label!r}") from None
        if first != i:
            raise ValueError(f"duplicate id {label!r} at rows {first} and {i}")
    return tuple(seen)


def objective_names(objectives: object, m: int, of: str = "mu") -> tuple[str, ...] | None:
    """One distinct name per objective; `of` names the table whose columns they name."""
    if objectives is None:
        return None
    if isinstance(objectives, (str, bytes, Set, Mapping)) or not isinstance(objectives,
                                                                          Collection):
        raise TypeError("objectives must be a sequence of names, one per objective; "
                        f"got {type(objectives).__name__}")
    names = list(objectives)
    for j, name in enumerate(names):
        if not isinstance(name, str):
            raise TypeError(f"objective name of column {j} must be a str; got {name!r}")
    if len(names) != m:
        raise ValueError(f"objectives has {len(names)} names but there are {m} objectives "
                         f"(columns of {of})")
    first: dict[str, int] = {}
    for j, name in enumerate(names):
        if first.setdefault(name, j) != j:
            raise ValueError(f"duplicate objective name {name!r} at columns {first[name]} "
                             f"and {j}")
    return tuple(str(name) for name in names)


def maximized(maximize: object, m: int, objectives: Sequence[str] | None) -> tuple[bool, ...]:
    """One flag per objective: None, one bool for all, one bool each, or names."""
    if maximize is None:
        return (False,) * m
    if is_bool(maximize):
        return (bool(maximize),) * m
    usage = ("maximize must be None, a bool, one bool per objective or a collection of "
             f"objective names; got {maximize!r}")
    if isinstance(maximize, str):
        entries: list[object] = [maximize]
    elif isinstance(maximize, np.ndarray) and maximize.ndim == 1:
        entries = maximize.tolist()
    elif isinstance(maximize, Collection) and not isinstance(maximize, (bytes, Mapping)):
        entries = list(maximize)
    else:
        raise TypeError(usage)
    if entries and all(is_bool(e) for e in entries):
        if len(entries) != m:
            raise ValueError(f"maximize has {len(entries)} entries but there are {m} "
                             "objectives")
        return tuple(bool(e) for e in entries)
    if not all(isinstance(e, str) for e in entries):
        raise TypeError(usage)
    names = {str(e) for e in entries}
    if objectives is None:
        if not names:
            raise ValueError(f"maximize has 0 entries but there are {m} objectives")
        raise ValueError(f"maximize names objective {sorted(names)[0]!r} but no objective "
                         "names were given (pass objectives=...)")
    unknown = sorted(names.difference(objectives))
    if unknown:
        raise ValueError(f"maximize names unknown objective {unknown[0]!r}; the objectives "
                         f"are {', '.join(map(repr, objectives))}")
    return tuple(name in names for name in objectives)


def minimised(mu: NDArray[np.float64], maximize: Sequence[bool]) -> NDArray[np.float64]:
    """`mu` with every maximised column negated exactly; the caller's array is not changed."""
    if not any(maximize):
        return mu
    out = np.array(mu, dtype=np.float64, order="C", copy=True)
    cols = np.flatnonzero(np.asarray(maximize, dtype=bool))
    out[:, cols] = np.negative(out[:, cols])
    return out


# -- parameters -----------------------------------------------------------------
#
# Bounds and choices are declared once, in `parameters.py`; what follows is
# what more than one caller needs besides the declarations.

#: The native codes of `mode` (rate, the engine and the policies' batches).
MODE_CODES: Final[Mapping[str, int]] = P.MODE.kind.codes

#: What a `seed` argument of the public functions may be.
SeedLike = int | np.random.Generator | None


def drawn_seed(value: object) -> int:
    """A `seed` argument as the seed to use: an integer as it is; None a seed
    drawn from fresh operating-system entropy; a `numpy.random.Generator` one
    drawn from it (advancing it), so that one generator gives a new stream
    per call, as NumPy's own functions do.  The result records the seed
    used, so a run can be repeated."""
    if value is None:
        return streams.fresh_seed()
    if isinstance(value, np.random.Generator):
        return streams.seed_from(value)
    if is_bool(value) or not isinstance(value, numbers.Integral):
        raise TypeError(f"seed must be an integer in {P.SEED.kind.interval()}, "
                        "None (fresh entropy) or a numpy.random.Generator; "
                        f"got {value!r}")
    return P.SEED.check(value)


def winner_count(n: int, percentile: float) -> int:
    """k, the members that win (and that lose) per sample, and that the
    tracker copies and replaces per round: min(N, max(1, ceil(N * percentile))),
    capped at N (N = 0 gives 0).  The engine's own function, so that the
    public layer, the tracker and the samples agree on every k."""
    return _engine.winner_count(n, percentile)


def variances(value: object, shape: tuple[int, ...]) -> NDArray[np.float64]:
    """`sigma2` as a table of `shape` (mu's): one of that shape, or one that
    broadcasts to it as NumPy broadcasts (a scalar for every score, one
    variance per objective, an (N, 1) column of one per member)."""
    arr = real_array(value, "sigma2")
    if arr.shape == shape:
        return arr
    try:
        if arr.ndim > 2:
            raise ValueError
        return np.ascontiguousarray(np.broadcast_to(arr, shape))
    except ValueError:
        raise ValueError(f"mu and sigma2 must have the same shape, or sigma2 one that "
                         f"broadcasts to mu's (a scalar, one variance per objective); "
                         f"got {shape} and {arr.shape}") from None


@dataclass(frozen=True)
class CheckedInput:
    """The checked input of a call on a population: the means with maximised
    columns negated, the variances, and the labels of members and objectives."""

    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    ids: tuple[Hashable, ...]
    objectives: tuple[str, ...] | None
    maximize: tuple[bool, ...]


def population(mu: object, sigma2: object, ids: object, objectives: object,
               maximize: object) -> CheckedInput:
    """Every check of a population, in order, naming the member and objective
    at fault; nothing is sampled before it returns."""
    mu_arr = table(mu, "mu")
    sigma2_arr = variances(sigma2, mu_arr.shape)
    require_objectives(mu_arr, "mu")
    n_members, n_objectives = mu_arr.shape
    member_id_tuple = member_ids(ids, n_members)
    names = objective_names(objectives, n_objectives)
    flags = maximized(maximize, n_objectives, names)
    labels = Labels(None if ids is None else member_id_tuple, names)
    check_finite(mu_arr, "mu", labels)
    check_variances(sigma2_arr, "sigma2", labels)
    return CheckedInput(minimised(mu_arr, flags), sigma2_arr, member_id_tuple, names, flags)

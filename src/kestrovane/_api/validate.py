"""Argument checks of the public functions.

Every check runs before any sampling.  A bad entry is named by member (its id,
and its row when ids were given) and by objective (its name and column, or
its column), so that a scheduler's log points at the run to look at.  Wrong
kinds of object raise TypeError, wrong values ValueError.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Collection, Hashable, Mapping, Sequence, Set
from dataclasses import dataclass
from typing import Final, Literal

import numpy as np
from numpy.typing import NDArray

from kestrovane._api import _engine, streams

INT32_MAX: Final = 2**31 - 1
INT64_MIN: Final = -(2**63)
INT64_MAX: Final = 2**63 - 1
UINT64_MAX: Final = 2**64 - 1

Mode = Literal["ranks", "values"]
Quantiles = Literal["auto", "exact", "p2"]
Ties = Literal["random", "index"]
# The integer codes of the native kernels.
MODE_CODES: Final[Mapping[str, int]] = {"ranks": 1, "values": 0}
QUANTILES_CODES: Final[Mapping[str, int]] = {"auto": 2, "exact": 0, "p2": 1}
TIES_CODES: Final[Mapping[str, int]] = {"random": 1, "index": 0}

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


def _alternatives(options: Collection[str]) -> str:
    quoted = [repr(o) for o in options]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " or " + quoted[-1]


def _is_bool(value: object) -> bool:
    return isinstance(value, (bool, np.bool_))


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
    if _is_bool(maximize):
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
    if entries and all(_is_bool(e) for e in entries):
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


# -- bounds ---------------------------------------------------------------------
#
# A bound that more than one caller checks is declared once, below; the
# checks and messages of the public functions, the PBT tracker and its
# policies and the command line's options are derived from the declaration.


def _number_text(x: float) -> str:
    return str(x) if isinstance(x, int) else f"{x:g}"


@dataclass(frozen=True)
class _Range:
    low: float
    high: float
    #: The range excludes `low`, as (0, 1] does.
    low_open: bool = False
    #: How `high` is written in messages, e.g. "2**64 - 1" instead of its digits.
    high_text: str = ""

    def __contains__(self, value: float) -> bool:
        above = self.low < value if self.low_open else self.low <= value
        return above and value <= self.high  # False for NaN

    def interval(self) -> str:
        """The range as the Python functions' messages write it: "[1, 64]", "(0, 1]"."""
        high = self.high_text or _number_text(self.high)
        return f"{'(' if self.low_open else '['}{_number_text(self.low)}, {high}]"

    def span(self) -> str:
        """The range as the command line writes it: "1 .. 64", "(0, 1]"."""
        if self.low_open:
            return self.interval()
        return f"{_number_text(self.low)} .. {self.high_text or _number_text(self.high)}"


@dataclass(frozen=True)
class IntRange(_Range):
    """Whole numbers from `low` to `high`, both included."""

    low: int
    high: int

    def check(self, value: object, what: str) -> int:
        """`value` as an int: TypeError for anything but an integer (bools
        too), ValueError outside the range."""
        if _is_bool(value) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{what} must be an integer; got {value!r}")
        v = int(value)
        if v not in self:
            raise ValueError(f"{what} must be in {self.interval()}; got {v}")
        return v


@dataclass(frozen=True)
class RealRange(_Range):
    """Real numbers from `low` (excluded when `low_open`) to `high`."""

    def check(self, value: object, what: str) -> float:
        """`value` as a float: TypeError for anything but a real number (bools
        too), ValueError outside the range (NaN, and integers beyond the
        float range, too)."""
        if _is_bool(value) or not isinstance(value, numbers.Real):
            raise TypeError(f"{what} must be a real number in {self.interval()}; "
                            f"got {value!r}")
        try:
            v = float(value)
        except OverflowError:
            raise ValueError(f"{what} must be in {self.interval()}; got {value!r}") from None
        if v not in self:
            raise ValueError(f"{what} must be in {self.interval()}; got {v!r}")
        return v


#: Monte-Carlo samples of one call (the kernels count them in 32 bits).
N_SAMPLES: Final = IntRange(1, INT32_MAX)
#: The share of members that win and that lose per sample.
PERCENTILE: Final = RealRange(0.0, 1.0, low_open=True)
SEED: Final = IntRange(0, UINT64_MAX, high_text="2**64 - 1")
QUANTILES_BUDGET: Final = IntRange(INT64_MIN, INT64_MAX)
#: Threads of one call: the native engine's own limit.
THREADS: Final = IntRange(1, _engine.MAX_THREADS)


def sample_count(value: object) -> int:
    return N_SAMPLES.check(value, "n_samples")


def seed_value(value: object) -> int:
    return SEED.check(value, "seed")


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
    if _is_bool(value) or not isinstance(value, numbers.Integral):
        raise TypeError("seed must be an integer in [0, 2**64 - 1], None (fresh entropy) or a "
                        f"numpy.random.Generator; got {value!r}")
    return seed_value(value)


def budget_value(value: object) -> int:
    return QUANTILES_BUDGET.check(value, "quantiles_budget")


def percentile_value(value: object) -> float:
    return PERCENTILE.check(value, "percentile")


def winner_count(n: int, percentile: float) -> int:
    """k, the members that win (and that lose) per sample: min(N, max(1, ceil(N * percentile)))."""
    return min(n, max(1, math.ceil(n * percentile)))


def choice(value: object, what: str, codes: Mapping[str, int]) -> int:
    """The native code of a string option."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be {_alternatives(codes)}; got {value!r}")
    if value not in codes:
        raise ValueError(f"{what} must be {_alternatives(codes)}; got {value!r}")
    return codes[value]


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

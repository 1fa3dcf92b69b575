"""The result of `kestrovane.select`: named fields, the exploit plan, export."""

from __future__ import annotations

import dataclasses
import importlib
import math
import numbers
from collections.abc import Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, cast

import numpy as np
from numpy.typing import NDArray

from kestrovane._api import _engine
from kestrovane._api import validate as v
from kestrovane._api.validate import Mode, Quantiles, Ties

if TYPE_CHECKING:
    # pandas is optional and may come without types; DataFrame is Any then.
    from pandas import DataFrame  # type: ignore[import-not-found, import-untyped, unused-ignore]

IdT = TypeVar("IdT", bound=Hashable)
T = TypeVar("T", bound=Hashable)
ScalarT = TypeVar("ScalarT", bound=np.generic)

#: The statistics of a metric and the metrics, in the engine's order.
STAT_KEYS: tuple[str, ...] = _engine.STATISTICS
METRICS: tuple[str, ...] = _engine.METRICS


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


def _fields_equal(a: object, b: object) -> bool:
    return all(_same(getattr(a, f.name), getattr(b, f.name))
               for f in dataclasses.fields(cast(Any, a)) if f.init)


def _init_values(obj: object) -> tuple[object, ...]:
    return tuple(getattr(obj, f.name) for f in dataclasses.fields(cast(Any, obj)) if f.init)


def _plain(value: object) -> object:
    """NumPy scalars as Python scalars, so that `json` accepts them."""
    return value.item() if isinstance(value, np.generic) else value


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
        return _fields_equal(self, other)

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[MetricStats], tuple[object, ...]]:
        return (type(self), _init_values(self))


@dataclass(frozen=True, eq=False)
class Selection(Generic[IdT]):
    """Result of `kestrovane.select`, immutable; every array is read-only.

    Members are named by their ids everywhere.  `winners` are the k members
    that most often placed among the best k of a sample (best first: most
    wins, then lower mean place, then input order); `losers` the k that most
    often placed among the worst k (worst first).  With
    k = min(N, max(1, ceil(N * percentile))).  A member can be in both lists
    (its score is so uncertain that it often lands at either end);
    `replacements` keeps such a member: it is neither replaced nor copied.

    Built by `kestrovane.select`; `from_dict` rebuilds one from `to_dict()`.
    """

    ids: tuple[IdT, ...]
    winners: tuple[IdT, ...]
    losers: tuple[IdT, ...]
    #: Rows of the winners and losers in the input, in the same order.
    winner_rows: NDArray[np.int64]
    loser_rows: NDArray[np.int64]
    #: Samples in which each member was among the first k / last k.
    win_count: NDArray[np.int32]
    lose_count: NDArray[np.int32]
    #: Sum of each member's 0-based places over the samples.
    rank_sum: NDArray[np.int64]
    #: Each member's 0-based place in the global order, its 0-based front and
    #: its 0-based rank among the members of its front, over the samples.
    place: MetricStats
    front: MetricStats
    within: MetricStats
    #: -(mean place + mean front + mean within-front rank): higher is better, 0 is best.
    quality: NDArray[np.float64]
    #: How the quantiles of place, front and within were taken.
    quantiles_used: Literal["exact", "p2"]
    # The settings of the call.
    n_samples: int
    seed: int
    percentile: float
    mode: Mode
    quantiles: Quantiles
    quantiles_budget: int
    maximize: tuple[bool, ...]
    objectives: tuple[str, ...] | None
    #: Who won ties: "random" (a random member) or "index" (the lower row).
    ties: Ties = "random"
    #: win_count / n_samples and lose_count / n_samples.
    p_win: NDArray[np.float64] = field(init=False)
    p_lose: NDArray[np.float64] = field(init=False)
    #: rank_sum / n_samples, exact (place.mean is a running mean and can
    #: differ from it in the last bits).
    mean_place: NDArray[np.float64] = field(init=False)

    def __post_init__(self) -> None:
        put = object.__setattr__
        for name in ("ids", "winners", "losers", "maximize"):
            put(self, name, tuple(getattr(self, name)))
        if self.objectives is not None:
            put(self, "objectives", tuple(self.objectives))
        put(self, "winner_rows", frozen_array(self.winner_rows, np.int64))
        put(self, "loser_rows", frozen_array(self.loser_rows, np.int64))
        put(self, "quality", frozen_array(self.quality, np.float64))
        freeze_counts(self)

    @property
    def k(self) -> int:
        """Number of winners and of losers."""
        return len(self.winners)

    @property
    def replacements(self) -> list[tuple[IdT, IdT]]:
        """The exploit plan: (loser_id, winner_id) pairs, "replace loser by a copy of winner".

        A member that is both a winner and a loser is kept: it is neither
        replaced nor copied.  The remaining winners, best first, are paired
        with the remaining losers, worst first, so the first pair replaces
        the worst loser by the best winner.  No member appears twice, no
        member replaces itself, and no member is copied while it is replaced.
        """
        plan = exploit_plan(self.winners, self.losers)
        return list(zip(plan.replaced, plan.sources))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Selection):
            return NotImplemented
        return _fields_equal(self, other)

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[Selection[IdT]], tuple[object, ...]]:
        return (type(self), _init_values(self))

    # -- export -----------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain lists, numbers and strings; `json.dumps` takes it when the ids
        are str, int, float, bool or None."""
        ids: list[object] = [_plain(i) for i in self.ids]
        return {
            "ids": ids,
            "winners": [_plain(i) for i in self.winners],
            "losers": [_plain(i) for i in self.losers],
            "replacements": [[_plain(a), _plain(b)] for a, b in self.replacements],
            "winner_rows": self.winner_rows.tolist(),
            "loser_rows": self.loser_rows.tolist(),
            "win_count": self.win_count.tolist(),
            "lose_count": self.lose_count.tolist(),
            "rank_sum": self.rank_sum.tolist(),
            "p_win": self.p_win.tolist(),
            "p_lose": self.p_lose.tolist(),
            "mean_place": self.mean_place.tolist(),
            "place": self.place.to_dict(),
            "front": self.front.to_dict(),
            "within": self.within.to_dict(),
            "quality": self.quality.tolist(),
            "quantiles_used": self.quantiles_used,
            "n_samples": self.n_samples,
            "seed": self.seed,
            "percentile": self.percentile,
            "mode": self.mode,
            "quantiles": self.quantiles,
            "quantiles_budget": self.quantiles_budget,
            "maximize": list(self.maximize),
            "objectives": None if self.objectives is None else list(self.objectives),
            "ties": self.ties,
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Selection[Any]:
        """Rebuild a result from `to_dict()` output (after a JSON round trip too).

        Every field is checked as the public functions check their arguments,
        and against the others (lengths, ids, rows, counts); a missing or
        bad key raises ValueError or TypeError naming it.  Output of versions
        before `ties` existed broke ties by row: "index"."""
        return cls(**_checked_fields(data))

    def to_pandas(self) -> DataFrame:
        """One row per member, indexed by id.  Needs pandas."""
        try:
            pd = importlib.import_module("pandas")
        except ImportError:
            raise ImportError("Selection.to_pandas() needs pandas "
                              "(pip install 'kestrovane[pandas]')") from None
        winners, losers = set(self.winners), set(self.losers)
        columns: dict[str, object] = {
            "winner": [i in winners for i in self.ids],
            "loser": [i in losers for i in self.ids],
            "p_win": self.p_win.copy(), "p_lose": self.p_lose.copy(),
            "win_count": self.win_count.copy(), "lose_count": self.lose_count.copy(),
            "mean_place": self.mean_place.copy(),
        }
        for metric in METRICS:
            stats: MetricStats = getattr(self, metric)
            for key in STAT_KEYS:
                columns[f"{metric}_{key}"] = getattr(stats, key).copy()
        columns["quality"] = self.quality.copy()
        index = pd.Index(list(self.ids), name="id", tupleize_cols=False)
        return pd.DataFrame(columns, index=index)

    # -- display ----------------------------------------------------------------

    def __repr__(self) -> str:
        return "\n".join(self._lines())

    def _lines(self, head: int = 8, tail: int = 4) -> Iterator[str]:
        n, m = len(self.ids), len(self.maximize)
        names = self.objectives or [str(j) for j in range(m)]
        shown_names = ", ".join(f"{name} (max)" if up else name
                                for name, up in zip(names, self.maximize))
        yield (f"Selection: {n} members x {m} objectives ({shown_names}); "
               f"{self.n_samples} samples, seed {self.seed}, percentile {self.percentile:g} "
               f"(k = {self.k}), {self.mode}, {self.quantiles_used} quantiles")
        yield f"  winners: {_short_list(self.winners)}"
        yield f"  losers:  {_short_list(self.losers)}"
        if n == 0:
            return
        winners, losers = set(self.winner_rows.tolist()), set(self.loser_rows.tolist())
        yield (f"  {'id':<14} {'p_win':>6} {'p_lose':>6}  {'place mean ± std':>17} "
               f"{'median':>7} {'front':>6} {'quality':>8}")
        order = selection_order(self)
        shown: list[int | None] = [int(r) for r in order]
        if n > head + tail + 1:
            shown = shown[:head] + [None] + shown[n - tail:]
        for row in shown:
            if row is None:
                yield f"  ... {n - head - tail} more"
                continue
            label = _clip(str(self.ids[row]), 14)
            yield (f"  {label:<14} {self.p_win[row]:6.3f} {self.p_lose[row]:6.3f}  "
                   f"{self.place.mean[row]:8.2f} ± {self.place.std[row]:6.2f} "
                   f"{self.place.median[row]:7.1f} {self.front.mean[row]:6.2f} "
                   f"{self.quality[row]:8.2f} {mark(row in winners, row in losers)}".rstrip())


@dataclass(frozen=True)
class ExploitPlan(Generic[T]):
    """Who is replaced and who may be copied: see `exploit_plan`."""

    #: The losers that are not also winners, worst first.
    replaced: list[T]
    #: The winners that are not also losers, best first.
    sources: list[T]
    #: The members in both lists, in the order of the winners: neither
    #: replaced nor copied.
    kept: list[T]


def exploit_plan(winners: Sequence[T], losers: Sequence[T]) -> ExploitPlan[T]:
    """The exploit rule, given the k winners (best first) and the k losers
    (worst first), each without repeats: a member in both lists is kept;
    every other loser is replaced by a copy of a winner that is not a loser.
    So no member replaces itself and none is copied while it is replaced.

    `Selection.replacements` pairs `replaced` with `sources` in order (the
    worst loser takes the best winner); the PBT policies replace the deciding
    member when it is in `replaced`, by one of `sources`."""
    both = set(winners).intersection(losers)
    return ExploitPlan(replaced=[m for m in losers if m not in both],
                       sources=[m for m in winners if m not in both],
                       kept=[m for m in winners if m in both])


def selection_order(sel: Selection[Any]) -> NDArray[np.int64]:
    """Rows in the order of the selection, as `print(sel)` and the command
    line show them: the winners best first, then the members that are
    neither (most wins, then lower mean place, then input order), then the
    losers that are not also winners, the worst last."""
    n = len(sel.ids)
    rows = np.arange(n, dtype=np.int64)
    by_wins = np.lexsort((rows, sel.rank_sum, -sel.win_count.astype(np.int64)))
    flag = np.zeros(n, dtype=bool)
    flag[sel.winner_rows] = True
    flag[sel.loser_rows] = True
    winner = np.zeros(n, dtype=bool)
    winner[sel.winner_rows] = True
    losers_only = sel.loser_rows[~winner[sel.loser_rows]][::-1]
    order: NDArray[np.int64] = np.concatenate([sel.winner_rows, by_wins[~flag[by_wins]],
                                               losers_only]).astype(np.int64)
    return order


def mark(winner: bool, loser: bool) -> str:
    """A member's mark in a table: W winner, L loser, W+L both."""
    return "W+L" if winner and loser else "W" if winner else "L" if loser else ""


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 1] + "…"


def _short_list(items: Sequence[Hashable], limit: int = 8) -> str:
    shown = ", ".join(_clip(repr(_plain(i)), 20) for i in items[:limit])
    if len(items) > limit:
        shown += f", ... ({len(items) - limit} more)"
    return shown or "(none)"


class _Fields:
    """Reads the keys of a `to_dict()` mapping, naming the key at fault
    (after `within`, e.g. "'place': ", for the statistics of a metric)."""

    def __init__(self, data: object, within: str = "") -> None:
        if not isinstance(data, Mapping):
            raise TypeError(f"Selection.from_dict needs a mapping; got {type(data).__name__}")
        self.data = data
        self.within = within

    def __getitem__(self, key: str) -> Any:
        try:
            return self.data[key]
        except KeyError:
            raise ValueError(f"Selection.from_dict: {self.within}key {key!r} is "
                             "missing") from None

    def listed(self, key: str, length: int | None) -> list[Any]:
        value = self[key]
        if not isinstance(value, (list, tuple)):
            raise TypeError(f"Selection.from_dict: {self.within}{key!r} must be a list; got "
                            f"{type(value).__name__}")
        if length is not None and len(value) != length:
            raise ValueError(f"Selection.from_dict: {self.within}{key!r} has {len(value)} "
                             f"entries; {length} expected")
        return list(value)

    def numbers(self, key: str, length: int, integral: bool, low: float = -math.inf,
                high: float = math.inf, slack: float = 0.0) -> Any:
        """The entries as an int64 or (finite) float64 array, each in [low, high]
        (widened by `slack` for the rounding of running means)."""
        values = self.listed(key, length)
        for i, x in enumerate(values):
            where = f"Selection.from_dict: {self.within}{key!r}[{i}]"
            if isinstance(x, (bool, np.bool_)) or not isinstance(
                    x, numbers.Integral if integral else numbers.Real):
                kind = "an integer" if integral else "a real number"
                raise TypeError(f"{where} must be {kind}; got {x!r}")
            if isinstance(x, numbers.Integral) and integral:  # compared exactly, however large
                inside = low <= int(x) <= high
            else:
                try:
                    real = float(x)
                except OverflowError:
                    raise ValueError(f"{where} is {x!r}, too large for a float") from None
                if not math.isfinite(real):
                    raise ValueError(f"{where} is {real!r}; it must be finite")
                inside = low - slack <= real <= high + slack
            if not inside:
                raise ValueError(f"{where} is {x!r}, outside [{low:g}, {high:g}]")
        return np.asarray(values, dtype=np.int64 if integral else np.float64)


def _checked_fields(data: object) -> dict[str, Any]:
    f = _Fields(data)
    out: dict[str, Any] = {
        "n_samples": v.sample_count(f["n_samples"]),
        "seed": v.seed_value(f["seed"]),
        "percentile": v.percentile_value(f["percentile"]),
        "quantiles_budget": v.budget_value(f["quantiles_budget"]),
    }
    for key, codes in (("mode", v.MODE_CODES), ("quantiles", v.QUANTILES_CODES),
                       ("quantiles_used", {"exact": 0, "p2": 1})):
        v.choice(f[key], key, codes)
        out[key] = f[key]
    out["ties"] = f.data.get("ties", "index")
    v.choice(out["ties"], "ties", v.TIES_CODES)
    maximize = f.listed("maximize", None)
    if not maximize or not all(isinstance(x, (bool, np.bool_)) for x in maximize):
        raise TypeError("Selection.from_dict: 'maximize' must be a non-empty list of bools; "
                        f"got {maximize!r}")
    out["maximize"] = tuple(bool(x) for x in maximize)
    out["objectives"] = v.objective_names(f["objectives"], len(maximize), "maximize")
    ids = v.member_ids(f.listed("ids", None), len(f["ids"]))
    n, samples = len(ids), out["n_samples"]
    out["ids"] = ids
    k = v.winner_count(n, out["percentile"])
    row_of = {member: i for i, member in enumerate(ids)}
    for side in ("winners", "losers"):
        members = f.listed(side, k)
        rows = f.numbers(f"{side[:-1]}_rows", k, True, 0, n - 1)
        for i, (member, row) in enumerate(zip(members, rows.tolist())):
            try:
                known = row_of.get(member)
            except TypeError:
                known = None
            if known is None:
                raise ValueError(f"Selection.from_dict: {side!r}[{i}] is {member!r}, not an id")
            if known != row:
                raise ValueError(f"Selection.from_dict: {side[:-1]}_rows[{i}] is {row} but "
                                 f"{member!r} is at row {known}")
        if len(set(rows.tolist())) != k:
            raise ValueError(f"Selection.from_dict: {side!r} names a member twice")
        out[side], out[f"{side[:-1]}_rows"] = tuple(ids[r] for r in rows.tolist()), rows
    for key in ("win_count", "lose_count"):
        counted = f.numbers(key, n, True, 0, samples)
        if int(counted.sum()) != k * samples:
            raise ValueError(f"Selection.from_dict: {key!r} sums to {int(counted.sum())}; "
                             f"k * n_samples = {k * samples} expected")
        out[key] = counted
    out["rank_sum"] = f.numbers("rank_sum", n, True, 0, min(samples * max(n - 1, 0),
                                                           v.INT64_MAX))
    if int(out["rank_sum"].sum()) != samples * n * (n - 1) // 2:
        raise ValueError("Selection.from_dict: 'rank_sum' does not sum to "
                         "n_samples * N * (N - 1) / 2")
    # Places, fronts and ranks within a front are 0-based, at most N - 1, so
    # are their means, quantiles and standard deviations; quality is minus
    # the sum of the three means.  A running mean may round past a bound.
    last = max(n - 1, 0)
    slack = 1e-9 * max(last, 1)
    out["quality"] = f.numbers("quality", n, False, -3 * last, 0, 3 * slack)
    for metric in METRICS:
        stats = f[metric]
        if not isinstance(stats, Mapping):
            raise TypeError(f"Selection.from_dict: {metric!r} must be a mapping of "
                            f"{', '.join(STAT_KEYS)}; got {type(stats).__name__}")
        of_metric = _Fields(stats, f"{metric!r}: ")
        out[metric] = MetricStats(*(of_metric.numbers(key, n, False, 0, last, slack)
                                    for key in STAT_KEYS))
    return out

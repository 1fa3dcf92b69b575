"""`Selection.from_dict`'s reading of a `to_dict()` mapping: every field
checked as the public functions check their arguments, and against the
others."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any, Final

import numpy as np

from kestrovane._api import parameters as P
from kestrovane._api import validate as v
from kestrovane._api.bounds import INT64_MAX, Choice
from kestrovane._api.metric_stats import METRICS, STAT_KEYS, MetricStats

#: How a result's quantiles were taken.
_QUANTILES_USED: Final = Choice(("exact", "p2"))


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


def checked_fields(data: object) -> dict[str, Any]:
    f = _Fields(data)
    out: dict[str, Any] = {
        "n_samples": P.N_SAMPLES.check(f["n_samples"]),
        "seed": P.SEED.check(f["seed"]),
        "percentile": P.PERCENTILE.check(f["percentile"]),
        "quantiles_budget": P.QUANTILES_BUDGET.check(f["quantiles_budget"]),
    }
    for key, kind in (("mode", P.MODE.kind), ("quantiles", P.QUANTILES.kind),
                      ("quantiles_used", _QUANTILES_USED)):
        kind.check(f[key], key)
        out[key] = f[key]
    out["ties"] = f.data.get("ties", "index")
    P.TIES.check(out["ties"])
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
                                                           INT64_MAX))
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

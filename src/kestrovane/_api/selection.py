"""The result of `kestrovane.select`: named fields, the exploit plan, export."""

from __future__ import annotations

import importlib
from collections.abc import Hashable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar

import numpy as np
from numpy.typing import NDArray

from kestrovane._api.exploit import exploit_plan
from kestrovane._api.frozen import fields_equal, freeze_counts, frozen_array, init_values, plain
from kestrovane._api.metric_stats import METRICS, STAT_KEYS
from kestrovane._api.metric_stats import MetricStats as MetricStats
from kestrovane._api.parameters import Mode, Quantiles, Ties
from kestrovane._api.selection_dict import checked_fields
from kestrovane._api.selection_display import selection_lines

if TYPE_CHECKING:
    # pandas is optional and may come without types; DataFrame is Any then.
    from pandas import DataFrame  # type: ignore[import-not-found, import-untyped, unused-ignore]

IdT = TypeVar("IdT", bound=Hashable)


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
        return fields_equal(self, other)

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[Selection[IdT]], tuple[object, ...]]:
        return (type(self), init_values(self))

    # -- export -----------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain lists, numbers and strings; `json.dumps` takes it when the ids
        are str, int, float, bool or None."""
        ids: list[object] = [plain(i) for i in self.ids]
        return {
            "ids": ids,
            "winners": [plain(i) for i in self.winners],
            "losers": [plain(i) for i in self.losers],
            "replacements": [[plain(a), plain(b)] for a, b in self.replacements],
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
        return cls(**checked_fields(data))

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
        return "\n".join(selection_lines(self))

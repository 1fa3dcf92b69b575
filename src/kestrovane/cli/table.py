"""The result of a run as a summary (for JSON) and as a text table.

Everything here is vectorised or a single pass over the members, so that a
population of 100 000 takes well under a second (sorting is the costliest
step).
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Any, TypedDict

import numpy as np
from numpy.typing import NDArray

from kestrovane import Selection
from kestrovane._api.exploit import exploit_plan
from kestrovane._api.selection_display import mark
from kestrovane._api.selection_display import selection_order as selection_order
from kestrovane.cli.population_file import PopulationFile

I64 = NDArray[np.int64]


class Row(TypedDict):
    id: str
    wins: int
    losses: int
    p_win: float
    p_lose: float
    place_mean: float
    place_std: float
    place_q25: float
    place_median: float
    place_q75: float
    front_mean: float
    within_mean: float
    quality: float
    winner: bool
    loser: bool
    both: bool


def summarise(pop: PopulationFile, sel: Selection[str], top: int | None) -> dict[str, Any]:
    """The run as plain data; `top` limits every list of members (rows,
    winners, losers, those kept as both, and the plan) to its first `top`;
    the counts ('individuals_count', 'k', 'both_count') stay whole."""
    order = selection_order(sel)
    shown = order if top is None else order[:top]
    kept = exploit_plan(sel.winners, sel.losers).kept
    n = len(sel.ids)
    winner = np.zeros(n, dtype=bool)
    winner[sel.winner_rows] = True
    loser = np.zeros(n, dtype=bool)
    loser[sel.loser_rows] = True
    columns: dict[str, list[Any]] = {
        "id": [pop.ids[i] for i in shown.tolist()],
        "wins": sel.win_count[shown].tolist(),
        "losses": sel.lose_count[shown].tolist(),
        "p_win": sel.p_win[shown].tolist(),
        "p_lose": sel.p_lose[shown].tolist(),
        "place_mean": sel.place.mean[shown].tolist(),
        "place_std": sel.place.std[shown].tolist(),
        "place_q25": sel.place.q25[shown].tolist(),
        "place_median": sel.place.median[shown].tolist(),
        "place_q75": sel.place.q75[shown].tolist(),
        "front_mean": sel.front.mean[shown].tolist(),
        "within_mean": sel.within.mean[shown].tolist(),
        "quality": sel.quality[shown].tolist(),
        "winner": winner[shown].tolist(),
        "loser": loser[shown].tolist(),
        "both": (winner & loser)[shown].tolist(),
    }
    keys = list(columns)
    rows = [dict(zip(keys, values)) for values in zip(*columns.values())]
    plan = sel.replacements
    return {
        "individuals_count": n,
        "objectives": pop.objectives,
        "maximize": [name for name, up in zip(pop.objectives, sel.maximize) if up],
        "samples": sel.n_samples,
        "percentile": sel.percentile,
        "seed": sel.seed,
        "mode": sel.mode,
        "quantiles": sel.quantiles_used,
        "ties": sel.ties,
        "k": sel.k,
        "winners": list(sel.winners[:top]),
        "losers": list(sel.losers[:top]),
        "both": kept[:top],
        "both_count": len(kept),
        "replacements": [[a, b] for a, b in plan[:top]],
        "individuals": rows,
    }


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 1] + "…"


ID_WIDTH = 40


def _names(shown: list[str], total: int, top: int | None) -> str:
    """Names in a row; with --top clipped like the table's ids, so that a
    line holds at most `top` of them whatever the population."""
    if top is None:
        return " ".join(shown)
    text = " ".join(_clip(name, ID_WIDTH) for name in shown)
    hidden = total - len(shown)
    return f"{text} ... and {hidden} more" if hidden > 0 else text


def table_lines(summary: dict[str, Any], top: int | None) -> Iterator[str]:
    names = [f"{name} (max)" if name in summary["maximize"] else name
             for name in summary["objectives"]]
    yield (f"{summary['individuals_count']} individuals, objectives {', '.join(names)}; "
           f"{summary['samples']} samples, seed {summary['seed']}, top/bottom "
           f"{summary['percentile']:g}, {summary['mode']}, {summary['quantiles']} quantiles")
    yield f"winners: {_names(summary['winners'], summary['k'], top)}"
    yield f"losers:  {_names(summary['losers'], summary['k'], top)}"
    rows: Sequence[Row] = summary["individuals"]
    width = min(ID_WIDTH, max([2] + [len(r["id"]) for r in rows]))
    yield ""
    yield (f"{'id':<{width}} {'p_win':>6} {'p_lose':>6}  {'place mean ± std':>16} "
           f"{'q25':>6} {'median':>6} {'q75':>6} {'front':>6} {'quality':>8}")
    for r in rows:
        flag = mark(r["winner"], r["loser"])
        place = f"{r['place_mean']:.2f} ± {r['place_std']:.2f}"
        yield (f"{_clip(r['id'], width):<{width}} {r['p_win']:>6.3f} {r['p_lose']:>6.3f}  "
               f"{place:>16} {r['place_q25']:>6.1f} {r['place_median']:>6.1f} "
               f"{r['place_q75']:>6.1f} {r['front_mean']:>6.2f} {r['quality']:>8.2f} "
               f"{flag}").rstrip()
    hidden = summary["individuals_count"] - len(rows)
    if hidden > 0:
        yield f"... {hidden} more (--top {top})"
    yield ""
    plan: list[list[str]] = summary["replacements"]
    yield "exploit plan (loser <- copy of winner):"
    if plan:
        lw = min(ID_WIDTH, max(len(a) for a, _ in plan))
        for a, b in plan:
            yield f"  {_clip(a, lw):<{lw}} <- {b if top is None else _clip(b, ID_WIDTH)}"
    else:
        yield "  (no replacements)"
    hidden = summary["k"] - summary["both_count"] - len(plan)
    if hidden > 0:
        yield f"  ... {hidden} more (--top {top})"
    if summary["both"]:
        yield (f"  kept, both winner and loser: "
               f"{_names(summary['both'], summary['both_count'], top)}")
    yield ""
    yield ("W winner, L loser, W+L both; p_win/p_lose: share of samples in the best/worst k = "
           f"{summary['k']}; place 0 is best; quality = -(mean place + mean front + mean "
           "rank in front)")

"""How a `Selection` is shown: `print(sel)`, and the order and marks that
the command line's table shares with it."""

from __future__ import annotations

from collections.abc import Hashable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from kestrovane._api.frozen import plain

if TYPE_CHECKING:
    from kestrovane._api.selection import Selection


def selection_lines(sel: Selection[Any], head: int = 8, tail: int = 4) -> Iterator[str]:
    """What `print(sel)` shows: the settings, winners and losers, and the
    members in the order of the selection (the first `head` and last `tail`)."""
    n, m = len(sel.ids), len(sel.maximize)
    names = sel.objectives or [str(j) for j in range(m)]
    shown_names = ", ".join(f"{name} (max)" if up else name
                            for name, up in zip(names, sel.maximize))
    yield (f"Selection: {n} members x {m} objectives ({shown_names}); "
           f"{sel.n_samples} samples, seed {sel.seed}, percentile {sel.percentile:g} "
           f"(k = {sel.k}), {sel.mode}, {sel.quantiles_used} quantiles")
    yield f"  winners: {_short_list(sel.winners)}"
    yield f"  losers:  {_short_list(sel.losers)}"
    if n == 0:
        return
    winners, losers = set(sel.winner_rows.tolist()), set(sel.loser_rows.tolist())
    yield (f"  {'id':<14} {'p_win':>6} {'p_lose':>6}  {'place mean ± std':>17} "
           f"{'median':>7} {'front':>6} {'quality':>8}")
    order = selection_order(sel)
    shown: list[int | None] = [int(r) for r in order]
    if n > head + tail + 1:
        shown = shown[:head] + [None] + shown[n - tail:]
    for row in shown:
        if row is None:
            yield f"  ... {n - head - tail} more"
            continue
        label = _clip(str(sel.ids[row]), 14)
        yield (f"  {label:<14} {sel.p_win[row]:6.3f} {sel.p_lose[row]:6.3f}  "
               f"{sel.place.mean[row]:8.2f} ± {sel.place.std[row]:6.2f} "
               f"{sel.place.median[row]:7.1f} {sel.front.mean[row]:6.2f} "
               f"{sel.quality[row]:8.2f} {mark(row in winners, row in losers)}".rstrip())


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
    shown = ", ".join(_clip(repr(plain(i)), 20) for i in items[:limit])
    if len(items) > limit:
        shown += f", ... ({len(items) - limit} more)"
    return shown or "(none)"

"""What `kestrovane-pbt show` prints: each member's window estimates and its
latest decision; and the fronts of the window means as the run went on."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kestrovane import rate
from kestrovane.pbt import Population
from kestrovane.storage.history import Change
from kestrovane.storage.stored import StoredPopulation


def table(pop: StoredPopulation[Any], changes: Sequence[Change]) -> str:
    """The members in join order: reports in the window, newest step, each
    objective's window mean and standard deviation, the chance of being on
    the true front (`Population.front_chances`), the latest decision."""
    latest: dict[Any, Change] = {}
    for c in changes:
        if c.kind == "decide":
            latest[c.member] = c
    decided = [c for c in changes if c.kind == "decide"]
    replaced = sum(c.action == "replace" and c.commit for c in decided)
    arrows = "".join("+" if up else "-" for up in pop.maximize)
    lines = [f"store {pop.url}",
             f"objectives {', '.join(f'{n} ({a})' for n, a in zip(pop.objectives, arrows))}; "
             f"window {pop.window}, min_reports {pop.min_reports}, percentile "
             f"{pop.percentile:g}, seed {pop.seed}",
             f"{sum(c.kind == 'report' for c in changes)} reports, {len(decided)} decisions, "
             f"{replaced} replacements", ""]
    header = ["member", "reports", "step"] + [f"{n} mean +- sd" for n in pop.objectives] + [
        "P(front)", "latest decision"]
    rows = [header]
    try:  # each member's chance of being on the true front, as Population estimates it
        found = pop.front_chances()
        chances = dict(zip(found.ids, found.p_front.tolist()))
    except ValueError:  # nobody has min_reports reports yet
        chances = {}
    for m in pop.members:
        scores, steps = pop.evaluations(m), pop.steps(m)
        cells = [repr(m), str(len(scores)), str(int(steps[-1])) if len(steps) else "-"]
        for j in range(len(pop.objectives)):
            column = scores[:, j]
            cells.append("-" if not len(column) else
                         f"{column.mean():.4g} +- {column.std(ddof=1):.2g}" if len(column) > 1
                         else f"{column[0]:.4g}")
        cells.append(f"{chances[m]:.2f}" if m in chances else "-")
        cells.append(_decision(latest.get(m)))
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    lines += ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
    return "\n".join(lines) + "\n"


def _decision(c: Change | None) -> str:
    if c is None:
        return "-"
    what = f"{c.action}" if c.source is None else f"{c.action} from {c.source!r}"
    return what + (" (upper)" if c.upper else "") + ("" if c.commit else " (dry run)")


@dataclass(frozen=True)
class Front:
    """The first front of the window means after the report numbered `reports`."""

    reports: int
    means: NDArray[np.float64]  # (members, objectives), each objective's own direction


def fronts(pop: StoredPopulation[Any], changes: Sequence[Change], count: int = 6) -> list[Front]:
    """The fronts at `count` evenly spaced points of the run.  The windows
    are replayed through an in-memory Population (a committed "replace"
    restarts the member's window, as it did in the store)."""
    replay = Population[Any](pop.objectives, maximize=pop.maximize, window=pop.window,
                             min_reports=pop.min_reports)
    total = sum(c.kind == "report" for c in changes)
    marks = {int(round(total * (i + 1) / count)) for i in range(count)} - {0}
    out: list[Front] = []
    seen = 0
    for c in changes:
        if c.kind == "report":
            assert c.scores is not None
            replay.report(c.member, c.scores, step=c.step, time=c.time)
            seen += 1
            if seen in marks:
                means = np.array([replay.evaluations(m).mean(axis=0) for m in replay.members
                                  if replay.reports(m) >= pop.min_reports])
                if len(means):
                    first = rate(means, maximize=list(pop.maximize)).front == 0
                    out.append(Front(seen, means[first]))
        elif c.kind == "decide":
            if c.action == "replace" and c.commit:
                replay.restart(c.member)
        else:
            getattr(replay, c.kind)(c.member)
    return out


"""Picture of a selection.  Needs matplotlib (pip install 'kestrovane[plot]').

Up to `SMALL` members every member gets a row with its place distribution.
Above that the picture shows an overview of all places (members by mean
place, the 25-75 % band and the median, winners and losers marked) and rows
only for the best winners, the winners and the others at the winner cut, the
members and losers at the loser cut and the worst losers.  With two
objectives a scatter of the means marks winners and losers.  The figure
stays within about 1700 x 1800 pixels and takes seconds for any N: long
series are binned or subsampled before drawing.
"""

from __future__ import annotations

import os

import matplotlib

matplotlib.use("Agg")  # files only; no display needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.backend_bases import FigureCanvasBase  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.patches import Ellipse, Patch  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

from kestrovane import Selection  # noqa: E402
from kestrovane.cli.output import OutputPathError, atomic_path  # noqa: E402
from kestrovane.cli.population_file import PopulationFile  # noqa: E402

WINNER, LOSER, BOTH, OTHER = "#2a9d8f", "#e76f51", "#8e44ad", "#8d99ae"
#: Members up to which every member gets its own row.
SMALL = 40
#: Rows of the detail panel above SMALL: best winners, winners at the cut,
#: neighbours at each cut, losers at the cut, worst losers.
HEAD, CUT, NEIGHBOURS = 8, 3, 4
#: Points drawn in the overview and scatter at most (more are binned or subsampled).
MAX_BINS, MAX_POINTS, MAX_ELLIPSES = 1000, 20000, SMALL
DPI = 110
ROW_INCHES = 0.3


def check_format(path: str) -> None:
    """The extension must name a format matplotlib can write."""
    ext = os.path.splitext(path)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if ext not in formats:
        raise OutputPathError(f"--plot {path}: unknown picture type {ext or '(none)'!r}; "
                              f"use one of {', '.join('.' + f for f in sorted(formats))}")


def _label(text: str, width: int) -> str:
    """`text` clipped to `width`, with `$` escaped: matplotlib would read it as
    the start of a formula."""
    text = text if len(text) <= width else text[:width - 1] + "…"
    return text.replace("$", r"\$")


def _short_list(ids: list[str], limit: int = 6) -> str:
    shown = ", ".join(_label(i, 20) for i in ids[:limit])
    more = len(ids) - limit
    return shown + (f" … ({more} more)" if more > 0 else "") if ids else "(none)"


def _status(sel: Selection[str]) -> tuple[NDArray[np.bool_], NDArray[np.bool_]]:
    n = len(sel.ids)
    winner = np.zeros(n, dtype=bool)
    winner[sel.winner_rows] = True
    loser = np.zeros(n, dtype=bool)
    loser[sel.loser_rows] = True
    return winner, loser


def _colours(winner: NDArray[np.bool_], loser: NDArray[np.bool_]) -> list[str]:
    return [BOTH if w and lo else WINNER if w else LOSER if lo else OTHER
            for w, lo in zip(winner.tolist(), loser.tolist())]


def detail_positions(n: int, n_winners: int, n_losers_only: int) -> list[int | None]:
    """Positions in the selection order to show as rows, None for a gap."""
    if n <= SMALL:
        return list(range(n))
    lose_start = n - n_losers_only
    ranges = [(0, HEAD), (n_winners - CUT, n_winners + NEIGHBOURS),
              (lose_start - NEIGHBOURS, lose_start + CUT), (n - HEAD, n)]
    chosen = sorted({p for a, b in ranges for p in range(max(a, 0), min(b, n))})
    out: list[int | None] = []
    for p in chosen:
        if out and out[-1] is not None and p > out[-1] + 1:
            out.append(None)
        out.append(p)
    return out


def _rows(ax: Axes, pop: PopulationFile, sel: Selection[str], order: NDArray[np.int64],
          winner: NDArray[np.bool_], loser: NDArray[np.bool_]) -> None:
    n = len(sel.ids)
    positions = detail_positions(n, len(sel.winner_rows),
                                 int(np.count_nonzero(loser & ~winner)))
    y = np.arange(len(positions))[::-1]  # first row at the top
    labels: list[str] = []
    colours = _colours(winner, loser)
    for yi, pos in zip(y.tolist(), positions):
        if pos is None:
            labels.append("⋯")
            ax.axhline(yi, color="#cccccc", lw=0.8, ls=":")
            continue
        i = int(order[pos])
        c = colours[i]
        q25, q75 = float(sel.place.q25[i]), float(sel.place.q75[i])
        ax.barh(yi, max(q75 - q25, n * 0.002), left=q25, height=0.6, color=c, alpha=0.35,
                edgecolor=c)
        med = float(sel.place.median[i])
        ax.plot([med, med], [yi - 0.3, yi + 0.3], color=c, lw=2.5)
        ax.plot(float(sel.mean_place[i]), yi, marker="D", color="black", ms=4)
        ax.text(1.01, yi, f"{sel.p_win[i]:.2f} / {sel.p_lose[i]:.2f}", va="center",
                fontsize=7, transform=ax.get_yaxis_transform())
        labels.append(_label(pop.ids[i], 24))
    ax.set_yticks(y, labels, fontsize=8 if len(positions) <= 30 else 7)
    ax.set_ylim(-0.7, len(positions) - 0.3)
    ax.set_xlim(-0.5, n - 0.5)
    ax.set_xlabel("place in the global order (0 = best)")
    ax.text(1.01, 1.0, "p_win / p_lose", fontsize=7, va="bottom",
            transform=ax.transAxes)
    what = "every member" if n <= SMALL else "winners, losers and their neighbours"
    ax.set_title(f"{what}: box q25–q75, bar median, ◆ mean", fontsize=10)
    ax.grid(axis="x", alpha=0.3)
    # Winners sit at the left and losers at the bottom: the top right is free.
    ax.legend([Patch(color=c, alpha=0.5) for c in (WINNER, LOSER, BOTH, OTHER)],
              ["winner", "loser", "both", "other"], loc="upper right", fontsize=7,
              frameon=False)


def _overview(ax: Axes, sel: Selection[str], winner: NDArray[np.bool_],
              loser: NDArray[np.bool_]) -> None:
    n = len(sel.ids)
    by_place = np.argsort(sel.mean_place, kind="stable")
    q25, q75 = sel.place.q25[by_place], sel.place.q75[by_place]
    med = sel.place.median[by_place]
    x = np.arange(n, dtype=np.float64)
    if n > MAX_BINS:  # per bin: the widest band and the mean median
        edges = np.linspace(0, n, MAX_BINS + 1).astype(np.int64)[:-1]
        x = x[edges] + np.diff(np.append(edges, n)) / 2.0
        q25 = np.minimum.reduceat(q25, edges)
        q75 = np.maximum.reduceat(q75, edges)
        med = np.add.reduceat(med, edges) / np.diff(np.append(edges, n))
    ax.fill_between(x, q25, q75, color=OTHER, alpha=0.35, lw=0, label="q25–q75")
    ax.plot(x, med, color="#333333", lw=1, label="median")
    rank = np.empty(n, dtype=np.int64)
    rank[by_place] = np.arange(n)
    for mask, colour, name in ((winner & ~loser, WINNER, "winner"),
                               (loser & ~winner, LOSER, "loser"), (winner & loser, BOTH, "both")):
        rows = np.flatnonzero(mask)
        if rows.size == 0:
            continue
        if rows.size > MAX_POINTS // 4:
            rows = rows[np.linspace(0, rows.size - 1, MAX_POINTS // 4).astype(np.int64)]
        ax.scatter(rank[rows], sel.place.median[rows], s=6, color=colour, label=name,
                   zorder=3, linewidths=0)
    ax.set_xlim(-0.5, n - 0.5)
    ax.set_ylim(-0.5, n - 0.5)
    ax.set_xlabel("members by mean place")
    ax.set_ylabel("place")
    ax.set_title(f"all {n} members", fontsize=10)
    ax.legend(fontsize=7, loc="upper left", frameon=False)
    ax.grid(alpha=0.3)


def _means(fig: Figure, ax: Axes, pop: PopulationFile, sel: Selection[str],
           winner: NDArray[np.bool_], loser: NDArray[np.bool_]) -> None:
    n = len(sel.ids)
    fronts = np.asarray(sel.front.mean)
    top = max(float(fronts.max()), 1.0)
    cmap = plt.get_cmap("viridis")
    mu = pop.mu
    others = np.flatnonzero(~(winner | loser))
    if others.size > MAX_POINTS:
        others = others[np.linspace(0, others.size - 1, MAX_POINTS).astype(np.int64)]
    if n <= MAX_ELLIPSES:
        sd = np.sqrt(pop.sigma2)
        for i in range(n):
            ax.add_patch(Ellipse((float(mu[i, 0]), float(mu[i, 1])), 4 * float(sd[i, 0]),
                                 4 * float(sd[i, 1]), color=cmap(fronts[i] / top), alpha=0.15))
    size = 30.0 if n <= SMALL else max(4.0, 30.0 * (SMALL / n) ** 0.5)
    points = ax.scatter(mu[others, 0], mu[others, 1], c=fronts[others], cmap=cmap, vmin=0,
                        vmax=top, s=size, linewidths=0, label="other")
    for mask, colour, marker, name in ((winner & ~loser, WINNER, "^", "winner"),
                                       (loser & ~winner, LOSER, "v", "loser"),
                                       (winner & loser, BOTH, "D", "both")):
        rows = np.flatnonzero(mask)
        if rows.size > MAX_POINTS // 4:
            rows = rows[np.linspace(0, rows.size - 1, MAX_POINTS // 4).astype(np.int64)]
        if rows.size:
            ax.scatter(mu[rows, 0], mu[rows, 1], marker=marker, s=size * 2.5,
                       facecolors="none" if n > SMALL else colour, edgecolors=colour,
                       linewidths=1.2, label=name, zorder=3)
    named = range(n) if n <= SMALL else \
        list(sel.winner_rows[:3].tolist()) + list(sel.loser_rows[:3].tolist())
    for i in named:
        ax.annotate(_label(pop.ids[i], 16), (float(mu[i, 0]), float(mu[i, 1])),
                    textcoords="offset points", xytext=(4, 4), fontsize=7)
    fig.colorbar(points, ax=ax, label="mean front", fraction=0.05, shrink=0.8)
    way = ["maximised" if up else "minimised" for up in sel.maximize]
    ax.set_xlabel(f"{_label(pop.objectives[0], 40)} ({way[0]})")
    ax.set_ylabel(f"{_label(pop.objectives[1], 40)} ({way[1]})")
    ax.set_title("means" + (" with ±2 sd ellipses" if n <= MAX_ELLIPSES else ""), fontsize=10)
    ax.legend(fontsize=7, loc="best", frameon=False)
    ax.autoscale_view()


def figure(pop: PopulationFile, sel: Selection[str], order: NDArray[np.int64]) -> Figure:
    n = len(sel.ids)
    winner, loser = _status(sel)
    two = len(pop.objectives) == 2
    n_rows = len(detail_positions(n, len(sel.winner_rows),
                                  int(np.count_nonzero(loser & ~winner))))
    rows_height = max(2.5, ROW_INCHES * n_rows + 1.4)
    overview_height = 3.6 if n > SMALL else 0.0
    height = min(16.0, rows_height + overview_height + 0.6)
    width = 14.0 if two else 8.5
    fig = plt.figure(figsize=(width, height), dpi=DPI, layout="constrained")
    ratios = [overview_height, rows_height] if n > SMALL else [rows_height]
    grid = fig.add_gridspec(len(ratios), 2 if two else 1, height_ratios=ratios,
                            width_ratios=[1.0, 0.9] if two else [1.0])
    if n > SMALL:
        _overview(fig.add_subplot(grid[0, 0]), sel, winner, loser)
    _rows(fig.add_subplot(grid[len(ratios) - 1, 0]), pop, sel, order, winner, loser)
    if two:
        _means(fig, fig.add_subplot(grid[:, 1]), pop, sel, winner, loser)
    fig.suptitle(f"winners {_short_list(list(sel.winners))} · losers "
                 f"{_short_list(list(sel.losers))}", fontsize=11)
    return fig


def plot_selection(pop: PopulationFile, sel: Selection[str], order: NDArray[np.int64],
                   path: str) -> None:
    """Draws the picture into `path`, which holds either the whole picture
    or, when anything fails, what it held before."""
    fig = figure(pop, sel, order)
    try:
        fmt = os.path.splitext(path)[1].lower().lstrip(".")
        with atomic_path(path) as temp:
            fig.savefig(temp, format=fmt, dpi=DPI)
    finally:
        plt.close(fig)

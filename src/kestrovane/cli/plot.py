"""Picture of a selection: each individual's place distribution and, for two
objectives, the means with their uncertainty.  Needs matplotlib
(pip install 'kestrovane[plot]')."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")  # files only; no display needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Ellipse  # noqa: E402

from kestrovane.cli.population_file import Population  # noqa: E402

WINNER, LOSER, OTHER = "#2a9d8f", "#e76f51", "#8d99ae"


def _colour(row: dict) -> str:
    return WINNER if row["winner"] else LOSER if row["loser"] else OTHER


def _places(ax, summary: dict) -> None:
    rows = summary["individuals"]
    y = np.arange(len(rows))[::-1]  # best at the top
    for yi, r in zip(y, rows):
        c = _colour(r)
        ax.barh(yi, r["place_q75"] - r["place_q25"], left=r["place_q25"], height=0.6,
                color=c, alpha=0.35, edgecolor=c)
        ax.plot([r["place_median"]] * 2, [yi - 0.3, yi + 0.3], color=c, lw=2.5)
        ax.plot(r["place_mean"], yi, marker="D", color="black", ms=4)
    ax.set_yticks(y, [r["id"] for r in rows])
    n = summary["individuals_count"]
    ax.set_xlim(-0.5, n - 0.5)
    ax.set_xlabel("place in the global order (0 = best)")
    ax.set_title(f"Place over {summary['samples']} samples: box q25–q75, bar median, "
                 "◆ mean", fontsize=10)
    ax.grid(axis="x", alpha=0.3)
    handles = [plt.Rectangle((0, 0), 1, 1, color=c, alpha=0.5) for c in (WINNER, LOSER, OTHER)]
    ax.legend(handles, ["winner", "loser", "other"], loc="upper center", ncol=3, fontsize=8,
              bbox_to_anchor=(0.5, -0.12 if len(rows) > 6 else -0.25), frameon=False)


def _means(ax, pop: Population, summary: dict) -> None:
    front = {r["id"]: r["front_mean"] for r in summary["individuals"]}
    fronts = np.array([front[i] for i in pop.ids])
    cmap = plt.get_cmap("viridis")
    top = max(float(fronts.max()), 1.0)
    sd = np.sqrt(pop.sigma2)
    for i, name in enumerate(pop.ids):
        c = cmap(fronts[i] / top)
        ax.add_patch(Ellipse(pop.mu[i], 4 * sd[i, 0], 4 * sd[i, 1], color=c, alpha=0.2))
        ax.plot(*pop.mu[i], "o", color=c)
        ax.annotate(name, pop.mu[i], textcoords="offset points", xytext=(4, 4), fontsize=7)
    sm = plt.cm.ScalarMappable(cmap=cmap, norm=plt.Normalize(0, top))
    plt.colorbar(sm, ax=ax, label="mean front")
    ax.set_xlabel(f"{pop.objectives[0]} (minimised)")
    ax.set_ylabel(f"{pop.objectives[1]} (minimised)")
    ax.set_title("Means with ±2 sd ellipses", fontsize=10)
    ax.autoscale_view()


def plot_selection(pop: Population, summary: dict, path: str) -> None:
    two = len(pop.objectives) == 2
    height = max(3.0, 0.32 * len(pop.ids) + 1.5)
    fig, axes = plt.subplots(1, 2 if two else 1, figsize=(13 if two else 8, height),
                             squeeze=False)
    _places(axes[0][0], summary)
    if two:
        _means(axes[0][1], pop, summary)
    fig.suptitle(f"winners {', '.join(summary['winners'])} · losers "
                 f"{', '.join(summary['losers'])}", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)

"""The fronts of a stored run over time, as a PNG.  Needs matplotlib."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

from kestrovane.cli.output import atomic_path
from kestrovane.storage.show import Front


def draw(fronts: Sequence[Front], objectives: Sequence[str], maximize: Sequence[bool],
         path: Path) -> None:
    """Each front in a colour from early (light) to late (dark): the first two
    objectives, or with one objective the front's best value by reports."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 5), dpi=120)
    colours = plt.get_cmap("viridis_r")
    for i, front in enumerate(fronts):
        colour = colours(0.15 + 0.85 * i / max(1, len(fronts) - 1))
        if len(objectives) == 1:
            best = front.means[:, 0].max() if maximize[0] else front.means[:, 0].min()
            ax.plot([front.reports], [best], "o", color=colour)
            continue
        points = front.means[front.means[:, 0].argsort()]
        ax.plot(points[:, 0], points[:, 1], "o-", color=colour, drawstyle="steps-post",
                label=f"after {front.reports} reports")
    if len(objectives) == 1:
        ax.set_xlabel("reports")
        ax.set_ylabel(f"best window mean of {objectives[0]}")
    else:
        arrows = ["(higher is better)" if up else "(lower is better)" for up in maximize]
        ax.set_xlabel(f"{objectives[0]} {arrows[0]}")
        ax.set_ylabel(f"{objectives[1]} {arrows[1]}")
        ax.legend(fontsize="small")
    ax.set_title("First front of the members' window means")
    fig.tight_layout()
    try:
        with atomic_path(str(path)) as temporary:   # never a half-written file
            fig.savefig(temporary, format="png")
    finally:
        plt.close(fig)

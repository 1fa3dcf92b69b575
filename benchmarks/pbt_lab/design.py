"""The lab's design, fixed before any policy ran in the families.

Families are split once, by a seeded shuffle of their names, into those a
policy may be tuned on and those held out for the report.  Seeds are split
the same way: tuning seeds 0-31, report seeds 100-195.  Each seed of a
family is one run's design: the number of objectives and the population
size cycle through a full grid (M = 1..4 by N = 8..64, every 16 seeds), the
window and the replaced share are drawn as users set them.
"""

from __future__ import annotations

import zlib

import numpy as np

from benchmarks.pbt_lab.simulator import Design

MS = (1, 2, 3, 4)
NS = (8, 16, 32, 64)
WINDOWS = (4, 6, 8, 12, 16)
PERCENTILES = (0.125, 0.25, 0.375, 0.5)
SEEDS = {"tune": list(range(32)), "report": list(range(100, 196))}
SPLIT_SEED = 20261208
#: The policies of the report: the default against every baseline (how the
#: default came to be: benchmarks/LAB.md, "Tuning history").
REPORTED = ["plain", "oracle", "search", "random", "last", "stock", "default"]


def split(names: list[str]) -> dict[str, list[str]]:
    """Tuning and held-out families: half each (the odd one held out), by a
    shuffle of the sorted names that no result chose."""
    order = sorted(names)
    np.random.default_rng(SPLIT_SEED).shuffle(order)
    half = len(order) // 2
    tune = [n for n in names if n in order[:half]]
    return {"tune": tune, "held_out": [n for n in names if n not in tune]}


def design(family: str, seed: int) -> Design:
    """Seed `seed`'s run of `family`: M and N from the grid, window and share drawn."""
    rng = np.random.default_rng([zlib.crc32(family.encode()), seed, 1])
    return Design(m=MS[seed % len(MS)], n=NS[(seed // len(MS)) % len(NS)],
                  window=int(rng.choice(WINDOWS)), percentile=float(rng.choice(PERCENTILES)))

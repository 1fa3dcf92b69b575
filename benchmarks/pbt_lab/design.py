"""The lab's design, fixed before any policy ran in the families.

Families were split once, by a seeded shuffle of their names, into those a
policy may be tuned on and those held out for the report; a family added
since is held out.  Seeds are split
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


#: The tuning families, drawn once before any policy ran: a shuffle of the
#: first eight families' sorted names with SPLIT_SEED, first half (the
#: held-out half is the rest).  Kept as names, so that a family added later
#: cannot move them.
TUNING: tuple[str, ...] = ("warmup", "anneal", "stepdecay", "throughput")


def drawn_split(names: list[str]) -> list[str]:
    """The draw behind TUNING: the first half of a seeded shuffle of the sorted names."""
    order = sorted(names)
    np.random.default_rng(SPLIT_SEED).shuffle(order)
    return order[:len(order) // 2]


def split(names: list[str]) -> dict[str, list[str]]:
    """Tuning and held-out families, in the order given.  A family added
    after the draw is held out: no policy was tuned on it."""
    tune = [n for n in names if n in TUNING]
    return {"tune": tune, "held_out": [n for n in names if n not in tune]}


def design(family: str, seed: int) -> Design:
    """Seed `seed`'s run of `family`: M and N from the grid, window and share drawn."""
    rng = np.random.default_rng([zlib.crc32(family.encode()), seed, 1])
    return Design(m=MS[seed % len(MS)], n=NS[(seed // len(MS)) % len(NS)],
                  window=int(rng.choice(WINDOWS)), percentile=float(rng.choice(PERCENTILES)))

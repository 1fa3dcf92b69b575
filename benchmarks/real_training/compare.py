"""Paired comparisons across seeds, corrected for the number of cells.

A cell is a task at one population size; in a cell every method ran on the
same seeds, so a comparison is the mean of per-seed differences with a
Student-t 95 % interval (`benchmarks.pbt_lab.stats.paired`).  Counting
better and worse cells uses Holm's correction of the paired t-tests
(`benchmarks.pbt_lab.stats`); the pooled test here flips the sign of each
seed's difference at random (valid when the two methods are exchangeable
within a seed), on the sum over cells of the mean difference in units of
the cell's spread.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

F64 = NDArray[np.float64]


@dataclass(frozen=True)
class Pooled:
    effect: float   # mean over cells of the mean difference / the cell's spread
    p: float


def pooled_sign_flip(diffs: list[F64], scales: list[float], rounds: int = 20000,
                     seed: int = 0) -> Pooled:
    """The pooled effect of per-cell paired differences and its two-sided
    sign-flip p-value."""
    rng = np.random.default_rng(seed)
    observed = sum(float(d.mean()) / s for d, s in zip(diffs, scales))
    flipped = np.zeros(rounds)
    for d, s in zip(diffs, scales):
        signs = rng.choice((-1.0, 1.0), size=(rounds, len(d)))
        flipped += (signs * d).mean(axis=1) / s
    p = (1 + int(np.sum(np.abs(flipped) >= abs(observed) - 1e-12))) / (rounds + 1)
    return Pooled(observed / len(diffs), p)

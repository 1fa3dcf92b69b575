"""Paired comparisons across seeds, corrected for the number of cells.

A cell is a task at one population size; in a cell every method ran on the
same seeds, so a comparison is the mean of per-seed differences with a
Student-t 95 % interval (`benchmarks.pbt_lab.stats.paired`).  Counting
better and worse cells uses Holm's correction of the paired t-tests; the
pooled test over cells flips the sign of each seed's difference at random
(valid when the two methods are exchangeable within a seed), on the sum over
cells of the mean difference in units of the cell's spread.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy import stats as st

F64 = NDArray[np.float64]


def t_test(d: F64) -> float:
    """Two-sided p-value of a paired t-test of the differences `d`."""
    d = np.asarray(d, dtype=float)
    if len(d) < 2 or d.std(ddof=1) == 0:
        return 1.0 if not d.any() else 0.0
    return float(st.ttest_1samp(d, 0.0).pvalue)


def holm(p: list[float]) -> list[float]:
    """Holm's step-down adjusted p-values, in the given order."""
    order = np.argsort(p)
    adjusted = np.empty(len(p))
    running = 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (len(p) - rank) * p[i]))
        adjusted[i] = running
    return adjusted.tolist()


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

"""Paired comparisons of the lab's policies, with 95 % intervals.

Every policy runs on the same seeds of a cell (world, M, N); a comparison is
the mean of the per-seed differences with a Student-t interval.  The share of
the oracle's headroom a policy recovers is (policy - plain) / (oracle -
plain), with a percentile-bootstrap interval over seeds (resampled in pairs,
within each cell).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy import stats as st

F64 = NDArray[np.float64]


@dataclass(frozen=True)
class Paired:
    mean: float
    low: float
    high: float
    n: int

    @property
    def significant(self) -> int:
        """+1 above zero, -1 below, 0 when the interval holds zero."""
        return 1 if self.low > 0 else -1 if self.high < 0 else 0

    def text(self, digits: int = 2) -> str:
        mark = {1: "+", -1: "-", 0: " "}[self.significant]
        return f"{self.mean:+.{digits}f} [{self.low:+.{digits}f}, {self.high:+.{digits}f}]{mark}"


def paired(a: F64, b: F64) -> Paired:
    """Mean of a - b over paired seeds, with its 95 % t-interval."""
    d = np.asarray(a, dtype=float) - np.asarray(b, dtype=float)
    n = len(d)
    mean = float(d.mean())
    if n < 2:
        return Paired(mean, float("nan"), float("nan"), n)
    half = float(st.t.ppf(0.975, n - 1) * d.std(ddof=1) / np.sqrt(n))
    return Paired(mean, mean - half, mean + half, n)


def headroom_share(policy: list[F64], plain: list[F64], oracle: list[F64],
                   rounds: int = 2000, seed: int = 0) -> Paired:
    """Sum over cells of (policy - plain) over the sum of (oracle - plain),
    each cell given as per-seed arrays in the same seed order; the interval
    resamples seeds within every cell."""
    gain = np.array([float(np.mean(p - q)) for p, q in zip(policy, plain)])
    room = np.array([float(np.mean(o - q)) for o, q in zip(oracle, plain)])
    share = float(gain.sum() / room.sum()) if room.sum() > 0 else float("nan")
    rng = np.random.default_rng(seed)
    boots = np.empty(rounds)
    for r in range(rounds):
        g = h = 0.0
        for p, q, o in zip(policy, plain, oracle):
            idx = rng.integers(len(p), size=len(p))
            g += float(np.mean(p[idx] - q[idx]))
            h += float(np.mean(o[idx] - q[idx]))
        boots[r] = g / h if h > 0 else np.nan
    low, high = np.nanpercentile(boots, [2.5, 97.5])
    return Paired(share, float(low), float(high), len(policy))


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

"""The shipped exploit policies: `ParetoRule`, the plain rule of
multi-objective PBT, and `MonteCarloRule`, Monte-Carlo Pareto selection on
estimates of the members' current scores (`window_moments`).

A policy is a callable that takes the `Evidence` of one decision and returns
a `Verdict` (`kestrovane.pbt.interface`, re-exported here).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
from numpy.typing import NDArray

from kestrovane import Rating, counts, rate
from kestrovane._api import validate as v
from kestrovane._api.bounds import INT32_MAX, Choice, IntRange, Kind, RealRange
from kestrovane._api.native import run_counts
from kestrovane._api.exploit import exploit_plan
from kestrovane._api.parameters import MODE, N_SAMPLES
from kestrovane._api.streams import choice_rng, derived_seed, shuffle_rng
from kestrovane.pbt.interface import (Evidence, Policy, Verdict, any_source, truncate,
                                      truncation)

__all__ = ["Evidence", "MonteCarloRule", "ParetoRule", "Policy", "Tally", "Verdict",
           "any_source", "derived_seed", "padded", "truncate", "truncation", "window_moments"]

F64 = NDArray[np.float64]


TRENDS = ("none", "line", "shrunk")
SOURCES = ("top", "sample")


#: The choices of `trend` and `source`.
TREND: Final = Choice(TRENDS)
SOURCE: Final = Choice(SOURCES)


def _settings(policy: object, checks: dict[str, Kind[Any]]) -> None:
    """Checks a frozen policy's settings as `kestrovane.select` checks its
    arguments (TypeError for a wrong kind, ValueError out of bounds) and
    stores them as plain values, so that a policy's repr and equality do
    not depend on how they were typed."""
    for name, kind in checks.items():
        object.__setattr__(policy, name, kind.check(getattr(policy, name), name))


#: Evaluations of a member that `MonteCarloRule.recent` may keep (0: all).
RECENT: Final = IntRange(0, INT32_MAX)
SHARE: Final = RealRange(0.0, 1.0)
WEIGHT: Final = RealRange(0.0, math.inf, high_open=True)


@dataclass(frozen=True)
class ParetoRule:
    """The plain rule of multi-objective PBT: rate the window means by
    non-dominated fronts and crowding (NSGA-II's order), replace a member in
    the last k by a random member of the first k.  Fast and deterministic
    (for a seed); it ignores how noisy the means are.  `trend` as for
    `window_moments` ("none": the means)."""

    mode: str = "values"
    trend: str = "none"

    def __post_init__(self) -> None:
        _settings(self, {"mode": MODE.kind, "trend": TREND})

    def __call__(self, evidence: Evidence[Any], /) -> Verdict:
        # Rated in a random row order, so that members with equal keys (the
        # extremes of a front) are not ranked by the order they joined in.
        shuffle = shuffle_rng(evidence.seed).permutation(len(evidence.ids))
        scores = window_moments(evidence.windows, trend=self.trend)[0]
        rating: Rating = rate(scores[shuffle], mode=self.mode)  # type: ignore[arg-type]
        order = shuffle[np.asarray(rating.order)]
        return truncate(order, evidence, rating)


def padded(windows: tuple[F64, ...]) -> tuple[F64, NDArray[np.intp]]:
    """The windows as one (N, K, M) array, newest last and NaN before a short
    window's oldest evaluation, and each window's length."""
    lengths = np.array([len(w) for w in windows], dtype=np.intp)
    block = np.full((len(windows), int(lengths.max()), windows[0].shape[1]), np.nan)
    for i, w in enumerate(windows):
        block[i, block.shape[1] - len(w):] = w
    return block, lengths


def window_moments(windows: tuple[F64, ...], prior_weight: float = 0.0,
                   trend: str = "none") -> tuple[F64, F64]:
    """Estimates of each member's current scores and their variances.

    trend "none": the window mean and the variance of that mean.  "line":
    the least-squares line through the window (evaluations equally spaced in
    the member's steps) at its newest evaluation, and the variance of that
    prediction, so that a score still improving is not judged by its past.
    "shrunk": the same with the slope shrunk by t^2 / (1 + t^2), t its
    t-statistic, so that a window without a clear trend is judged by its
    mean.  The noise variance of a member is its own residual variance,
    shrunk towards the objective's pooled one with the weight of
    `prior_weight` evaluations; a member with no residual degrees of freedom
    takes the pooled one.

    Windows with scores beyond 2**500 in magnitude are computed scaled by a
    power of two per objective (exactly), so an estimate is finite whenever
    its true value is; a variance too large for a float is +inf.  Smaller
    scores are computed unscaled, bit for bit as always.

    Memory is proportional to the evaluations in the windows: when padding
    the windows to the longest would more than double them, windows of equal
    length are computed together, with every sum the one NumPy takes over
    the padded windows, so the results are bit for bit the same."""
    scale = _column_scale(windows)
    if scale is not None:
        estimate, variance = window_moments(tuple(w * scale for w in windows), prior_weight,
                                            trend)
        with np.errstate(over="ignore"):
            return estimate / scale, variance / scale / scale
    lengths = np.array([len(w) for w in windows], dtype=np.intp)
    longest = int(lengths.max())
    k = lengths.astype(np.float64)[:, None]
    if len(windows) * longest <= 2 * int(lengths.sum()) + _SMALL_BLOCK:
        mean_y, ss, x_bar, sxx, slope = _padded_parts(windows, trend)
    else:
        mean_y, ss, x_bar, sxx, slope = _grouped_parts(windows, lengths, trend)
    if trend == "none":
        dof = np.maximum(k - 1.0, 0.0)
    else:
        dof = np.maximum(k - 2.0, 0.0)
    pooled = ss.sum(axis=0) / max(float(dof.sum()), 1.0)
    weight = np.where(dof > 0, prior_weight, 1.0)
    noise = (ss + weight * pooled) / np.maximum(dof + weight, 1e-300)
    if trend == "none":
        return mean_y, noise / k
    safe_sxx = np.where(sxx > 0, sxx, 1.0)
    lever = np.where(sxx > 0, (longest - 1.0 - x_bar) / safe_sxx ** 0.5, 0.0)
    if trend == "shrunk":
        with np.errstate(over="ignore", invalid="ignore"):
            t2 = slope * slope * sxx / np.maximum(noise, 1e-300)
            # A window on an exact line has t2 = inf: its slope is kept whole.
            keep = np.where(np.isinf(t2), 1.0, t2 / (1.0 + t2))
        slope = slope * keep
        lever = lever * keep
    estimate = mean_y + slope * (longest - 1.0 - x_bar)
    return estimate, noise * (1.0 / k + lever * lever)


#: Padded blocks up to this many cells per objective are built whatever
#: their share of padding.
_SMALL_BLOCK: Final = 4096

#: The sums of `window_moments`: the means, the residual sums of squares,
#: and with a trend the mean step, the steps' sum of squares and the slope
#: (zeros without a trend).
_Parts = tuple[F64, F64, F64, F64, F64]


def _padded_parts(windows: tuple[F64, ...], trend: str) -> _Parts:
    """The sums of `window_moments` over the windows padded to the longest."""
    block, lengths = padded(windows)
    seen = ~np.isnan(block)
    k = lengths.astype(np.float64)[:, None]
    x = np.broadcast_to(np.arange(block.shape[1], dtype=np.float64)[None, :, None], block.shape)
    y = np.where(seen, block, 0.0)
    mean_y = y.sum(axis=1) / k
    if trend == "none":
        resid = np.where(seen, y - mean_y[:, None, :], 0.0)
        zeros = np.zeros_like(mean_y)
        return mean_y, (resid * resid).sum(axis=1), zeros, zeros, zeros
    x_bar = np.where(seen, x, 0.0).sum(axis=1) / k
    dx = np.where(seen, x - x_bar[:, None, :], 0.0)
    sxx = (dx * dx).sum(axis=1)
    safe_sxx = np.where(sxx > 0, sxx, 1.0)
    slope = np.where(sxx > 0, (dx * (y - mean_y[:, None, :])).sum(axis=1) / safe_sxx, 0.0)
    resid = np.where(seen, y - mean_y[:, None, :] - slope[:, None, :] * dx, 0.0)
    return mean_y, (resid * resid).sum(axis=1), x_bar, sxx, slope


def _grouped_parts(windows: tuple[F64, ...], lengths: NDArray[np.intp], trend: str) -> _Parts:
    """`_padded_parts` bit for bit, without the padded block: the windows of
    each length together, each sum taken as over the padded block."""
    longest = int(lengths.max())
    n, m = len(windows), windows[0].shape[1]
    mean_y, ss = np.empty((n, m)), np.empty((n, m))
    x_bar, sxx, slope = np.zeros((n, m)), np.zeros((n, m)), np.zeros((n, m))
    for length in np.unique(lengths).tolist():
        rows = np.flatnonzero(lengths == length)
        y = np.stack([windows[i] for i in rows.tolist()]).astype(np.float64, copy=False)
        zero = np.zeros((len(rows), m))
        mean = _padded_sums(y, zero, longest) / float(length)
        dev = y - mean[:, None, :]
        mean_y[rows] = mean
        if trend == "none":
            ss[rows] = _padded_sums(dev * dev, zero, longest)
            continue
        # Steps are counted as in the padded block: the newest is longest - 1.
        x = np.ascontiguousarray(np.broadcast_to(
            (float(longest - length) + np.arange(length, dtype=np.float64))[None, :, None],
            (1, length, m)))
        center = _padded_sums(x, zero[:1], longest) / float(length)
        dx = x - center[:, None, :]
        spread = _padded_sums(dx * dx, zero[:1], longest)
        safe = np.where(spread > 0, spread, 1.0)
        # The padding's products were 0 * (0 - mean): signed zeros.
        co = _padded_sums(dx * dev, 0.0 * (0.0 - mean), longest)
        tilt = np.where(spread > 0, co / safe, 0.0)
        resid = dev - tilt[:, None, :] * dx
        ss[rows] = _padded_sums(resid * resid, zero, longest)
        x_bar[rows], sxx[rows], slope[rows] = center, spread, tilt
    return mean_y, ss, x_bar, sxx, slope


#: NumPy sums a contiguous run of more than this many values in halves
#: (pairwise summation), and shorter runs with eight interleaved partial sums.
_PAIRWISE_BLOCK: Final = 128


def _padded_sums(values: F64, filler: F64, longest: int) -> F64:
    """What ``block.sum(axis=1)`` gives for the (n, longest, M) block that has
    `filler[i]` (a signed zero) before each row `values[i]` of length L.

    With M >= 2 NumPy adds row after row to 0.0, so the leading zeros change
    nothing and the rows are summed as they are.  With M == 1 each row is
    one contiguous run, summed pairwise: its partial sums depend on where
    the values sit in the padded row, so the padded row is followed piece by
    piece, materialising only pieces of at most 128 values that hold both
    filler and values."""
    if values.shape[2] != 1:
        total: F64 = values.sum(axis=1)
        return total
    runs = np.ascontiguousarray(values[:, :, 0])
    fill = np.ascontiguousarray(filler[:, 0])
    start = longest - runs.shape[1]
    only_filler: dict[int, F64] = {}

    def filler_sum(size: int) -> F64:
        if size not in only_filler:
            if size <= _PAIRWISE_BLOCK:
                only_filler[size] = np.add.reduce(np.repeat(fill[:, None], size, axis=1),
                                                  axis=1, initial=-0.0)
            else:
                half = _pairwise_half(size)
                only_filler[size] = filler_sum(half) + filler_sum(size - half)
        return only_filler[size]

    def piece(low: int, size: int) -> F64:
        # -0.0 is the exact identity of addition: the reductions below give
        # NumPy's own partial sum of the piece.
        if low >= start:
            part: F64 = np.add.reduce(runs[:, low - start:low - start + size], axis=1,
                                      initial=-0.0)
            return part
        if low + size <= start:
            return filler_sum(size)
        if size <= _PAIRWISE_BLOCK:
            mixed = np.concatenate([np.repeat(fill[:, None], start - low, axis=1),
                                    runs[:, :low + size - start]], axis=1)
            part = np.add.reduce(mixed, axis=1, initial=-0.0)
            return part
        half = _pairwise_half(size)
        return piece(low, half) + piece(low + half, size - half)

    summed: F64 = (0.0 + piece(0, longest))[:, None]
    return summed


def _pairwise_half(size: int) -> int:
    """Where NumPy's pairwise summation splits a run of `size` values."""
    half = size // 2
    return half - half % 8


#: Scores up to this magnitude are estimated unscaled (see `window_moments`).
_UNSCALED = 2.0 ** 500


def _column_scale(windows: tuple[F64, ...]) -> F64 | None:
    """Per objective, a power of two that brings the largest score near 1 when
    it exceeds _UNSCALED (others 1); None when no objective needs it."""
    big = np.max([np.max(np.abs(w), axis=0, initial=0.0) for w in windows], axis=0)
    if not (big > _UNSCALED).any():
        return None
    scale: F64 = np.where(big > _UNSCALED, np.ldexp(1.0, -np.frexp(big)[1]), 1.0)
    return scale


#: Normal quantile of the error bound of an early stop (a two-sided 1e-3).
_Z = 3.29


@dataclass(frozen=True, eq=False)
class Tally:
    """Win and loss counts of every member over `n_samples` drawn populations."""

    win: NDArray[np.int64]
    lose: NDArray[np.int64]
    n_samples: int

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Tally):
            return NotImplemented
        return (self.n_samples == other.n_samples and np.array_equal(self.win, other.win)
                and np.array_equal(self.lose, other.lose))

    __hash__ = None  # type: ignore[assignment]

    @property
    def p_win(self) -> F64:
        return self.win / self.n_samples

    @property
    def p_lose(self) -> F64:
        return self.lose / self.n_samples


def _separated(p: float, q: float, n: int) -> bool:
    """Whether shares p and q of n samples differ by more than _Z standard errors."""
    se = math.sqrt(max(p * (1 - p) + q * (1 - q), 1.0 / n) / n)
    return abs(p - q) > _Z * se


@dataclass(frozen=True)
class MonteCarloRule:
    """Decisions from Monte-Carlo Pareto selection on estimates of the
    members' current scores: how often each member lands among the k best
    and the k worst of populations drawn from its uncertain scores.  The
    defaults are those the PBT lab chose (README, "Choosing the default").

    replace_if:
        The member is replaced when its chance of being among the k worst is
        at least this; None: when it is among the k members most often worst.
    source:
        "top": a random copyable member among the k most often best;
        "sample": a copyable member drawn in proportion to its chance of
        being among the k best (posterior sampling).
    trend, prior_weight:
        How the current scores and their variances are estimated
        (`window_moments`).
    recent:
        Use only each member's last `recent` evaluations (0: the whole window).
    mode:
        "ranks" or "values", as for `kestrovane.select`.
    n_samples, batch:
        Samples are drawn `batch` at a time, up to `n_samples`, and stop
        early once the member's side of the replacement boundary is settled:
        its chance of losing differs from the boundary by more than 3.29
        standard errors (a two-sided error of about 1e-3 for each look).
        A member still unsettled after `n_samples` is close to the boundary,
        where either answer costs little; more samples (the old 2000) did
        not decide better in the lab and cost up to ten times as much.
    """

    n_samples: int = 192
    batch: int = 64
    mode: str = "ranks"
    replace_if: float | None = 0.5
    source: str = "top"
    prior_weight: float = 4.0
    trend: str = "shrunk"
    recent: int = 0

    def __post_init__(self) -> None:
        _settings(self, {
            "n_samples": N_SAMPLES.kind,
            "batch": N_SAMPLES.kind,  # each batch is one call of the kernel
            "mode": MODE.kind,
            "source": SOURCE,
            "prior_weight": WEIGHT,
            "trend": TREND,
            "recent": RECENT,
        })
        if self.replace_if is not None:
            _settings(self, {"replace_if": SHARE})

    def __call__(self, evidence: Evidence[Any], /) -> Verdict:
        windows = evidence.windows if self.recent <= 0 else \
            tuple(w[-self.recent:] for w in evidence.windows)
        mu, sigma2 = window_moments(windows, self.prior_weight, self.trend)
        n, k, m = len(mu), evidence.k, evidence.member
        tally = self._tally(mu, sigma2, evidence)
        win, lose = tally.win, tally.lose
        # Equal counts are ordered at random, not by the order members joined in.
        rng = choice_rng(evidence.seed)
        tie = rng.permutation(n)
        best = np.lexsort((tie, -win))[:k].tolist()
        plan = exploit_plan(best, np.lexsort((tie, -lose))[:k].tolist())
        upper = m in best
        if self.replace_if is None:
            replaced = m in plan.replaced
        else:
            replaced = bool(tally.p_lose[m] >= self.replace_if)
        if not replaced or upper:
            return Verdict(None, upper, tally)
        if self.source == "sample":
            weight = np.where(evidence.copyable & (np.arange(n) != m), tally.p_win, 0.0)
            if weight.sum() <= 0:
                return Verdict(None, upper, tally)
            return Verdict(int(rng.choice(n, p=weight / weight.sum())), upper, tally)
        return Verdict(any_source(plan.sources, evidence, rng), upper, tally)

    def _tally(self, mu: F64, sigma2: F64, evidence: Evidence[Any]) -> Tally:
        """Counts in batches until the member's side of the boundary is settled."""
        if not (np.isfinite(mu).all() and np.isfinite(sigma2).all()):
            # Scores so large that their spread overflows: the public
            # function's checks name the member and objective.
            counts(mu, sigma2, n_samples=1, progress=False)
        mode_i = v.MODE_CODES[self.mode]
        n, k, m = len(mu), evidence.k, evidence.member
        win = np.zeros(n, dtype=np.int64)
        lose = np.zeros(n, dtype=np.int64)
        drawn, part = 0, 0
        while drawn < self.n_samples:
            size = min(self.batch, self.n_samples - drawn)
            w, lo, _ = run_counts(mu, sigma2, size, evidence.percentile,
                                  derived_seed(evidence.seed, part), mode_i, 1, None)
            win += w
            lose += lo
            drawn, part = drawn + size, part + 1
            if self._settled(lose, drawn, m, k):
                break
        return Tally(win, lose, drawn)

    def _settled(self, lose: NDArray[np.int64], drawn: int, m: int, k: int) -> bool:
        p = float(lose[m]) / drawn
        if self.replace_if is not None:
            return _separated(p, self.replace_if, drawn)
        others = np.delete(lose, m)
        if k > len(others):
            return True
        boundary = float(np.partition(others, len(others) - k)[len(others) - k]) / drawn
        return _separated(p, boundary, drawn)

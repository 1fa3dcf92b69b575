"""`kestrovane.counts`: how often each member wins and loses, without the
place statistics of `select` (the cheaper kernel)."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass, field
from typing import Any, Generic, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrovane._api import validate as v
from kestrovane._api.estimate import Estimates, population
from kestrovane._api.memory import CallMemory, shortage
from kestrovane._api.native import run_counts
from kestrovane._api.progress import Progress, check_progress, reporting
from kestrovane._api.selection import _init_values, freeze_counts
from kestrovane._api.threads import thread_count

IdT = TypeVar("IdT", bound=Hashable)


@dataclass(frozen=True, eq=False)
class Counts(Generic[IdT]):
    """Per member, in input order: samples won and lost, and the sum of its
    0-based places; the shares and the mean place derived from them.

    Immutable like `Selection`: every array is a read-only view, the derived
    ones computed when the result is built."""

    ids: tuple[IdT, ...]
    win_count: NDArray[np.int32]
    lose_count: NDArray[np.int32]
    rank_sum: NDArray[np.int64]
    n_samples: int
    seed: int
    percentile: float
    mode: v.Mode
    #: Who won ties (see `kestrovane.select`).
    ties: v.Ties = "random"

    #: win_count / n_samples, lose_count / n_samples and rank_sum / n_samples.
    p_win: NDArray[np.float64] = field(init=False)
    p_lose: NDArray[np.float64] = field(init=False)
    mean_place: NDArray[np.float64] = field(init=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "ids", tuple(self.ids))
        freeze_counts(self)

    def __reduce__(self) -> tuple[type[Counts[IdT]], tuple[object, ...]]:
        # Through __init__, so the unpickled arrays are read-only too.
        return (type(self), _init_values(self))


def counts(mu: ArrayLike | Estimates[Any], sigma2: ArrayLike | None = None, *,
           n_samples: int = 10_000,
           percentile: float = 0.2, seed: v.SeedLike = 0, mode: v.Mode = "ranks",
           maximize: v.Maximize = None, ids: Sequence[Any] | None = None,
           objectives: Sequence[str] | None = None, progress: Progress = None,
           threads: int | None = None, ties: v.Ties = "random") -> Counts[Any]:
    """Win and loss counts of every member over `n_samples` drawn populations.

    The arguments mean what they mean for `kestrovane.select`; the counts are
    those `select` reports with the same `ties`, bit for bit, at about half
    its cost, without choosing winners and losers or the place statistics.
    With `ties="index"` they are those of `mc_rank_counts`.
    """
    n = v.sample_count(n_samples)
    share = v.percentile_value(percentile)
    mode_i = v.choice(mode, "mode", v.MODE_CODES)
    v.choice(ties, "ties", v.TIES_CODES)
    check_progress(progress)
    pop = population(mu, sigma2, ids, objectives, maximize)
    seed_i = v.drawn_seed(seed)
    n_threads = thread_count(threads, pop.mu.shape[0], pop.mu.shape[1], n)
    with reporting(progress, n, "kestrovane.counts") as report:
        try:
            win, lose, rank_sum = run_counts(pop.mu, pop.sigma2, n, share, seed_i, mode_i,
                                             n_threads, report, ties=ties)
        except MemoryError as e:
            raise shortage(CallMemory(pop.mu.shape[0], pop.mu.shape[1], n, threads)) from e
    return Counts(pop.ids, win, lose, rank_sum, n, seed_i, share, mode, ties)

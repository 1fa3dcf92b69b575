"""`kestrovane.counts`: how often each member wins and loses, without the
place statistics of `select` (the cheaper kernel)."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass, field
from typing import Any, Generic, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrovane._api import parameters as P
from kestrovane._api import validate as v
from kestrovane._api.estimate import Estimates, population
from kestrovane._api.memory import CallMemory, shortage
from kestrovane._api.native import run_counts
from kestrovane._api.options import Options
from kestrovane._api.progress import Progress, reporting
from kestrovane._api.frozen import freeze_counts, init_values
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
    mode: P.Mode
    #: Who won ties (see `kestrovane.select`).
    ties: P.Ties = "random"

    #: win_count / n_samples, lose_count / n_samples and rank_sum / n_samples.
    p_win: NDArray[np.float64] = field(init=False)
    p_lose: NDArray[np.float64] = field(init=False)
    mean_place: NDArray[np.float64] = field(init=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "ids", tuple(self.ids))
        freeze_counts(self)

    def __reduce__(self) -> tuple[type[Counts[IdT]], tuple[object, ...]]:
        # Through __init__, so the unpickled arrays are read-only too.
        return (type(self), init_values(self))


def counts(mu: ArrayLike | Estimates[Any], sigma2: ArrayLike | None = None, *,
           n_samples: int = P.N_SAMPLES.default, percentile: float = P.PERCENTILE.default,
           seed: v.SeedLike = P.SEED.default, mode: P.Mode = P.MODE.default,
           maximize: v.Maximize = None, ids: Sequence[Any] | None = None,
           objectives: Sequence[str] | None = None, progress: Progress = P.PROGRESS.default,
           threads: int | None = P.THREADS.default, ties: P.Ties = P.TIES.default
           ) -> Counts[Any]:
    """Win and loss counts of every member over `n_samples` drawn populations.

    The arguments mean what they mean for `kestrovane.select`; the counts are
    those `select` reports with the same `ties`, bit for bit, at about half
    its cost, without choosing winners and losers or the place statistics.
    With `ties="index"` they are those of `mc_rank_counts`.
    """
    opts = Options.of(locals())
    pop = population(mu, sigma2, ids, objectives, maximize)
    seed_i = v.drawn_seed(seed)
    n = opts.n_samples
    n_threads = thread_count(threads, pop.mu.shape[0], pop.mu.shape[1], n)
    with reporting(opts.progress, n, "kestrovane.counts") as report:
        try:
            win, lose, rank_sum = run_counts(pop.mu, pop.sigma2, n, opts.percentile, seed_i,
                                             opts.mode_code, n_threads, report, ties=opts.ties)
        except MemoryError as e:
            raise shortage(CallMemory(pop.mu.shape[0], pop.mu.shape[1], n, threads)) from e
    return Counts(pop.ids, win, lose, rank_sum, seed=seed_i,
                  **opts.settings("n_samples", "percentile", "mode", "ties"))

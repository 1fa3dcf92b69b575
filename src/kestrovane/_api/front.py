"""`kestrovane.front_chances`: how likely each member is to be on the true
first front, for choosing the members to keep at the end of a run."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import Any, Final, Generic, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrovane._api import parameters as P
from kestrovane._api import streams
from kestrovane._api import validate as v
from kestrovane._api.bounds import IntRange, RealRange
from kestrovane._api.estimate import Estimates, population
from kestrovane._api.frozen import frozen_array

IdT = TypeVar("IdT", bound=Hashable)

#: Pairs of members one block of drawn populations compares at once.
_BLOCK_CELLS: Final = 1 << 20


@dataclass(frozen=True, eq=False)
class FrontChances(Generic[IdT]):
    """Per member, in input order: the share of drawn populations in which it
    is non-dominated (`p_front`).  Immutable; `likely` picks members."""

    ids: tuple[IdT, ...]
    p_front: NDArray[np.float64]
    n_samples: int
    seed: int

    def __post_init__(self) -> None:
        object.__setattr__(self, "ids", tuple(self.ids))
        object.__setattr__(self, "p_front", frozen_array(self.p_front, np.float64))

    def likely(self, size: int | None = None, *, at_least: float = 0.5) -> list[IdT]:
        """The members to keep, most likely first: the `size` most likely
        (ties by input order) or, with `size` None, every member whose chance
        is at least `at_least` (at least the most likely one)."""
        order = np.argsort(-self.p_front, kind="stable")
        if size is not None:
            count = IntRange(1, len(self.ids)).check(size, "size")
        else:
            share = RealRange(0.0, 1.0).check(at_least, "at_least")
            count = max(1, int(np.count_nonzero(self.p_front >= share)))
        return [self.ids[i] for i in order[:count].tolist()]

    def __repr__(self) -> str:
        top = ", ".join(f"{self.ids[i]!r}: {self.p_front[i]:.3f}"
                        for i in np.argsort(-self.p_front, kind="stable")[:5].tolist())
        more = ", ..." if len(self.ids) > 5 else ""
        return f"FrontChances(n_samples={self.n_samples}, p_front={{{top}{more}}})"


def nondominated(points: NDArray[np.float64]) -> NDArray[np.bool_]:
    """Which rows of each (..., N, M) block of minimised scores no other row
    dominates (no worse in every objective, better in one)."""
    # Objective by objective, so the (..., N, N) masks are the largest arrays.
    no_worse: NDArray[np.bool_] | None = None
    better: NDArray[np.bool_] | None = None
    for j in range(points.shape[-1]):
        a = points[..., :, None, j]  # the row that may be dominated
        b = points[..., None, :, j]  # the row that may dominate it
        if no_worse is None or better is None:
            no_worse, better = b <= a, b < a
        else:
            no_worse &= b <= a
            better |= b < a
    assert no_worse is not None and better is not None
    out: NDArray[np.bool_] = ~(no_worse & better).any(axis=-1)
    return out


def front_chances(mu: ArrayLike | Estimates[Any], sigma2: ArrayLike | None = None, *,
                  n_samples: int = P.N_SAMPLES.default, seed: v.SeedLike = P.SEED.default,
                  maximize: v.Maximize = None,
                  ids: Sequence[Any] | None = None,
                  objectives: Sequence[str] | None = None) -> FrontChances[Any]:
    """How often each member is non-dominated when every score is drawn from
    Normal(mean, variance): its chance of being on the true first front given
    what is known.  At the end of a run, keep `result.likely()` rather than
    the front of the means, which favours members whose means are lucky.

    The arguments are those of `kestrovane.select` (an `Estimates` in place of
    `mu` and `sigma2` too).  The same arguments give the same result, bit for
    bit.  The work grows as n_samples * N**2 * M.
    """
    pop = population(mu, sigma2, ids, objectives, maximize)
    samples = P.N_SAMPLES.check(n_samples)
    seed_v = v.drawn_seed(seed)
    n, m = pop.mu.shape
    rng = streams.front_rng(seed_v)
    sd = np.sqrt(pop.sigma2)
    hits = np.zeros(n, dtype=np.int64)
    block = max(1, _BLOCK_CELLS // max(1, n * n))
    for start in range(0, samples, block):
        size = min(block, samples - start)
        draws = pop.mu + sd * rng.standard_normal((size, n, m))
        hits += nondominated(draws).sum(axis=0)
    return FrontChances(pop.ids, hits / samples, samples, seed_v)

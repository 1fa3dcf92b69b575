"""The interface between a `Population` and its exploit policy: what a
decision sees (`Evidence`), what a policy answers (`Verdict`), what a policy
is (`Policy`), and the helpers a policy built on a ranking needs
(`truncate`, `any_source`, `truncation`; `exploit_plan` is the rule they
apply).  docs/policies.md shows a policy written on them.
"""

from __future__ import annotations

from collections.abc import Hashable
from dataclasses import dataclass, field
from typing import Any, Generic, Protocol, TypeVar

import numpy as np
from numpy.typing import NDArray

from kestrovane._api import validate as v
from kestrovane._api.exploit import exploit_plan
from kestrovane._api.streams import choice_rng

IdT = TypeVar("IdT", bound=Hashable)
F64 = NDArray[np.float64]
I64 = NDArray[np.int64]


@dataclass(frozen=True, eq=False)
class Evidence(Generic[IdT]):
    """What a policy sees at one decision.

    `windows[i]` holds member `ids[i]`'s recent evaluations, oldest first, as
    a (k_i, M) array in which every objective is minimised (maximised ones
    are negated).  `member` is the row of the member that decides,
    `copyable[i]` says whether row i may be copied, and `seed` is this
    decision's own seed (`streams.choice_rng(seed)` gives its generator).

    `steps[i]` and `times[i]` are the training steps and times of the
    evaluations in `windows[i]`, one per row (`Population.report`; read-only
    arrays, which the population reuses while a window is unchanged).  The
    shipped policies read only the windows: their trend estimate takes a
    window's evaluations as equally spaced.  A policy may use the steps
    (e.g. a slope per step).  Evidence made without them, as a policy that
    wraps another may make it, gets steps 1 .. k_i and times equal to them.
    """

    ids: tuple[IdT, ...]
    windows: tuple[F64, ...]
    member: int
    copyable: NDArray[np.bool_]
    percentile: float
    seed: int
    steps: tuple[I64, ...] = field(default=())
    times: tuple[F64, ...] = field(default=())

    def __post_init__(self) -> None:
        lengths = [len(w) for w in self.windows]
        if not self.steps:
            object.__setattr__(self, "steps", tuple(np.arange(1, k + 1, dtype=np.int64)
                                                    for k in lengths))
        if not self.times:
            object.__setattr__(self, "times", tuple(s.astype(np.float64) for s in self.steps))
        for name in ("steps", "times"):
            got = [len(s) for s in getattr(self, name)]
            if got != lengths:
                raise ValueError(f"Evidence {name} must hold one entry per evaluation of each "
                                 f"window ({lengths}); got {got}")

    @property
    def k(self) -> int:
        """Members replaced and copied per round: min(N, max(1, ceil(N * percentile)))."""
        return v.winner_count(len(self.ids), self.percentile)

    def means(self) -> F64:
        return np.array([w.mean(axis=0) for w in self.windows])


@dataclass(frozen=True, eq=False)
class Verdict:
    """A policy's answer: `source` is the row to copy (None: continue);
    `upper` says the deciding member is among those others may copy;
    `detail` is what the policy computed (`MonteCarloRule` a `Tally`,
    `ParetoRule` a `kestrovane.Rating`), handed on as `Decision.detail`."""

    source: int | None
    upper: bool
    detail: Any = None


class Policy(Protocol):
    """An exploit policy: called with the `Evidence` of one decision, it
    returns a `Verdict`.

    A policy is an instance (a class whose instances are called, as
    `ParetoRule`, or a function) that:

    - takes the evidence as its one positional argument;
    - decides from the evidence alone, its random choices drawn from
      generators seeded by `evidence.seed` (`kestrovane.pbt.streams`), so
      that a population repeats its decisions from its seed;
    - holds no state that a decision changes;
    - pickles: a `Population` pickles its policy with it (the Ray adapter
      stores it so), so a policy is a module-level function or an instance
      of a module-level class, not a lambda or a local function.
      `Population` tries a pickle round trip when it is made and warns when
      it fails.
    """

    def __call__(self, evidence: Evidence[Any], /) -> Verdict: ...


def truncation(scores: F64, evidence: Evidence[Any]) -> Verdict:
    """The truncation rule of Ray's PBT on a score per row (lower is better):
    the member is replaced when it is among the k worst, by a uniformly
    random copyable member among the k best (never itself); it is `upper`
    when among the k best.  Ties between scores go by row (shuffle the
    rows first, or call `truncate` with an order, for random ties)."""
    order = np.lexsort((np.arange(len(scores)), scores))
    return truncate(order, evidence)


def truncate(order: NDArray[np.integer[Any]], evidence: Evidence[Any],
             detail: Any = None) -> Verdict:
    """The truncation rule on rows ranked by a policy, best first: the
    deciding member is `upper` among the first k; in the last k it is
    replaced by `any_source` of the first k (by `exploit_plan`: a member in
    both is kept).  `detail` is handed on in the verdict."""
    k, m = evidence.k, evidence.member
    best = order[:k].tolist()
    plan = exploit_plan(best, order[::-1][:k].tolist())
    upper = m in best
    if m not in plan.replaced:
        return Verdict(None, upper, detail)
    return Verdict(any_source(plan.sources, evidence, choice_rng(evidence.seed)),
                   upper, detail)


def any_source(sources: list[int], evidence: Evidence[Any],
               rng: np.random.Generator) -> int | None:
    """A uniformly random copyable row of `sources` (drawn in row order); None
    when none may be copied."""
    candidates = sorted(r for r in sources if evidence.copyable[r])
    if not candidates:
        return None
    return candidates[int(rng.integers(len(candidates)))]

"""`Population`: the exploit decisions of asynchronous PBT from noisy, windowed scores."""

from __future__ import annotations

import math
import numbers
import threading
from collections import deque
from collections.abc import Collection, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final, Generic, Literal, TypeVar

import numpy as np
from numpy.typing import NDArray

from kestrovane import FrontChances, front_chances
from kestrovane._api import validate as v
from kestrovane.pbt.policies import (TRENDS, WEIGHT, Evidence, MonteCarloRule, Policy,
                                     _one_of, derived_seed, window_moments)

IdT = TypeVar("IdT", bound=Hashable)

Action = Literal["continue", "replace"]
#: One evaluation: a score per objective, in the order of the objectives or by name.
Scores = Sequence[float] | Mapping[str, float]

#: The largest magnitude of a score `report` accepts.  The variance of a
#: window of scores up to this size is at most about 1e302, so every
#: member's estimates stay finite and one member's huge scores cannot make
#: the decisions of the others fail.
SCORE_LIMIT: Final = 1e150

#: The derived stream of `front_chances` (decisions use 0, 1, 2, ...).
_FRONT_STREAM: Final = 2**63


@dataclass(frozen=True)
class Decision(Generic[IdT]):
    """What the member that just reported should do.

    `action` is "replace" when the member should take a copy of `source`'s
    state (and, in PBT, perturb the copied hyper-parameters), "continue"
    otherwise; `source` is None for "continue".  `upper` is True when the
    member is among those others may copy (it should keep a checkpoint).
    `detail` is what the policy computed (e.g. `kestrovane.Counts`), None
    when there were too few members with enough reports to decide.
    """

    member_id: IdT
    action: Action
    source: IdT | None = None
    detail: Any = None
    upper: bool = False


class Population(Generic[IdT]):
    """The members of an asynchronous PBT run and their recent evaluations.

    Members report evaluations as they arrive (`report`); the one that just
    reported asks what to do (`decide`).  Each member keeps its last `window`
    evaluations.  A decision hands the windows of the members with at least
    `min_reports` evaluations, in the order they joined, to the `policy`
    (`kestrovane.pbt.policies`), which says whether the member is replaced
    and by whom.  A replaced member's window restarts empty: its old scores
    no longer describe it.

    Decisions are deterministic for a given `seed` and order of calls: the
    n-th decision of a population uses a seed derived from `seed` and n.
    Every method may be called from any thread; calls are serialised, so a
    report that arrives during a decision waits for it.

    Members are named by any hashable id; annotate the id type for mypy,
    e.g. ``Population[str](["loss", "accuracy"], maximize=["accuracy"])``.

    Parameters
    ----------
    objectives:
        One distinct name per objective.
    maximize:
        As for `kestrovane.select`: None, a bool, one bool per objective or
        the names of the objectives to maximise.
    window:
        Number of recent evaluations kept per member (older ones are dropped).
    min_reports:
        Evaluations a member needs before it takes part in selections, 2 or
        more (two evaluations give a first estimate of its own noise), at
        most `window`.
    percentile:
        The share of members replaced and copied, in (0, 1].
    seed:
        Seed of the decisions, 0 to 2**64 - 1.
    policy:
        How the windows become a decision (`kestrovane.pbt.policies`).
    """

    def __init__(self, objectives: Sequence[str], *, maximize: v.Maximize = None,
                 window: int = 8, min_reports: int = 2, percentile: float = 0.2,
                 seed: int = 0, policy: Policy | None = None) -> None:
        if isinstance(objectives, (str, bytes)) or not isinstance(objectives, Sequence):
            raise TypeError("objectives must be a sequence of names; got "
                            f"{type(objectives).__name__}")
        names = v.objective_names(objectives, len(objectives))
        if not names:
            raise ValueError("objectives is empty; at least one objective is needed")
        self._objectives: tuple[str, ...] = names
        self._maximize = v.maximized(maximize, len(names), names)
        self._window = v.IntRange(1, v.INT32_MAX).check(window, "window")
        self._min_reports = v.IntRange(2, v.INT32_MAX).check(min_reports, "min_reports")
        if self._min_reports > self._window:
            raise ValueError(f"min_reports ({self._min_reports}) must not exceed window "
                             f"({self._window})")
        self._percentile = v.percentile_value(percentile)
        self._seed = v.seed_value(seed)
        if policy is not None and not callable(policy):
            raise TypeError(f"policy must be callable; got {type(policy).__name__}")
        self._policy: Policy = MonteCarloRule() if policy is None else policy
        self._lock = threading.Lock()
        self._evaluations: dict[IdT, deque[tuple[float, ...]]] = {}
        self._selections = 0

    # -- settings ---------------------------------------------------------------

    @property
    def objectives(self) -> tuple[str, ...]:
        return self._objectives

    @property
    def maximize(self) -> tuple[bool, ...]:
        return self._maximize

    @property
    def window(self) -> int:
        return self._window

    @property
    def min_reports(self) -> int:
        return self._min_reports

    @property
    def percentile(self) -> float:
        return self._percentile

    @property
    def seed(self) -> int:
        return self._seed

    @property
    def policy(self) -> Policy:
        return self._policy

    # -- members ----------------------------------------------------------------

    @property
    def members(self) -> tuple[IdT, ...]:
        """The current members, in the order they joined."""
        with self._lock:
            return tuple(self._evaluations)

    def __len__(self) -> int:
        with self._lock:
            return len(self._evaluations)

    def __contains__(self, member_id: object) -> bool:
        with self._lock:
            return member_id in self._evaluations

    def join(self, member_id: IdT) -> None:
        """Add a member without evaluations; nothing changes if it is already one."""
        _check_hashable(member_id)
        with self._lock:
            self._join(member_id)

    def leave(self, member_id: IdT) -> None:
        """Remove a member and its evaluations; it is no longer selected or copied."""
        with self._lock:
            self._member(member_id)
            del self._evaluations[member_id]

    def restart(self, member_id: IdT) -> None:
        """Forget a member's evaluations, e.g. after it was changed outside `decide`."""
        with self._lock:
            self._member(member_id).clear()

    def reports(self, member_id: IdT) -> int:
        """The number of evaluations in the member's window."""
        with self._lock:
            return len(self._member(member_id))

    def evaluations(self, member_id: IdT) -> NDArray[np.float64]:
        """A copy of the member's window: its recent evaluations, oldest first,
        as a (reports, objectives) array in the objectives' own directions."""
        with self._lock:
            window = list(self._member(member_id))
        return np.array(window, dtype=np.float64).reshape(len(window), len(self._objectives))

    # -- reports and decisions --------------------------------------------------

    def report(self, member_id: IdT, scores: Scores) -> None:
        """Record one evaluation of a member; a new id joins the population.

        `scores` holds one finite real number per objective, as a sequence in
        the order of `objectives` or as a mapping from every objective name.
        NaN, an infinite score or one beyond +-`SCORE_LIMIT` (1e150) raises
        ValueError naming the member and objective; nothing is recorded then.
        """
        _check_hashable(member_id)
        row = self._row(member_id, scores)
        with self._lock:
            self._join(member_id).append(row)

    def decide(self, member_id: IdT, *, sources: Collection[IdT] | None = None,
               commit: bool = True) -> Decision[IdT]:
        """What `member_id`, which has just reported, should do now.

        "continue" while it has fewer than `min_reports` evaluations or fewer
        than two members have enough; otherwise the policy decides.
        `sources`, if given, limits who may be copied (e.g. the members with
        a saved checkpoint); a member to be replaced with nobody it may copy
        continues.  A "replace" decision restarts the member's window.

        With `commit` False a "replace" decision leaves the window as it is,
        for a caller that may not be able to carry it out (e.g. the source's
        checkpoint is gone); once it is carried out, `restart` the member.
        The selection counter (and so the next decision's seed) advances
        either way.
        """
        allowed = None if sources is None else _source_set(sources)
        with self._lock:
            own = self._member(member_id)
            if len(own) < self._min_reports:
                return Decision(member_id, "continue")
            eligible = [m for m, evals in self._evaluations.items()
                        if len(evals) >= self._min_reports]
            if len(eligible) < 2:
                return Decision(member_id, "continue")
            seed = derived_seed(self._seed, self._selections)
            self._selections += 1
            sign = np.where(self._maximize, -1.0, 1.0)
            windows = tuple(np.asarray(self._evaluations[m]) * sign for m in eligible)
            copyable: NDArray[np.bool_] = np.array(
                [allowed is None or m in allowed for m in eligible], dtype=np.bool_)
            verdict = self._policy(Evidence(tuple(eligible), windows, eligible.index(member_id),
                                            copyable, self._percentile, seed))
            if verdict.source is None:
                return Decision(member_id, "continue", None, verdict.detail, verdict.upper)
            if commit:
                own.clear()
            return Decision(member_id, "replace", eligible[verdict.source], verdict.detail,
                            verdict.upper)

    def front_chances(self, *, n_samples: int = 10_000, seed: int | None = None,
                      trend: str = "none", prior_weight: float = 4.0) -> FrontChances[IdT]:
        """Each member's chance of being on the true first front, given its
        window: for choosing the members to keep at the end of a run
        (``pop.front_chances().likely()``), which the front of the window
        means or of the last reports chooses worse under noise.

        Members with at least `min_reports` evaluations take part.  Their
        current scores and variances are estimated by `window_moments` with
        `trend` and `prior_weight`: by default each window's mean, with the
        member's noise shrunk towards the population's by the weight of four
        evaluations.  (A window's trend helps a decision during the run but
        made the final pick worse in the lab: at the end it extrapolates the
        short windows of recently copied members.)
        Draws do not touch the decision counter; `seed` None derives one
        from the population's seed, so asking twice gives the same answer.
        """
        _one_of(trend, "trend", TRENDS)
        weight = WEIGHT.check(prior_weight, "prior_weight")
        with self._lock:
            eligible = [m for m, evals in self._evaluations.items()
                        if len(evals) >= self._min_reports]
            sign = np.where(self._maximize, -1.0, 1.0)
            windows = tuple(np.asarray(self._evaluations[m]) * sign for m in eligible)
        if not eligible:
            raise ValueError(f"no member has the {self._min_reports} evaluations "
                             "(min_reports) needed to take part")
        mu, sigma2 = window_moments(windows, weight, trend)
        return front_chances(mu, sigma2, n_samples=n_samples, ids=eligible,
                             seed=derived_seed(self._seed, _FRONT_STREAM) if seed is None
                             else seed)

    # -- internals --------------------------------------------------------------

    def _join(self, member_id: IdT) -> deque[tuple[float, ...]]:
        evals = self._evaluations.get(member_id)
        if evals is None:
            evals = self._evaluations[member_id] = deque(maxlen=self._window)
        return evals

    def _member(self, member_id: IdT) -> deque[tuple[float, ...]]:
        try:
            return self._evaluations[member_id]
        except KeyError:
            raise KeyError(f"{member_id!r} is not a member of the population") from None
        except TypeError:
            raise TypeError(f"member id is not hashable: {member_id!r}") from None

    def _row(self, member_id: IdT, scores: Scores) -> tuple[float, ...]:
        names = self._objectives
        if isinstance(scores, Mapping):
            missing = [n for n in names if n not in scores]
            extra = [k for k in scores if k not in names]
            if missing or extra:
                what = (f"lacks objective {missing[0]!r}" if missing
                        else f"has unknown objective {extra[0]!r}")
                raise ValueError(f"scores of member {member_id!r} {what}; the objectives are "
                                 f"{', '.join(map(repr, names))}")
            values: list[object] = [scores[n] for n in names]
        elif isinstance(scores, (str, bytes)) or not isinstance(scores, Sequence | np.ndarray):
            raise TypeError(f"scores of member {member_id!r} must be a sequence or a mapping "
                            f"by objective name; got {type(scores).__name__}")
        else:
            values = list(scores)
            if len(values) != len(names):
                raise ValueError(f"scores of member {member_id!r} has {len(values)} values but "
                                 f"there are {len(names)} objectives")
        row: list[float] = []
        for name, value in zip(names, values):
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
                raise TypeError(f"score of member {member_id!r}, objective {name!r} must be "
                                f"a real number; got {value!r}")
            try:
                x = float(value)
            except OverflowError:  # an int beyond the float range
                raise ValueError(f"score of member {member_id!r}, objective {name!r} is too "
                                 f"large for a float ({value!r})") from None
            if not math.isfinite(x):
                raise ValueError(f"score of member {member_id!r}, objective {name!r} is not "
                                 f"finite ({x!r})")
            if abs(x) > SCORE_LIMIT:
                raise ValueError(f"score of member {member_id!r}, objective {name!r} is "
                                 f"{x!r}, beyond the +-{SCORE_LIMIT:g} a score may have (the "
                                 "variance of such scores is not representable); rescale "
                                 "the objective")
            row.append(x)
        return tuple(row)

    def __repr__(self) -> str:
        with self._lock:
            counts = ", ".join(f"{m!r}: {len(e)}" for m, e in self._evaluations.items())
        return (f"Population(objectives={self._objectives!r}, window={self._window}, "
                f"min_reports={self._min_reports}, reports={{{counts}}})")

    # A lock does not pickle; a copy gets a new one.  The state is copied
    # under the lock, so that reports and departures in other threads
    # neither change it while it is pickled nor leave it half changed.
    def __getstate__(self) -> dict[str, Any]:
        with self._lock:
            state = self.__dict__.copy()
            state["_evaluations"] = {m: deque(e, maxlen=e.maxlen)
                                     for m, e in self._evaluations.items()}
        del state["_lock"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()


def _source_set(sources: object) -> set[Any]:
    """`sources` as a set of member ids; checked before a decision changes anything."""
    if isinstance(sources, (str, bytes)) or not isinstance(sources, Collection):
        raise TypeError("sources must be a collection of member ids (e.g. a set or list), "
                        f"not a {type(sources).__name__}; for one member pass [member_id]")
    allowed: set[Any] = set()
    for source in sources:
        try:
            allowed.add(source)
        except TypeError:
            raise TypeError(f"sources holds an unhashable member id: {source!r}") from None
    return allowed


def _check_hashable(member_id: object) -> None:
    try:
        hash(member_id)
    except TypeError:
        raise TypeError(f"member id is not hashable: {member_id!r}") from None

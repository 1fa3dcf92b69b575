"""`Population`: the exploit decisions of asynchronous PBT from noisy, windowed scores."""

from __future__ import annotations

import math
import numbers
import pickle
import re
import sys
import threading
import typing
import warnings
from collections import deque
from collections.abc import Collection, Hashable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from inspect import signature
from pathlib import Path
from time import time as wall_clock
from typing import Any, Final, Generic, Literal, TypeVar, cast

import numpy as np
from numpy.typing import NDArray

from kestrovane import FrontChances, front_chances
from kestrovane._api import validate as v
from kestrovane._api.bounds import INT32_MAX, INT64_MAX, UINT64_MAX, IntRange
from kestrovane._api.parameters import PERCENTILE, SEED
from kestrovane._api.streams import derived_seed, front_chances_seed
from kestrovane.pbt.interface import Evidence, Policy
from kestrovane.pbt.policies import TREND, WEIGHT, MonteCarloRule, window_moments

IdT = TypeVar("IdT", bound=Hashable)

Action = Literal["continue", "replace"]
_Real = float | np.floating[Any] | np.integer[Any]
#: One evaluation: a score per objective, in the order of the objectives (a
#: sequence or a 1-D array) or by name; with one objective, the score itself.
Scores = (Sequence[_Real] | Mapping[str, _Real] | NDArray[np.floating[Any]]
          | NDArray[np.integer[Any]] | _Real)

#: The largest magnitude of a score `report` accepts.  The variance of a
#: window of scores up to this size is at most about 1e302, so every
#: member's estimates stay finite and one member's huge scores cannot make
#: the decisions of the others fail.
SCORE_LIMIT: Final = 1e150

#: Evaluations a member keeps, and needs before it takes part.
WINDOW: Final = IntRange(1, INT32_MAX)
MIN_REPORTS: Final = IntRange(2, INT32_MAX)

#: The steps `report` accepts: 0 to 2**63 - 1 (NumPy's int64).
STEPS: Final = IntRange(0, INT64_MAX, high_text="2**63 - 1")

#: A report's training step and time, kept alongside its scores.
Stamp = tuple[int, float]


@dataclass(frozen=True)
class Decision(Generic[IdT]):
    """What the member that just reported should do.

    `action` is "replace" when the member should take a copy of `source`'s
    state (and, in PBT, perturb the copied hyper-parameters), "continue"
    otherwise; `source` is None for "continue".  `upper` is True when the
    member is among those others may copy (it should keep a checkpoint).
    `detail` is the policy's `Verdict.detail`, what it computed (a
    `Tally` from `MonteCarloRule`, a `kestrovane.Rating` from `ParetoRule`,
    whatever a policy of one's own returns), None when there were too few
    members with enough reports to decide.
    """

    member_id: IdT
    action: Action
    source: IdT | None = None
    detail: object = None
    upper: bool = False


class Population(Generic[IdT]):
    """The members of an asynchronous PBT run and their recent evaluations.

    Members report evaluations as they arrive (`report`); the one that just
    reported asks what to do (`decide`).  Each member keeps its last `window`
    evaluations.  A decision hands the windows of the members with at least
    `min_reports` evaluations, in the order they joined, to the `policy`
    (a `Policy`), which says whether the member is replaced
    and by whom.  A replaced member's window restarts empty: its old scores
    no longer describe it.

    Decisions are deterministic for a given `seed` and order of calls: the
    n-th decision of a population uses a seed derived from `seed` and n
    (a decision that repeats a dry run, `decide(commit=False)`, on the same
    evidence repeats its seed instead; see `decide`).
    Every method may be called from any thread; calls are serialised, so a
    report that arrives during a decision waits for it.  The policy must not
    change the population it decides for: a `report`, `join`, `leave`,
    `restart` or `decide` from inside it raises RuntimeError (reading, e.g.
    `reports`, works).

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
        Seed of the decisions, 0 to 2**64 - 1; None draws one from fresh
        entropy and a `numpy.random.Generator` one from the generator
        (`seed` tells which).
    policy:
        How the windows become a decision: `MonteCarloRule()` (None),
        `ParetoRule()` or one's own `Policy` (docs/policies.md).  A class,
        or a callable that cannot take one argument, raises TypeError; one
        that does not survive a pickle round trip warns
        (`PolicyPicklingWarning`), since pickling the population pickles it.
    """

    def __init__(self, objectives: Sequence[str], *, maximize: v.Maximize = None,
                 window: int = 8, min_reports: int = 2, percentile: float = 0.2,
                 seed: v.SeedLike = 0, policy: Policy | None = None) -> None:
        if isinstance(objectives, (str, bytes)) or not isinstance(objectives, Sequence):
            raise TypeError("objectives must be a sequence of names; got "
                            f"{type(objectives).__name__}")
        names = v.objective_names(objectives, len(objectives))
        if not names:
            raise ValueError("objectives is empty; at least one objective is needed")
        self._objectives: tuple[str, ...] = names
        self._maximize = v.maximized(maximize, len(names), names)
        self._window = WINDOW.check(window, "window")
        self._min_reports = MIN_REPORTS.check(min_reports, "min_reports")
        if self._min_reports > self._window:
            raise ValueError(f"min_reports ({self._min_reports}) must not exceed window "
                             f"({self._window})")
        self._percentile = PERCENTILE.check(percentile)
        self._seed = v.drawn_seed(seed)
        self._policy: Policy = (MonteCarloRule() if policy is None
                                else _policy_value(policy, made=True))
        self._lock = threading.Lock()
        #: The thread whose policy is deciding (it holds the lock), else None.
        self._deciding: int | None = None
        self._evaluations: dict[IdT, deque[tuple[float, ...]]] = {}
        #: Per member the step and time of each evaluation in its window.
        self._stamps: dict[IdT, deque[Stamp]] = {}
        #: Per member the step of its newest report, kept when its window
        #: restarts: the next default step is one more.
        self._last_steps: dict[IdT, int] = {}
        #: Per member its window's steps and times as read-only arrays, made
        #: once per change of the window: a decision hands every member's to
        #: its policy, and most of them have not changed since the last one.
        self._stamp_arrays: dict[IdT, tuple[NDArray[np.int64], NDArray[np.float64]]] = {}
        self._selections = 0
        #: The dry runs on the current windows: (member, copyable rows) -> the
        #: number of the seed used.  Emptied whenever a window changes.
        self._dry_runs: dict[tuple[IdT, bytes], int] = {}

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
        with self._access():
            return tuple(self._evaluations)

    def __len__(self) -> int:
        with self._access():
            return len(self._evaluations)

    def __contains__(self, member_id: object) -> bool:
        with self._access():
            return member_id in self._evaluations

    def join(self, member_id: IdT) -> None:
        """Add a member without evaluations; nothing changes if it is already one."""
        _check_hashable(member_id)
        with self._access("join"):
            self._join(member_id)

    def leave(self, member_id: IdT) -> None:
        """Remove a member and its evaluations; it is no longer selected or copied."""
        with self._access("leave"):
            self._member(member_id)
            del self._evaluations[member_id], self._stamps[member_id]
            self._last_steps.pop(member_id, None)
            self._stamp_arrays.pop(member_id, None)
            self._dry_runs.clear()

    def restart(self, member_id: IdT) -> None:
        """Forget a member's evaluations, e.g. after it was changed outside `decide`."""
        with self._access("restart"):
            self._member(member_id).clear()
            self._stamps[member_id].clear()
            self._stamp_arrays.pop(member_id, None)
            self._dry_runs.clear()

    def reports(self, member_id: IdT) -> int:
        """The number of evaluations in the member's window."""
        with self._access():
            return len(self._member(member_id))

    def evaluations(self, member_id: IdT) -> NDArray[np.float64]:
        """A copy of the member's window: its recent evaluations, oldest first,
        as a (reports, objectives) array in the objectives' own directions."""
        with self._access():
            window = list(self._member(member_id))
        return np.array(window, dtype=np.float64).reshape(len(window), len(self._objectives))

    def steps(self, member_id: IdT) -> NDArray[np.int64]:
        """The training steps of the member's window, oldest first (`report`)."""
        return self._stamp_column(member_id, 0, np.int64)

    def times(self, member_id: IdT) -> NDArray[np.float64]:
        """The times of the member's window, oldest first (`report`)."""
        return self._stamp_column(member_id, 1, np.float64)

    # -- reports and decisions --------------------------------------------------

    def report(self, member_id: IdT, scores: Scores, *, step: int | None = None,
               time: float | None = None) -> None:
        """Record one evaluation of a member; a new id joins the population.

        `scores` holds one finite real number per objective, as a sequence
        or 1-D array in the order of `objectives` or as a mapping from every
        objective name; with one objective it may be the number itself.
        NaN, an infinite score or one beyond +-`SCORE_LIMIT` (1e150) raises
        ValueError naming the member and objective; nothing is recorded then.

        `step` is the member's training step at the evaluation, an integer
        0 to 2**63 - 1 greater than the step of the newest evaluation in its
        window (after a restart, e.g. when a replaced member took its
        source's step, any); by default one more than the member's previous
        report's, 1 at its first, so that without steps they count its
        reports.  `time` is when it was evaluated, a finite number, by
        default the wall clock (`time.time()`).  Both are kept with the
        scores and shown to policies (`Evidence.steps`, `Evidence.times`);
        the shipped policies do not read them.
        """
        _check_hashable(member_id)
        row = self._row(member_id, scores)
        given = None if step is None else _step(member_id, step)
        when = wall_clock() if time is None else _time(member_id, time)
        with self._access("report"):
            stamps = self._stamps.get(member_id)
            if given is None:
                given = self._last_steps.get(member_id, 0) + 1
            elif stamps and given <= stamps[-1][0]:
                raise ValueError(f"step of member {member_id!r} is {given}; it must be greater "
                                 f"than the step of its newest evaluation, {stamps[-1][0]}")
            if given > STEPS.high:  # a default step beyond the range: its message
                STEPS.check(given, "step")
            self._join(member_id).append(row)
            self._stamps[member_id].append((given, when))
            self._stamp_arrays.pop(member_id, None)
            self._last_steps[member_id] = given
            self._dry_runs.clear()

    def decide(self, member_id: IdT, *, sources: Collection[IdT] | None = None,
               commit: bool = True) -> Decision[IdT]:
        """What `member_id`, which has just reported, should do now.

        "continue" while it has fewer than `min_reports` evaluations or fewer
        than two members have enough; otherwise the policy decides.
        `sources`, if given, limits who may be copied (e.g. the members with
        a saved checkpoint); a member to be replaced with nobody it may copy
        continues.  A "replace" decision restarts the member's window.

        With `commit` False the decision is a dry run: a "replace" decision
        leaves the window as it is, for a caller that may not be able to
        carry it out (e.g. the source's checkpoint is gone); once it is
        carried out, `restart` the member.  A dry run is repeatable: until a
        window changes (a report, restart, join or departure, or a committed
        "replace"), deciding again for the member with the same members
        allowed as sources, with or without `commit`, uses the dry run's
        seed and so gives the same decision.  Every other decision uses the
        next seed of the population's counter.

        The policy's verdict is checked before anything changes: a verdict
        that is not a `Verdict`, whose `upper` is not a bool or whose source
        is not a row the policy may name (an integer row of another member,
        allowed by `sources`) raises TypeError or ValueError naming the
        policy; the window is kept and the counter does not advance.
        """
        allowed = None if sources is None else _source_set(sources)
        with self._access("decide"):
            own = self._member(member_id)
            if len(own) < self._min_reports:
                return Decision(member_id, "continue")
            eligible, windows = self._eligible_windows()
            if len(eligible) < 2:
                return Decision(member_id, "continue")
            steps, times = self._eligible_stamps(eligible)
            copyable: NDArray[np.bool_] = np.array(
                [allowed is None or m in allowed for m in eligible], dtype=np.bool_)
            key = (member_id, copyable.tobytes())
            repeated = self._dry_runs.get(key)
            number = self._selections if repeated is None else repeated
            # The policy gets its own copy of `copyable`: it cannot widen the rows allowed.
            evidence = Evidence(tuple(eligible), windows, eligible.index(member_id),
                                copyable.copy(), self._percentile,
                                derived_seed(self._seed, number), steps, times)
            self._deciding = threading.get_ident()
            try:
                verdict = self._policy(evidence)
            finally:
                self._deciding = None
            source, upper, detail = self._checked_verdict(verdict, evidence, copyable)
            if repeated is None:
                self._selections += 1
                if not commit:
                    self._dry_runs[key] = number
            if source is None:
                return Decision(member_id, "continue", None, detail, upper)
            if commit:
                own.clear()
                self._stamps[member_id].clear()
                self._stamp_arrays.pop(member_id, None)
                self._dry_runs.clear()
            return Decision(member_id, "replace", eligible[source], detail, upper)

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
        trend = TREND.check(trend, "trend")
        weight = WEIGHT.check(prior_weight, "prior_weight")
        with self._access():
            eligible, windows = self._eligible_windows()
        if not eligible:
            raise ValueError(f"no member has the {self._min_reports} evaluations "
                             "(min_reports) needed to take part")
        mu, sigma2 = window_moments(windows, weight, trend)
        return front_chances(mu, sigma2, n_samples=n_samples, ids=eligible,
                             seed=front_chances_seed(self._seed) if seed is None else seed)

    # -- internals --------------------------------------------------------------

    def _eligible_windows(self) -> tuple[list[IdT], tuple[NDArray[np.float64], ...]]:
        """The members with `min_reports` evaluations, and their windows as
        copies, signed so that smaller is better in every objective."""
        eligible = [m for m, evals in self._evaluations.items()
                    if len(evals) >= self._min_reports]
        sign = np.where(self._maximize, -1.0, 1.0)
        return eligible, tuple(np.asarray(self._evaluations[m]) * sign for m in eligible)

    def _eligible_stamps(self, eligible: list[IdT]
                         ) -> tuple[tuple[NDArray[np.int64], ...], tuple[NDArray[np.float64], ...]]:
        """The steps and times of the windows of `_eligible_windows`, read-only."""
        arrays = [self._stamp_arrays.get(m) or self._made_stamp_arrays(m) for m in eligible]
        return tuple(a[0] for a in arrays), tuple(a[1] for a in arrays)

    def _made_stamp_arrays(self, member_id: IdT
                           ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        stamps = self._stamps[member_id]
        steps = np.array([s for s, _ in stamps], dtype=np.int64)
        times = np.array([t for _, t in stamps], dtype=np.float64)
        steps.flags.writeable = times.flags.writeable = False
        made = self._stamp_arrays[member_id] = (steps, times)
        return made

    def _stamp_column(self, member_id: IdT, column: int, dtype: type[Any]) -> NDArray[Any]:
        with self._access():
            self._member(member_id)
            values = [stamp[column] for stamp in self._stamps[member_id]]
        return np.array(values, dtype=dtype)

    def _join(self, member_id: IdT) -> deque[tuple[float, ...]]:
        evals = self._evaluations.get(member_id)
        if evals is None:
            evals = self._evaluations[member_id] = deque(maxlen=self._window)
            self._stamps[member_id] = deque(maxlen=self._window)
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
        values: list[object]
        if isinstance(scores, Mapping):
            missing = [n for n in names if n not in scores]
            extra = [k for k in scores if k not in names]
            if missing or extra:
                what = (f"lacks objective {missing[0]!r}" if missing
                        else f"has unknown objective {extra[0]!r}")
                raise ValueError(f"scores of member {member_id!r} {what}; the objectives are "
                                 f"{', '.join(map(repr, names))}")
            values = [scores[n] for n in names]
        elif len(names) == 1 and isinstance(scores, (numbers.Real, np.bool_)):
            values = [scores]  # the one objective's score itself
        elif len(names) == 1 and isinstance(scores, np.ndarray) and scores.ndim == 0:
            values = [scores[()]]
        elif isinstance(scores, (str, bytes)) or not isinstance(scores, Sequence | np.ndarray):
            alone = "" if len(names) == 1 else " (a number alone only with one objective)"
            raise TypeError(f"scores of member {member_id!r} must be a sequence or a mapping "
                            f"by objective name{alone}; got {type(scores).__name__}")
        else:
            if isinstance(scores, np.ndarray) and scores.ndim != 1:
                raise ValueError(f"scores of member {member_id!r} must be 1-D, one score per "
                                 f"objective; got an array of shape {scores.shape}")
            values = list(scores)
            if len(values) != len(names):
                raise ValueError(f"scores of member {member_id!r} has {len(values)} values but "
                                 f"there are {len(names)} objectives")
        return tuple(_score(member_id, name, value) for name, value in zip(names, values))

    def _checked_verdict(self, verdict: object, evidence: Evidence[IdT],
                         copyable: NDArray[np.bool_]) -> tuple[int | None, bool, Any]:
        """The verdict's row to copy, `upper` and detail, once every part is one
        the population can carry out."""
        who = f"policy {_short_repr(self._policy)}"
        try:
            source, upper, detail = (getattr(verdict, name)
                                     for name in ("source", "upper", "detail"))
        except AttributeError:
            raise TypeError(f"{who} returned {_short_repr(verdict)}, not a Verdict (source, "
                            "upper, detail)") from None
        if not isinstance(upper, (bool, np.bool_)):
            raise TypeError(f"{who} returned upper={_short_repr(upper)}; it must be a bool")
        if source is None:
            return None, bool(upper), detail
        if isinstance(source, (bool, np.bool_)) or not isinstance(source, numbers.Integral):
            raise TypeError(f"{who} returned source={_short_repr(source)}; it must be None or "
                            "the row (an integer) of the member to copy")
        row, n = int(source), len(evidence.ids)
        if not 0 <= row < n:
            raise ValueError(f"{who} returned source={row}, not one of the rows 0 to {n - 1} of "
                             f"the {n} members it was shown")
        if row == evidence.member:
            raise ValueError(f"{who} returned source={row}, the row of the deciding member "
                             f"{evidence.ids[row]!r} itself")
        if not copyable[row]:
            raise ValueError(f"{who} returned source={row}, member {evidence.ids[row]!r}, which "
                             "sources does not allow to be copied")
        return row, bool(upper), detail

    @contextmanager
    def _access(self, change: str | None = None) -> Iterator[None]:
        """Holds the lock for the call.  The thread whose policy is deciding
        holds it already: it may read, but a `change` (the method's name)
        would alter the evidence under the decision, or deadlock."""
        if self._deciding == threading.get_ident():
            if change is not None:
                raise RuntimeError(f"Population.{change} was called from inside the decision "
                                   f"of policy {_short_repr(self._policy)}; a policy must not "
                                   "change the population it decides for (its Evidence holds "
                                   "the windows)")
            yield
            return
        with self._lock:
            yield

    def __repr__(self) -> str:
        with self._access():
            counts = ", ".join(f"{m!r}: {len(e)}" for m, e in self._evaluations.items())
        return (f"Population(objectives={self._objectives!r}, window={self._window}, "
                f"min_reports={self._min_reports}, reports={{{counts}}})")

    # A lock does not pickle; a copy gets a new one.  The state is copied
    # under the lock, so that reports and departures in other threads
    # neither change it while it is pickled nor leave it half changed.
    def __getstate__(self) -> dict[str, Any]:
        with self._access():
            state = self.__dict__.copy()
            state["_evaluations"] = {m: deque(e, maxlen=e.maxlen)
                                     for m, e in self._evaluations.items()}
            state["_stamps"] = {m: deque(e, maxlen=e.maxlen) for m, e in self._stamps.items()}
            state["_last_steps"] = dict(self._last_steps)
            state["_dry_runs"] = dict(self._dry_runs)
        del state["_lock"], state["_deciding"], state["_stamp_arrays"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Every field is checked before any is applied: a tampered or damaged
        # state raises naming the field, and leaves nothing half restored.
        restored = _restored_state(state, subclass=type(self) is not Population)
        self.__dict__.update(restored)
        self._stamp_arrays = {}
        self._lock = threading.Lock()
        self._deciding = None


#: The fields of a pickled Population.
_FIELDS: Final = ("_objectives", "_maximize", "_window", "_min_reports", "_percentile",
                  "_seed", "_policy", "_evaluations", "_selections")
#: Fields that older pickles lack: dry runs (none then), steps and times
#: (see `_restored_stamps`).
_LATER_FIELDS: Final = ("_dry_runs", "_stamps", "_last_steps")


def _restored_state(state: object, subclass: bool) -> dict[str, Any]:
    if not isinstance(state, dict):
        raise TypeError(f"cannot restore a Population from a {type(state).__name__}; its state "
                        "is a dict")
    for key in _FIELDS:
        if key not in state:
            raise ValueError(f"cannot restore a Population: its state lacks field {key!r}")
    for key in state:
        # A subclass's own attributes are its business; none may shadow ours.
        # (`Population[str](...)` notes its type argument in __orig_class__.)
        if key not in _FIELDS and key not in _LATER_FIELDS + ("__orig_class__",) and (
                not subclass or not isinstance(key, str) or hasattr(Population, key)
                or key in ("_lock", "_deciding")):
            raise ValueError(f"cannot restore a Population: its state has unknown field "
                             f"{key!r}")
    out = dict(state)
    with _field("_objectives"):
        names = state["_objectives"]
        if not isinstance(names, tuple) or not names:
            raise TypeError(f"must be a non-empty tuple of names; got {names!r}")
        out["_objectives"] = v.objective_names(names, len(names))
    m = len(names)
    with _field("_maximize"):
        flags = state["_maximize"]
        if (not isinstance(flags, tuple) or len(flags) != m
                or not all(isinstance(f, (bool, np.bool_)) for f in flags)):
            raise TypeError(f"must be a tuple of {m} bools, one per objective; got {flags!r}")
        out["_maximize"] = tuple(bool(f) for f in flags)
    with _field("_window"):
        window = out["_window"] = WINDOW.check(state["_window"], "window")
    with _field("_min_reports"):
        least = MIN_REPORTS.check(state["_min_reports"], "min_reports")
        if least > window:
            raise ValueError(f"min_reports ({least}) exceeds window ({window})")
        out["_min_reports"] = least
    with _field("_percentile"):
        out["_percentile"] = PERCENTILE.check(state["_percentile"])
    with _field("_seed"):
        out["_seed"] = SEED.check(state["_seed"])
    with _field("_policy"):
        out["_policy"] = _policy_value(state["_policy"])
    with _field("_selections"):
        counter = out["_selections"] = IntRange(0, UINT64_MAX).check(
            state["_selections"], "the decision counter")
    with _field("_evaluations"):
        evaluations = state["_evaluations"]
        if not isinstance(evaluations, dict):
            raise TypeError(f"must be a dict of windows by member; got "
                            f"{type(evaluations).__name__}")
        out["_evaluations"] = {member: _restored_window(member, evals, out["_objectives"],
                                                        window)
                               for member, evals in evaluations.items()}
    _restored_stamps(state, out)
    with _field("_dry_runs"):
        eligible = sum(len(e) >= least for e in out["_evaluations"].values())
        dry_runs = state.get("_dry_runs", {})
        if not isinstance(dry_runs, dict):
            raise TypeError(f"must be a dict; got {type(dry_runs).__name__}")
        for key, number in dry_runs.items():
            if (not isinstance(key, tuple) or len(key) != 2 or not isinstance(key[1], bytes)
                    or len(key[1]) != eligible or not set(key[1]) <= {0, 1}
                    or key[0] not in out["_evaluations"]
                    or len(out["_evaluations"][key[0]]) < least):
                raise ValueError(f"holds the key {key!r}; a key is an eligible member and "
                                 f"one flag per eligible member ({eligible})")
            if isinstance(number, bool) or not isinstance(number, int) or not (
                    0 <= number < counter):
                raise ValueError(f"holds seed number {number!r}, not one already used "
                                 f"(0 to {counter - 1})")
        out["_dry_runs"] = dict(dry_runs)
    return out


def _restored_stamps(state: dict[str, Any], out: dict[str, Any]) -> None:
    """Checks the steps and times into `out`.  A pickle from before they were
    kept gets for each window steps 1 .. k and the time of restoring it,
    and its newest step as the member's last."""
    evaluations: dict[Any, deque[tuple[float, ...]]] = out["_evaluations"]
    window: int = out["_window"]
    if "_stamps" not in state and "_last_steps" not in state:
        now = wall_clock()
        out["_stamps"] = {m: deque(((s, now) for s in range(1, len(e) + 1)), maxlen=window)
                          for m, e in evaluations.items()}
        out["_last_steps"] = {m: len(e) for m, e in evaluations.items() if e}
        return
    with _field("_stamps"):
        stamps = state.get("_stamps")
        if not isinstance(stamps, dict) or stamps.keys() != evaluations.keys():
            raise ValueError("must be a dict with the members of _evaluations as keys; got "
                             f"{_short_repr(stamps)}")
        out["_stamps"] = {m: _restored_window_stamps(m, stamps[m], len(e), window)
                          for m, e in evaluations.items()}
    with _field("_last_steps"):
        last = state.get("_last_steps")
        if not isinstance(last, dict) or not last.keys() <= evaluations.keys():
            raise ValueError(f"must be a dict by member; got {_short_repr(last)}")
        restored: dict[Any, int] = {}
        for member, step in last.items():
            restored[member] = STEPS.check(step, f"the last step of member {member!r}")
        for member, kept in out["_stamps"].items():
            if kept and restored.get(member) != kept[-1][0]:
                raise ValueError(f"the last step of member {member!r} is "
                                 f"{restored.get(member)!r}, not its newest step {kept[-1][0]}")
        out["_last_steps"] = restored


def _restored_window_stamps(member: object, stamps: object, length: int,
                            window: int) -> deque[Stamp]:
    if not isinstance(stamps, deque) or stamps.maxlen != window or len(stamps) != length:
        raise ValueError(f"the steps and times of member {member!r} must be a deque of "
                         f"{length} (step, time) pairs, one per evaluation, keeping {window}")
    rows: list[Stamp] = []
    for r, stamp in enumerate(stamps):
        if not isinstance(stamp, tuple) or len(stamp) != 2:
            raise TypeError(f"evaluation {r} of member {member!r} has {_short_repr(stamp)}, "
                            "not a (step, time) pair")
        step, when = _step(member, stamp[0]), _time(member, stamp[1])
        if rows and step <= rows[-1][0]:
            raise ValueError(f"evaluation {r} of member {member!r} has step {step}, not "
                             f"greater than the step before it, {rows[-1][0]}")
        rows.append((step, when))
    return deque(rows, maxlen=window)


@contextmanager
def _field(name: str) -> Iterator[None]:
    """Names the field of a restored state that a check refused."""
    try:
        yield
    except (TypeError, ValueError) as exc:
        kind = TypeError if isinstance(exc, TypeError) else ValueError
        raise kind(f"cannot restore a Population: field {name!r}: {exc}") from None


def _restored_window(member: object, evals: object, names: tuple[str, ...],
                     window: int) -> deque[tuple[float, ...]]:
    if not isinstance(evals, deque):
        raise TypeError(f"the window of member {member!r} must be a deque; got "
                        f"{type(evals).__name__}")
    if evals.maxlen != window:
        raise ValueError(f"the window of member {member!r} keeps {evals.maxlen} evaluations; "
                         f"the window is {window}")
    rows: list[tuple[float, ...]] = []
    for r, row in enumerate(evals):
        if not isinstance(row, tuple) or len(row) != len(names):
            raise TypeError(f"evaluation {r} of member {member!r} must be a tuple of "
                            f"{len(names)} scores; got {_short_repr(row)}")
        if not all(type(x) is float for x in row):  # the usual case is checked below at once
            row = tuple(_score(member, name, x) for name, x in zip(names, row))
        rows.append(row)
    scores = np.array(rows, dtype=np.float64).reshape(len(rows), len(names))
    bad = np.argwhere(~(np.abs(scores) <= SCORE_LIMIT))
    if len(bad):
        r, j = (int(i) for i in bad[0])
        raise ValueError(f"evaluation {r} of member {member!r}, objective {names[j]!r} is "
                         f"{rows[r][j]!r}; a score is finite and within +-{SCORE_LIMIT:g}")
    return deque(rows, maxlen=window)


def _score(member_id: object, name: str, value: object) -> float:
    """One score as a float: a real number, finite and within SCORE_LIMIT."""
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
    return x


def _step(member_id: object, value: object) -> int:
    """One report's step: an integer in STEPS."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"step of member {member_id!r} must be an integer; got {value!r}")
    return STEPS.check(value, f"step of member {member_id!r}")


def _time(member_id: object, value: object) -> float:
    """One report's time: a finite real number."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"time of member {member_id!r} must be a real number; got {value!r}")
    try:
        x = float(value)
    except OverflowError:  # an int beyond the float range
        x = math.inf
    if not math.isfinite(x):
        raise ValueError(f"time of member {member_id!r} must be finite; got {value!r}")
    return x


def _policy_value(policy: object, made: bool = False) -> Policy:
    """`policy` once it is an instance that can be called with the evidence;
    when a population is `made` with it, also a pickle round trip."""
    if isinstance(policy, type):
        raise TypeError(f"policy must be a policy instance, not the class {policy.__name__}; "
                        f"pass an instance, e.g. {policy.__name__}()")
    if not callable(policy):
        raise TypeError(f"policy must be callable; got {type(policy).__name__}")
    try:
        params = signature(policy)
    except (TypeError, ValueError):  # no signature to read (some builtins): trusted
        params = None
    if params is not None:
        try:
            params.bind(None)
        except TypeError as exc:
            raise TypeError(f"policy {_short_repr(policy)} must be callable with one argument, "
                            f"the Evidence; its signature {params} does not bind one ({exc})"
                            ) from None
    if made:
        try:
            pickle.loads(pickle.dumps(policy))
        except Exception as exc:  # noqa: BLE001 - any failure means it does not round-trip
            # A warning, not an error: a population that is never pickled,
            # or pickled by cloudpickle, works with such a policy.
            why = re.sub(r" at 0x[0-9a-fA-F]+", "", str(exc))  # one warning per kind
            name = getattr(policy, "__qualname__", type(policy).__qualname__)
            warnings.warn(f"policy {name} does not pickle "
                          f"({type(exc).__name__}: {why}); a Population that is pickled, "
                          "e.g. saved by the Ray adapter, needs a policy that pickles: a "
                          "module-level function or an instance of a module-level class",
                          PolicyPicklingWarning, stacklevel=_caller_level())
    return cast(Policy, policy)


#: Frames a warning skips to name the caller's line: this package's, and
#: typing's (``Population[str](...)`` is called through it).
_OWN_FILES: Final = (str(Path(__file__).parent), typing.__file__)


def _caller_level() -> int:
    """The `stacklevel` of a warning of its caller that names the first line
    outside `_OWN_FILES`."""
    frame, level = sys._getframe(1), 1
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_OWN_FILES):
        frame, level = frame.f_back, level + 1
    return level


class PolicyPicklingWarning(UserWarning):
    """A population's policy does not survive a pickle round trip."""


def _short_repr(value: object, limit: int = 160) -> str:
    """`repr(value)`, cut short for a message."""
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


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

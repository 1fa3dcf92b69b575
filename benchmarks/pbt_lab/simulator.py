"""One simulated asynchronous multi-objective PBT run.

Members train at their own speeds (steps per unit of time, 0.5 to 1.5), so
they report at different times and steps.  After every step a member
reports a noisy evaluation to a `kestrovane.pbt.Population`; every
`interval` of its steps it asks the population what to do, as Ray's PBT
asks at each perturbation interval.  A "replace" copies the source's state
and perturbs its hyper-parameters.  The policy under test is the
population's; the oracle policy alone is shown the true scores.

Random streams are per member slot and purpose (initial state, drift,
evaluation noise, perturbation), so runs of different policies from one seed
start from the same population and meet the same noise as long as their
decisions agree: the comparisons are paired.
"""

from __future__ import annotations

import heapq
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from benchmarks.pbt_lab.worlds import OFFSET, START, F64, World, direction, reference_point
from kestrovane.pbt import Population
from kestrovane.pbt.policies import Policy

try:
    from moocore import hypervolume as _moocore_hv
except ImportError:  # pragma: no cover - the lab installs moocore
    _moocore_hv = None

#: Builds the run's policy; it is handed the run's truth, (ids) -> true scores.
PolicyFactory = Callable[[Callable[[tuple[int, ...]], F64]], Policy]


@dataclass(frozen=True)
class Settings:
    horizon: float = 40.0   # units of time (steps of an average member)
    interval: int = 4       # steps between a member's decisions
    window: int = 8
    min_reports: int = 2
    percentile: float = 0.25


@dataclass(frozen=True)
class RunResult:
    final_hv: float    # true hypervolume of the population at the end, % of the reference box
    mean_hv: float     # averaged over every unit of time
    replacements: int
    decisions: int


@dataclass
class Member:
    log_lr: float
    angles: F64
    distance: float
    speed: float
    steps: int = 0  # since its last decision

    def true_scores(self) -> F64:
        return (1.0 + self.distance) * (OFFSET + direction(self.angles))


def hypervolume_percent(points: F64, ref: F64) -> float:
    inside = points[(points < ref).all(axis=1)]
    if len(inside) == 0:
        return 0.0
    assert _moocore_hv is not None, "the lab needs moocore (make lab installs it)"
    return 100.0 * float(_moocore_hv(inside, ref=ref)) / float(np.prod(ref))


def simulate(world: World, m: int, n: int, seed: int, policy: PolicyFactory,
             settings: Settings = Settings()) -> RunResult:
    root = np.random.SeedSequence([seed, m, n])
    init_seq, *slot_seqs = root.spawn(1 + n)
    init = np.random.default_rng(init_seq)
    # Per slot: drift, noise, perturbation.
    streams = [[np.random.default_rng(s) for s in seq.spawn(3)] for seq in slot_seqs]
    members = [Member(log_lr=float(init.uniform(-4.0, 0.0)),
                      angles=init.uniform(0.0, 1.0, m - 1),
                      distance=float(init.uniform(*START)),
                      speed=float(init.uniform(0.5, 1.5))) for _ in range(n)]

    def truth(ids: tuple[int, ...]) -> F64:
        return np.array([members[i].true_scores() for i in ids])

    pop = Population[int]([f"f{j}" for j in range(m)], window=settings.window,
                          min_reports=settings.min_reports, percentile=settings.percentile,
                          seed=seed, policy=policy(truth))
    ref = reference_point(m)
    events = [(1.0 / x.speed, i) for i, x in enumerate(members)]
    heapq.heapify(events)
    everyone = tuple(range(n))
    snapshots: list[float] = []  # the true hypervolume at times 1, 2, ...

    def snapshots_until(t: float) -> None:
        while len(snapshots) + 1 <= t:
            snapshots.append(hypervolume_percent(truth(everyone), ref))

    replacements = decisions = 0
    while events:
        now, i = heapq.heappop(events)
        if now > settings.horizon:
            break
        snapshots_until(now)
        x = members[i]
        drift, noise, perturb = streams[i]
        rate, floor = world.rate(x.log_lr), world.floor(x.log_lr)
        x.distance = floor + (x.distance - floor) * (1.0 - rate) if x.distance > floor \
            else x.distance
        x.log_lr = float(np.clip(x.log_lr + drift.normal(0.0, 0.03), -4.0, 0.0))
        x.angles = np.clip(x.angles + drift.normal(0.0, 0.01, m - 1), 0.0, 1.0)
        evaluation = x.true_scores() + world.evaluation_error(noise, world.sd(x.log_lr), m)
        pop.report(i, evaluation)
        x.steps += 1
        if x.steps >= settings.interval:
            x.steps = 0
            decision = pop.decide(i)
            decisions += 1
            if decision.action == "replace" and decision.source is not None:
                src = members[decision.source]
                replacements += 1
                x.distance = src.distance
                x.log_lr = float(np.clip(src.log_lr + perturb.choice([-0.2, 0.2]), -4.0, 0.0))
                x.angles = np.clip(src.angles + perturb.normal(0.0, 0.08, m - 1), 0.0, 1.0)
        heapq.heappush(events, (now + 1.0 / x.speed, i))
    snapshots_until(settings.horizon)
    final = hypervolume_percent(truth(everyone), ref)
    total = 0.0
    for hv in snapshots:  # in time order, plainly (sum() would compensate)
        total += hv
    return RunResult(final, total / max(len(snapshots), 1), replacements, decisions)

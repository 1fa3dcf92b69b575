"""One simulated asynchronous PBT run in a world family.

Members train at their own speeds (`Family.speed`), so they report at
different times and steps.  After every step a member reports a noisy
evaluation to a `kestrovane.pbt.Population`; every `interval` of its steps it
asks the population what to do, as Ray's PBT asks at each perturbation
interval.  A "replace" copies the source's state and perturbs its
hyper-parameters (`Family.exploit`).  The policy under test is the
population's; the oracle policy alone is shown the true scores.

Random streams are per member slot and purpose (initial state, training,
evaluation noise, perturbation), keyed by family, design and seed, so runs
of different policies start from the same population and meet the same
noise as long as their decisions agree: the comparisons are paired.

At the end the run also scores the ways a user can pick the members to keep
(`KEEPERS`): each picks the same number of members (as many as the front of
the window means holds), and its loss is the true hypervolume of the whole
population's true front minus that of the picked members' true scores.
"""

from __future__ import annotations

import heapq
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

from benchmarks.hypervolume import hypervolume_percent
from benchmarks.pbt_lab.families import Family, Trial
from kestrovane import rate
from kestrovane._api.front import nondominated
from kestrovane.pbt import Population
from kestrovane.pbt.policies import Policy
from kestrovane.pbt.streams import keyed_root, slot_streams

F64 = NDArray[np.float64]
#: Builds the run's policy; it is handed the run's truth, (ids) -> true scores.
PolicyFactory = Callable[[Callable[[tuple[int, ...]], F64]], Policy]

#: How a user may pick the members to keep at the end, by what it rates.
KEEPERS = ("means", "last", "chances")


@dataclass(frozen=True)
class Design:
    """The settings a user chose for one run."""

    m: int
    n: int
    window: int
    percentile: float
    interval: int = 4    # steps between a member's decisions
    min_reports: int = 2


@dataclass(frozen=True)
class RunResult:
    final_hv: float      # true hypervolume of the population at the end, % of the reference box
    mean_hv: float       # averaged over every unit of time
    replacements: int
    decisions: int
    steps: int           # training steps taken by all members together
    #: Per keeper: true hypervolume lost by keeping its pick (% of the box).
    keep_loss: dict[str, float] = field(default_factory=dict)
    kept: int = 0        # members each keeper picked


def streams_root(family: Family, design: Design, seed: int) -> np.random.SeedSequence:
    """The run's root seed: the same for every policy."""
    return keyed_root([zlib.crc32(family.name.encode()), seed, design.m, design.n,
                       design.window, int(round(design.percentile * 1000)), design.interval])


def keepers(pop: Population[int], truth: Callable[[tuple[int, ...]], F64], ref: F64
            ) -> tuple[dict[str, float], int]:
    """Each way of picking the members to keep, scored by the true
    hypervolume it loses; all pick as many as the window means' front holds."""
    ids = tuple(i for i in pop.members if pop.reports(i) >= pop.min_reports)
    if len(ids) < 2:
        return {k: 0.0 for k in KEEPERS}, 0
    windows = [np.asarray(pop.evaluations(i)) for i in ids]
    means = np.array([w.mean(axis=0) for w in windows])
    last = np.array([w[-1] for w in windows])
    size = int(nondominated(means).sum())
    picks = {
        "means": np.asarray(rate(means).order)[:size],
        "last": np.asarray(rate(last).order)[:size],
        "chances": np.array([ids.index(i) for i in
                             pop.front_chances(n_samples=2000).likely(size)]),
    }
    true = truth(ids)
    best = hypervolume_percent(true, ref)
    return {k: best - hypervolume_percent(true[rows], ref) for k, rows in picks.items()}, size


def simulate(family: Family, design: Design, seed: int, policy: PolicyFactory) -> RunResult:
    m, n = design.m, design.n
    # Per slot: initial state, training, evaluation noise, perturbation.
    streams = slot_streams(streams_root(family, design, seed), n, 4)
    trials: list[Trial] = [family.start(m, streams[i][0]) for i in range(n)]

    def truth(ids: tuple[int, ...]) -> F64:
        return np.array([family.truth(trials[i]) for i in ids])

    pop = Population[int]([f"f{j}" for j in range(m)], window=design.window,
                          min_reports=design.min_reports, percentile=design.percentile,
                          seed=seed, policy=policy(truth))
    ref = family.reference(m)
    horizon = float(family.horizon)
    events = [(1.0 / family.speed(t), i) for i, t in enumerate(trials)]
    heapq.heapify(events)
    everyone = tuple(range(n))
    snapshots: list[float] = []  # the true hypervolume at times 1, 2, ...
    since = [0] * n  # steps since each member's last decision

    def snapshots_until(t: float) -> None:
        while len(snapshots) + 1 <= t:
            snapshots.append(hypervolume_percent(truth(everyone), ref))

    replacements = decisions = steps = 0
    while events:
        now, i = heapq.heappop(events)
        if now > horizon:
            break
        snapshots_until(now)
        _, train, noise, perturb = streams[i]
        family.train(trials[i], train)
        steps += 1
        pop.report(i, family.evaluate(trials[i], noise).tolist())
        since[i] += 1
        if since[i] >= design.interval:
            since[i] = 0
            decision = pop.decide(i)
            decisions += 1
            if decision.action == "replace" and decision.source is not None:
                replacements += 1
                trials[i] = family.exploit(trials[i], trials[decision.source], perturb)
        heapq.heappush(events, (now + 1.0 / family.speed(trials[i]), i))
    snapshots_until(horizon)
    final = hypervolume_percent(truth(everyone), ref)
    total = 0.0
    for hv in snapshots:  # in time order, plainly (sum() would compensate)
        total += hv
    loss, kept = keepers(pop, truth, ref)
    return RunResult(final, total / max(len(snapshots), 1), replacements, decisions, steps,
                     loss, kept)

"""One training run: a population trained in rounds, reporting noisy
validation scores to a `kestrovane.pbt.Population` and exploiting as its
policy decides.

Fairness is built into the streams.  Everything random that does not depend
on the method comes from streams keyed by (task, population, seed, purpose,
member): the initial configurations and network seeds, every member's
mini-batches and training noise, the validation subsets of its reports, the
perturbations and the order in which members decide.  So every method
starts from the same configurations and sees the same data for a seed; the
member in a slot keeps its own mini-batch stream after it copies another.
Every member trains every step of every round (a copy is taken between
rounds, from a member at the same step), so the budget is the same for
every method, and it is counted, not assumed.
"""

from __future__ import annotations

import hashlib
import json
import time
from dataclasses import asdict, dataclass
from typing import Any

import numpy as np

from benchmarks.real_training.methods import policy
from benchmarks.real_training.network import Networks
from benchmarks.real_training.tasks import BATCH, F64, TASK_NAMES, Task, tasks
from kestrovane.pbt import Population

#: Stream purposes (the fourth entry of a stream's key).
INIT, BATCHES, REPORTS, PERTURB, ORDER, EXACT = range(6)
RESAMPLE = 0.25          # Ray's resample_probability
FACTORS = (0.8, 1.2)     # Ray's perturbation factors


@dataclass(frozen=True)
class Settings:
    """What a run is; the cache key of its result."""

    task: str
    population: int
    seed: int
    rounds: int = 30
    steps: int = 100           # training steps per member per round (one report each)
    interval: int = 2          # rounds between decisions (Ray's perturbation_interval)
    window: int = 8
    percentile: float = 0.25

    def key(self, method: str) -> str:
        return json.dumps({"method": method, **asdict(self)}, sort_keys=True)


def stream(s: Settings, purpose: int, member: int = 0) -> np.random.Generator:
    task_code = TASK_NAMES.index(s.task)
    return np.random.default_rng(np.random.SeedSequence(
        s.seed, spawn_key=(task_code, s.population, purpose, member)))


def initial(s: Settings) -> tuple[list[dict[str, float]], list[int]]:
    """The initial configurations and network seeds of a run (any method)."""
    task, rng = tasks()[s.task], stream(s, INIT)
    configs = [{k: task.space[k].sample(rng) for k in sorted(task.space)}
               for _ in range(s.population)]
    seeds = [int(x) for x in rng.integers(0, 2**63, s.population)]
    return configs, seeds


def digest(obj: Any) -> str:
    return hashlib.sha256(json.dumps(obj, sort_keys=True).encode()).hexdigest()[:16]


def perturbed(task: Task, config: dict[str, float], rng: np.random.Generator
              ) -> dict[str, float]:
    """Ray's explore step: each value resampled from its prior with chance
    0.25, else multiplied by 0.8 or 1.2 (kept inside its range)."""
    out = {}
    for k in sorted(config):
        r = task.space[k]
        if rng.random() < RESAMPLE:
            out[k] = r.sample(rng)
        else:
            out[k] = r.clip(config[k] * FACTORS[int(rng.integers(2))])
    return out


def capped(task: Task, scores: F64) -> F64:
    """Scores at most 10 times the uninformed predictor's: a member whose
    training diverged reports a finite, very bad score (NaN included)."""
    cap = 10.0 * np.asarray(task.reference)
    return np.minimum(np.nan_to_num(scores, nan=np.inf), cap)


def run(s: Settings, method: str) -> dict[str, Any]:
    """Train one population under `method`; the record the benchmark keeps."""
    with np.errstate(all="ignore"):  # a diverging member overflows; its scores are capped
        return _run(s, method)


def _run(s: Settings, method: str) -> dict[str, Any]:
    start = time.perf_counter()
    task = tasks()[s.task]
    train, val, test = task.split("train"), task.split("val"), task.split("test")
    configs, net_seeds = initial(s)
    started = digest({"configs": configs, "network_seeds": net_seeds})
    nets = Networks.initial(net_seeds, task.encode(train.x[:1]).shape[1], task.hidden,
                            task.outputs)
    p = s.population
    batch_rng = [stream(s, BATCHES, i) for i in range(p)]
    report_rng = [stream(s, REPORTS, i) for i in range(p)]
    perturb_rng = [stream(s, PERTURB, i) for i in range(p)]
    order_rng = stream(s, ORDER)
    # The whole validation split with one fixed draw of pixel noise: the
    # oracle's scores and the final choice of members.
    val_noise = stream(s, EXACT).normal(0.0, task.eval_noise, val.x.shape)
    exact: list[F64] = []

    def exact_scores() -> F64:
        if not exact:
            exact.append(capped(task, task.scores(nets, val.x, val.y, val_noise)))
        return exact[0]

    rule = policy(method, exact_scores)
    pop = None if rule is None else Population[int](
        list(task.objectives), window=s.window, percentile=s.percentile, seed=s.seed,
        policy=rule)
    trained = np.zeros(p, dtype=np.int64)
    exploits = decisions = 0
    decide_seconds = 0.0
    for r in range(s.rounds):
        lr = np.array([c["lr"] for c in configs])
        decay = np.array([c["decay"] for c in configs])
        idx = np.stack([g.integers(len(train.y), size=(s.steps, BATCH)) for g in batch_rng])
        for step in range(s.steps):
            x = task.train_inputs(train.x[idx[:, step]], configs, batch_rng)
            hidden, out = nets.forward(x)
            nets.step(x, task.loss_gradient(out, train.y[idx[:, step]], configs), hidden,
                      lr, decay)
            trained += 1
        exact.clear()
        if pop is None:
            continue
        subsets = np.stack([task.subset_indices(val.y, g) for g in report_rng])
        x = val.x[subsets]
        noise = np.stack([g.normal(0.0, task.eval_noise, x.shape[1:]) for g in report_rng])
        for i, row in enumerate(capped(task, task.scores(nets, x, val.y[subsets], noise))):
            pop.report(i, row.tolist())
        # The last round's reports only fill the windows a user keeps members by.
        if (r + 1) % s.interval or r == s.rounds - 1:
            continue
        for m in order_rng.permutation(p).tolist():
            t0 = time.perf_counter()
            d = pop.decide(m)
            decide_seconds += time.perf_counter() - t0
            decisions += 1
            if d.action == "replace" and d.source is not None:
                nets.copy_member(d.source, m)
                configs[m] = perturbed(task, configs[d.source], perturb_rng[m])
                if exact:
                    exact[0][m] = exact[0][d.source]
                exploits += 1
    test_noise = np.random.default_rng(np.random.SeedSequence(20261207, spawn_key=(EXACT,))
                                       ).normal(0.0, task.eval_noise, test.x.shape)
    kept: dict[str, Any] = {}
    if pop is not None:
        chances = pop.front_chances(n_samples=2000)
        kept = {"windows": [pop.evaluations(i).tolist() for i in range(p)],
                "front_ids": list(chances.ids), "p_front": chances.p_front.tolist()}
    return {
        "key": s.key(method), "method": method, **asdict(s), **kept,
        "started": started, "trained_steps": trained.tolist(),
        "exploits": exploits, "decisions": decisions,
        "val": capped(task, task.scores(nets, val.x, val.y, val_noise)).tolist(),
        "test": capped(task, task.scores(nets, test.x, test.y, test_noise)).tolist(),
        "final_configs": configs,
        "decide_seconds": decide_seconds, "seconds": time.perf_counter() - start,
    }

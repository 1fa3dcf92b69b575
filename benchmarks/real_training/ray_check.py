"""The same task through Ray Tune, one trial per member: `ParetoPBT` with the
default policy and with the plain rule, Ray's own `PopulationBasedTraining`
(stock PBT) and random search.

The bulk of the benchmark runs its populations in one process (`run.py`);
this smaller run checks that Ray's asynchronous scheduler gives the same
picture.  It keeps the fairness of the loop: the trials start from the loop's
configurations and network seeds for a seed (a grid over the member's slot),
every trial draws its mini-batches and validation subsets from the loop's
streams for its slot, and every trial trains exactly the loop's budget of
steps, counted by the trial itself in its own directory (a copy takes the
source's weights, never its count), so a copy of a trial further ahead does
not skip steps.  Ray orders reports and decisions itself, and perturbs with
its own random numbers, so the numbers agree with the loop's in
distribution, not bit for bit.
"""

from __future__ import annotations

import json
import os
import tempfile
import time
from pathlib import Path
from dataclasses import asdict
from typing import Any

import numpy as np

from benchmarks.real_training.network import Networks
from benchmarks.real_training.run import (BATCHES, EXACT, REPORTS, Settings, capped, digest,
                                          initial, stream)
from benchmarks.real_training.tasks import BATCH, tasks

METHODS = ("default", "plain", "stock", "random")
OWN_STATE = "member_budget.json"   # the trial's own count and streams, never copied
NAMES = ("w1", "b1", "w2", "b2", "v1", "c1", "v2", "c2")  # weights, then momentum


def trainable(config: dict[str, Any]) -> None:
    from ray import tune

    s = Settings(**config["settings"])
    own = Path(tune.get_context().get_trial_dir()) / OWN_STATE
    state = json.loads(own.read_text()) if own.exists() else None
    # Ray's exploit copies the source's whole config, "slot" included: the
    # trial's own slot is the one it started in.
    slot = int(config["slot"]) if state is None else int(state["slot"])
    task = tasks()[s.task]
    train, val, test = task.split("train"), task.split("val"), task.split("test")
    net_seed = initial(s)[1][slot]
    nets = Networks.initial([net_seed], task.encode(train.x[:1]).shape[1], task.hidden,
                            task.outputs)
    batch_rng, report_rng = stream(s, BATCHES, slot), stream(s, REPORTS, slot)
    trained, iteration = 0, 0
    if state is not None:
        trained, iteration = state["trained"], state["iteration"]
        batch_rng.bit_generator.state = state["batches"]
        report_rng.bit_generator.state = state["reports"]
    checkpoint = tune.get_checkpoint()
    if checkpoint:
        with checkpoint.as_directory() as d, np.load(os.path.join(d, "net.npz")) as f:
            for a, name in zip(nets.params + nets.velocity, NAMES):
                a[...] = f[name]
    hp = [{k: float(config[k]) for k in task.space}]
    lr, decay = np.array([hp[0]["lr"]]), np.array([hp[0]["decay"]])
    budget = s.rounds * s.steps
    with np.errstate(all="ignore"):
        while trained < budget:
            idx = batch_rng.integers(len(train.y), size=(s.steps, BATCH))
            for step in range(s.steps):
                x = task.train_inputs(train.x[idx[step]][None], hp, [batch_rng])
                hidden, out = nets.forward(x)
                nets.step(x, task.loss_gradient(out, train.y[idx[step]][None], hp), hidden,
                          lr, decay)
            trained += s.steps
            iteration += 1
            own.write_text(json.dumps({"slot": slot, "trained": trained, "iteration": iteration,
                                       "batches": batch_rng.bit_generator.state,
                                       "reports": report_rng.bit_generator.state}))
            metrics: dict[str, Any] = {"trained_steps": trained, "own_slot": slot}
            if trained < budget:
                sub = task.subset_indices(val.y, report_rng)
                noise = report_rng.normal(0.0, task.eval_noise, (len(sub), val.x.shape[1]))
                row = capped(task, task.scores(nets, val.x[sub][None], val.y[sub][None],
                                               noise[None]))[0]
                metrics.update(dict(zip(task.objectives, row.tolist())))
            else:  # the last result carries no metric: not a decision point
                val_noise = stream(s, EXACT).normal(0.0, task.eval_noise, val.x.shape)
                test_noise = np.random.default_rng(np.random.SeedSequence(
                    20261207, spawn_key=(EXACT,))).normal(0.0, task.eval_noise, test.x.shape)
                metrics["val"] = capped(task, task.scores(nets, val.x, val.y, val_noise))[0]\
                    .tolist()
                metrics["test"] = capped(task, task.scores(nets, test.x, test.y, test_noise))[0]\
                    .tolist()
            with tempfile.TemporaryDirectory() as d:
                arrays = dict(zip(NAMES, nets.params + nets.velocity))
                np.savez(os.path.join(d, "net.npz"), **arrays)  # type: ignore[arg-type]
                tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(d))


def _initial_value(configs: list[dict[str, float]], key: str) -> Any:
    """A sampler giving the slot's initial value of `key` (the loop's)."""
    def value(config: dict[str, Any]) -> float:
        return float(configs[config["slot"]][key])
    return value


def experiment(s: Settings, method: str) -> dict[str, Any]:
    """One Ray Tune experiment; a record shaped like the loop's."""
    from ray import tune
    from ray.tune.schedulers import PopulationBasedTraining

    from kestrovane.integrations.ray_tune import ParetoPBT
    from kestrovane.pbt.policies import ParetoRule

    task = tasks()[s.task]
    configs, net_seeds = initial(s)
    space: dict[str, Any] = {"settings": asdict(s),
                             "slot": tune.grid_search(list(range(s.population)))}
    for k in task.space:
        space[k] = tune.sample_from(_initial_value(configs, k))
    mutations = {k: (tune.loguniform(r.low, r.high) if r.log else tune.uniform(r.low, r.high))
                 for k, r in task.space.items()}
    common: dict[str, Any] = dict(
        quantile_fraction=s.percentile, perturbation_interval=s.interval,
        time_attr="training_iteration", hyperparam_mutations=mutations, require_attrs=False)
    scheduler: PopulationBasedTraining | None = None
    if method == "stock":   # Ray's own PBT on the one objective
        scheduler = PopulationBasedTraining(metric=task.objectives[0], mode="min", **common)
    elif method != "random":
        scheduler = ParetoPBT({name: "min" for name in task.objectives}, window=s.window,
                              seed=s.seed, policy=ParetoRule() if method == "plain" else None,
                              **common)
    start = time.perf_counter()
    with tempfile.TemporaryDirectory() as storage:
        grid = tune.Tuner(
            tune.with_resources(trainable, {"cpu": 0.25}), param_space=space,
            tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=1, reuse_actors=True),
            run_config=tune.RunConfig(storage_path=storage, verbose=int(os.environ.get("RAY_VERBOSE", "0"))),
        ).fit()
        assert not grid.errors, grid.errors
        finals = [grid[i].metrics or {} for i in range(len(grid))]
        slots = [int(f["own_slot"]) for f in finals]
    order = np.argsort(slots)
    return {"key": s.key(method) + " ray", "method": method, "task": s.task,
            "population": s.population, "seed": s.seed,
            "started": digest({"configs": configs, "network_seeds": net_seeds}),
            "trained_steps": [finals[i]["trained_steps"] for i in order],
            "exploits": (len(scheduler.exploits) if isinstance(scheduler, ParetoPBT)
                         else getattr(scheduler, "_num_perturbations", 0)),
            "val": [finals[i]["val"] for i in order], "test": [finals[i]["test"] for i in order],
            "seconds": time.perf_counter() - start}

"""Trainables and schedulers of the Ray Tune tests, in a module of their own so
that Ray's workers (and a driver in another process) can import them: the
tests put this folder on the workers' PYTHONPATH."""

import json
import math
import os
import random
import tempfile
import time

from types import SimpleNamespace as NS

import numpy as np
from pyarrow.fs import LocalFileSystem
from ray import tune

from kestrovane.integrations.ray_tune import ParetoPBT


def _load(default):
    checkpoint = tune.get_checkpoint()
    if not checkpoint:
        return default
    with checkpoint.as_directory() as d, open(os.path.join(d, "state.json")) as f:
        return json.load(f)


def _report(metrics, state, save=True):
    if not save:
        tune.report(metrics)
        return
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "state.json"), "w") as f:
            json.dump(state, f)
        tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(d))


def trainable(config):
    """Progress grows by `lr` per step; loss falls and score rises with it, noisily.
    The checkpoint names the trial that wrote it, so a trial restored from
    another's checkpoint can tell whose it is."""
    me = tune.get_context().get_trial_id()
    state = _load({"step": 0, "level": 0.0, "owner": me})
    restored_from = state["owner"] if state["owner"] != me else ""
    time.sleep(config.get("delay", 0.0))
    while True:
        rng = random.Random(f"{me}-{state['step']}")
        state["step"] += 1
        state["level"] += config["lr"]
        metrics = {"loss": math.exp(-state["level"]) + rng.gauss(0, 0.02),
                   "score": state["level"] + rng.gauss(0, 0.1), "restored_from": restored_from,
                   "node": os.environ.get("KESTROVANE_TEST_NODE", "")}
        _report(metrics, dict(state, owner=me))
        restored_from = ""
        time.sleep(config.get("delay", 0.0))


def fixed(config):
    """A trial of fixed quality `q` (clearly separated from the others), reported
    as NumPy scalars; quality travels with the checkpoint.  `diverge_at` makes
    the model NaN from that step on (until it copies another's checkpoint);
    `bool_at` reports `score` as a bool at that step; `save` False never
    checkpoints.  With `late_at`, the trial reports that step only once the
    scheduler has passed trial q=`after` through it (`Recording` notes that
    in the folder `marks`), and the next only once every trial has passed it.
    The settings may come as config["cfg"] (a grid of dicts)."""
    config = config.get("cfg", config)
    me = tune.get_context().get_trial_id()
    state = _load({"step": 0, "q": config["q"], "nan": False, "owner": me})
    state["copied"] = state["owner"] if state["owner"] != me else ""
    if state["step"] == 0 and "barrier" in config:
        _barrier(config["barrier"], config["n"], me)
    while True:
        state["step"] += 1
        rng = np.random.default_rng([int(config["q"] * 1000), state["step"]])
        if state["step"] == config.get("diverge_at", -1) and state["owner"] == me:
            state["nan"] = True
        q = math.nan if state["nan"] else state["q"]
        score = bool(q > 0) if state["step"] == config.get("bool_at", -1) \
            else math.nan if state["nan"] else np.int64(round(10 * q))
        if state["step"] == config.get("late_at", -1) and config.get("after") is not None:
            _wait_for(lambda: os.path.exists(os.path.join(config["marks"], str(config["after"]))))
        elif state["step"] > config.get("late_at", 1e9):
            # Alive (and copyable) until the others have passed their step.
            _wait_for(lambda: len(os.listdir(config["marks"])) >= config["n"])
        metrics = {"loss": np.float32(-q + rng.normal(0, 0.01)), "score": score,
                   "copied": state["copied"]}
        _report(metrics, dict(state, owner=me), save=config.get("save", True))
        time.sleep(0.1)


def _wait_for(condition, timeout=120.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("the trials waiting for each other never got on")
        time.sleep(0.05)


def _barrier(folder, n, me, timeout=120.0):
    """Waits until `n` trials have started, so that the order of their
    perturbation steps is set by their `late` delays, not by start-up."""
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, me), "w").close()
    deadline = time.monotonic() + timeout
    while len(os.listdir(folder)) < n and time.monotonic() < deadline:
        time.sleep(0.05)


class Recording(ParetoPBT):
    """Notes each trial's results and the exploits made so far when each came."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.results = []
        self.first_config = {}
        self.first_tag = {}

    def on_trial_add(self, tune_controller, trial):
        super().on_trial_add(tune_controller, trial)
        self.first_config.setdefault(trial.trial_id, dict(trial.config))
        self.first_tag.setdefault(trial.trial_id, trial.experiment_tag)

    def on_trial_result(self, tune_controller, trial, result):
        self.results.append((trial.trial_id, len(self.exploits), dict(result)))
        decision = super().on_trial_result(tune_controller, trial, result)
        # See `fixed`; an exploit gives the trial the source's config: the first names it.
        cfg = self.first_config[trial.trial_id].get("cfg", {})
        if "marks" in cfg and result.get("training_iteration") == cfg["late_at"]:
            open(os.path.join(cfg["marks"], str(cfg["q"])), "w").close()
        return decision


class Probed(ParetoPBT):
    """Notes what the scheduler held right after reading its state back; the
    class keeps the last one that opened its state (a restored driver's comes
    from Tune's tuner.pkl)."""

    at_restore = None
    latest = None

    def _open_store(self, trial):
        super()._open_store(trial)
        type(self).latest = self
        if self.restored_from is not None:
            pop = self.population
            self.at_restore = {"reports": {m: pop.reports(m) for m in pop.members},
                               "exploits": list(self.exploits),
                               "selections": pop._selections}


class FakeTrial:
    """What the scheduler's hooks read of a Ray trial, for tests without a cluster."""

    def __init__(self, tid, folder, status):
        self.trial_id = self.experiment_tag = tid
        self.status, self.config, self.checkpoint = status, {"lr": 0.1}, f"ckpt {tid}"
        self.storage = NS(storage_filesystem=LocalFileSystem(), experiment_fs_path=str(folder))
        self.run_metadata = NS(checkpoint_manager=NS(checkpoint_config=NS(num_to_keep=None)))
        self.is_finished = lambda: self.status == "TERMINATED"
        self.set_experiment_tag = self.set_config = lambda value: None

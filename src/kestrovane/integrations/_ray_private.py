"""Every private name of Ray that `ParetoPBT` uses, and why no public hook serves.

Ray's public scheduler interface (`on_trial_add`, `on_trial_result`,
`on_trial_complete`, `on_trial_error`, `on_trial_remove`,
`choose_trial_to_run`, the CONTINUE / PAUSE / NOOP decisions,
`TuneController.get_trials` and `pause_trial`, `Trial.set_config` and
`set_experiment_tag`) carries results, departures, pauses and
configurations.  It has no way to ask a running trial for a checkpoint, to
hand one trial another's checkpoint to resume from, nor Ray's own
perturbation of a configuration; these are the entries of `ENTRIES`.

`check()` runs at import and refuses a Ray whose entries are gone or take
other parameters; tests/test_ray_private.py holds each entry to its
behaviour on the installed Ray.  A new Ray release needs only this file
audited.
"""

from __future__ import annotations

import copy
import importlib
import inspect
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from ray.tune.execution.tune_controller import TuneController
from ray.tune.experiment import Trial


@dataclass(frozen=True)
class Entry:
    """One private name: its module, its path there, the parameters it must take, why."""

    module: str
    path: str
    params: tuple[str, ...] | None
    why: str

    def target(self) -> Any:
        """The name on the installed Ray, None if it is not there."""
        try:
            found: Any = importlib.import_module(self.module)
        except ImportError:
            return None
        for part in self.path.split("."):
            found = getattr(found, part, None)
        return found

    def problem(self) -> str | None:
        """What is wrong with this entry on the installed Ray, None if nothing."""
        target, where = self.target(), f"{self.module}.{self.path}"
        if target is None:
            return f"{where} is gone"
        if self.params is not None:
            found = tuple(inspect.signature(target).parameters)
            if found != self.params:
                return f"{where} takes ({', '.join(found)}), not ({', '.join(self.params)})"
        return None


_PBT = "ray.tune.schedulers.pbt"
_SESSION = "ray.train._internal.session"
ENTRIES: dict[str, Entry] = {
    "explore": Entry(
        _PBT, "_explore",
        ("config", "mutations", "resample_probability", "perturbation_factors",
         "custom_explore_fn"),
        "Ray's perturbation of a copied configuration (hyperparam_mutations, "
        "resample_probability, perturbation_factors, custom_explore_fn); Ray exposes it "
        "only inside PopulationBasedTraining's private exploit, and calling it keeps the "
        "configurations and their random numbers Ray's own"),
    "experiment_tag": Entry(
        _PBT, "_make_experiment_tag", ("orig_tag", "config", "mutations"),
        "the trial name with its perturbed values that Ray's PBT shows, made the same way"),
    "schedule_save": Entry(
        "ray.tune.execution.tune_controller", "TuneController._schedule_trial_save", ("self", "trial", "result"),
        "asks a running trial for a checkpoint without pausing it; the public "
        "pause_trial(should_checkpoint=True) would stop every winner"),
    "future_result": Entry(
        _SESSION, "_FutureTrainingResult", ("future",),
        "what schedule_save returns and a saving trial holds in temporary_state.saving_to: "
        "resolve() waits for the checkpoint when the trial is copied"),
    "training_result": Entry(
        _SESSION, "_TrainingResult", ("checkpoint", "metrics"),
        "a (checkpoint, metrics) pair, the form in which a trial holds the checkpoint it "
        "resumes from"),
    "pickled_settings": Entry(
        _PBT, "PopulationBasedTraining.__init__",
        ("self", "time_attr", "metric", "mode", "perturbation_interval", "burn_in_period",
         "hyperparam_mutations", "quantile_fraction", "resample_probability",
         "perturbation_factors", "custom_explore_fn", "log_config", "require_attrs", "synch"),
        "a ParetoPBT pickled into tuner.pkl by an earlier kestrovane, which did not keep "
        "Ray's settings itself, holds them only as Ray's attributes, each argument `name` "
        "as `_name`; restoring such an experiment reads them from there"),
    "latest_checkpoint_result": Entry(
        "ray.train._internal.checkpoint_manager", "_CheckpointManager.latest_checkpoint_result",
        None,
        "a paused trial resumes from its checkpoint manager's latest result; there is no "
        "public setter, so an exploit writes its private _latest_checkpoint_result, which "
        "this property (and Trial.checkpoint) reads"),
}


def check() -> list[str]:
    """The entries missing or changed on the installed Ray, each named."""
    found = []
    for key, entry in ENTRIES.items():
        problem = entry.problem()
        if problem is not None:
            found.append(f"{key}: {problem}")
    return found


def pickled_settings(state: dict[str, Any]) -> dict[str, Any]:
    """The settings of PopulationBasedTraining in a pickled scheduler's attributes, but for
    those that ParetoPBT sets from its own (`metric`, `mode`, `quantile_fraction`)."""
    names = list(inspect.signature(ENTRIES["pickled_settings"].target()).parameters)[1:]
    return {name: state[f"_{name}"] for name in names
            if name not in ("metric", "mode", "quantile_fraction")}


def explore(config: dict[str, Any], mutations: dict[str, Any], resample_probability: float,
            perturbation_factors: tuple[float, ...],
            custom_explore_fn: Callable[[dict[str, Any]], dict[str, Any]] | None,
            ) -> tuple[dict[str, Any], dict[str, Any]]:
    """Ray's perturbed copy of `config` and the operation applied to each value."""
    explored: tuple[dict[str, Any], dict[str, Any]] = ENTRIES["explore"].target()(
        config, mutations, resample_probability, perturbation_factors, custom_explore_fn)
    return explored


def experiment_tag(orig_tag: str, config: dict[str, Any], mutations: dict[str, Any]) -> str:
    tag: str = ENTRIES["experiment_tag"].target()(orig_tag, config, mutations)
    return tag


def request_checkpoint(controller: TuneController, trial: Trial,
                       result: dict[str, Any] | None) -> object:
    """A pending checkpoint of the running `trial` (None if it is already stopping)."""
    return controller._schedule_trial_save(trial, result=result)


def pending_checkpoint(trial: Trial) -> object:
    """The checkpoint a paused trial is still saving, None if there is none."""
    saving = trial.temporary_state.saving_to
    return saving if is_pending(saving) else None


def is_pending(checkpoint: object) -> bool:
    return isinstance(checkpoint, ENTRIES["future_result"].target())


def settle(pending: object) -> tuple[object, dict[str, Any] | None] | None:
    """The checkpoint and metrics a pending checkpoint came to (waiting for it), None if
    the trial saved none."""
    assert is_pending(pending)
    result = pending.resolve()  # type: ignore[attr-defined]
    if result is None:
        return None
    return result.checkpoint, result.metrics


def resume_from(trial: Trial, checkpoint: Any, metrics: Any) -> None:
    """Makes a paused `trial` resume from a shallow copy of `checkpoint`."""
    manager: Any = trial.run_metadata.checkpoint_manager
    manager._latest_checkpoint_result = ENTRIES["training_result"].target()(
        checkpoint=copy.copy(checkpoint), metrics=metrics)

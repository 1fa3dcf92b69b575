"""Ray Tune's asynchronous PBT with kestrovane's exploit decisions on several metrics.

    from ray import tune
    from kestrovane.integrations.ray_tune import ParetoPBT

    scheduler = ParetoPBT({"loss": "min", "accuracy": "max"},
                          perturbation_interval=2,
                          hyperparam_mutations={"lr": tune.loguniform(1e-4, 1e-1)})
    tune.Tuner(train, tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=8)).fit()

Everything but the choice of who is replaced and who is copied stays Ray's:
when and how trials are checkpointed, paused and restored, how the copied
configuration is perturbed, the logs.  That choice is made in the one method
of `PopulationBasedTraining` that acts on it, the private
`_checkpoint_or_exploit(trial, tune_controller, upper_quantile,
lower_quantile)`; this module checks at import that it still has that
signature.  Supported: the Ray versions of the `ray` extra.
"""

from __future__ import annotations

import inspect
import logging
import math
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

from ray.tune.experiment import Trial
from ray.tune.schedulers import PopulationBasedTraining

from kestrovane.pbt import Decision, Population
from kestrovane.pbt.policies import Policy

if TYPE_CHECKING:
    from ray.tune.execution.tune_controller import TuneController

__all__ = ["ParetoPBT"]

logger = logging.getLogger(__name__)

_HOOK = "_checkpoint_or_exploit"
_HOOK_PARAMS = ["self", "trial", "tune_controller", "upper_quantile", "lower_quantile"]
if list(inspect.signature(getattr(PopulationBasedTraining, _HOOK, lambda: None))
        .parameters) != _HOOK_PARAMS:
    raise ImportError(f"this Ray's PopulationBasedTraining.{_HOOK} is not the one "
                      "kestrovane.integrations.ray_tune overrides; install a supported Ray "
                      "with pip install 'kestrovane[ray]'")

Direction = Literal["min", "max"]
_FINISHED = (Trial.ERROR, Trial.TERMINATED)


class ParetoPBT(PopulationBasedTraining):
    """Asynchronous PBT that replaces and copies trials by Monte-Carlo Pareto selection.

    Every result that carries all `metrics` is reported to a
    `kestrovane.pbt.Population` under the trial's id.  When Ray's PBT reaches
    a trial's perturbation step it asks the population what the trial should
    do: a trial the selection replaces clones the paired winner (Ray's
    exploit: its checkpoint, its perturbed configuration); a winner saves a
    checkpoint so that it can be copied; others continue.  Only trials
    holding a checkpoint from their last perturbation step can be copied
    (`Population.decide(..., sources=...)`).  Finished and removed trials
    leave the population.

    Parameters
    ----------
    metrics:
        The metrics to select on, each with "min" or "max", in order, e.g.
        ``{"loss": "min", "accuracy": "max"}``.  The first is also handed to
        Ray as its `metric` and `mode` (Ray logs it); do not set `metric` or
        `mode` in `TuneConfig`.
    window, min_reports, seed, policy:
        Of the `Population`; `policy` None is the tracker's default.
    quantile_fraction:
        The share of trials replaced and copied per selection, in (0, 0.5]:
        `percentile` of the selection.
    **pbt_options:
        Anything else of `PopulationBasedTraining` (`time_attr`,
        `perturbation_interval`, `burn_in_period`, `hyperparam_mutations`,
        `resample_probability`, `perturbation_factors`, `custom_explore_fn`,
        `log_config`, `require_attrs`).  Only asynchronous PBT is supported:
        `synch=True` is refused.

    Attributes
    ----------
    population:
        The tracker, keyed by trial id.
    exploits:
        (replaced trial id, copied trial id) of every exploit Ray carried
        out, in order.
    """

    def __init__(self, metrics: Mapping[str, Direction], *, window: int = 8,
                 min_reports: int = 2, seed: int = 0, policy: Policy | None = None,
                 quantile_fraction: float = 0.25,
                 **pbt_options: Any) -> None:
        if not isinstance(metrics, Mapping) or not metrics:
            raise TypeError("metrics must be a non-empty mapping from metric name to "
                            f"'min' or 'max'; got {metrics!r}")
        for name, direction in metrics.items():
            if direction not in ("min", "max"):
                raise ValueError(f"direction of metric {name!r} must be 'min' or 'max'; got "
                                 f"{direction!r}")
        if pbt_options.get("synch", False):
            raise ValueError("ParetoPBT supports asynchronous PBT only (synch=False)")
        for taken in ("metric", "mode"):
            if taken in pbt_options:
                raise TypeError(f"ParetoPBT takes its metrics from `metrics`; do not pass "
                                f"{taken!r}")
        if not (isinstance(quantile_fraction, (int, float))
                and 0.0 < quantile_fraction <= 0.5):
            raise ValueError(f"quantile_fraction must be in (0, 0.5]; got {quantile_fraction!r}")
        first = next(iter(metrics))
        super().__init__(metric=first, mode=metrics[first],
                         quantile_fraction=quantile_fraction, **pbt_options)
        self._metric_names = tuple(metrics)
        self.population: Population[str] = Population(
            self._metric_names, maximize=[d == "max" for d in metrics.values()],
            window=window, min_reports=min_reports, percentile=quantile_fraction,
            seed=seed, policy=policy)
        self.exploits: list[tuple[str, str]] = []

    def on_trial_result(self, tune_controller: TuneController, trial: Trial,
                        result: dict[str, Any]) -> str:
        missing = [m for m in self._metric_names if m not in result]
        if missing and self._require_attrs:
            raise RuntimeError(f"Cannot find metric {missing[0]} in trial result {result}. "
                               "Make sure that the trainable reports every metric of "
                               "ParetoPBT, or set require_attrs=False to skip such results.")
        if not missing:
            scores = [result[m] for m in self._metric_names]
            if all(isinstance(s, (int, float)) and math.isfinite(s) for s in scores):
                self.population.report(trial.trial_id, scores)
            else:
                # A diverged trial keeps its last finite scores; Ray's own PBT
                # leaves trials with a NaN score out of its quantiles too.
                logger.warning("trial %s reported non-finite or non-numeric %s; result not "
                               "used for selection", trial.trial_id,
                               dict(zip(self._metric_names, scores)))
        decision: str = super().on_trial_result(tune_controller, trial, result)
        return decision

    def _checkpoint_or_exploit(self, trial: Trial, tune_controller: TuneController,
                               upper_quantile: list[Trial],
                               lower_quantile: list[Trial]) -> None:
        # Ray's quantiles of its single score are ignored: the population
        # decides, and Ray's own method carries the decision out.
        by_id = {t.trial_id: t for t in self._trial_state}
        decision = self._decide(trial, by_id)
        upper: list[Trial] = []
        lower: list[Trial] = []
        if decision.action == "replace" and decision.source is not None:
            upper, lower = [by_id[decision.source]], [trial]
        elif decision.upper:
            upper = [trial]
        done = self._num_perturbations
        super()._checkpoint_or_exploit(trial, tune_controller, upper, lower)
        if self._num_perturbations > done and decision.source is not None:
            self.exploits.append((trial.trial_id, decision.source))

    def _decide(self, trial: Trial, by_id: Mapping[str, Trial]) -> Decision[str]:
        if trial.trial_id not in self.population:
            return Decision(trial.trial_id, "continue")
        copyable = [i for i, t in by_id.items()
                    if self._trial_state[t].last_checkpoint is not None
                    and t.status not in _FINISHED and t is not trial]
        return self.population.decide(trial.trial_id, sources=copyable)

    def on_trial_complete(self, tune_controller: TuneController, trial: Trial,
                          result: dict[str, Any]) -> None:
        self._leave(trial)
        super().on_trial_complete(tune_controller, trial, result)

    def on_trial_error(self, tune_controller: TuneController, trial: Trial) -> None:
        self._leave(trial)
        super().on_trial_error(tune_controller, trial)

    def on_trial_remove(self, tune_controller: TuneController, trial: Trial) -> None:
        self._leave(trial)
        super().on_trial_remove(tune_controller, trial)

    def _leave(self, trial: Trial) -> None:
        if trial.trial_id in self.population:
            self.population.leave(trial.trial_id)

    def debug_string(self) -> str:
        return (f"ParetoPBT on {', '.join(self._metric_names)}: {self._num_checkpoints} "
                f"checkpoints, {self._num_perturbations} perturbs")

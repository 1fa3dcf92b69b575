"""Ray Tune's asynchronous PBT with kestrovane's exploit decisions on several metrics.

    from ray import tune
    from kestrovane.integrations.ray_tune import ParetoPBT

    scheduler = ParetoPBT({"loss": "min", "accuracy": "max"},
                          perturbation_interval=2,
                          hyperparam_mutations={"lr": tune.loguniform(1e-4, 1e-1)})
    tune.Tuner(train, tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=8)).fit()

The scheduler runs asynchronous PBT on Ray's public scheduler hooks: the
perturbation steps (`time_attr`, `perturbation_interval`,
`burn_in_period`), the pauses and the order in which paused trials run again
are those of Ray's `PopulationBasedTraining`, the choice of who is replaced
and who is copied is the population's.  An exploit is carried out as Ray's
PBT does it: the winner's checkpoint (saved at its step), Ray's perturbation
of its configuration, the trial tag and the `pbt_policy_*.txt` logs that
`PopulationBasedTrainingReplay` reads.  The few private names of Ray this
needs are all in `_ray_private`, checked at import together with Ray's
version.
"""

from __future__ import annotations

import contextlib
import hashlib
import inspect
import json
import logging
import math
import numbers
import os
import random
import reprlib
import shutil
import time
from collections import deque
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import PurePosixPath
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import ray
import ray.cloudpickle as cloudpickle
from packaging.specifiers import SpecifierSet
from packaging.version import Version
from pyarrow.fs import FileType, LocalFileSystem  # type: ignore[import-untyped]
from ray.tune.error import TuneError
from ray.tune.experiment import Trial
from ray.tune.schedulers import PopulationBasedTraining, TrialScheduler

from kestrovane.integrations import _ray_private as private
from kestrovane.pbt import Decision, Population, streams
from kestrovane.pbt.population import SCORE_LIMIT
from kestrovane.pbt.policies import Policy
from kestrovane.storage import StoreError
from kestrovane.storage.states import StateTable

if TYPE_CHECKING:
    from ray.tune.execution.tune_controller import TuneController

__all__ = ["ParetoPBT", "STATE_FILE"]

logger = logging.getLogger(__name__)

# The `ray` extra of pyproject.toml; _ray_private is re-audited on every upgrade.
SUPPORTED_RAY = ">=2.50,<2.61"
TESTED_RAY = ("2.50.1", "2.60.0")
if not SpecifierSet(SUPPORTED_RAY).contains(Version(ray.__version__), prereleases=True):
    raise ImportError(f"kestrovane.integrations.ray_tune needs Ray {SUPPORTED_RAY} (tested with "
                      f"{' and '.join(TESTED_RAY)}); this is Ray {ray.__version__}. Install a "
                      "supported Ray with pip install 'kestrovane[ray]'")

_CHANGED = private.check()
if _CHANGED:
    raise ImportError(f"this Ray {ray.__version__} lacks private names that "
                      f"kestrovane.integrations.ray_tune relies on ({'; '.join(_CHANGED)}); "
                      "install a supported Ray with pip install 'kestrovane[ray]'")

Direction = Literal["min", "max"]
Row = tuple[float, ...]
_FINISHED = (Trial.ERROR, Trial.TERMINATED)
_WAITING = (Trial.PENDING, Trial.PAUSED)


@dataclass
class _Standing:
    """What PBT keeps of one trial between its perturbation steps."""

    tag: str                                  # its experiment tag when it joined
    perturbed_at: float = 0                   # time_attr of its last perturbation step
    trained_at: float = 0                     # time_attr of its last step's result
    checkpoint: object = None                 # saved at its last step if it was a winner
    score: float | None = None                # the first metric, larger is better
    result: dict[str, Any] | None = None      # its last step's result


def _loggable(value: object) -> object:
    """`value` for the JSON of the config logs (NumPy values as Python's, others as text)."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    return str(value)

#: The scheduler's own state, in the experiment directory (Ray does not save a
#: scheduler's state; its sync only touches .json and .pkl files).
STATE_FILE = "kestrovane_pareto_pbt.state"
#: 3 ends with a checksum line; 2 keeps each trial's last score and result
#: for Ray; 1 did not.  All three are read.
_STATE_FORMAT = 3
_READABLE_FORMATS = (1, 2, 3)
# After the pickle (which ignores bytes past its end, so the file still
# unpickles as before): this, the SHA-256 of the pickle in hex, a newline.
_SEAL = b"\nkestrovane-pareto-pbt-state sha256 "
_SEAL_SIZE = len(_SEAL) + 64 + 1
#: Results are written within this many seconds, decisions at once: a write
#: (fsync included) took 8 ms at population 32, which at every result would
#: take most of the driver's time when trials report several times a second.
_SAVE_INTERVAL_S = 1.0
_clock = time.monotonic
_STATE_KEYS = ("population", "exploits", "held", "diverged", "seen", "told_impossible",
               "trials")


class _Unusable(Exception):
    """A state file this scheduler must not resume from; `kind` names the kept copy."""

    def __init__(self, reason: str, kind: Literal["damaged", "foreign"] = "damaged") -> None:
        super().__init__(reason)
        self.kind = kind


def _real(value: object) -> float | None:
    """`value` as a float if it is a real number (NumPy's included), None otherwise."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        return None
    return float(value)


def _describe(error: BaseException) -> str:
    text = f"{type(error).__name__}: {error}"
    return text if len(text) <= 300 else text[:297] + "..."


def _metrics(population: Population[Any]) -> str:
    return ", ".join(f"{name} ({'max' if up else 'min'})"
                     for name, up in zip(population.objectives, population.maximize))


def _check_rows(rows: object, width: int, window: int, what: str) -> None:
    """Raises _Unusable unless `rows` are at most `window` rows of `width` usable scores."""
    if not isinstance(rows, (list, tuple, deque)) or len(rows) > window:
        raise _Unusable(f"{what} is not a list of at most {window} results")
    for row in rows:
        values = [_real(x) for x in row] if isinstance(row, (list, tuple)) else []
        if not (len(values) == width and all(
                x is not None and math.isfinite(x) and abs(x) <= SCORE_LIMIT for x in values)):
            raise _Unusable(f"{what} has {reprlib.repr(row)}, not {width} finite scores")


def _unseal(data: bytes) -> dict[str, Any]:
    """The state pickled in a state file's bytes, its checksum (format 3 on) verified."""
    if not data:
        raise _Unusable("it is empty")
    tail = data[-_SEAL_SIZE:]
    sealed = len(data) > _SEAL_SIZE and tail.startswith(_SEAL) and tail.endswith(b"\n")
    payload = data[:-_SEAL_SIZE] if sealed else data
    if sealed and hashlib.sha256(payload).hexdigest().encode() != tail[len(_SEAL):-1]:
        raise _Unusable("its checksum does not match its contents (changed or cut short)")
    try:
        saved = cloudpickle.loads(payload)
    except Exception as e:   # unpickling damaged bytes raises almost anything
        raise _Unusable(f"it does not unpickle ({_describe(e)})") from None
    if not (isinstance(saved, dict) and "format" in saved):
        raise _Unusable(f"it holds a {type(saved).__name__}, not a ParetoPBT state")
    fmt = saved["format"]
    if type(fmt) is not int or fmt not in _READABLE_FORMATS:
        raise _Unusable(f"its format is {reprlib.repr(fmt)}, which this version does not "
                        f"read (it reads {', '.join(map(str, _READABLE_FORMATS))})")
    if fmt >= 3 and not sealed:
        raise _Unusable("its checksum line is missing (cut short)")
    return saved


class _FilePlace:
    """The state as a file in the experiment directory."""

    def __init__(self, fs: Any, path: str) -> None:
        self._fs, self.key = fs, path
        self.name = path

    def read(self) -> bytes | None:
        try:
            with self._fs.open_input_stream(self.key) as f:
                data: bytes = f.readall()
        except FileNotFoundError:
            return None
        return data

    def write(self, data: bytes) -> None:
        _replace(self._fs, self.key, data)

    def taken(self, key: str) -> bool:
        return bool(self._fs.get_file_info(key).type != FileType.NotFound)

    def rename(self, key: str) -> None:
        self._fs.move(self.key, key)


class _StorePlace:
    """The state as a row of a store's states, named after the experiment."""

    def __init__(self, table: StateTable, experiment: str) -> None:
        self._table, self.key = table, experiment
        self.name = f"{table.url} (state {experiment!r})"

    def read(self) -> bytes | None:
        return self._table.read(self.key)

    def write(self, data: bytes) -> None:
        self._table.write(self.key, data)

    def taken(self, key: str) -> bool:
        return self._table.read(key) is not None

    def rename(self, key: str) -> None:
        self._table.rename(self.key, key)


def _replace(fs: Any, path: str, data: bytes) -> None:
    """Replaces the file `path` by `data`: a kill at any moment leaves the old or the new."""
    tmp = path + ".tmp"
    if not isinstance(fs, LocalFileSystem):
        # Remote storage has no fsync; its upload of the whole file is the write.
        with fs.open_output_stream(tmp) as f:
            f.write(data)
        fs.move(tmp, path)
        return
    try:
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            # On disk before the rename, so that a crash of the machine, too,
            # leaves one whole file.
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except OSError:
        with contextlib.suppress(OSError):
            os.unlink(tmp)   # a part written to a full disk only takes space
        raise


class ParetoPBT(PopulationBasedTraining):
    """Asynchronous PBT that replaces and copies trials by Monte-Carlo Pareto selection.

    Every result that carries all `metrics` as real numbers (Python's or
    NumPy's) is reported to a `kestrovane.pbt.Population` under the trial's
    id.  At a trial's perturbation step (when Ray's PBT would make one) it
    asks the population what the trial should do: a trial the selection
    replaces clones the paired winner (as Ray's PBT exploits: its checkpoint,
    its configuration as Ray perturbs it); a winner saves a checkpoint so that it can be copied;
    others continue.  Only trials holding a checkpoint from their last
    perturbation step can be copied.  Finished and removed trials leave the
    population.

    Rules beyond the single-metric PBT of Ray:

    - A round replaces at most the `quantile_fraction` of trials, as Ray's
      does: a replaced trial keeps its place in others' selections, with the
      scores that got it replaced, until its own next perturbation step; the
      results of its new model are held until then and become its window
      there.
    - A trial whose latest result has a NaN or infinite metric, or one beyond
      +-1e150 (`kestrovane.pbt.population.SCORE_LIMIT`), has diverged:
      its window is forgotten (its older scores make it no winner), nobody
      copies it, and at its perturbation step it copies a random trial
      holding a checkpoint (this repair is not counted by the fraction).
      A finite result ends the divergence.
    - A bool or any other non-number as a metric is refused with one log line
      naming the trial and the metric; the result is not used.
    - A decision that cannot be carried out (the source's checkpoint is
      missing) leaves the population as it was; the first such failure is logged
      with its reason.
    - The state (windows, held results, exploits, the selection counter,
      each trial's perturbation times, last score and last result) is written
      atomically to `STATE_FILE` in the experiment directory (or, with
      `storage`, to that store under the experiment's name) at every
      decision and departure, and within a second of any other result (a
      killed driver loses at most the results of its last second); it is
      read back when `Tuner.restore` resumes the experiment.  A trial that
      Ray holds no score for (resumed from a state file that lacks it, until
      its next result) is not copied.
    - A state file that is damaged, of another experiment (other metrics,
      order, directions or settings, or none of its trials) or of an unknown
      format is logged in one line, renamed aside (``.damaged-<UTC time>`` or
      ``.foreign-<UTC time>``, never deleted), and the scheduler starts
      afresh while Ray's restore goes on.  A failed write (a full disk) is
      logged once per errno and the run goes on; the next write that
      succeeds says so.

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
        The share of trials replaced and copied per round, in (0, 0.5]:
        `percentile` of the selection.
    storage:
        A store URL (``sqlite:///path.db``, ``postgresql://user@host/db``)
        that keeps the state instead of the experiment directory, one row
        per experiment name, so that a driver on another host resumes from
        it (with the experiment at the same path or URI).  It is checked
        here: a store that cannot be reached raises
        `kestrovane.storage.StoreError`.  Tune's ``tuner.pkl`` keeps the URL
        without its password: a restoring driver finds it in PGPASSWORD or
        ~/.pgpass.  A store that cannot be read at a restore stops the run
        (starting afresh would overwrite the state).
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
    restored_from:
        The state file (or store and name) the scheduler resumed from, None
        in a fresh run.
    """

    def __init__(self, metrics: Mapping[str, Direction], *, window: int = 8,
                 min_reports: int = 2, seed: int = 0, policy: Policy | None = None,
                 quantile_fraction: float = 0.25, storage: str | None = None,
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
        if seed is None or isinstance(seed, np.random.Generator):
            # A restored driver must decide with the seed the experiment began with.
            raise TypeError("seed must be an integer: a restored experiment decides with the "
                            f"seed it began with; got {seed!r}")
        # A wrong kind is a TypeError, a number out of range a ValueError, as
        # everywhere in the package.
        if _real(quantile_fraction) is None:
            raise TypeError("quantile_fraction must be a real number in (0, 0.5]; got "
                            f"{quantile_fraction!r}")
        if not 0.0 < quantile_fraction <= 0.5:
            raise ValueError(f"quantile_fraction must be in (0, 0.5]; got {quantile_fraction!r}")
        if storage is not None and not isinstance(storage, str):
            raise TypeError(f"storage must be a store URL (str) or None; got "
                            f"{type(storage).__name__}")
        self._states: StateTable | None = None if storage is None else StateTable(storage)
        if self._states is not None:
            self._states.check()
        first = next(iter(metrics))
        super().__init__(metric=first, mode=metrics[first],
                         quantile_fraction=quantile_fraction, **pbt_options)
        # Ray's settings as given, with Ray's defaults: its constructor checked them.
        given = inspect.signature(PopulationBasedTraining).bind(**pbt_options)
        given.apply_defaults()
        self._pbt: dict[str, Any] = {k: v for k, v in given.arguments.items()
                                     if k not in ("metric", "mode", "quantile_fraction")}
        self._pbt["hyperparam_mutations"] = self._pbt["hyperparam_mutations"] or {}
        self._sign = 1.0 if metrics[first] == "max" else -1.0
        self._metric_names = tuple(metrics)
        self.population: Population[str] = Population(
            self._metric_names, maximize=[d == "max" for d in metrics.values()],
            window=window, min_reports=min_reports, percentile=quantile_fraction,
            seed=seed, policy=policy)
        self.exploits: list[tuple[str, str]] = []
        self.restored_from: str | None = None
        # Results of replaced trials' new models, held until their next step.
        self._held: dict[str, deque[Row]] = {}
        self._diverged: set[str] = set()
        self._seen: set[str] = set()
        self._refused: set[tuple[str, str]] = set()
        self._trials: dict[str, Trial] = {}          # every trial that joined, in order
        self._standing: dict[str, _Standing] = {}
        self._checkpoints = 0                        # winners' checkpoints asked for
        self._warned: set[str] = set()               # settings missing from results
        self._told_impossible = False
        self._store: _FilePlace | _StorePlace | None = None   # where the state is written
        self._saved: dict[str, Any] | None = None    # a state read back, per trial to adopt
        self._dirty = False                          # results not yet written
        self._attempted_at = -math.inf               # _clock() of the last write
        self._failing: set[int | str] = set()       # errnos of writes failing now

    # -- results ----------------------------------------------------------------

    def on_trial_result(self, tune_controller: TuneController, trial: Trial,
                        result: dict[str, Any]) -> str:
        missing = [m for m in self._metric_names if m not in result]
        if missing and self._pbt["require_attrs"]:
            raise RuntimeError(f"Cannot find metric {missing[0]} in trial result {result}. "
                               "Make sure that the trainable reports every metric of "
                               "ParetoPBT, or set require_attrs=False to skip such results.")
        if not missing:
            result = self._take(trial.trial_id, result)
            self._dirty = True
        decision = self._step(tune_controller, trial, result)
        self._save_due()
        return decision

    def _step(self, tune_controller: TuneController, trial: Trial,
              result: dict[str, Any]) -> str:
        """Ray's asynchronous PBT step: a trial past its perturbation interval is decided
        on; it pauses while others wait to run, so that every trial trains in turn."""
        time_attr = self._pbt["time_attr"]
        missing = [n for n in (time_attr, self._metric_names[0]) if n not in result]
        if missing and self._pbt["require_attrs"]:
            raise RuntimeError(f"Cannot find {missing[0]} in trial result {result}. Make sure "
                               "the trainable reports it, or set require_attrs=False to skip "
                               "such results.")
        for name in missing:
            if name not in self._warned:
                self._warned.add(name)
                logger.warning("trial %s reported no %r (%s); such results are skipped by "
                               "the PBT steps. (Said once per name.)", trial.trial_id, name,
                               reprlib.repr(result))
        if missing:
            return TrialScheduler.CONTINUE
        time_now = result[time_attr]
        standing = self._standing[trial.trial_id]
        if (time_now < self._pbt["burn_in_period"]
                or time_now - standing.perturbed_at < self._pbt["perturbation_interval"]):
            return TrialScheduler.CONTINUE
        standing.score = self._sign * result[self._metric_names[0]]
        standing.trained_at = standing.perturbed_at = time_now
        standing.result = result
        waiting = any(t.status in _WAITING
                      for t in tune_controller.get_trials())  # type: ignore[no-untyped-call]
        self._perturb(trial, tune_controller)
        if trial.status == Trial.PAUSED:
            return TrialScheduler.NOOP
        return TrialScheduler.PAUSE if waiting else TrialScheduler.CONTINUE

    def choose_trial_to_run(self, tune_controller: TuneController) -> Trial | None:
        # Tune asks at every step of its loop (at least ten times a second):
        # results not written yet are written here once they are due.
        self._save_due()
        # Ray's order: the trial that has trained least runs first.
        trials: list[Trial] = tune_controller.get_trials()  # type: ignore[no-untyped-call]
        waiting = [t for t in trials if t.status in _WAITING]
        waiting.sort(key=lambda t: self._standing[t.trial_id].trained_at
                     if t.trial_id in self._standing else 0)
        return waiting[0] if waiting else None

    def _take(self, tid: str, result: dict[str, Any]) -> dict[str, Any]:
        """Records one result; returns it for Ray, with a refused first metric as NaN."""
        values = [_real(result[m]) for m in self._metric_names]
        refused = [m for m, x in zip(self._metric_names, values) if x is None]
        for name in refused:
            if (tid, name) not in self._refused:
                self._refused.add((tid, name))
                logger.warning("trial %s reported metric %r as %r, which is not a real "
                               "number; its results are not used for selection while this "
                               "lasts", tid, name, result[name])
        if refused:
            first = self._metric_names[0]
            return {**result, first: math.nan} if first in refused else result
        row = tuple(x for x in values if x is not None)
        if not all(math.isfinite(x) and abs(x) <= SCORE_LIMIT for x in row):
            if tid not in self._diverged:
                logger.warning("trial %s diverged (%s); it is not copied, and is replaced at "
                               "its next perturbation step", tid,
                               dict(zip(self._metric_names, row)))
            self._diverged.add(tid)
            self._held.pop(tid, None)
            if tid in self.population:
                self.population.restart(tid)
            return result
        self._diverged.discard(tid)
        held = self._held.get(tid)
        if held is not None:
            held.append(row)
        else:
            self.population.report(tid, row)
        return result

    # -- decisions --------------------------------------------------------------

    def _perturb(self, trial: Trial, tune_controller: TuneController) -> None:
        """Decides on `trial` at its perturbation step and carries the decision out."""
        tid = trial.trial_id
        held = self._held.pop(tid, None)
        if held is not None:
            # The new model's results replace the scores that got it replaced.
            self.population.restart(tid)
            for row in held:
                self.population.report(tid, row)
        decision = self._decide(trial, self._trials)
        standing = self._standing[tid]
        replacing = decision.action == "replace" and decision.source is not None
        if decision.upper and not replacing:
            standing.checkpoint = self._winner_checkpoint(trial, tune_controller)
            self._checkpoints += 1
        else:
            standing.checkpoint = None
        if replacing and decision.source is not None:
            # Ray draws the trial to copy from its winners; the draw is kept
            # so that the perturbations that follow draw the same numbers.
            random.choice([decision.source])
            if self._copy(trial, self._trials[decision.source], tune_controller):
                self.exploits.append((tid, decision.source))
                self._held[tid] = deque(maxlen=self.population.window)
                self._diverged.discard(tid)
            else:
                self._impossible(tid, decision.source)
        self._save()

    def _winner_checkpoint(self, trial: Trial, tune_controller: TuneController) -> object:
        """A checkpoint of `trial` as it is now, for others to copy (pending while it saves)."""
        if trial.status == Trial.PAUSED:
            saving = private.pending_checkpoint(trial)
            return saving if saving is not None else trial.checkpoint
        return private.request_checkpoint(tune_controller, trial,
                                          self._standing[trial.trial_id].result)

    def _copy(self, trial: Trial, source: Trial, tune_controller: TuneController) -> bool:
        """`trial` resumes from `source`'s checkpoint with its configuration perturbed,
        as Ray's PBT exploits; False (nothing done) if `source` has no checkpoint."""
        mine, theirs = self._standing[trial.trial_id], self._standing[source.trial_id]
        checkpoint = theirs.checkpoint
        if private.is_pending(checkpoint):
            # A save that came to nothing stays pending, as in Ray's PBT: asked
            # again, it fails again.
            settled = private.settle(checkpoint)
            checkpoint = None if settled is None else settled[0]
            if settled is not None:
                theirs.checkpoint, theirs.result = settled
        if not checkpoint:
            return False
        mutations = self._pbt["hyperparam_mutations"]
        config, _ = private.explore(source.config, mutations,
                                    self._pbt["resample_probability"],
                                    self._pbt["perturbation_factors"],
                                    self._pbt["custom_explore_fn"])
        logger.info("ParetoPBT: trial %s copies trial %s, with %s", trial.trial_id,
                    source.trial_id, {k: config.get(k) for k in mutations})
        if self._pbt["log_config"]:
            self._write_policy_logs(trial, source, config)
        if trial.status == Trial.PAUSED:
            raise TuneError(f"trial {trial.trial_id} is paused at its own result, which "
                            "asynchronous PBT never does")
        tune_controller.pause_trial(trial, should_checkpoint=False)
        trial.set_experiment_tag(  # type: ignore[no-untyped-call]
            private.experiment_tag(mine.tag, config, mutations))
        trial.set_config(config)  # type: ignore[no-untyped-call]
        private.resume_from(trial, theirs.checkpoint, theirs.result)
        mine.perturbed_at, mine.trained_at = theirs.perturbed_at, theirs.trained_at
        return True

    def _write_policy_logs(self, trial: Trial, source: Trial, config: dict[str, Any]) -> None:
        """Ray's PBT logs: a line per exploit in pbt_global.txt, and in the copy's
        pbt_policy_<id>.txt the source's lines and this one (PopulationBasedTrainingReplay
        replays them)."""
        folder = trial.local_experiment_path
        line = json.dumps([self._standing[trial.trial_id].tag,
                           self._standing[source.trial_id].tag,
                           trial.last_result.get("training_iteration", 0),
                           source.last_result.get("training_iteration", 0),
                           source.config, config], default=_loggable)
        with open(os.path.join(folder, "pbt_global.txt"), "a+") as f:
            print(line, file=f)
        mine = os.path.join(folder, f"pbt_policy_{trial.trial_id}.txt")
        theirs = os.path.join(source.local_experiment_path, f"pbt_policy_{source.trial_id}.txt")
        if os.path.exists(theirs):
            shutil.copyfile(theirs, mine)
        with open(mine, "a+") as f:
            print(line, file=f)

    def _decide(self, trial: Trial, by_id: Mapping[str, Trial]) -> Decision[str]:
        tid = trial.trial_id
        # An exploit hands on the source's last result with its checkpoint: a
        # trial without it (resumed, not yet reported again) is not copied.
        copyable = [i for i, t in by_id.items()
                    if self._standing[i].checkpoint is not None
                    and self._standing[i].score is not None
                    and t.status not in _FINISHED and t is not trial
                    and i not in self._diverged]
        if tid in self._diverged:
            if not copyable:
                return Decision(tid, "continue")
            rng = streams.fallback_rng(self.population.seed, len(self.exploits))
            return Decision(tid, "replace", copyable[int(rng.integers(len(copyable)))])
        if tid not in self.population:
            return Decision(tid, "continue")
        return self.population.decide(tid, sources=copyable, commit=False)

    def _impossible(self, tid: str, source: str) -> None:
        if self._told_impossible:
            logger.debug("trial %s could not copy trial %s: no checkpoint", tid, source)
            return
        self._told_impossible = True
        logger.warning("ParetoPBT cannot exploit: trial %s was to copy trial %s, which has no "
                       "checkpoint, so nothing was copied and the population is left as it "
                       "was. The trainable must pass a checkpoint to tune.report and resume "
                       "from tune.get_checkpoint(). (Said once per run.)", tid, source)

    # -- trials joining and leaving ---------------------------------------------

    def on_trial_add(self, tune_controller: TuneController, trial: Trial) -> None:
        super().on_trial_add(tune_controller, trial)
        self._trials.setdefault(trial.trial_id, trial)
        self._standing.setdefault(trial.trial_id, _Standing(trial.experiment_tag))
        if self._store is None:
            self._open_store(trial)
        self._adopt(trial)
        self._seen.add(trial.trial_id)

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
        tid = trial.trial_id
        self._held.pop(tid, None)
        self._diverged.discard(tid)
        if tid in self.population:
            self.population.leave(tid)
        self._save()

    # -- state that survives the driver -----------------------------------------

    def _open_store(self, trial: Trial) -> None:
        storage = getattr(trial, "storage", None)
        if storage is None:
            return
        experiment = PurePosixPath(storage.experiment_fs_path)
        place = (_FilePlace(storage.storage_filesystem, str(experiment / STATE_FILE))
                 if self._states is None else _StorePlace(self._states, experiment.name))
        self._store = place
        try:
            data = place.read()
        except OSError as e:
            self._set_aside(place, _Unusable(f"it cannot be read ({_describe(e)})"))
            return
        except StoreError as e:
            # Starting afresh would overwrite the state once the store is back.
            raise RuntimeError(f"ParetoPBT cannot read its state from {place.name}: {e}") \
                from None
        if data is None:
            return
        try:
            saved = self._checked(_unseal(data), trial.trial_id)
        except _Unusable as e:
            self._set_aside(place, e)
            return
        self.population = saved["population"]
        self.exploits = list(saved["exploits"])
        self._held = {t: deque(rows, maxlen=self.population.window)
                      for t, rows in saved["held"].items()}
        self._diverged = set(saved["diverged"])
        self._seen = set(saved["seen"])
        self._told_impossible = saved["told_impossible"]
        self._saved = saved["trials"]
        self.restored_from = place.name
        logger.info("ParetoPBT resumed from %s: %d members, %d exploits", place.name,
                    len(self.population), len(self.exploits))

    def _checked(self, saved: dict[str, Any], first: str) -> dict[str, Any]:
        """`saved` if it is a whole state of this experiment, whose first trial is `first`."""
        try:
            self._check(saved)
        except _Unusable:
            raise
        except Exception as e:   # an object that answers the checks in unforeseen ways
            raise _Unusable(f"its contents are malformed ({_describe(e)})") from None
        if first not in saved["seen"]:
            raise _Unusable(f"it is of another experiment: none of its {len(saved['seen'])} "
                            f"trials is {first}, this experiment's first", "foreign")
        return saved

    def _check(self, saved: dict[str, Any]) -> None:
        """Raises _Unusable unless every part of `saved` is what `_save` writes."""
        missing = [k for k in _STATE_KEYS if k not in saved]
        if missing:
            raise _Unusable(f"it lacks {', '.join(missing)}")
        pop, mine = saved["population"], self.population
        if not isinstance(pop, Population):
            raise _Unusable(f"its population is a {type(pop).__name__}, not a Population")
        if (pop.objectives, pop.maximize) != (mine.objectives, mine.maximize):
            raise _Unusable(f"it is of another experiment: its metrics are {_metrics(pop)}, "
                            f"this one's are {_metrics(mine)}", "foreign")
        for name in ("window", "min_reports", "percentile", "seed"):
            if getattr(pop, name) != getattr(mine, name):
                raise _Unusable(f"it is of another experiment: its {name} is "
                                f"{getattr(pop, name)!r}, this scheduler's is "
                                f"{getattr(mine, name)!r}", "foreign")
        width, window = len(mine.objectives), pop.window
        for member in pop.members:
            if not isinstance(member, str):
                raise _Unusable(f"its population has a member {reprlib.repr(member)}, not a "
                                "trial id")
            _check_rows(pop.evaluations(member).tolist(), width, window,
                        f"the window of trial {member}")
        exploits = saved["exploits"]
        if not (isinstance(exploits, (list, tuple)) and all(
                isinstance(e, (list, tuple)) and len(e) == 2
                and all(isinstance(t, str) for t in e) for e in exploits)):
            raise _Unusable("its exploits are not pairs of trial ids")
        held = saved["held"]
        if not isinstance(held, dict):
            raise _Unusable("its held results are not a mapping")
        for tid, rows in held.items():
            if not isinstance(tid, str):
                raise _Unusable(f"it holds results of {reprlib.repr(tid)}, not a trial id")
            _check_rows(rows, width, window, f"the held results of trial {tid}")
        for key in ("diverged", "seen"):
            ids = saved[key]
            if not (isinstance(ids, (set, frozenset, list, tuple))
                    and all(isinstance(t, str) for t in ids)):
                raise _Unusable(f"its {key} trials are not trial ids")
        if not isinstance(saved["told_impossible"], bool):
            raise _Unusable("its told_impossible is not a bool")
        trials = saved["trials"]
        if not isinstance(trials, dict):
            raise _Unusable("its trials are not a mapping")
        size = 3 if saved["format"] == 1 else 5
        for tid, entry in trials.items():
            if not (isinstance(tid, str) and isinstance(entry, (list, tuple))
                    and len(entry) == size):
                raise _Unusable(f"its entry of trial {reprlib.repr(tid)} is not "
                                f"{size} values")
            perturbed, trained, had_checkpoint, *scored = entry
            if not (_real(perturbed) is not None and _real(trained) is not None
                    and isinstance(had_checkpoint, bool)
                    and (not scored or scored[0] is None or _real(scored[0]) is not None)
                    and (not scored or scored[1] is None or isinstance(scored[1], dict))):
                raise _Unusable(f"its entry of trial {tid} is malformed: "
                                f"{reprlib.repr(entry)}")

    def _set_aside(self, place: _FilePlace | _StorePlace, error: _Unusable) -> None:
        """Renames an unusable state out of the way (never deletes it), logs once."""
        stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())
        aside = f"{place.key}.{error.kind}-{stamp}"
        try:
            n = 1
            while place.taken(aside):
                n += 1
                aside = f"{place.key}.{error.kind}-{stamp}-{n}"
            place.rename(aside)
            kept = f"Kept it as {aside}"
        except (OSError, StoreError) as e:
            kept = (f"Could not keep it aside as {aside} ({_describe(e)}), so the next "
                    "write replaces it")
        logger.warning("ParetoPBT cannot resume from %s: %s. %s; the scheduler starts "
                       "afresh and Ray's own restore goes on", place.name, error, kept)

    def _adopt(self, trial: Trial) -> None:
        """Gives a restored trial back its PBT standing."""
        if self._saved is None or trial.trial_id not in self._saved:
            return
        perturbed, trained, had_checkpoint, *scored = self._saved.pop(trial.trial_id)
        standing = self._standing[trial.trial_id]
        standing.perturbed_at, standing.trained_at = perturbed, trained
        if scored:  # format 2 on
            standing.score, standing.result = scored
        if had_checkpoint and trial.checkpoint is not None:
            standing.checkpoint = trial.checkpoint

    def _save_due(self) -> None:
        if self._dirty and _clock() - self._attempted_at >= _SAVE_INTERVAL_S:
            self._save()

    def _save(self) -> None:
        if self._store is None:
            return
        place = self._store
        self._attempted_at = _clock()
        trials = {tid: (s.perturbed_at, s.trained_at, s.checkpoint is not None, s.score,
                        s.result)
                  for tid, s in self._standing.items()
                  if self._trials[tid].status not in _FINISHED}
        state = {"format": _STATE_FORMAT, "population": self.population,
                 "exploits": self.exploits, "held": {t: list(r) for t, r in self._held.items()},
                 "diverged": self._diverged, "seen": self._seen,
                 "told_impossible": self._told_impossible, "trials": trials}
        # cloudpickle, as Tune's tuner.pkl: a policy may be defined in a script.
        # (Whoever can write the experiment directory can also write tuner.pkl,
        # which Tune unpickles; the checksum is against damage, not an attacker.)
        payload: bytes = cloudpickle.dumps(state)  # type: ignore[no-untyped-call]
        try:
            place.write(payload + _SEAL + hashlib.sha256(payload).hexdigest().encode() + b"\n")
        except (OSError, StoreError) as e:
            kind = (e.errno if isinstance(e, OSError) and e.errno is not None
                    else type(e).__name__)
            if kind not in self._failing:
                self._failing.add(kind)
                logger.warning("ParetoPBT could not write its state to %s (%s); the run goes "
                               "on, and a driver killed before a write succeeds resumes from "
                               "the last state written. (Said once per kind of failure until "
                               "a write succeeds.)", place.name, _describe(e))
            return
        self._dirty = False
        if self._failing:
            self._failing.clear()
            logger.warning("ParetoPBT wrote its state to %s again after the failures above; "
                           "it is up to date", place.name)

    def __setstate__(self, state: dict[str, Any]) -> None:
        if "_pbt" not in state:
            # Pickled into tuner.pkl by an earlier version, before any trial joined.
            state["_pbt"] = private.pickled_settings(state)
            state["_sign"] = 1.0 if state["population"].maximize[0] else -1.0
            state.update(_trials={}, _standing={}, _checkpoints=0, _warned=set())
        state.setdefault("_states", None)   # pickled before stores were kept
        self.__dict__.update(state)

    def __getstate__(self) -> dict[str, Any]:
        # Tune pickles the scheduler into tuner.pkl; a filesystem handle is not kept.
        state = self.__dict__.copy()
        state["_store"] = None
        state["_attempted_at"] = -math.inf   # a clock of this process only
        return state

    def debug_string(self) -> str:
        return (f"ParetoPBT on {', '.join(self._metric_names)}: {self._checkpoints} "
                f"checkpoints, {len(self.exploits)} exploits")

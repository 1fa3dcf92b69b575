"""The private names of Ray that ParetoPBT uses (kestrovane.integrations._ray_private),
each held to what the adapter needs of it on the installed Ray: a Ray release
that renames one, changes its parameters or what it does fails here, the
message naming the entry."""

import os
import random
import subprocess
import sys

import pytest

pytest.importorskip("ray.tune", reason="Ray Tune is not installed in this environment")

import ray  # noqa: E402
from ray import tune  # noqa: E402
from ray.tune.experiment import Trial  # noqa: E402

from kestrovane.integrations import _ray_private as private  # noqa: E402


@pytest.mark.parametrize("key", private.ENTRIES)
def test_every_entry_is_there_with_its_parameters(key):
    assert private.ENTRIES[key].problem() is None, f"{key}: {private.ENTRIES[key].problem()}"


def test_a_missing_or_changed_entry_is_named_and_refused_at_import(monkeypatch):
    import ray.tune.schedulers.pbt as pbt
    monkeypatch.delattr(pbt, "_explore")
    monkeypatch.setattr(pbt, "_make_experiment_tag", lambda tag, config: tag)
    assert private.check() == [
        "explore: ray.tune.schedulers.pbt._explore is gone",
        "experiment_tag: ray.tune.schedulers.pbt._make_experiment_tag takes (tag, config), "
        "not (orig_tag, config, mutations)"]
    moved = private.Entry("ray.train._internal.moved", "_TrainingResult", None, "")
    assert moved.problem() == "ray.train._internal.moved._TrainingResult is gone"
    code = ("import ray.tune.execution.tune_controller as c; del c.TuneController."
            "_schedule_trial_save; import kestrovane.integrations.ray_tune")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode != 0 and "ImportError" in r.stderr
    assert "schedule_save: ray.tune.execution.tune_controller.TuneController." in r.stderr


def test_explore_perturbs_a_copy_with_pythons_random_numbers():
    mutations = {"lr": [0.1, 0.2, 0.3], "width": lambda: random.randint(8, 64), "opt": {"m": [0.5, 0.9]}}
    source = {"lr": 0.2, "width": 16, "opt": {"m": 0.9}, "fixed": "kept"}
    seen = set()
    for seed in range(20):
        random.seed(seed)
        first = private.explore(source, mutations, 0.25, (1.2, 0.8), None)
        random.seed(seed)
        assert private.explore(source, mutations, 0.25, (1.2, 0.8), None) == first, \
            "explore: not a function of Python's random state"
        config, operations = first
        assert config["lr"] in mutations["lr"] and config["opt"]["m"] in (0.5, 0.9), \
            f"explore: {config} is not perturbed within the mutations"
        assert isinstance(config["width"], int) and config["fixed"] == "kept", \
            f"explore: {config} changed a type or a value not mutated"
        assert set(operations) == set(mutations), f"explore: operations {operations}"
        seen.add(repr(config))
    assert source == {"lr": 0.2, "width": 16, "opt": {"m": 0.9}, "fixed": "kept"}, \
        "explore: changed the source's config"
    assert len(seen) > 1, "explore: draws no random numbers"
    config, _ = private.explore(source, {}, 0.25, (1.2, 0.8), lambda c: dict(c, extra=1))
    assert config == dict(source, extra=1), "explore: custom_explore_fn not applied"


def test_experiment_tag_names_the_perturbed_values():
    tag = private.experiment_tag("trainable_7f_00001_1_lr=0.1", {"lr": 0.25, "other": 3},
                                 {"lr": [0.1, 0.25]})
    assert tag == "trainable_7f_00001_1_lr=0.1@perturbed[lr=0.2500]", f"experiment_tag: {tag}"


def test_a_paused_trial_resumes_from_the_checkpoint_handed_to_it(tmp_path):
    trial = Trial("__fake", stub=True)
    checkpoint = tune.Checkpoint.from_directory(str(tmp_path))
    private.resume_from(trial, checkpoint, {"loss": 0.5})
    assert trial.checkpoint is not checkpoint and trial.checkpoint.path == checkpoint.path, \
        "latest_checkpoint_result: the trial does not hold a copy of the checkpoint"
    assert trial.latest_checkpoint_result.metrics == {"loss": 0.5}, \
        "latest_checkpoint_result: the metrics were not handed on"


def test_pbts_settings_are_kept_in_its_attributes():
    from ray.tune.schedulers import PopulationBasedTraining
    settings = dict(time_attr="training_iteration", perturbation_interval=3.0, burn_in_period=2,
                    hyperparam_mutations={"lr": [0.1]}, resample_probability=0.5, perturbation_factors=(2.0, 0.5),
                    custom_explore_fn=dict, log_config=False, require_attrs=False, synch=True)
    scheduler = PopulationBasedTraining(quantile_fraction=0.4, **settings)
    assert private.pickled_settings(vars(scheduler)) == settings, \
        "pickled_settings: PopulationBasedTraining keeps its arguments otherwise"


@pytest.fixture(scope="module")
def local_ray():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=1, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    yield
    ray.shutdown()


def test_a_pending_checkpoint_settles_to_its_checkpoint_and_metrics(local_ray, tmp_path):
    from ray.train._internal.session import _FutureTrainingResult, _TrainingResult
    checkpoint = tune.Checkpoint.from_directory(str(tmp_path))
    saved = _FutureTrainingResult(ray.put(_TrainingResult(checkpoint, {"loss": 0.5})))
    none = _FutureTrainingResult(ray.put(None))
    assert private.is_pending(saved) and not private.is_pending(checkpoint)
    settled = private.settle(saved)
    assert settled is not None and settled[0].path == checkpoint.path \
        and settled[1] == {"loss": 0.5}, f"future_result: settled to {settled}"
    assert private.settle(none) is None, "future_result: a save of nothing settled to something"
    # A paused trial still saving hands on its pending save, any other value is not one.
    trial = Trial("__fake", stub=True)
    assert private.pending_checkpoint(trial) is None
    trial.temporary_state.saving_to = saved
    assert private.pending_checkpoint(trial) is saved, \
        "future_result: Trial.temporary_state.saving_to no longer holds the pending save"

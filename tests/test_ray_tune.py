"""kestrovane.integrations.ray_tune.ParetoPBT in a real Ray Tune run: four
trials of a noisy two-metric function trainable on two CPUs; the exploits Ray
carries out are the tracker's decisions, and the trainables resume from the
checkpoints of the trials the tracker chose."""

import json
import math
import os
import random
import tempfile

import pytest

tune = pytest.importorskip(
    "ray.tune", reason="Ray Tune is not installed in this environment "
    "(pip install 'kestrovane[ray]'; `make install` installs it when it can)")

import ray  # noqa: E402

from kestrovane.integrations.ray_tune import ParetoPBT  # noqa: E402
from kestrovane.pbt import Population  # noqa: E402

ITERATIONS = 8


class RecordingPopulation(Population):
    """Records every report and decision, in order, for replay."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def report(self, member_id, scores):
        super().report(member_id, scores)
        self.calls.append(("report", member_id, list(scores)))

    def decide(self, member_id, *, sources=None):
        decision = super().decide(member_id, sources=sources)
        self.calls.append(("decide", member_id, sorted(sources), decision))
        return decision


class RecordingPBT(ParetoPBT):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.results = []
        self.first_lr = {}

    def on_trial_add(self, tune_controller, trial):
        super().on_trial_add(tune_controller, trial)
        self.first_lr[trial.trial_id] = trial.config["lr"]

    def on_trial_result(self, tune_controller, trial, result):
        self.results.append((trial.trial_id, result["restored_from"]))
        return super().on_trial_result(tune_controller, trial, result)


def trainable(config):
    """Progress grows by `lr` per step; loss falls and score rises with it, noisily.
    The checkpoint names the trial that wrote it, so a trial restored from
    another's checkpoint can tell whose it is."""
    me = tune.get_context().get_trial_id()
    step, level, restored_from = 0, 0.0, ""
    checkpoint = tune.get_checkpoint()
    if checkpoint:
        with checkpoint.as_directory() as d, open(os.path.join(d, "state.json")) as f:
            state = json.load(f)
        step, level = state["step"], state["level"]
        if state["owner"] != me:
            restored_from = state["owner"]
    rng = random.Random(f"{me}-{step}")
    while True:
        step += 1
        level += config["lr"]
        metrics = {"loss": math.exp(-level) + rng.gauss(0, 0.02),
                   "score": level + rng.gauss(0, 0.1), "restored_from": restored_from}
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "state.json"), "w") as f:
                json.dump({"step": step, "level": level, "owner": me}, f)
            tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(d))
        restored_from = ""


@pytest.fixture(scope="module")
def ray_cluster():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    yield
    ray.shutdown()


def test_exploits_follow_the_trackers_plan(ray_cluster, tmp_path):
    scheduler = RecordingPBT({"loss": "min", "score": "max"}, time_attr="training_iteration",
                             perturbation_interval=2,
                             hyperparam_mutations={"lr": tune.uniform(0.01, 1.0)},
                             window=4, min_reports=2, seed=3)
    pop = scheduler.population
    assert pop.objectives == ("loss", "score") and pop.maximize == (False, True)
    assert pop.percentile == 0.25
    settings = dict(maximize=pop.maximize, window=pop.window, min_reports=pop.min_reports,
                    percentile=pop.percentile, seed=pop.seed, policy=pop.policy)
    scheduler.population = recorder = RecordingPopulation(pop.objectives, **settings)

    tuner = tune.Tuner(
        tune.with_resources(trainable, {"cpu": 0.5}),
        param_space={"lr": tune.grid_search([0.02, 0.3, 0.6, 1.0])},
        tune_config=tune.TuneConfig(scheduler=scheduler, reuse_actors=True),
        run_config=tune.RunConfig(stop={"training_iteration": ITERATIONS},
                                  storage_path=str(tmp_path), verbose=0))
    grid = tuner.fit()
    assert not grid.errors

    # Exploitation happened, and the clearly worst trial (lr 0.02) was replaced.
    assert scheduler.exploits
    worst = next(t for t, lr in scheduler.first_lr.items() if lr == 0.02)
    assert worst in [replaced for replaced, _ in scheduler.exploits]

    # Every exploit Ray carried out is a "replace" decision of the tracker, in order,
    # and every such decision was carried out (its source had a checkpoint).
    replaces = [(c[3].member_id, c[3].source) for c in recorder.calls
                if c[0] == "decide" and c[3].action == "replace"]
    assert scheduler.exploits == replaces
    assert all(c[3].source in c[2] for c in recorder.calls
               if c[0] == "decide" and c[3].action == "replace")

    # The trainables themselves resumed from the chosen trials' checkpoints.
    for trial in scheduler.first_lr:
        seen = [src for t, src in scheduler.results if t == trial and src]
        assert seen == [src for t, src in scheduler.exploits if t == trial], trial

    # Replaying the reports in Ray's order through a fresh tracker gives the same
    # decisions, selections included.
    replay = Population(pop.objectives, **settings)
    for call in recorder.calls:
        if call[0] == "report":
            replay.report(call[1], call[2])
        else:
            assert replay.decide(call[1], sources=call[2]) == call[3]
    # Finished trials left the population.
    assert len(recorder) == 0


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"synch": True}, ValueError, "asynchronous PBT only"),
    ({"metric": "loss"}, TypeError, "do not pass 'metric'"),
    ({"mode": "max"}, TypeError, "do not pass 'mode'"),
    ({"quantile_fraction": 0.0}, ValueError, r"quantile_fraction must be in \(0, 0.5\]"),
    ({"quantile_fraction": 0.6}, ValueError, r"quantile_fraction must be in \(0, 0.5\]"),
    ({"metrics": {"loss": "minimise"}}, ValueError, "direction of metric 'loss'"),
    ({"metrics": {}}, TypeError, "non-empty mapping"),
    ({"metrics": ["loss"]}, TypeError, "non-empty mapping"),
    ({"min_reports": 1}, ValueError, "min_reports"),
])
def test_bad_settings(kwargs, exc, message):
    args = {"metrics": {"loss": "min", "acc": "max"}, "hyperparam_mutations": {"lr": [0.1, 0.2]}}
    args |= kwargs
    with pytest.raises(exc, match=message):
        ParetoPBT(args.pop("metrics"), **args)

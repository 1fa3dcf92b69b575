"""ParetoPBT's PBT steps, made on Ray's public scheduler hooks, are those of Ray's
own PopulationBasedTraining: the same results are perturbation steps, the same
decisions go back to Tune, the same trial runs next.  A scripted controller
drives both with fake trials that hold no checkpoint, so neither exploits."""

import inspect
import re
from types import SimpleNamespace as NS

import numpy as np
import pytest

pytest.importorskip("ray.tune", reason="Ray Tune is not installed in this environment")

from ray.tune.schedulers import PopulationBasedTraining  # noqa: E402
from ray_tune_helpers import FakeTrial  # noqa: E402

from kestrovane.integrations import ray_tune  # noqa: E402
from kestrovane.integrations.ray_tune import ParetoPBT  # noqa: E402

IDS = [f"c0ffe_{i:05d}" for i in range(5)]
SETTINGS = dict(time_attr="training_iteration", perturbation_interval=3, burn_in_period=4,
                hyperparam_mutations={"lr": [0.1, 0.2]}, log_config=False)


def events(n=120):
    """(trial, statuses of the others, result): some results lack the time or a metric."""
    rng = np.random.default_rng(4)
    steps = dict.fromkeys(IDS, 0)
    for _ in range(n):
        tid = str(rng.choice(IDS))
        steps[tid] += int(rng.integers(1, 3))
        others = {t: str(rng.choice(["RUNNING", "PAUSED", "PENDING"])) for t in IDS if t != tid}
        result = {"training_iteration": steps[tid], "loss": float(rng.normal()),
                  "acc": float(rng.normal())}
        if rng.random() < 0.08:
            del result["training_iteration"]
        elif rng.random() < 0.08:
            del result["loss"]
        yield tid, others, result


def drive(scheduler, folder):
    trials = {t: FakeTrial(t, folder, "PENDING") for t in IDS}
    controller = NS(search_alg=None, get_trials=lambda: list(trials.values()),
                    _schedule_trial_save=lambda trial, result: None)
    for trial in trials.values():
        scheduler.on_trial_add(controller, trial)
    seen = []
    for tid, others, result in events():
        trials[tid].status = "RUNNING"
        for t, status in others.items():
            trials[t].status = status
        decision = scheduler.on_trial_result(controller, trials[tid], result)
        chosen = scheduler.choose_trial_to_run(controller)
        seen.append((tid, decision, chosen and chosen.trial_id))
    return seen


def test_the_steps_decisions_and_turns_are_ray_pbts(tmp_path):
    ray_pbt = PopulationBasedTraining(metric="loss", mode="min", require_attrs=False,
                                      **SETTINGS)
    mine = ParetoPBT({"loss": "min", "acc": "max"}, require_attrs=False, **SETTINGS)
    expected = drive(ray_pbt, tmp_path / "ray")
    assert [d for _, d, _ in expected].count("PAUSE") > 5   # the script reaches every path
    assert drive(mine, tmp_path / "mine") == expected


@pytest.mark.parametrize("missing", ["training_iteration", "loss"])
def test_a_result_without_the_time_or_first_metric_is_refused_as_by_ray(tmp_path, missing):
    for scheduler in (PopulationBasedTraining(metric="loss", mode="min", **SETTINGS),
                      ParetoPBT({"loss": "min"}, **SETTINGS)):
        trial = FakeTrial(IDS[0], tmp_path, "RUNNING")
        controller = NS(search_alg=None, get_trials=lambda: [trial])
        scheduler.on_trial_add(controller, trial)
        result = {"training_iteration": 5, "loss": 1.0}
        del result[missing]
        with pytest.raises(RuntimeError, match=f"Cannot find (time_attr |metric )?{missing} in trial result"):
            scheduler.on_trial_result(controller, trial, result)


def test_no_private_name_of_pbt_is_used_or_redefined():
    # A method named as one of Ray's attributes was shadowed by it, and an
    # attribute of ours named as Ray's would change Ray's own methods: a new
    # Ray may add such names.  Every private name of Ray goes through
    # _ray_private instead.
    ray_names = set(dir(PopulationBasedTraining)) | set(vars(PopulationBasedTraining(
        hyperparam_mutations={"lr": [0.1]})))
    source = inspect.getsource(ray_tune)
    own = set(re.findall(r"self\.(_[a-z]\w*)", source)) | {
        n for n in vars(ParetoPBT) if n.startswith("_") and not n.startswith("__")}
    assert not own & ray_names

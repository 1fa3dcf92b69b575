"""kestrovane.integrations.ray_tune.ParetoPBT in a real Ray Tune run: four
trials of a noisy two-metric function trainable on two CPUs; the exploits Ray
carries out are the tracker's decisions, and the trainables resume from the
checkpoints of the trials the tracker chose."""

import json
import logging
import math
import os
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

tune = pytest.importorskip(
    "ray.tune", reason="Ray Tune is not installed in this environment "
    "(pip install 'kestrovane[ray]'; `make install` installs it when it can)")

import ray  # noqa: E402
import ray.cloudpickle as cloudpickle  # noqa: E402
import ray_tune_helpers as helpers  # noqa: E402
from ray.tune.schedulers import PopulationBasedTrainingReplay  # noqa: E402

from kestrovane.integrations.ray_tune import ParetoPBT  # noqa: E402
from kestrovane.pbt import Population  # noqa: E402
from kestrovane.pbt.policies import ParetoRule  # noqa: E402

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
LOGGER = "kestrovane.integrations.ray_tune"

ITERATIONS = 8


class RecordingPopulation(Population):
    """Records every report, restart and decision, in order, for replay."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def report(self, member_id, scores):
        super().report(member_id, scores)
        self.calls.append(("report", member_id, list(scores)))

    def restart(self, member_id):
        super().restart(member_id)
        self.calls.append(("restart", member_id))

    def leave(self, member_id):  # a trial that finishes before others decide
        super().leave(member_id)
        self.calls.append(("leave", member_id))

    def decide(self, member_id, *, sources=None, commit=True):
        decision = super().decide(member_id, sources=sources, commit=commit)
        self.calls.append(("decide", member_id, sorted(sources), decision, commit))
        return decision


@pytest.fixture(scope="module")
def ray_cluster():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    # Workers import the trainables from this folder, wherever pytest was started.
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False, runtime_env={"env_vars": {"PYTHONPATH": str(HERE)}})
    yield
    ray.shutdown()


def test_exploits_follow_the_trackers_plan(ray_cluster, tmp_path):
    scheduler = helpers.Recording({"loss": "min", "score": "max"}, time_attr="training_iteration",
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
        tune.with_resources(helpers.trainable, {"cpu": 0.5}),
        param_space={"lr": tune.grid_search([0.02, 0.3, 0.6, 1.0])},
        tune_config=tune.TuneConfig(scheduler=scheduler, reuse_actors=True),
        run_config=tune.RunConfig(stop={"training_iteration": ITERATIONS},
                                  storage_path=str(tmp_path), verbose=0))
    grid = tuner.fit()
    assert not grid.errors

    # Exploitation happened, and the clearly worst trial (lr 0.02) was replaced.
    assert scheduler.exploits
    worst = next(t for t, c in scheduler.first_config.items() if c["lr"] == 0.02)
    assert worst in [replaced for replaced, _ in scheduler.exploits]

    # Every exploit Ray carried out is a "replace" decision of the tracker, in order,
    # and every such decision was carried out (its source had a checkpoint).
    replaces = [(c[3].member_id, c[3].source) for c in recorder.calls
                if c[0] == "decide" and c[3].action == "replace"]
    assert scheduler.exploits == replaces
    assert all(c[3].source in c[2] for c in recorder.calls
               if c[0] == "decide" and c[3].action == "replace")

    # The trainables themselves resumed from the chosen trials' checkpoints.
    for trial in scheduler.first_config:
        seen = [r["restored_from"] for t, _, r in scheduler.results
                if t == trial and r["restored_from"]]
        assert seen == [src for t, src in scheduler.exploits if t == trial], trial

    # Ray's PBT logs of every exploit, which PopulationBasedTrainingReplay reads.
    logs = next(tmp_path.glob("*/pbt_global.txt")).parent
    by_tag = {tag: t for t, tag in scheduler.first_tag.items()}
    logged = [json.loads(line) for line in (logs / "pbt_global.txt").read_text().splitlines()]
    assert [(by_tag[line[0]], by_tag[line[1]]) for line in logged] == scheduler.exploits
    for replaced in {r for r, _ in scheduler.exploits}:
        policy = logs / f"pbt_policy_{replaced}.txt"
        assert json.loads(policy.read_text().splitlines()[-1]) == \
            logged[max(i for i, (r, _) in enumerate(scheduler.exploits) if r == replaced)]
        PopulationBasedTrainingReplay(str(policy))

    # Replaying the reports in Ray's order through a fresh tracker gives the same
    # decisions, selections included.
    replay = Population(pop.objectives, **settings)
    for call in recorder.calls:
        if call[0] == "report":
            replay.report(call[1], call[2])
        elif call[0] == "restart":
            replay.restart(call[1])
        elif call[0] == "leave":
            replay.leave(call[1])
        else:
            assert replay.decide(call[1], sources=call[2], commit=call[4]) == call[3]
    # Finished trials left the population.
    assert len(recorder) == 0


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"synch": True}, ValueError, "asynchronous PBT only"),
    ({"seed": None}, TypeError, "decides with the seed it began with"),
    ({"metric": "loss"}, TypeError, "do not pass 'metric'"),
    ({"mode": "max"}, TypeError, "do not pass 'mode'"),
    ({"quantile_fraction": 0.0}, ValueError, r"quantile_fraction must be in \(0, 0.5\]"),
    ({"quantile_fraction": 0.6}, ValueError, r"quantile_fraction must be in \(0, 0.5\]"),
    ({"quantile_fraction": "0.2"}, TypeError, r"quantile_fraction must be a real number"),
    ({"quantile_fraction": float("nan")}, ValueError, r"quantile_fraction must be in"),
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


def scheduler_over(folder):
    """A scheduler that two trials joined (after it read any state in `folder`)."""
    scheduler = ParetoPBT({"loss": "min"}, seed=3, hyperparam_mutations={"lr": [0.1, 0.2]})
    trials = {tid: helpers.FakeTrial(tid, folder, "RUNNING") for tid in ("a", "b")}
    controller = types.SimpleNamespace(search_alg=None)
    for trial in trials.values():
        scheduler.on_trial_add(controller, trial)
    return scheduler, trials


def test_a_resumed_run_copies_only_trials_ray_has_scores_for(tmp_path):
    # An exploit hands on the source's last result with its checkpoint; a
    # resumed driver had none until the trial reported again (and Ray's own
    # exploit failed the whole run formatting its missing score).
    before, trials = scheduler_over(tmp_path)
    for tid, loss in (("a", 0.1), ("b", 0.9)):
        standing = before._standing[tid]
        standing.score, standing.result = -loss, {"loss": loss}
        standing.checkpoint = trials[tid].checkpoint
        for noise in (0.0, 0.01, -0.01):
            before.population.report(tid, [loss + noise])
    before._save()
    after, trials = scheduler_over(tmp_path)
    assert after.restored_from is not None
    standing = after._standing["a"]
    assert (standing.score, standing.result) == (-0.1, {"loss": 0.1})
    assert after._decide(trials["b"], trials).source == "a"
    # A state file of the format before scores were kept: "a" is not copied.
    path = tmp_path / "kestrovane_pareto_pbt.state"
    saved = cloudpickle.loads(path.read_bytes())
    saved["format"], saved["trials"] = 1, {t: v[:3] for t, v in saved["trials"].items()}
    path.write_bytes(cloudpickle.dumps(saved))
    old, trials = scheduler_over(tmp_path)
    assert old.restored_from is not None and old._standing["a"].score is None
    assert old._decide(trials["b"], trials).action == "continue"


def run(scheduler, configs, iterations, tmp_path, trainable=helpers.fixed):
    """`fixed` trials that start together; returns their configs by trial id."""
    configs = [dict(c, barrier=str(tmp_path / "barrier"), n=len(configs)) for c in configs]
    tuner = tune.Tuner(
        tune.with_resources(trainable, {"cpu": 2 / len(configs)}),
        param_space={"cfg": tune.grid_search(configs)},
        tune_config=tune.TuneConfig(scheduler=scheduler, reuse_actors=True),
        run_config=tune.RunConfig(stop={"training_iteration": iterations},
                                  storage_path=str(tmp_path), verbose=0))
    grid = tuner.fit()
    assert not grid.errors
    return {t: c["cfg"] for t, c in scheduler.first_config.items()}


@pytest.mark.parametrize("policy", [None, ParetoRule()], ids=["default", "plain"])
def test_one_round_replaces_the_fraction_only(ray_cluster, tmp_path, policy):
    # Eight clearly separated trials, reported as NumPy scalars, one
    # perturbation step each: Ray's PBT replaces ceil(8 * 0.125) = 1.  The best
    # passes its step first (and saves a checkpoint), then the worst (replaced),
    # then the others, none of which may be replaced in its place.
    scheduler = helpers.Recording({"loss": "min", "score": "max"}, policy=policy,
                                  time_attr="training_iteration", perturbation_interval=4,
                                  quantile_fraction=0.125, window=4, seed=1,
                                  hyperparam_mutations={"x": [0, 1]})
    marks = tmp_path / "passed"
    marks.mkdir()
    configs = run(scheduler, [{"q": q, "late_at": 4, "after": {8: None, 1: 8}.get(q, 1),
                               "marks": str(marks)} for q in range(1, 9)], 7, tmp_path)
    worst = next(t for t, c in configs.items() if c["q"] == 1)
    assert [r for r, _ in scheduler.exploits] == [worst]


def test_diverged_refused_and_impossible(ray_cluster, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    # The best trial turns NaN at step 5; another reports a bool once.
    scheduler = helpers.Recording({"loss": "min", "score": "max"},
                                  time_attr="training_iteration", perturbation_interval=4,
                                  window=4, seed=2, hyperparam_mutations={"x": [0, 1]})
    # A diverged trial copies a trial that saved at its own last step, so its
    # repair waits on how the trials' steps interleave: 23 iterations give
    # it four perturbation steps after the divergence to find one.
    configs = run(scheduler, [{"q": 1}, {"q": 2, "bool_at": 3}, {"q": 3},
                              {"q": 4, "diverge_at": 5}], 23, tmp_path)
    bad = next(t for t, c in configs.items() if "diverge_at" in c)
    boolish = next(t for t, c in configs.items() if "bool_at" in c)
    refused = [r.getMessage() for r in caplog.records if "not a real number" in r.getMessage()]
    assert len(refused) == 1 and boolish in refused[0] and "'score'" in refused[0]

    # From its first NaN until it copies another trial, nobody copies it;
    # then it resumes from the copy and reports finite scores again.
    first_nan = next(n for t, n, r in scheduler.results if t == bad and math.isnan(r["loss"]))
    repair = next(i for i, (r, _) in enumerate(scheduler.exploits)
                  if r == bad and i >= first_nan)
    assert all(src != bad for _, src in scheduler.exploits[first_nan:repair])
    after = [r for t, n, r in scheduler.results if t == bad and n > repair]
    assert after and after[0]["copied"] == scheduler.exploits[repair][1]
    assert all(math.isfinite(r["loss"]) for r in after)


def test_no_checkpoints_no_change(ray_cluster, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)

    class Final(helpers.Recording):
        kept = {}

        def _leave(self, trial):
            if trial.trial_id in self.population:
                self.kept[trial.trial_id] = self.population.reports(trial.trial_id)
            super()._leave(trial)

    scheduler = Final({"loss": "min", "score": "max"}, time_attr="training_iteration",
                      perturbation_interval=2, window=4, seed=3,
                      hyperparam_mutations={"x": [0, 1]})
    run(scheduler, [{"q": q, "save": False} for q in range(1, 5)], 8, tmp_path)
    assert scheduler.exploits == []
    # Replacements Ray could not carry out cleared no window.
    assert sorted(Final.kept.values()) == [4, 4, 4, 4]
    said = [r.getMessage() for r in caplog.records if "cannot exploit" in r.getMessage()]
    assert len(said) == 1 and "has no checkpoint" in said[0]


def test_readme_example_runs(ray_cluster, tmp_path, monkeypatch):
    text = (ROOT / "README.md").read_text()
    section = text[text.index("### Ray Tune"):]
    code = next(b for b in re.findall(r"```python\n(.*?)```", section, re.S)
                if "def train" in b and "ParetoPBT" in b)
    monkeypatch.setattr("ray.train.constants.DEFAULT_STORAGE_PATH", str(tmp_path))
    namespace = {"__name__": "__main__"}
    exec(compile(code, "README.md", "exec"), namespace)
    assert not namespace["results"].errors
    assert namespace["scheduler"].exploits


@pytest.mark.parametrize("version, ok", [("2.49.2", False), ("2.50.1", True),
                                         ("2.60.0", True), ("2.61.0rc1", False),
                                         ("3.0.0.dev0", False)])
def test_version_guard(version, ok):
    code = ("import ray; ray.__version__ = %r\n"
            "import kestrovane.integrations.ray_tune" % version)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (r.returncode == 0) == ok, r.stderr
    if not ok:
        assert f"this is Ray {version}" in r.stderr and "2.50.1 and 2.60.0" in r.stderr


def test_a_trial_without_a_step_result_is_not_copied():
    # After a restore from a state file of format 1 the population knows every
    # trial's scores but not its last step's result, which an exploit hands
    # on with the checkpoint: only trials with both are offered as sources.
    from kestrovane.integrations.ray_tune import _Standing

    class FakeTrial:
        def __init__(self, trial_id):
            self.trial_id, self.status = trial_id, "RUNNING"
    sched = ParetoPBT({"loss": "min"}, hyperparam_mutations={"lr": [0.1, 0.2]}, min_reports=2,
                      policy=ParetoRule())
    trials = [FakeTrial(f"t{i}") for i in range(4)]
    for t, loss in zip(trials, (5.0, 1.0, 2.0, 3.0)):
        for _ in range(2):
            sched.population.report(t.trial_id, (loss,))
    by_id = {t.trial_id: t for t in trials}
    sched._standing = {t.trial_id: _Standing(t.trial_id, checkpoint=object(), score=0.0)
                       for t in trials}
    assert sched._decide(trials[0], by_id).source == "t1"  # the worst copies the best
    sched._standing["t1"].score = None  # t1: no step result since the restore
    assert sched._decide(trials[0], by_id).source != "t1"

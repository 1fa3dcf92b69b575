"""The real-training benchmark's Ray Tune check keeps the loop's fairness: a
trial trains exactly as the loop's member (random search gives the loop's
numbers bit for bit) and every trial trains the budget, copies included."""

import os
import sys
from pathlib import Path

import pytest

pytest.importorskip("ray.tune", reason="Ray Tune is not installed in this environment")
pytest.importorskip("sklearn", reason="the tasks' data ship inside scikit-learn")
pytest.importorskip("moocore", reason="the benchmark measures hypervolume with moocore")
ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

import ray  # noqa: E402

from benchmarks.real_training.ray_check import experiment  # noqa: E402
from benchmarks.real_training.run import Settings, run  # noqa: E402


@pytest.fixture(scope="module")
def ray_cluster():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False,
             runtime_env={"env_vars": {"PYTHONPATH": str(ROOT), "OPENBLAS_NUM_THREADS": "1"}})
    yield
    ray.shutdown()


def test_trials_train_as_the_loop_and_the_whole_budget(ray_cluster, monkeypatch):
    # The last result carries the test scores and no metric.
    monkeypatch.setenv("TUNE_DISABLE_STRICT_METRIC_CHECKING", "1")
    s = Settings("image", 8, 7, rounds=8, steps=5, window=4)
    loop = run(s, "random")
    through_ray = experiment(s, "random")
    assert through_ray["test"] == loop["test"] and through_ray["val"] == loop["val"]
    # Whether a loser finds a winner that saved at its last perturbation step
    # depends on how the trials' steps interleave (on a loaded machine, once,
    # none did): a run without a copy checks nothing of copies, so it runs again.
    for _ in range(3):
        pbt = experiment(s, "plain")
        if pbt["exploits"]:
            break
    assert pbt["started"] == loop["started"]
    assert pbt["trained_steps"] == [s.rounds * s.steps] * s.population
    assert pbt["exploits"] > 0

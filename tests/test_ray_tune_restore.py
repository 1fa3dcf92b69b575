"""A ParetoPBT run whose driver is killed (SIGKILL) mid-run and resumed with
Tuner.restore: the scheduler goes on with its windows, its exploit history
and its selection counter."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

tune = pytest.importorskip("ray.tune", reason="Ray Tune is not installed in this environment")

import ray  # noqa: E402
import ray.cloudpickle as cloudpickle  # noqa: E402
import ray_tune_helpers as helpers  # noqa: E402

from kestrovane.integrations.ray_tune import STATE_FILE  # noqa: E402

HERE = Path(__file__).resolve().parent


def read_state(path):
    with open(path, "rb") as f:
        return cloudpickle.load(f)


def snapshots(folder):
    """Ray's snapshots of the run in `folder`: (name, time written) pairs."""
    found = set()
    for path in folder.glob("experiment_state-*.json"):
        try:
            found.add((path.name, path.stat().st_mtime_ns))
        except FileNotFoundError:  # replaced as we looked
            pass
    return found


def wait_until(condition, driver, deadline, failure):
    while not condition():
        assert driver.poll() is None, "the driver ended before it was killed"
        if time.monotonic() > deadline:
            pytest.fail(failure)
        time.sleep(0.3)


def test_killed_driver_resumes(tmp_path):
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False, runtime_env={"env_vars": {"PYTHONPATH": str(HERE)}})
    try:
        address = ray.get_runtime_context().gcs_address
        state_path = tmp_path / "run" / STATE_FILE
        driver = subprocess.Popen([sys.executable, str(HERE / "ray_tune_driver.py"), address,
                                   str(tmp_path), "run"], cwd=HERE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 240
            wait_until(lambda: state_path.exists()
                       and len(read_state(state_path)["exploits"]) >= 2, driver, deadline,
                       "no exploits within 4 minutes")
            # Then a snapshot of Ray's written after them (Ray writes one
            # every ten seconds or so), so that the restore has one, and a
            # recent one.
            written = snapshots(tmp_path / "run")
            wait_until(lambda: snapshots(tmp_path / "run") - written, driver, deadline,
                       "Ray wrote no snapshot of the run within 4 minutes")
        finally:
            driver.send_signal(signal.SIGKILL)
            driver.wait()
        before = read_state(state_path)
        assert before["population"].members

        tuner = tune.Tuner.restore(str(tmp_path / "run"), trainable=tune.with_resources(
            helpers.trainable, {"cpu": 0.5}))
        grid = tuner.fit()
        assert not grid.errors
        scheduler = helpers.Probed.latest   # restored from tuner.pkl
        assert scheduler.restored_from == str(state_path)
        pop = before["population"]
        assert scheduler.at_restore == {
            "reports": {m: pop.reports(m) for m in pop.members},
            "exploits": before["exploits"], "selections": pop._selections}
        # It went on: history kept and extended, every trial finished its 24 steps.
        assert scheduler.exploits[:len(before["exploits"])] == before["exploits"]
        assert scheduler.population._selections > pop._selections
        assert sorted(r.metrics["training_iteration"] for r in grid) == [24] * 4
    finally:
        ray.shutdown()

"""A ParetoPBT run whose driver is killed (SIGKILL) mid-run and resumed with
Tuner.restore: the scheduler goes on with its windows, its exploit history
and its selection counter, kept in the experiment directory or in a store."""

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

from kestrovane.integrations.ray_tune import STATE_FILE, _unseal  # noqa: E402
from kestrovane.storage.states import StateTable  # noqa: E402

HERE = Path(__file__).resolve().parent


def read_state(path):
    with open(path, "rb") as f:
        return cloudpickle.load(f)


def read_stored(url, name):
    data = StateTable(url).read(name)
    return None if data is None else _unseal(data)


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


@pytest.mark.parametrize("kept_in", ["directory", "store"])
def test_killed_driver_resumes(tmp_path, kept_in):
    # With a store, the experiment directory holds no state file: the
    # restoring driver reads the state from the store.  (It stays at its
    # path: Ray rewrites a moved trial's own checkpoint paths only, not one
    # copied from another trial by an exploit.)
    store = f"sqlite:///{tmp_path / 'pbt.db'}" if kept_in == "store" else None
    state_path = tmp_path / "run" / STATE_FILE
    if store is None:
        def state():
            return read_state(state_path) if state_path.exists() else None
    else:
        def state():
            return read_stored(store, "run")
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False, runtime_env={"env_vars": {"PYTHONPATH": str(HERE)}})
    try:
        address = ray.get_runtime_context().gcs_address
        driver = subprocess.Popen([sys.executable, str(HERE / "ray_tune_driver.py"), address,
                                   str(tmp_path), "run", *([store] if store else [])], cwd=HERE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 240
            wait_until(lambda: (state() or {"exploits": ()})["exploits"][1:], driver, deadline,
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
        before = state()
        assert before["population"].members
        assert state_path.exists() == (store is None)

        tuner = tune.Tuner.restore(str(tmp_path / "run"), trainable=tune.with_resources(
            helpers.trainable, {"cpu": 0.5}))
        grid = tuner.fit()
        assert not grid.errors
        scheduler = helpers.Probed.latest   # restored from tuner.pkl
        assert scheduler.restored_from == (
            str(state_path) if store is None else f"{store} (state 'run')")
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

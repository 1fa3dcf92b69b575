"""ParetoPBT on a two-node Ray cluster (`ray.cluster_utils.Cluster`): a trial
copies a checkpoint written on the other node (about 30 s; run by `make
test-ray-cluster`, not by `make test`, since Ray's placement of paused
trials makes its timing on a loaded 2-core machine uneven)."""

import os
from pathlib import Path

import pytest

tune = pytest.importorskip("ray.tune", reason="Ray Tune is not installed in this environment")
if not os.environ.get("KESTROVANE_RAY_CLUSTER"):
    pytest.skip("the two-node test runs with `make test-ray-cluster`", allow_module_level=True)

import ray  # noqa: E402
import ray_tune_helpers as helpers  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402

HERE = Path(__file__).resolve().parent


def test_exploit_copies_a_checkpoint_from_the_other_node(tmp_path):
    # Each node's workers say which node they run on; one trial fits per node.
    cluster = Cluster(initialize_head=True, head_node_args={
        "num_cpus": 1, "resources": {"node_a": 1},
        "env_vars": {"KESTROVANE_TEST_NODE": "a"}})
    cluster.add_node(num_cpus=1, resources={"node_b": 1},
                     env_vars={"KESTROVANE_TEST_NODE": "b"})
    try:
        ray.init(address=cluster.address, log_to_driver=False, configure_logging=False,
                 runtime_env={"env_vars": {"PYTHONPATH": str(HERE)}})
        scheduler = helpers.Recording({"loss": "min", "score": "max"},
                                      time_attr="training_iteration", perturbation_interval=2,
                                      window=4, seed=6,
                                      hyperparam_mutations={"lr": tune.uniform(0.01, 1.0)})
        grid = tune.Tuner(
            tune.with_resources(helpers.trainable, {"cpu": 1}),
            param_space={"lr": tune.grid_search([0.02, 1.0])},
            tune_config=tune.TuneConfig(scheduler=scheduler),
            run_config=tune.RunConfig(stop={"training_iteration": 10},
                                      storage_path=str(tmp_path), verbose=0)).fit()
        assert not grid.errors
        assert scheduler.exploits
        # The replaced trial resumed from the source's checkpoint on the other
        # node: each node holds one trial at a time, and the source kept its
        # node while the replaced trial restarted (Ray may move a paused trial
        # later, so only the nodes at the exploit are compared).
        replaced, source = scheduler.exploits[0]
        results = scheduler.results
        first = next(i for i, (t, _, r) in enumerate(results)
                     if t == replaced and r["restored_from"])
        assert results[first][2]["restored_from"] == source
        written_on = [r["node"] for t, _, r in results[:first] if t == source][-1]
        assert results[first][2]["node"] != written_on
    finally:
        ray.shutdown()
        cluster.shutdown()

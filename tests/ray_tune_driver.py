"""A Ray Tune driver that a test kills: ParetoPBT over four slow trials.

    python ray_tune_driver.py RAY_ADDRESS STORAGE_PATH NAME [STORE_URL]
"""

import os
import sys

import ray
from ray import tune

from ray_tune_helpers import Probed, trainable

HERE = os.path.dirname(os.path.abspath(__file__))


def tuner(storage, name, store=None):
    scheduler = Probed({"loss": "min", "score": "max"}, time_attr="training_iteration",
                       perturbation_interval=2, window=4, min_reports=2, seed=5,
                       hyperparam_mutations={"lr": tune.uniform(0.01, 1.0)}, storage=store)
    return tune.Tuner(
        tune.with_resources(trainable, {"cpu": 0.5}),
        param_space={"lr": tune.grid_search([0.02, 0.3, 0.6, 1.0]), "delay": 0.15},
        tune_config=tune.TuneConfig(scheduler=scheduler),
        run_config=tune.RunConfig(name=name, storage_path=storage, verbose=0,
                                  stop={"training_iteration": 24}))


if __name__ == "__main__":
    address, storage, name, *store = sys.argv[1:]
    ray.init(address=address, log_to_driver=False, configure_logging=False,
             runtime_env={"env_vars": {"PYTHONPATH": HERE}})
    tuner(storage, name, *store).fit()

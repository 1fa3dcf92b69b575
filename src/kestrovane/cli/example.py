"""A built-in example population: a dozen individuals, three minimised
objectives, some clearly dominated, some uncertain."""

import numpy as np

from kestrovane.cli.population_file import PopulationFile


def example_population() -> PopulationFile:
    mu = np.array([
        [0.10, 0.90, 0.50],
        [0.20, 0.40, 0.40],
        [0.30, 0.30, 0.30],
        [0.90, 0.10, 0.60],
        [0.40, 0.50, 0.20],
        [0.35, 0.45, 0.45],
        [0.50, 0.60, 0.70],
        [0.80, 0.80, 0.80],
        [0.25, 0.95, 0.55],
        [0.60, 0.20, 0.90],
        [0.95, 0.95, 0.95],
        [0.45, 0.35, 0.35],
    ])
    sigma2 = np.full_like(mu, 0.01)
    sigma2[[2, 5, 11]] = 0.04  # scores measured on fewer evaluations
    ids = ["ash", "birch", "cedar", "dogwood", "elm", "fir",
           "ginkgo", "hazel", "ivy", "juniper", "kauri", "larch"]
    return PopulationFile(ids, ["loss", "latency", "size"], mu, sigma2)

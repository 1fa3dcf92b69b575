"""The lab's worlds: learning curves, hyper-parameters and evaluation noise.

Fixed before any policy was tuned; a change here invalidates the tables.

A member's true scores (every objective minimised) are a point of the true
front, an offset quarter sphere whose position the member's trade-off
hyper-parameters choose, scaled by 1 + its distance from the front.  The
distance shrinks at each training step at a rate set by the learning-rate
hyper-parameter (best at 1e-2), towards a floor that grows with the learning
rate: fast learners plateau higher.  Hyper-parameters drift a little at
every step.  A replaced member takes the copied member's distance and
hyper-parameters, then perturbs the hyper-parameters, as Ray's PBT does.

The worlds differ in how an evaluation deviates from the true scores; in
all of them one evaluation's noise is large against one step's progress.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

# The true front and its geometry are those of the example run.
from examples.async_pbt import OFFSET, direction  # noqa: F401 (re-exported)

F64 = NDArray[np.float64]

BEST_LOG_LR = -2.0  # the learning rate that trains fastest
START = (1.0, 3.0)  # initial distance from the front, uniform


@dataclass(frozen=True)
class World:
    name: str
    description: str
    noise_sd: float           # sd of one evaluation per objective (scale of the t's and outliers)
    noise: str = "normal"     # "normal", "t3" (Student-t, 3 degrees of freedom)
    outliers: float = 0.0     # share of evaluations with a gross error added
    outlier_sd: float = 0.0   # sd of that error, per objective
    member_noise: bool = False  # noise sd grows with the learning rate
    learn_rate: float = 0.12  # largest share of the distance (above the floor) removed per step
    floor_slope: float = 0.04  # floor of the distance per decade of learning rate above 1e-4

    def rate(self, log_lr: float) -> float:
        return self.learn_rate * float(np.exp(-((log_lr - BEST_LOG_LR) ** 2) / (2 * 0.6 ** 2)))

    def floor(self, log_lr: float) -> float:
        return self.floor_slope * (log_lr + 4.0)

    def sd(self, log_lr: float) -> float:
        if not self.member_noise:
            return self.noise_sd
        # 0.4x at lr 1e-4 up to 1.6x at lr 1: the fastest learners are the noisiest.
        return self.noise_sd * (0.4 + 0.3 * (log_lr + 4.0))

    def evaluation_error(self, rng: np.random.Generator, sd: float, m: int) -> F64:
        if self.noise == "t3":
            e = rng.standard_t(3, m) * (sd / np.sqrt(3.0))  # variance sd**2
        else:
            e = rng.normal(0.0, sd, m)
        if self.outliers and rng.random() < self.outliers:
            e = e + np.abs(rng.normal(0.0, self.outlier_sd, m))  # a bad evaluation, worse in all
        return e


WORLDS: dict[str, World] = {w.name: w for w in (
    World("gauss", "Normal noise, the same sd for every member (0.3)", noise_sd=0.3),
    World("member", "Normal noise whose sd grows with the learning rate (0.12 to 0.48)",
          noise_sd=0.3, member_noise=True),
    World("heavy", "Student-t noise (3 df, sd 0.25) and 5 % gross errors (sd 1.5)",
          noise_sd=0.25, noise="t3", outliers=0.05, outlier_sd=1.5),
    World("trend", "fast learning curves (twice the rate) under Normal noise 0.25: "
          "scores move while a window fills", noise_sd=0.25, learn_rate=0.24),
)}


def reference_point(m: int) -> F64:
    """3.0 in every objective: a member enters the box once its distance from
    the front is below 1.5 (every member starts at 1 to 3), so the measure
    follows the trained part of the population."""
    return np.full(m, 3.0)

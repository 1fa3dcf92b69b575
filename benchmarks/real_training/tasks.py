"""The tasks, on real data that ships inside scikit-learn (nothing is
downloaded): the two photographs of `sklearn.datasets.load_sample_images`,
4x smaller (106 x 160 pixels), learnt as functions of the pixel's position
through fixed random Fourier features.  Half the pixels train, a quarter
validate, a quarter test.  Fitting a photograph is a task where the
learning-rate schedule matters: with the same budget, an annealed learning
rate reaches a clearly lower error than the best constant one.

Every task trains a one-hidden-layer network (`network.Networks`) with SGD
and reports noisy validation scores: each report scores a member on a fresh
subset of 16 validation pixels, so two reports of the same network differ
as they do in practice.  The test split is scored only after training, by
the benchmark, never by a scheduler.  Every objective is minimised.

- `image` (one objective): "china.jpg"; the mean squared error of the
  colours.
- `imbalanced` (two objectives): where in "china.jpg" the clearly red
  pixels are (5 % of them: the temple's red paint), judged without a
  threshold by the log-loss on the red pixels and on the others (each
  report's subset is a quarter red); the loss's `pos_weight` moves a member
  along that trade-off.
- `robust` (two objectives): "flower.jpg", the squared error on clean
  positions and on positions jittered by one pixel (sd); the training
  jitter `train_noise` trades sharpness for robustness.

The reference point of a hypervolume is the loss of the uninformed
predictor on each objective (the mean colour; a coin), fixed before any run.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from functools import cache
from typing import Any

import numpy as np
from numpy.typing import NDArray

from benchmarks.real_training.network import Networks

F64 = NDArray[np.float64]
Labels = NDArray[Any]  # class labels or colours
BATCH = 16
FEATURES = 32            # random Fourier frequencies of a pixel position
FREQUENCY_SD = 8.0       # their scale, in cycles per image width
DOWNSAMPLE = 4


@dataclass(frozen=True)
class Range:
    """A hyper-parameter's prior: uniform in log space (`log`) or linearly."""

    low: float
    high: float
    log: bool = True

    def sample(self, rng: np.random.Generator) -> float:
        if self.log:
            return float(math.exp(rng.uniform(math.log(self.low), math.log(self.high))))
        return float(rng.uniform(self.low, self.high))

    def clip(self, x: float) -> float:
        return min(max(x, self.low), self.high)


@dataclass(frozen=True)
class Split:
    """Raw inputs (pixel positions or digit images) and labels or colours."""

    x: F64
    y: Labels


def _three_way(n: int) -> tuple[NDArray[np.intp], NDArray[np.intp], NDArray[np.intp]]:
    perm = np.random.default_rng(0).permutation(n)
    return perm[:n // 2], perm[n // 2:3 * n // 4], perm[3 * n // 4:]


@cache
def photo(index: int) -> dict[str, Split]:
    """Pixel positions (in image widths) and colours in [0, 1]."""
    from sklearn.datasets import load_sample_images

    img = load_sample_images().images[index].astype(np.float64) / 255.0
    f = DOWNSAMPLE
    h, w = img.shape[0] // f, img.shape[1] // f
    img = img[:h * f, :w * f].reshape(h, f, w, f, 3).mean(axis=(1, 3))
    rows, cols = np.meshgrid(np.arange(h), np.arange(w), indexing="ij")
    pos = np.stack([rows.ravel(), cols.ravel()], axis=1) / w
    colour = img.reshape(-1, 3)
    return {name: Split(pos[i], colour[i]) for name, i in zip(("train", "val", "test"),
                                                              _three_way(len(pos)))}


def red(colour: F64) -> NDArray[np.int64]:
    """1 where a pixel is clearly red: its red channel exceeds both others by 0.15."""
    r, g, b = colour[:, 0], colour[:, 1], colour[:, 2]
    return ((r > g + 0.15) & (r > b + 0.15)).astype(np.int64)


@cache
def _frequencies() -> F64:
    return np.random.default_rng(0).normal(0.0, FREQUENCY_SD, (2, FEATURES))


def fourier(pos: F64) -> F64:
    angle = 2.0 * np.pi * (pos @ _frequencies())
    return np.concatenate([np.sin(angle), np.cos(angle)], axis=-1)


@dataclass(frozen=True)
class Task:
    """One task: its data, objectives, hyper-parameters and loss."""

    name: str
    objectives: tuple[str, ...]
    space: dict[str, Range]
    kind: str                     # "pixels" (colours, squared error) or "binary"
    source: int                   # the photograph's index
    hidden: int
    eval_noise: float = 0.0       # sd of the input noise of a second objective
    subset: int = 16              # validation samples per report
    reference: tuple[float, ...] = field(default=())

    @property
    def outputs(self) -> int:
        return 3 if self.kind == "pixels" else 1

    def split(self, name: str) -> Split:
        split = photo(self.source)[name]
        return Split(split.x, red(split.y)) if self.kind == "binary" else split

    def encode(self, x: F64) -> F64:
        """Network inputs from raw inputs."""
        return fourier(x)

    def train_inputs(self, x: F64, config: list[dict[str, float]],
                     rng: list[np.random.Generator]) -> F64:
        """The network inputs a step trains on (each member's batch with its
        own training noise, where the task has one)."""
        if "train_noise" in self.space:
            sd = np.array([c["train_noise"] for c in config])[:, None, None]
            x = x + sd * np.stack([g.standard_normal(x.shape[1:]) for g in rng])
        return self.encode(x)

    def loss_gradient(self, out: F64, y: Labels, config: list[dict[str, float]]
                      ) -> F64:
        """d(mean loss)/d(outputs) for outputs (P, B, K) and labels (P, B[, 3])."""
        batch = out.shape[1]
        if self.kind == "pixels":
            grad: F64 = 2.0 * (out - y) / (batch * 3)
            return grad
        z = out[..., 0]
        p = 0.5 * (1.0 + np.tanh(0.5 * z))  # the logistic function, without overflow
        w = np.array([c["pos_weight"] for c in config])[:, None]
        grad = (np.where(y == 1, w * (p - 1.0), p) / batch)[..., None]
        return grad

    def scores(self, nets: Networks, x: F64, y: Labels,
               noise: F64 | None = None) -> F64:
        """Every member's objectives (P, M) on raw inputs (P, n, d) with one
        subset per member, or (n, d) shared by all; `noise` is the input
        noise of the second objective, shaped as the inputs."""
        if self.kind == "binary":
            z = nets.forward(self.encode(x))[1][..., 0]
            pos = np.broadcast_to(y == 1, z.shape).astype(np.float64)
            neg = 1.0 - pos
            return np.stack([(np.logaddexp(0.0, -z) * pos).sum(axis=1) / pos.sum(axis=1),
                             (np.logaddexp(0.0, z) * neg).sum(axis=1) / neg.sum(axis=1)],
                            axis=1)
        rows = [self._squared_error(nets, x, y)]
        if len(self.objectives) == 2:
            assert noise is not None
            rows.append(self._squared_error(nets, x + noise, y))
        return np.stack(rows, axis=1)

    def _squared_error(self, nets: Networks, x: F64, y: Labels) -> F64:
        out = nets.forward(self.encode(x))[1]
        return np.asarray(((out - y) ** 2).mean(axis=(1, 2)), dtype=np.float64)

    def subset_indices(self, y: Labels, rng: np.random.Generator
                       ) -> NDArray[np.intp]:
        """A fresh validation subset; stratified for `imbalanced` (a quarter
        red, first), so that every report sees both classes."""
        if self.kind != "binary":
            return rng.choice(len(y), self.subset, replace=False)
        pos, neg = np.flatnonzero(y == 1), np.flatnonzero(y == 0)
        n_pos = self.subset // 4
        return np.concatenate([rng.choice(pos, n_pos, replace=False),
                               rng.choice(neg, self.subset - n_pos, replace=False)])


def _colour_variance(index: int) -> float:
    return float(photo(index)["train"].y.var(axis=0).mean())


COMMON = {"lr": Range(1e-3, 1.0), "decay": Range(1e-6, 1e-1)}
PIXEL = 1.0 / (640 // DOWNSAMPLE)  # one pixel, in units of the image width


@cache
def tasks() -> dict[str, Task]:
    """The tasks by name (built on first use: the references need the data)."""
    ln2 = math.log(2.0)
    return {
        "image": Task("image", ("squared error",), dict(COMMON), "pixels", 0, 128,
                      reference=(_colour_variance(0),)),
        "robust": Task("robust", ("squared error", "jittered squared error"),
                       {**COMMON, "train_noise": Range(0.0, 3 * PIXEL, log=False)},
                       "pixels", 1, 128, eval_noise=PIXEL,
                       reference=(_colour_variance(1),) * 2),
        "imbalanced": Task("imbalanced", ("loss on red", "loss on others"),
                           {**COMMON, "pos_weight": Range(0.3, 30.0)}, "binary", 0, 128,
                           reference=(ln2, ln2)),
    }


TASK_NAMES = ("image", "imbalanced", "robust")

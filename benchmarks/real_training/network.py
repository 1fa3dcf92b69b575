"""A whole population of small networks trained side by side.

Every member is a one-hidden-layer ReLU network with its own weights,
momentum, mini-batch stream and hyper-parameters; one step of the population
is one batched matrix product per layer, so a population of 32 costs little
more than one member.  Members never share a gradient: stacking them changes
only how the arithmetic is laid out.  Training is SGD with momentum 0.9 and
decoupled weight decay, with per-member learning rate and decay.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

F64 = NDArray[np.float64]
MOMENTUM = 0.9


@dataclass
class Networks:
    """The weights and momentum buffers of `size` members."""

    w1: F64  # (P, D, H)
    b1: F64  # (P, H)
    w2: F64  # (P, H, K)
    b2: F64  # (P, K)
    velocity: list[F64]

    @classmethod
    def initial(cls, seeds: list[int], inputs: int, hidden: int, outputs: int) -> Networks:
        """He-initialised members, each from its own network seed."""
        w1, w2 = [], []
        for s in seeds:
            rng = np.random.default_rng(s)
            w1.append(rng.normal(0.0, np.sqrt(2.0 / inputs), (inputs, hidden)))
            w2.append(rng.normal(0.0, np.sqrt(1.0 / hidden), (hidden, outputs)))
        p = len(seeds)
        nets = cls(np.array(w1), np.zeros((p, hidden)), np.array(w2), np.zeros((p, outputs)), [])
        nets.velocity = [np.zeros_like(a) for a in nets.params]
        return nets

    @property
    def params(self) -> list[F64]:
        return [self.w1, self.b1, self.w2, self.b2]

    @property
    def size(self) -> int:
        return int(self.w1.shape[0])

    def forward(self, x: F64) -> tuple[F64, F64]:
        """Hidden activations (P, B, H) and outputs (P, B, K) for inputs (P, B, D)
        (one batch per member) or (B, D) (the same batch for every member)."""
        hidden = np.maximum(np.matmul(x, self.w1) + self.b1[:, None, :], 0.0)
        return hidden, np.matmul(hidden, self.w2) + self.b2[:, None, :]

    def step(self, x: F64, d_out: F64, hidden: F64, lr: F64, decay: F64) -> None:
        """One SGD step from the loss's gradient `d_out` (P, B, K) with respect
        to the outputs; `lr` and `decay` hold one value per member."""
        d_hidden = np.matmul(d_out, self.w2.transpose(0, 2, 1)) * (hidden > 0)
        grads = [np.matmul(x.transpose(0, 2, 1), d_hidden), d_hidden.sum(axis=1),
                 np.matmul(hidden.transpose(0, 2, 1), d_out), d_out.sum(axis=1)]
        for param, vel, grad in zip(self.params, self.velocity, grads):
            shape = (-1,) + (1,) * (param.ndim - 1)
            vel *= MOMENTUM
            vel += grad
            param *= 1.0 - (lr * decay).reshape(shape)
            param -= lr.reshape(shape) * vel

    def copy_member(self, source: int, target: int) -> None:
        """Member `target` becomes a copy of `source`: weights and momentum."""
        for a in self.params + self.velocity:
            a[target] = a[source]

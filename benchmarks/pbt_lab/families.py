"""World families for the asynchronous multi-objective PBT lab.

Each family is a small simulated training problem: how a member's weights
improve per step under its hyper-parameters, how fast it steps, how an
evaluation deviates from its true scores, and the shape of the front its
trade-off hyper-parameters aim at.  The families were written from a list of
mechanisms alone, before any policy was run on them.

Common frame.  A member's true scores (all minimised) are

    scale * (offset + front(at) + gap)

where `gap >= 0` is how far its weights are from the best they could be (the
same excess in every objective) and `at` is the point of the trade-off space
its weights currently realise.  `at` follows the member's trade-off
hyper-parameters (`aim`) by 30 % a step, so a copied model needs a few steps
to move to a new aim.  For m = 1 there is no front: the score is the loss
`scale * (offset + gap)`.  The fronts:

* convex: `at` is a point of the simplex and front = at**2 (sum of square
  roots is 1; the front bulges towards the origin);
* concave: front = sqrt(at) (a quarter sphere; bulges away from the origin);
* disconnected: `at` lies in [0, 1]^(m-1), front = (at, 1 + mean(1 - at *
  (1 + sin(3 pi at)))) (the DTLZ7 construction); aims whose coordinates lie
  where that sine term rises are dominated, so the front falls into
  2^(m-1) pieces and much of the aim space is wasted.

On exploit a member takes the source's weights (gap state, `at`, steps) and
hyper-parameters and perturbs each hyper-parameter as Ray's PBT does: with
probability 0.25 it is resampled from its initial distribution, otherwise
multiplied by 0.8 or 1.2 (clipped to its range).  Constants of the slot (the
machine a member runs on: its speed in `hardware`, its evaluation-set noise
in `throughput`) stay with the slot.  Every step's progress is jittered by a
log-normal factor (sd 0.2): training itself is random.

The families:

* saturate: the gap relaxes towards a floor; the learning rate sets the rate
  (a bell around 5e-3; rates above 1e-2 also end higher) and dropout both
  slows it and sets the floor (best at 0.3).  Low Normal noise (sd 0.05),
  independent across objectives.  Convex.
* overfit: fitting progress accumulates at a learning-rate-dependent pace;
  past a point, overfitting grows quadratically in further progress, at a
  rate that weight decay cuts, while weight decay raises the floor.
  Validation loss falls, then rises, later for larger weight decay.
  Positively correlated Normal noise (sd 0.2, correlation 0.7: a lucky
  validation batch flatters every objective).  Concave.
* warmup: the best learning rate rises from 6e-4 at the start to about 5e-2
  late; a learning rate far above the current best causes random loss
  spikes (damped by gradient clipping, which also slows progress), and a
  small one ends on a higher floor.  Normal noise whose sd shrinks with
  training, from 0.76 at step 0 to about 0.07 late.  Disconnected.
* anneal: a noise-ball model: the effective learning rate lr / (1 -
  momentum) sets both the pace and the floor the gap relaxes to (upwards if
  the rate is raised), so a large rate is best early and a small one late;
  above 2 it diverges.  Normal noise mostly along the front (sd 0.25, 85 %
  of the variance in a sum-zero direction): objective errors are negatively
  correlated, -0.85 for m = 2.  Concave.
* stepdecay: the learning rate drops tenfold every `interval` steps.  The
  gap is a bias part that decays at a pace set by the current rate and a
  variance part proportional to rate**0.6 that follows it within a few
  steps, so progress comes in bursts at each drop and scores sit on
  plateaus in between.  Student-t noise (3 df, sd 0.3) plus 4 % gross
  errors that make every objective worse by an exponential amount (mean
  2).  Convex, scale 1.5.
* throughput: speed follows batch size, (batch/128)^(-2/3), from 4x at 16
  to 0.25x at 1024; a step's progress grows with batch size with
  diminishing returns, the best learning rate scales with batch size, and
  the floor is U-shaped in log batch size, so the fastest members are not
  the best.  Normal noise whose sd is 0.12 times a per-slot constant
  (log-uniform 1/3 to 3, the slot's evaluation set).  Concave.
* hardware: speed is a per-slot constant (log-uniform 0.25x to 4x) that
  stays with the slot, so fast slots accumulate steps whatever their
  hyper-parameters.  Saturating curve on a narrow ridge: the pace depends
  on sqrt(lr * weight decay) (the effective step of a normalised network),
  and weight decay above 1e-3 raises the floor.  Normal noise with
  correlation 0.85 across objectives (sd 0.2).  Disconnected.
* wild: a peak-then-overfit curve where dropout delays the turn and raises
  the floor.  Very noisy: Student-t with 2 df, scale growing with the
  learning rate (0.5 to 1.5), clipped at 20 scales, plus 6 % gross errors
  of either sign (exponential, mean 3).  Convex, scale 2.

Noise sds are in units of score.  Against the spread between members (the
interquartile range of random members' scores after a run, about 0.4 to 2)
the noise runs from low to very high: saturate (about 0.05 of the spread),
warmup late (0.07; early it is 0.76 while members barely differ), hardware
(0.1), throughput (0.02 to 0.2 by slot), overfit (0.15), stepdecay (0.2
before its tails and gross errors), anneal (0.6) and wild (about 1, with
infinite-variance tails).  In every family one evaluation's error is at
least comparable to a few steps' progress of a typical member mid-run.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np
from numpy.typing import NDArray

F64 = NDArray[np.float64]

RESAMPLE = 0.25  # Ray's default resample_probability
FOLLOW = 0.3     # share of the way `at` moves towards the aim per step
JITTER = 0.2     # sd of the log of a step's progress factor


class Trial(Protocol):
    steps: int


class Family(Protocol):
    name: str
    description: str
    horizon: int

    def start(self, m: int, rng: np.random.Generator) -> Trial: ...
    def speed(self, trial: Trial) -> float: ...
    def train(self, trial: Trial, rng: np.random.Generator) -> None: ...
    def truth(self, trial: Trial) -> F64: ...
    def evaluate(self, trial: Trial, rng: np.random.Generator) -> F64: ...
    def exploit(self, trial: Trial, source: Trial, rng: np.random.Generator) -> Trial: ...
    def reference(self, m: int) -> F64: ...


@dataclass(eq=False)
class Member:
    """One member's state.  `hp`, `aim`, `at`, `w` and `steps` travel on
    exploit; `slot` stays with the machine."""

    steps: int
    m: int
    hp: dict[str, float]    # tunable hyper-parameters
    aim: F64                # trade-off hyper-parameters (tunable too)
    at: F64                 # the trade-off point the weights realise now
    w: dict[str, float]     # the weights' condition (gap state)
    slot: dict[str, float] = field(default_factory=dict)


#: name -> (low, high, log scale)
Space = dict[str, tuple[float, float, bool]]


def _draw(spec: tuple[float, float, bool], rng: np.random.Generator) -> float:
    lo, hi, log = spec
    if log:
        return float(math.exp(rng.uniform(math.log(lo), math.log(hi))))
    return float(rng.uniform(lo, hi))


def _perturb(value: float, spec: tuple[float, float, bool], rng: np.random.Generator) -> float:
    if rng.random() < RESAMPLE:
        return _draw(spec, rng)
    factor = 0.8 if rng.random() < 0.5 else 1.2
    return min(max(value * factor, spec[0]), spec[1])


def _bell(x: float, centre: float, width: float) -> float:
    return math.exp(-0.5 * ((x - centre) / width) ** 2)


def _jitter(rng: np.random.Generator) -> float:
    return math.exp(JITTER * rng.standard_normal())


def _relax(value: float, target: float, rate: float) -> float:
    return target + (value - target) * (1.0 - min(rate, 0.95))


def _correlated(rng: np.random.Generator, m: int, sd: float, rho: float) -> F64:
    """Normal errors, sd `sd`, pairwise correlation rho >= 0 (a shared shift)."""
    shared = rng.standard_normal()
    own = rng.standard_normal(m)
    return sd * (math.sqrt(rho) * shared + math.sqrt(1.0 - rho) * own)


def _along_front(rng: np.random.Generator, m: int, sd: float, along: float) -> F64:
    """Normal errors, sd `sd`, with a share `along` of the variance in a
    sum-zero direction: pairwise correlation -along / (m - 1)."""
    own = rng.standard_normal(m)
    if m == 1:
        return sd * own
    z = rng.standard_normal(m)
    tangent = (z - z.mean()) * math.sqrt(m / (m - 1.0))  # unit variance, sums to zero
    return sd * (math.sqrt(along) * tangent + math.sqrt(1.0 - along) * own)


class _Base:
    name = ""
    description = ""
    horizon = 60
    front = "convex"        # "convex", "concave" or "disconnected"
    offset = 0.2
    scale = 1.0
    margin = 1.0            # reference = scale * (offset + front's worst + margin)
    space: Space = {}

    # --- hooks a family fills in ---------------------------------------
    def _fresh(self, hp: dict[str, float], rng: np.random.Generator) -> dict[str, float]:
        return {"g": float(rng.uniform(2.0, 3.0))}

    def _slot(self, rng: np.random.Generator) -> dict[str, float]:
        return {}

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        raise NotImplementedError

    def _gap(self, x: Member) -> float:
        return x.w["g"]

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        raise NotImplementedError

    # --- the interface ------------------------------------------------------
    def speed(self, trial: Trial) -> float:
        return 1.0

    def start(self, m: int, rng: np.random.Generator) -> Member:
        if not 1 <= m <= 4:
            raise ValueError(f"m must be 1..4, got {m}")
        hp = {k: _draw(spec, rng) for k, spec in self.space.items()}
        aim = self._draw_aim(m, rng)
        return Member(0, m, hp, aim, self._target(aim), self._fresh(hp, rng), self._slot(rng))

    def train(self, trial: Trial, rng: np.random.Generator) -> None:
        x = _own(trial)
        self._step(x, rng)
        x.at = x.at + FOLLOW * (self._target(x.aim) - x.at)
        x.steps += 1

    def truth(self, trial: Trial) -> F64:
        x = _own(trial)
        return self.scale * (self.offset + self._front(x) + self._gap(x))

    def evaluate(self, trial: Trial, rng: np.random.Generator) -> F64:
        x = _own(trial)
        return self.truth(x) + self._error(x, rng)

    def exploit(self, trial: Trial, source: Trial, rng: np.random.Generator) -> Member:
        x, s = _own(trial), _own(source)
        if x.m != s.m:
            raise ValueError("exploit across different numbers of objectives")
        hp = {k: _perturb(v, self.space[k], rng) for k, v in s.hp.items()}
        aim = np.array([_perturb(float(a), self._aim_spec, rng) for a in s.aim])
        return Member(s.steps, s.m, hp, aim, s.at.copy(), dict(s.w), dict(x.slot))

    def reference(self, m: int) -> F64:
        worst = np.zeros(m)
        if m > 1:
            worst[:] = 1.0
            if self.front == "disconnected":
                worst[-1] = 2.0
        return self.scale * (self.offset + worst + self.margin)

    # --- trade-off geometry ---------------------------------------------
    @property
    def _aim_spec(self) -> tuple[float, float, bool]:
        # simplex fronts: positive weights, normalised; disconnected: coordinates
        return (0.0, 1.0, False) if self.front == "disconnected" else (0.02, 1.0, True)

    def _draw_aim(self, m: int, rng: np.random.Generator) -> F64:
        k = m - 1 if self.front == "disconnected" else m
        return np.array([_draw(self._aim_spec, rng) for _ in range(k)])

    def _target(self, aim: F64) -> F64:
        if self.front == "disconnected":
            return aim.copy()
        return aim / aim.sum()

    def _front(self, x: Member) -> F64:
        if x.m == 1:
            return np.zeros(1)
        if self.front == "convex":
            return x.at ** 2
        if self.front == "concave":
            return np.sqrt(x.at)
        # Plain float math: this runs millions of times on 1-3 coordinates.
        cs = x.at.tolist()
        h = sum(1.0 - c * (1.0 + math.sin(3.0 * math.pi * c)) for c in cs) / len(cs)
        out = np.empty(x.m)
        out[:-1] = x.at
        out[-1] = 1.0 + h
        return out


def _own(trial: Trial) -> Member:
    # All families share Member; anything else is a caller's mix-up.
    if not isinstance(trial, Member):
        raise TypeError(f"not a lab family member: {type(trial).__name__}")
    return trial


class Saturate(_Base):
    name = "saturate"
    description = ("saturating curve to a floor set by dropout, pace by learning rate; "
                   "low Normal noise (sd 0.05); convex front")
    horizon = 50
    front = "convex"
    offset = 0.2
    margin = 0.9
    space = {"lr": (1e-4, 1.0, True), "dropout": (0.0, 0.7, False)}

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        log_lr, d = math.log10(x.hp["lr"]), x.hp["dropout"]
        rate = 0.16 * _bell(log_lr, -2.3, 0.7) * (1.0 - 0.6 * d) * _jitter(rng)
        # Too little or too much dropout ends higher; a big rate rattles around the minimum.
        floor = 0.05 + 1.2 * (d - 0.3) ** 2 + 0.1 * max(0.0, log_lr + 2.0)
        x.w["g"] = _relax(x.w["g"], floor, rate)

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        return rng.normal(0.0, 0.05, x.m)


class Overfit(_Base):
    name = "overfit"
    description = ("validation loss falls then rises; weight decay delays the turn but "
                   "raises the floor; Normal noise sd 0.2 correlated +0.7; concave front")
    horizon = 60
    front = "concave"
    offset = 0.3
    margin = 0.9
    space = {"lr": (1e-4, 0.1, True), "wd": (1e-6, 0.1, True)}
    turn = 1.5  # fitting progress before overfitting can start

    @staticmethod
    def _floor(wd: float) -> float:
        return 0.06 + 0.5 * math.sqrt(wd / 0.1)

    def _fresh(self, hp: dict[str, float], rng: np.random.Generator) -> dict[str, float]:
        return {"e": float(rng.uniform(1.8, 2.8)), "f": self._floor(hp["wd"]), "p": 0.0, "o": 0.0}

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        w, wd = x.w, x.hp["wd"]
        dp = 0.16 * _bell(math.log10(x.hp["lr"]), -2.3, 0.6) * _jitter(rng)
        w["p"] += dp
        w["e"] *= math.exp(-dp)
        # The floor follows weight decay at the pace of training, not at once.
        w["f"] += (1.0 - math.exp(-dp)) * (self._floor(wd) - w["f"])
        # Memorisation grows with progress past the turn; weight decay slows it.
        w["o"] += dp * 0.14 / (1.0 + wd / 2e-3) * max(0.0, w["p"] - self.turn)

    def _gap(self, x: Member) -> float:
        return x.w["f"] + x.w["e"] + x.w["o"]

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        return _correlated(rng, x.m, 0.2, 0.7)


class Warmup(_Base):
    name = "warmup"
    description = ("best learning rate rises during training (large early -> spikes); "
                   "Normal noise shrinking from sd 0.76 to 0.07; disconnected front")
    horizon = 60
    front = "disconnected"
    offset = 0.2
    margin = 0.9
    space = {"lr": (1e-4, 1.0, True), "clip": (0.1, 10.0, True)}

    @staticmethod
    def best_log_lr(steps: int) -> float:
        return -3.2 + 2.0 * (1.0 - math.exp(-steps / 20.0))

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        log_lr, clip = math.log10(x.hp["lr"]), x.hp["clip"]
        z = log_lr - self.best_log_lr(x.steps)
        rate = 0.15 * _bell(z, 0.0, 0.6) * clip / (clip + 0.3) * _jitter(rng)
        floor = 0.06 + 0.08 * max(0.0, -1.5 - log_lr)  # a timid rate ends in a worse minimum
        g = _relax(x.w["g"], floor, rate)
        # Too large a rate for the current stage: occasional loss spikes, damped by clipping.
        if z > 0.7 and rng.random() < min(0.5, 0.25 * (z - 0.7)):
            g += 0.6 * (z - 0.7) * min(1.0, clip)
        x.w["g"] = min(g, 5.0)

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        return rng.normal(0.0, 0.06 + 0.7 * math.exp(-x.steps / 15.0), x.m)


class Anneal(_Base):
    name = "anneal"
    description = ("noise ball: effective rate lr/(1-momentum) sets pace and floor, best "
                   "large early, small late; noise sd 0.25 negatively correlated; concave")
    horizon = 60
    front = "concave"
    offset = 0.3
    margin = 0.6
    space = {"lr": (1e-3, 1.0, True), "momentum": (0.0, 0.95, False)}

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        eff = x.hp["lr"] / (1.0 - x.hp["momentum"])
        rate = min(0.3, 0.4 * math.sqrt(eff)) * _jitter(rng)
        floor = 0.03 + 0.8 * eff ** 0.7
        g = _relax(x.w["g"], floor, rate)  # moves up if the rate was raised
        if eff > 2.0:
            g += 0.3 * math.log(eff / 2.0)  # diverging
        x.w["g"] = min(g, 6.0)

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        return _along_front(rng, x.m, 0.25, 0.85)


class StepDecay(_Base):
    name = "stepdecay"
    description = ("learning rate drops 10x every `interval` steps: bursts then plateaus; "
                   "Student-t(3) noise sd 0.3 + 4% gross errors; convex front")
    horizon = 80
    front = "convex"
    offset = 0.2
    scale = 1.5
    margin = 0.5
    space = {"lr": (1e-3, 1.0, True), "interval": (6.0, 40.0, False)}

    @staticmethod
    def rate_now(x: Member) -> float:
        return x.hp["lr"] * 0.1 ** (x.steps // max(1, int(x.hp["interval"])))

    @staticmethod
    def _ball(lr: float) -> float:
        return 1.5 * math.pow(lr, 0.6)

    def _fresh(self, hp: dict[str, float], rng: np.random.Generator) -> dict[str, float]:
        return {"b": float(rng.uniform(1.6, 2.4)), "v": self._ball(hp["lr"])}

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        lr = self.rate_now(x)
        x.w["b"] = _relax(x.w["b"], 0.04, min(0.3, 0.45 * math.sqrt(lr)) * _jitter(rng))
        # The variance part tracks the current rate within a few steps: the burst.
        x.w["v"] += 0.5 * (self._ball(lr) - x.w["v"])

    def _gap(self, x: Member) -> float:
        return x.w["b"] + x.w["v"]

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        e = rng.standard_t(3.0, x.m) * (0.3 / math.sqrt(3.0))  # variance 0.3**2
        if rng.random() < 0.04:
            e = e + rng.exponential(2.0, x.m)  # a broken evaluation: worse everywhere
        return e


class Throughput(_Base):
    name = "throughput"
    description = ("batch size sets speed (4x to 0.25x), progress per step and the best "
                   "lr; U-shaped floor; per-slot Normal noise sd 0.04-0.36; concave front")
    horizon = 60
    front = "concave"
    offset = 0.25
    margin = 0.9
    space = {"batch": (16.0, 1024.0, True), "lr": (1e-4, 1.0, True)}

    def _slot(self, rng: np.random.Generator) -> dict[str, float]:
        return {"noise": _draw((1.0 / 3.0, 3.0, True), rng)}

    def speed(self, trial: Trial) -> float:
        return float((_own(trial).hp["batch"] / 128.0) ** (-2.0 / 3.0))

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        b = x.hp["batch"]
        best = -2.4 + math.log10(b / 128.0)  # linear scaling rule
        rate = 0.3 * _bell(math.log10(x.hp["lr"]), best, 0.5) * b / (b + 256.0) * _jitter(rng)
        floor = 0.06 + 0.04 * math.log2(b / 128.0) ** 2  # tiny batches and huge ones end worse
        x.w["g"] = _relax(x.w["g"], floor, rate)

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        return rng.normal(0.0, 0.12 * x.slot["noise"], x.m)


class Hardware(_Base):
    name = "hardware"
    description = ("per-slot speeds 0.25x-4x; saturating curve on a narrow lr x weight-decay "
                   "ridge; Normal noise sd 0.2 correlated +0.85; disconnected front")
    horizon = 50
    front = "disconnected"
    offset = 0.2
    margin = 0.9
    space = {"lr": (1e-4, 1.0, True), "wd": (1e-6, 0.1, True)}

    def _slot(self, rng: np.random.Generator) -> dict[str, float]:
        return {"speed": _draw((0.25, 4.0, True), rng)}

    def speed(self, trial: Trial) -> float:
        return float(_own(trial).slot["speed"])

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        log_lr, log_wd = math.log10(x.hp["lr"]), math.log10(x.hp["wd"])
        ridge = 0.5 * (log_lr + log_wd)  # log of sqrt(lr * wd): the effective step
        rate = 0.2 * _bell(ridge, -3.5, 0.35) * _jitter(rng)
        floor = 0.05 + 0.15 * max(0.0, log_wd + 3.0)
        x.w["g"] = _relax(x.w["g"], floor, rate)

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        return _correlated(rng, x.m, 0.2, 0.85)


class Wild(_Base):
    name = "wild"
    description = ("peak then overfit, dropout delays the turn; Student-t(2) noise scale "
                   "0.5-1.5 rising with lr + 6% gross errors of either sign; convex")
    horizon = 60
    front = "convex"
    offset = 0.2
    scale = 2.0
    margin = 0.9
    space = {"lr": (1e-4, 1.0, True), "dropout": (0.0, 0.8, False)}

    @staticmethod
    def _floor(d: float) -> float:
        return 0.08 + 0.6 * d ** 2

    def _fresh(self, hp: dict[str, float], rng: np.random.Generator) -> dict[str, float]:
        return {"e": float(rng.uniform(1.8, 2.8)), "f": self._floor(hp["dropout"]),
                "p": 0.0, "o": 0.0}

    def _step(self, x: Member, rng: np.random.Generator) -> None:
        w, d = x.w, x.hp["dropout"]
        dp = 0.15 * _bell(math.log10(x.hp["lr"]), -2.0, 0.7) * _jitter(rng)
        w["p"] += dp
        w["e"] *= math.exp(-dp)
        w["f"] += (1.0 - math.exp(-dp)) * (self._floor(d) - w["f"])
        # Dropout both moves the turn later and slows memorisation after it.
        w["o"] += dp * 0.08 * (1.0 - d) ** 2 * max(0.0, w["p"] - 1.0 - 3.0 * d)

    def _gap(self, x: Member) -> float:
        return x.w["f"] + x.w["e"] + x.w["o"]

    def _error(self, x: Member, rng: np.random.Generator) -> F64:
        s = 0.5 * (1.0 + 2.0 * math.sqrt(x.hp["lr"]))  # sharp, fast learners wobble more
        e = np.clip(rng.standard_t(2.0, x.m), -20.0, 20.0) * s
        if rng.random() < 0.06:
            sign = 1.0 if rng.random() < 0.5 else -1.0
            e = e + sign * rng.exponential(3.0, x.m)
        return e


FAMILIES: dict[str, Family] = {f.name: f for f in (
    Saturate(), Overfit(), Warmup(), Anneal(), StepDecay(), Throughput(), Hardware(), Wild(),
)}

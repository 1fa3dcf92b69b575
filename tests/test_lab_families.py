"""Invariants of the lab's world families (benchmarks/pbt_lab/families.py)."""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks.pbt_lab.families import FAMILIES, Family, Member  # noqa: E402

NAMES = list(FAMILIES)


def _run(f: Family, m: int, seed: int, n: int = 4, steps: int = 25) -> list[np.ndarray]:
    """A small population trained, evaluated and exploited; returns every evaluation."""
    root = np.random.default_rng(seed)
    pop = [f.start(m, root) for _ in range(n)]
    out = []
    for t in range(steps):
        for i, x in enumerate(pop):
            f.train(x, root)
            out.append(f.evaluate(x, root))
        if t % 5 == 4:
            pop[0] = f.exploit(pop[0], pop[-1], root)
    return out + [f.truth(x) for x in pop]


def _start(f: Family, m: int, seed: int) -> Member:
    x = f.start(m, np.random.default_rng(seed))
    assert isinstance(x, Member)
    return x


def _trained(x: Member, f: Family, steps: int, seed: int = 0) -> Member:
    rng = np.random.default_rng(seed)
    for _ in range(steps):
        f.train(x, rng)
    return x


def _errors(f: Family, x: Member, n: int = 4000, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return np.array([f.evaluate(x, rng) for _ in range(n)]) - f.truth(x)


@pytest.mark.parametrize("name", NAMES)
def test_interface_shapes_and_reproducibility(name: str) -> None:
    f = FAMILIES[name]
    assert f.name == name and f.description and "\n" not in f.description and f.horizon > 0
    for m in range(1, 5):
        evals = _run(f, m, seed=m)
        assert all(e.shape == (m,) and np.isfinite(e).all() for e in evals)
        assert f.reference(m).shape == (m,)
        x = f.start(m, np.random.default_rng(0))
        assert f.speed(x) > 0 and np.array_equal(f.truth(x), f.truth(x))
    # Same seeds, same everything; another seed, another run.
    a, b, c = _run(f, 3, seed=7), _run(f, 3, seed=7), _run(f, 3, seed=8)
    assert all(np.array_equal(u, v) for u, v in zip(a, b, strict=True))
    assert not all(np.array_equal(u, v) for u, v in zip(a, c, strict=True))


@pytest.mark.parametrize("name", NAMES)
def test_exploit_copies_the_source_and_keeps_the_slot(name: str) -> None:
    f = FAMILIES[name]
    dst, src = _start(f, 3, 3), _trained(_start(f, 3, 4), f, 7)
    src_truth = f.truth(src)
    new = f.exploit(dst, src, np.random.default_rng(5))
    assert isinstance(new, Member) and new.steps == 7
    assert new.w == src.w and np.array_equal(new.at, src.at) and new.slot == dst.slot
    # Truth depends on the weights alone: perturbed hyper-parameters act from the next step.
    assert np.array_equal(f.truth(new), src_truth)
    assert new.hp != src.hp and not np.array_equal(new.aim, src.aim)  # perturbed
    for k, v in new.hp.items():  # by 0.8 or 1.2 or resampled, within range
        lo, hi, _ = type(f).space[k]  # type: ignore[attr-defined]
        assert lo <= v <= hi
    # No shared mutable state: training the copy leaves the source alone.
    _trained(new, f, 5)
    new.hp["lr"] = -1.0
    assert src.steps == 7 and np.array_equal(f.truth(src), src_truth) and src.hp["lr"] > 0


@pytest.mark.parametrize("name", NAMES)
def test_hyper_parameters_matter_and_the_box_follows_training(name: str) -> None:
    f = FAMILIES[name]
    pop = [_start(f, 2, 100 + i) for i in range(32)]
    ref = f.reference(2)
    assert sum(bool((f.truth(x) < ref).all()) for x in pop) <= 2  # untrained: outside
    # Same training noise for all: only hyper-parameters (and starts) differ.
    final = np.array([f.truth(_trained(x, f, f.horizon)).mean() for x in pop])
    lo, hi = np.quantile(final, [0.25, 0.75])
    assert hi > 1.2 * lo and hi - lo > 0.25
    assert 0.25 <= np.mean([(f.truth(x) < ref).all() for x in pop]) <= 0.98


def test_noise_correlation_signs() -> None:
    for name, sign in (("overfit", 1), ("hardware", 1), ("anneal", -1)):
        f = FAMILIES[name]
        e = _errors(f, _start(f, 2, 0))
        assert sign * np.corrcoef(e.T)[0, 1] > 0.5, name
    e = _errors(FAMILIES["anneal"], _start(FAMILIES["anneal"], 4, 0))
    c = np.corrcoef(e.T)
    assert (c[np.triu_indices(4, 1)] < -0.15).all()  # -0.85 / 3 pairwise for m = 4


def test_noise_scale_claims() -> None:
    f = FAMILIES["warmup"]  # shrinks with training
    x = _start(f, 2, 0)
    early = _errors(f, x, 1000).std()
    late = _errors(f, _trained(x, f, 60), 1000).std()
    assert early > 5 * late

    f = FAMILIES["throughput"]  # a per-slot constant, kept on exploit
    quiet, loud = (_start(f, 2, s) for s in (0, 1))
    quiet.slot["noise"], loud.slot["noise"] = 0.5, 2.5
    copy = f.exploit(loud, quiet, np.random.default_rng(2))
    assert isinstance(copy, Member)
    ratio = _errors(f, copy, 2000).std() / _errors(f, quiet, 2000).std()
    assert 4.0 < ratio < 6.0

    # Heavy tails and gross errors: stepdecay's make scores worse, wild's go either way.
    for name, worse in (("stepdecay", (0.8, 1.0)), ("wild", (0.35, 0.65))):
        f = FAMILIES[name]
        e = _errors(f, _start(f, 1, 0), 20000)[:, 0]
        robust_sd = 1.4826 * np.median(np.abs(e - np.median(e)))
        far = e[np.abs(e) > 6 * robust_sd]
        assert len(far) > 200, name  # a Normal would give 2e-9 of 20000
        assert worse[0] < (far > 0).mean() < worse[1], name


def test_speed_claims() -> None:
    f = FAMILIES["throughput"]
    x = _start(f, 1, 0)
    for batch, speed in ((16.0, 4.0), (128.0, 1.0), (1024.0, 0.25)):
        x.hp["batch"] = batch
        assert math.isclose(f.speed(x), speed)
    f = FAMILIES["hardware"]
    speeds = [f.speed(_start(f, 1, s)) for s in range(400)]
    assert 0.25 <= min(speeds) < 0.4 and 3.0 < max(speeds) <= 4.0
    assert abs(np.mean(np.log(speeds))) < 0.15  # the average member has speed 1


def test_curve_claims() -> None:
    def curve(name: str, **hp: float) -> np.ndarray:
        f = FAMILIES[name]
        x = _start(f, 1, 0)
        x.hp.update(hp)
        x.w = f._fresh(x.hp, np.random.default_rng(1))  # type: ignore[attr-defined]
        rng = np.random.default_rng(2)
        out = [f.truth(x)[0]]
        for _ in range(f.horizon):
            f.train(x, rng)
            out.append(f.truth(x)[0])
        return np.array(out)

    # overfit: falls then rises; more weight decay turns later.
    turns = [curve("overfit", lr=5e-3, wd=wd) for wd in (1e-5, 1e-2)]
    assert all(c[-1] > c.min() + 0.3 for c in turns) and turns[0].argmin() < turns[1].argmin()
    # warmup: a small rate wins early, a larger one late; anneal the other way round.
    small, large = curve("warmup", lr=1e-3, clip=1.0), curve("warmup", lr=3e-2, clip=1.0)
    assert small[10] < large[10] and large[-1] < small[-1]
    small, large = curve("anneal", lr=0.02, momentum=0.0), curve("anneal", lr=0.4, momentum=0.0)
    assert large[8] < small[8] and small[-1] < large[-1]
    # stepdecay: the biggest late drops sit right after the schedule's drops.
    c = curve("stepdecay", lr=0.3, interval=20.0)
    drops = -np.diff(c)[15:]
    assert set(np.argsort(drops)[-2:] + 15) <= {20, 21, 40, 41, 60, 61}

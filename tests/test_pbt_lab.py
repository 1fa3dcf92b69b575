"""The PBT lab's own pieces: its statistics, its worlds' noise and that every
policy's run is reproducible (the lab's tables rest on these)."""

import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("moocore", reason="the lab measures hypervolume with moocore")
pytest.importorskip("scipy", reason="the lab's intervals use scipy")
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks.pbt_lab.policies import factory  # noqa: E402
from benchmarks.pbt_lab.simulator import Settings, hypervolume_percent, simulate  # noqa: E402
from benchmarks.pbt_lab.stats import headroom_share, paired  # noqa: E402
from benchmarks.pbt_lab.worlds import WORLDS  # noqa: E402


def test_paired_intervals_and_headroom_shares():
    a = np.array([1.0, 2.0, 3.0, 4.0])
    p = paired(a + 1.0, a)
    assert (p.mean, p.low, p.high, p.significant) == (1.0, 1.0, 1.0, 1)
    p = paired(a, a[::-1])  # differences -3, -1, 1, 3: t(3) interval +-4.11
    assert p.mean == 0.0 and p.high == pytest.approx(-p.low) and p.significant == 0
    assert p.high == pytest.approx(3.182446 * np.std([-3, -1, 1, 3], ddof=1) / 2)
    rng = np.random.default_rng(0)
    plain = [rng.normal(50, 5, 20) for _ in range(3)]
    oracle = [x + rng.normal(2, 0.5, 20) for x in plain]
    half = [(x + o) / 2 for x, o in zip(plain, oracle)]
    assert headroom_share(oracle, plain, oracle, rounds=50).mean == pytest.approx(1.0)
    assert headroom_share(plain, plain, oracle, rounds=50).mean == pytest.approx(0.0)
    h = headroom_share(half, plain, oracle, rounds=200)
    assert h.mean == pytest.approx(0.5) and h.low <= 0.5 <= h.high


def test_world_noise_has_the_stated_spread():
    rng = np.random.default_rng(1)
    for world in WORLDS.values():
        draws = np.array([world.evaluation_error(rng, 0.3, 2) for _ in range(20000)])
        if world.outliers:  # gross errors only ever make an evaluation worse
            assert (draws.mean(axis=0) > 0.02).all()
        else:
            assert draws.std(axis=0) == pytest.approx([0.3, 0.3], rel=0.05)
    member = WORLDS["member"]
    assert member.sd(-4.0) < member.sd(-2.0) < member.sd(0.0)


def test_hypervolume_percent():
    ref = np.array([3.0, 3.0])
    assert hypervolume_percent(np.array([[1.0, 1.0]]), ref) == pytest.approx(100 * 4 / 9)
    assert hypervolume_percent(np.array([[3.5, 0.0]]), ref) == 0.0


@pytest.mark.parametrize("policy", ["plain", "oracle", "random", "scalarised", "default",
                                    "pareto:trend=shrunk", "mc:replace_if=None"])
def test_runs_are_reproducible(policy):
    short = Settings(horizon=10.0)
    first = simulate(WORLDS["heavy"], 3, 8, 5, factory(policy), short)
    assert first == simulate(WORLDS["heavy"], 3, 8, 5, factory(policy), short)
    assert first.decisions > 0 and 0 <= first.replacements <= first.decisions

"""Bounds declared once (kestrovane._api.validate): the public functions and
the command line refuse the same values, and the thread limit is the native
engine's own."""

import math
import re

import numpy as np
import pytest

import kestrovane
from kestrovane._api import _engine, native
from kestrovane._api import validate as v
from kestrovane.cli.main import parse_args

MU = np.array([[0.1, 0.9], [0.5, 0.5], [0.9, 0.1]])
S2 = np.full((3, 2), 0.02)


class ReachedTheEngine(Exception):
    pass


@pytest.fixture
def checks_only(monkeypatch):
    """select checks its arguments, then stops where it would start sampling."""
    def stop(*args):
        raise ReachedTheEngine
    monkeypatch.setattr(native._engine, "select_detailed", stop)


def test_the_thread_limit_is_the_engines():
    assert v.THREADS.high == _engine.MAX_THREADS >= 2
    too_many = _engine.MAX_THREADS + 1
    with pytest.raises(ValueError, match=f"threads must be in 1 .. {_engine.MAX_THREADS}; got"):
        _engine.counts(MU, S2, 10, 0.2, 0, 1, 0, too_many, None, 0.005)
    # The engine's limit is what the public function takes: one more is refused first.
    assert kestrovane.counts(MU, S2, n_samples=100, threads=_engine.MAX_THREADS).n_samples == 100
    with pytest.raises(ValueError, match=rf"\[1, {_engine.MAX_THREADS}\]; got {too_many}"):
        kestrovane.counts(MU, S2, n_samples=100, threads=too_many)


# option, argument of select, its bounds, values outside, values at the edges inside
EDGES = [
    ("--samples", "n_samples", v.N_SAMPLES, [0, -5, 2**31], [1, 2**31 - 1]),
    ("--percentile", "percentile", v.PERCENTILE, [0.0, -0.1, 1.0000001, math.nan, math.inf],
     [1e-300, 1.0]),
    ("--seed", "seed", v.SEED, [-1, 2**64], [0, 2**64 - 1]),
    ("--threads", "threads", v.THREADS, [0, -1, _engine.MAX_THREADS + 1],
     [1, _engine.MAX_THREADS]),
]


@pytest.mark.parametrize("option, argument, bounds, outside, inside", EDGES,
                         ids=[e[0] for e in EDGES])
def test_command_line_and_select_refuse_the_same_values(checks_only, capsys, option,
                                                        argument, bounds, outside, inside):
    for value in outside:
        with pytest.raises(SystemExit) as exit_:
            parse_args([option, str(value)])
        assert exit_.value.code == 2
        assert capsys.readouterr().err.endswith(
            f"error: {option} must be in {bounds.span()}, got {value}\n")
        with pytest.raises(ValueError,
                           match=f"^{argument} must be in {re.escape(bounds.interval())}; got"):
            kestrovane.select(MU, S2, **{argument: value})
    for value in inside:
        assert getattr(parse_args([option, str(value)]), option[2:]) == value
        with pytest.raises(ReachedTheEngine):
            kestrovane.select(MU, S2, **{argument: value})

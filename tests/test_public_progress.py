"""The progress argument of select: the callback contract and the stderr bar."""

import importlib.util
import sys
import types

import numpy as np
import pytest

from kestrovane import select
from kestrovane._api import progress as progress_module

MU = np.random.default_rng(0).normal(size=(6, 2))
S2 = np.full((6, 2), 0.3)


def test_callback_is_monotone_and_ends_at_n_samples():
    calls = []
    sel = select(MU, S2, n_samples=50, progress=lambda done, total: calls.append((done, total)))
    assert calls[0] == (0, 50) and calls[-1] == (50, 50)
    assert all(total == 50 for _, total in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    assert sel == select(MU, S2, n_samples=50)  # reporting does not change the result


def test_callback_error_propagates():
    def fail(done, total):
        raise RuntimeError("stop here")
    with pytest.raises(RuntimeError, match="stop here"):
        select(MU, S2, n_samples=5, progress=fail)


@pytest.fixture
def without_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)


def test_plain_line_without_tqdm(without_tqdm, capsys):
    select(MU, S2, n_samples=40, progress=True)
    err = capsys.readouterr().err
    assert err.startswith("\rkestrovane.select: 0/40 samples (  0 %), ")
    assert "\rkestrovane.select: 40/40 samples (100 %), " in err and err.endswith(" s\n")
    assert err.count("\n") == 1


@pytest.mark.parametrize("setting", [None, False])
def test_quiet_unless_asked_or_on_a_terminal(setting, capsys):
    select(MU, S2, n_samples=20, progress=setting)  # pytest's stderr is no terminal
    assert capsys.readouterr().err == ""


def test_default_on_a_terminal_waits_for_a_slow_call(without_tqdm, capsys, monkeypatch):
    monkeypatch.setattr(progress_module, "_is_terminal", lambda stream: True)
    # The line's clock stands still: the call is quicker than any delay, however
    # busy the machine.
    monkeypatch.setattr(progress_module, "time", types.SimpleNamespace(monotonic=lambda: 1e3))
    select(MU, S2, n_samples=20)
    assert capsys.readouterr().err == ""  # quicker than the delay: nothing shown
    monkeypatch.setattr(progress_module, "AUTO_DELAY", 0.0)
    select(MU, S2, n_samples=20)
    assert "20/20 samples (100 %)" in capsys.readouterr().err


@pytest.mark.skipif(importlib.util.find_spec("tqdm") is None, reason="tqdm not installed")
def test_tqdm_bar_when_installed(capsys):
    select(MU, S2, n_samples=30, progress=True)
    err = capsys.readouterr().err
    assert "kestrovane.select" in err and "30/30" in err

"""Concurrent calls equal serial ones byte for byte, in this process and in a
fresh one, and the sampling loops run in parallel."""
import concurrent.futures as cf
import hashlib
import json
import os
import random
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from kestrovane.selection_core import _mc_rank
from kestrovane.selection_core._mc_rank import (
    mc_rank_counts, mc_rank_select, mc_rank_select_detailed)
from helpers import canon

FUNCS = {f.__name__: f for f in (mc_rank_counts, mc_rank_select, mc_rank_select_detailed)}
THREADS, REPEATS = 8, 5


def outcome(name, args, kwargs):
    try:
        return ("ok", canon(FUNCS[name](*args, **kwargs)))
    except Exception as e:  # the error is part of the outcome
        return ("raised", type(e), str(e))


def make_cases():
    rng = np.random.default_rng(2024)
    ok = []
    for i in range(48):
        n, m = int(rng.integers(1, 40)), int(rng.integers(1, 5))
        kw = {"percentile": float(rng.choice([0.05, 0.2, 0.5, 1.0])), "mode_i": i % 2,
              "seed": int(rng.integers(0, 2**63)) * 2 + i % 2}
        if i % 3 == 2:
            kw["quantiles_mode_i"] = i % 4  # exact, P², by budget, unknown (budget rule)
        ok.append((list(FUNCS)[i % 3], (rng.normal(size=(n, m)),
                   rng.uniform(0, 0.3, size=(n, m)), int(rng.integers(1, 150))), kw))
    mu, s2 = rng.normal(size=(6, 2)), np.full((6, 2), 0.1)
    nan_mu = np.where(mu > 1.0, np.nan, mu)
    bad = [((mu, s2[:-1], 5), {}), ((mu, s2, 0), {}), ((mu, s2, 5), {"percentile": 0.0}),
           ((mu, s2, 5), {"mode_i": 7}), ((nan_mu, s2, 5), {}), ((mu[:, 0], s2[:, 0], 5), {}),
           ((mu, s2, "5"), {}), ((mu, s2, 2**40), {}), ((mu, s2, 5), {"seed": -1}),
           ((mu, s2, 5), {"bogus": 1})]
    return ok, [(name, a, k) for name in FUNCS for a, k in bad]


def test_concurrent_calls_equal_serial_calls():
    ok, bad = make_cases()
    cases = ok + bad
    expected = [outcome(*c) for c in cases]
    assert [e[0] for e in expected] == ["ok"] * len(ok) + ["raised"] * len(bad)
    jobs = [i for i in range(len(cases)) for _ in range(REPEATS)]
    random.Random(5).shuffle(jobs)
    with cf.ThreadPoolExecutor(THREADS) as pool:
        got = list(pool.map(lambda i: outcome(*cases[i]), jobs))
    wrong = sorted({(cases[i][0], i) for i, g in zip(jobs, got) if g != expected[i]})
    assert not wrong, f"{len(wrong)} of {len(cases)} cases differ under {THREADS} threads"


def timed(fn, *args, threads=1):
    """Wall time of `threads` threads each running fn(*args)."""
    workers = [threading.Thread(target=fn, args=args) for _ in range(threads)]
    t0 = time.perf_counter()
    [t.start() for t in workers]
    [t.join() for t in workers]
    return time.perf_counter() - t0


@pytest.fixture(scope="module")
def long_call():
    """Arguments of an mc_rank_counts call that takes about 0.4 s."""
    rng = np.random.default_rng(1)
    mu, s2 = rng.random((300, 4)), np.full((300, 4), 0.01)
    calib = min(timed(mc_rank_counts, mu, s2, 200) for _ in range(2))
    return mu, s2, int(np.clip(200 * 0.4 / calib, 200, 200_000))


def test_two_large_calls_overlap_in_time(long_call, monkeypatch):
    # A call fifty times shorter, started once the long one samples, finishes
    # first: it ran while the long one held no lock.  No timing threshold, so
    # a busy machine cannot make it fail.
    mu, s2, n = long_call
    finished, sampling = [], threading.Event()
    monkeypatch.setattr(_mc_rank, "np", ArraysMade(sampling))
    long_thread = threading.Thread(
        target=lambda: (mc_rank_counts(mu, s2, n), finished.append("long")))
    long_thread.start()
    sampling.wait()
    monkeypatch.setattr(_mc_rank, "np", np)
    mc_rank_counts(mu, s2, max(1, n // 50))
    finished.append("short")
    long_thread.join()
    assert finished == ["short", "long"]


class ArraysMade:
    """Forwards to NumPy and sets `event` once the kernel has created its
    arrays: from then on it samples, and holds the lock only if it never
    released it."""

    def __init__(self, event):
        self.event = event

    def __getattr__(self, name):
        value = getattr(np, name)
        if name not in ("empty", "zeros"):
            return value

        def make(*args, **kwargs):
            self.event.set()
            return value(*args, **kwargs)
        return make


def test_other_threads_run_during_a_long_call(long_call, monkeypatch):
    # This thread counts its own steps while the kernel samples in another.
    # Had the kernel kept the lock, it could not take one; no timing
    # threshold, so a busy machine cannot make it fail.
    sampling, done = threading.Event(), threading.Event()
    monkeypatch.setattr(_mc_rank, "np", ArraysMade(sampling))
    worker = threading.Thread(target=lambda: (mc_rank_counts(*long_call), done.set()))
    worker.start()
    sampling.wait()
    steps = 0
    while not done.is_set():
        steps += 1
    worker.join()
    assert steps > 10_000


def det_cases(layout="C"):
    rng = np.random.default_rng(99)
    conv = {"C": np.ascontiguousarray, "F": np.asfortranarray, "list": lambda a: a.tolist()}[layout]
    mu, s2 = conv(rng.normal(size=(23, 3))), conv(rng.uniform(0, 0.5, size=(23, 3)))
    return [("mc_rank_counts", (mu, s2, 57), {"seed": 3}),
            ("mc_rank_select", (mu, s2, 40), {"seed": 2**64 - 1, "percentile": 0.3, "mode_i": 0}),
            ("mc_rank_select_detailed", (mu, s2, 33), {"seed": 11, "quantiles_mode_i": 0}),
            ("mc_rank_select_detailed", (mu, s2, 33), {"seed": 11, "quantiles_mode_i": 1})]


def digests(cases):
    return [hashlib.sha256(repr(canon(FUNCS[n](*a, **k))).encode()).hexdigest()
            for n, a, k in cases]


def test_same_bytes_in_fresh_process_and_for_every_input_layout():
    here = digests(det_cases())
    assert len(set(here)) == len(here)
    for layout in ("F", "list"):
        assert digests(det_cases(layout)) == here, layout
    code = ("import json, sys; sys.path.insert(0, sys.argv[1]); import test_threads as t; "
            "print(json.dumps(t.digests(t.det_cases())))")
    out = subprocess.run([sys.executable, "-c", code, os.path.dirname(os.path.abspath(__file__))],
                         capture_output=True, text=True, timeout=120, check=True)
    assert json.loads(out.stdout) == here

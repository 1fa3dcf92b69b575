"""Calls running at once, and Python code running beside a call, never reach
what the call samples with.  A replaced `np` may hand the same buffers to
two calls, or hand a call arrays that another thread writes; the engine
samples in memory of its own, and writes into np's arrays only with the
interpreter lock held, so each call runs on to its own result.  (The module
used to rate in np's arrays without the lock: such a replacement overflowed
the heap in the radix order.)  The crash cases run in a subprocess, so that
a fault ends that process and fails the test rather than ending pytest."""
import os
import subprocess
import sys
import textwrap
import threading
import time
from typing import Any

import numpy as np
import pytest
from helpers import canon
from hostile_numpy import same_every_call

from kestrovane._api import _engine
from kestrovane.selection_core import _mc_rank

N = 200
MU = np.random.default_rng(3).normal(size=(N, 3))
SIGMA2 = np.full((N, 3), 0.3)


def test_a_second_call_runs_beside_the_first_on_the_same_work_arrays(
        monkeypatch: pytest.MonkeyPatch) -> None:
    expected = [a.copy() for a in _mc_rank.mc_rank_counts(MU, SIGMA2, 4000)]
    expected_one = _mc_rank.mc_rank_counts(MU, SIGMA2, 1)
    # Both calls get the same np.empty buffers (sigma and the rating work
    # arrays); their counts come from np.zeros, fresh.  The second call must
    # start after the first has asked for all its arrays, and end while the
    # first still samples; else the attempt proves nothing and is repeated.
    for _attempt in range(10):
        hostile = same_every_call(("empty",))
        made = threading.Event()
        zeros = [0]

        def counted_zeros(*args: Any, **kwargs: Any) -> Any:
            zeros[0] += 1
            if zeros[0] == 3:  # rank_sum, the last array before sampling
                made.set()
            return np.zeros(*args, **kwargs)
        hostile.replaced["zeros"] = counted_zeros
        monkeypatch.setattr(_mc_rank, "np", hostile)
        first: list[Any] = []
        runner = threading.Thread(target=lambda: first.extend(
            _mc_rank.mc_rank_counts(MU, SIGMA2, 4000)))
        runner.start()
        made.wait()
        time.sleep(0.01)  # into its sampling loop
        second = _mc_rank.mc_rank_counts(MU, SIGMA2, 1)
        overlapped = runner.is_alive()
        runner.join()
        assert canon(second) == canon(expected_one)
        assert canon(tuple(first)) == canon(tuple(expected))
        if overlapped:
            return
    pytest.fail("no second call ran while the first one sampled")


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("entry", ["counts", "select_detailed"])
def test_the_public_engine_owns_its_memory(monkeypatch: pytest.MonkeyPatch, entry: str,
                                          threads: int) -> None:
    # The engine calls no NumPy function through Python (it has no `np` to
    # replace), and a call from the progress callable of a running call runs
    # to its own result without touching the outer one.
    assert not hasattr(_engine, "np")
    monkeypatch.setattr(_mc_rank, "np", same_every_call())
    extra = (1, 2_500_000) if entry == "select_detailed" else ()  # P² estimates
    args = (MU, SIGMA2, 3000, 0.1, 1, 0, *extra, 1, threads)
    inner: list[tuple[Any, ...]] = []

    def report(done: int, total: int) -> None:
        if not inner:
            inner.append(_engine.counts(MU, SIGMA2, 50, 0.1, 1, 0, 0, 1, None, 1.0))
    alone = getattr(_engine, entry)(*args, None, 1e-3)
    nested = getattr(_engine, entry)(*args, report, 1e-4)
    assert inner and canon(nested) == canon(alone)
    assert canon(inner[0]) == canon(_engine.counts(MU, SIGMA2, 50, 0.1, 1, 0, 0, 1, None, 1.0))


def test_calls_one_after_another_may_reuse_the_buffers(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_mc_rank, "np", same_every_call())
    want = _mc_rank.mc_rank_select_detailed(MU[:20], SIGMA2[:20], 30)
    for _ in range(2):
        got = _mc_rank.mc_rank_select_detailed(MU[:20], SIGMA2[:20], 30)
        assert canon(got) == canon(want)


def run_script(body: str) -> None:
    """Runs `body` in a fresh interpreter with this one's path; it must
    print "ok" and end normally."""
    code = textwrap.dedent("""
        import threading, numpy as np
        from kestrovane.selection_core import _mc_rank
        def canon(obj):  # as helpers.canon
            if isinstance(obj, np.ndarray):
                return (obj.dtype.str, obj.shape, obj.tobytes())
            if isinstance(obj, dict):
                return [(k, canon(v)) for k, v in obj.items()]
            return [canon(v) for v in obj] if isinstance(obj, tuple) else repr(obj)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", code + textwrap.dedent(body)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.split() == ["ok"], \
        f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"


def test_a_thread_writing_into_the_work_arrays_leaves_the_call_alone() -> None:
    # Another Python thread fills the integer work arrays np handed out
    # (offsets, items, cur, nxt, ...) with garbage the whole time.
    run_script("""
        rng = np.random.default_rng(8)
        mu, sigma2 = rng.normal(size=(300, 3)), np.full((300, 3), 0.3)
        calls = [(_mc_rank.mc_rank_counts, {}),
                 (_mc_rank.mc_rank_select_detailed, {"quantiles_mode_i": 1})]
        want = [fn(mu, sigma2, 300, seed=5, **kw) for fn, kw in calls]
        handed = []
        class Hostile:
            def __getattr__(self, name):
                return getattr(np, name)
            def empty(self, shape, dtype=float):
                a = np.empty(shape, dtype)
                if np.dtype(dtype).kind == "i":
                    handed.append(a)
                return a
        stop = threading.Event()
        def scribble():
            while not stop.is_set():
                for a in handed[-8:]:
                    a[...] = -(2**30) + 7
        writer = threading.Thread(target=scribble)
        writer.start()
        _mc_rank.np = Hostile()
        try:
            for _ in range(3):
                for (fn, kw), w in zip(calls, want):
                    got = fn(mu, sigma2, 300, seed=5, **kw)
                    assert canon(got) == canon(w)
        finally:
            stop.set()
            writer.join()
        print("ok")
    """)


def test_results_made_in_a_running_calls_arrays_leave_both_calls_alone() -> None:
    # np hands a detailed call's statistics arrays (made after its sampling)
    # out as pieces of the offsets array of a counting call that samples
    # meanwhile on another thread.
    run_script("""
        rng = np.random.default_rng(9)
        n_a, n_b = 400, 30
        mu_a, s2_a = rng.normal(size=(n_a, 2)), np.full((n_a, 2), 0.5)
        mu_b, s2_b = rng.normal(size=(n_b, 3)), np.full((n_b, 3), 0.2)
        want_a = _mc_rank.mc_rank_counts(mu_a, s2_a, 6000)
        want_b = _mc_rank.mc_rank_select_detailed(mu_b, s2_b, 40, quantiles_mode_i=1)
        local, offsets, made = threading.local(), [], threading.Event()
        pieces = iter(range(13))  # std x 3, P² estimates x 9, quality
        class Hostile:
            def __getattr__(self, name):
                return getattr(np, name)
            def asarray(self, *args, **kwargs):
                local.sampled = False
                return np.asarray(*args, **kwargs)
            def arange(self, *args, **kwargs):  # the first call after sampling
                local.sampled = True
                return np.arange(*args, **kwargs)
            def empty(self, shape, dtype=float):
                if getattr(local, "sampled", False) and offsets:
                    i = next(pieces)
                    return offsets[0][i * n_b:(i + 1) * n_b].view(np.float64)
                a = np.empty(shape, dtype)
                if a.shape == (n_a + 1,):
                    offsets.append(a)
                return a
            def zeros(self, shape, dtype=float):
                if shape == n_a and np.dtype(dtype) == np.int64:
                    made.set()  # rank_sum: the counting call samples next
                return np.zeros(shape, dtype)
        _mc_rank.np = Hostile()
        got_a = []
        runner = threading.Thread(target=lambda: got_a.extend(
            _mc_rank.mc_rank_counts(mu_a, s2_a, 6000)))
        runner.start()
        made.wait()
        got_b = _mc_rank.mc_rank_select_detailed(mu_b, s2_b, 40, quantiles_mode_i=1)
        assert runner.is_alive(), "the counting call ended before the detailed one"
        runner.join()
        assert canon(tuple(got_a)) == canon(want_a)
        assert canon(got_b) == canon(want_b)
        print("ok")
    """)

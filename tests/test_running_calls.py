"""Two calls running at once never write each other's arrays.  A replaced
`np` that gives every call the same buffers (distinct within one call) let a
second call, from another thread or from a progress callable, overwrite the
first call's rating arrays mid-sample (heap overflows in the objective
orders, the radix order and crowding).  The second call is refused before it
writes anything; the first runs on to the normal result.  Under the
ASan/UBSan run of `make test` a write into the other call stops the process.
The public engine allocates its own memory and needs no such guard."""
import sys
import threading
from typing import Any

import numpy as np
import pytest
from helpers import canon
from hostile_numpy import same_every_call

from kestrovane._api import _engine
from kestrovane.selection_core import _mc_rank

N = 200
RUNNING = "shares memory with .* of another running call; np.empty and np.zeros must return"
MU = np.random.default_rng(3).normal(size=(N, 3))
SIGMA2 = np.full((N, 3), 0.3)


def test_a_second_thread_is_refused_while_the_first_samples(monkeypatch: pytest.MonkeyPatch) -> None:
    expected = _mc_rank.mc_rank_counts(MU, SIGMA2, 4000)
    hostile = same_every_call()
    started = threading.Event()
    hostile.replaced["ceil"] = lambda x: (started.set(), np.ceil(x))[1]
    monkeypatch.setattr(_mc_rank, "np", hostile)
    first: list[Any] = []
    refused: list[str] = []

    def run_first() -> None:  # the hostile np hands its arrays to the next call: copy them
        first.extend(a.copy() for a in _mc_rank.mc_rank_counts(MU, SIGMA2, 4000))
    runner = threading.Thread(target=run_first)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.05)  # the first call keeps the lock until it samples
    try:
        runner.start()
        started.wait()
        while runner.is_alive():  # the first call samples without the interpreter lock
            try:
                _mc_rank.mc_rank_counts(MU, SIGMA2, 1)
            except TypeError as e:
                refused.append(str(e))
    finally:
        sys.setswitchinterval(interval)
        runner.join()
    assert refused, "no second call ran while the first one sampled"
    assert all(("another running call" in m) for m in refused)
    for got, want in zip(first, expected, strict=True):  # the first call was not disturbed
        assert np.array_equal(got, want)


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
    for _ in range(2):  # the first call's claim ended with it
        assert len(_mc_rank.mc_rank_select_detailed(MU[:20], SIGMA2[:20], 30)) == 9

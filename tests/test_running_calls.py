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
import time
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


def _counting(hostile: Any, last: int, reached: threading.Event) -> list[int]:
    """Wraps the hostile np.empty / np.zeros: `reached` is set once a call has
    asked for its `last`-th array; returns the per-call counts (a list)."""
    counts = [0]
    make = hostile.replaced["empty"]
    start = hostile.replaced["asarray"]

    def asarray(*args: Any, **kwargs: Any) -> Any:
        counts[0] = 0
        return start(*args, **kwargs)

    def new(*args: Any, **kwargs: Any) -> Any:
        counts[0] += 1
        if counts[0] == last:
            reached.set()
        return make(*args, **kwargs)
    hostile.replaced.update(asarray=asarray, empty=new, zeros=new)
    return counts


def test_a_second_thread_is_refused_while_the_first_samples(monkeypatch: pytest.MonkeyPatch) -> None:
    expected = _mc_rank.mc_rank_counts(MU, SIGMA2, 4000)
    probe = same_every_call()
    arrays = _counting(probe, -1, threading.Event())
    monkeypatch.setattr(_mc_rank, "np", probe)
    _mc_rank.mc_rank_counts(MU, SIGMA2, 4000)
    last = arrays[0]  # arrays one call asks for before it claims them and samples
    # The second call must come while the first samples: after the first has
    # asked for all its arrays and left Python code (its thread then holds
    # the interpreter lock until it claims the arrays and samples without
    # it).  Should the first finish before the second gets the lock, the
    # attempt proves nothing and is repeated with fresh buffers.
    for _attempt in range(10):
        hostile = same_every_call()
        reached = threading.Event()
        _counting(hostile, last, reached)
        monkeypatch.setattr(_mc_rank, "np", hostile)
        first: list[Any] = []

        def run_first() -> None:  # the hostile np hands its arrays to the next call: copy them
            first.extend(a.copy() for a in _mc_rank.mc_rank_counts(MU, SIGMA2, 4000))
        runner = threading.Thread(target=run_first)
        runner.start()
        reached.wait()
        while (frame := sys._current_frames().get(runner.ident or 0)) is not None and \
                frame.f_code.co_name == "new":
            time.sleep(0)  # let it leave the wrapper
        refused = ""
        try:
            _mc_rank.mc_rank_counts(MU, SIGMA2, 1)
        except TypeError as e:
            refused = str(e)
        runner.join()
        if refused:
            break
    assert refused, "no second call ran while the first one sampled"
    assert "another running call" in refused
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

"""Long calls of kestrovane.select: progress while sampling, Ctrl-C and
exceptions from the progress callback stop it promptly and leak nothing."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest
from helpers import interrupted_while_sampling

import kestrovane

RNG = np.random.default_rng(7)
BIG_MU = RNG.random((2000, 3))
BIG_S2 = np.full_like(BIG_MU, 0.05)


def test_reports_arrive_while_sampling_and_are_monotone():
    mu = RNG.random((300, 3))
    seen = []
    kestrovane.select(mu, np.full_like(mu, 0.05), n_samples=3000,
                      progress=lambda d, n: seen.append((d, n)))
    done = [d for d, _ in seen]
    assert seen[0] == (0, 3000) and seen[-1] == (3000, 3000)
    assert all(a < b for a, b in zip(done, done[1:]))
    assert len(done) > 3  # reports in between, not only at the ends


class Stop(Exception):
    pass


def stop_after(calls):
    count = [0]

    def report(done, total):
        count[0] += 1
        if count[0] > calls:
            raise Stop(done)
    return report


def test_an_exception_from_the_callback_ends_the_call_at_once():
    # Ended at once: the callable is never called again (a call going on
    # would report again, or finish with a pending exception).
    calls = []

    def report(done, total):
        calls.append(done)
        if len(calls) == 4:
            raise Stop(done)
    with pytest.raises(Stop) as info:
        kestrovane.select(BIG_MU, BIG_S2, n_samples=200_000, progress=report)
    assert 0 < info.value.args[0] < 200_000
    assert len(calls) == 4


def test_ctrl_c_ends_the_call_at_the_next_checkpoint():
    # The signal is looked at before the report, at every checkpoint (a few
    # milliseconds of sampling apart): no report follows Ctrl-C, bar one that
    # was under way when it came.  The call would take minutes.
    seen, pressed = interrupted_while_sampling(kestrovane.select, BIG_MU, BIG_S2,
                                               n_samples=20_000_000)
    assert len(seen) <= pressed + 1
    assert seen[-1] < 20_000_000


def test_stopped_calls_leak_nothing():
    mu, s2 = RNG.random((200, 3)), np.full((200, 3), 0.05)
    refs = sys.getrefcount(mu), sys.getrefcount(s2)

    def stopped_call():
        with pytest.raises(Stop):
            kestrovane.select(mu, s2, n_samples=100_000, quantiles="p2", progress=stop_after(1))

    for _ in range(5):
        stopped_call()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(40):
        stopped_call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 64_000
    assert (sys.getrefcount(mu), sys.getrefcount(s2)) == refs


def sigint_ends(child):
    """Sends SIGINT once `child` prints "sampling"; it must end with
    KeyboardInterrupt without printing "finished".  Its call would take far
    longer than the minute this waits before failing."""
    proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "sampling\n"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert "finished" not in out
    assert err.rstrip().endswith("KeyboardInterrupt")
    assert proc.returncode != 0


# Without a report: a thread of the child says "sampling" once the main
# thread is inside the kernel's call (its Python frame is the one calling it).
WHEN_CALLED = """
    import sys, threading
    def say_when_called(main=threading.get_ident()):
        while (f := sys._current_frames().get(main)) is None or \\
                f.f_code.co_filename != kestrovane._api.native.__file__:
            threading.Event().wait(0.001)
        print("sampling", flush=True)
    threading.Thread(target=say_when_called, daemon=True).start()
"""


@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT")
@pytest.mark.parametrize("progress", ["report", "False"])
def test_sigint_to_a_process_mid_call_ends_it(progress):
    child = textwrap.dedent("""
        import sys, numpy as np, kestrovane, kestrovane._api.native
        rng = np.random.default_rng(7)
        mu = rng.random((2000, 3))
        def report(done, total):
            if done:
                print("sampling", flush=True)
    """) + (textwrap.dedent(WHEN_CALLED) if progress == "False" else "") + textwrap.dedent(f"""
        kestrovane.select(mu, np.full_like(mu, 0.05), n_samples=200_000_000, progress={progress})
        print("finished", flush=True)
    """)
    sigint_ends(child)


@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT")
@pytest.mark.parametrize("fn", ["counts", "select"])
def test_sigint_with_threads_ends_the_call_while_workers_seek(fn):
    # The second thread first moves its generator over a billion samples'
    # normals (minutes), which it used to do without looking at the stop flag.
    child = textwrap.dedent(f"""
        import numpy as np, kestrovane
        mu = np.random.default_rng(7).random((10, 2))
        def report(done, total):
            if done:
                print("sampling", flush=True)
        kestrovane.{fn}(mu, np.full_like(mu, 0.05), n_samples=2_000_000_000, threads=2,
                        progress=report, ties="index")
        print("finished", flush=True)
    """)
    sigint_ends(child)

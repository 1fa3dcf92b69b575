"""Long calls of kestrovane.select: progress while sampling, Ctrl-C and
exceptions from the progress callback stop it promptly and leak nothing."""

import _thread
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import numpy as np
import pytest

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
    start = time.perf_counter()
    with pytest.raises(Stop) as info:
        kestrovane.select(BIG_MU, BIG_S2, n_samples=200_000, progress=stop_after(3))
    assert 0 < info.value.args[0] < 200_000
    assert time.perf_counter() - start < 5.0


def interrupt_after(seconds):
    timer = threading.Timer(seconds, _thread.interrupt_main)
    timer.start()
    return timer


def test_ctrl_c_stops_within_a_fifth_of_a_second():
    timer = interrupt_after(0.3)
    start = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        kestrovane.select(BIG_MU, BIG_S2, n_samples=200_000, progress=False)
    timer.join()
    assert time.perf_counter() - start < 0.3 + 0.2


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


def sigint_delay(child):
    """Seconds from SIGINT, sent once `child` prints "sampling", to its end
    with KeyboardInterrupt (it must not print "finished")."""
    proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "sampling\n"
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        elapsed = time.perf_counter() - sent
    finally:
        proc.kill()
    assert "finished" not in out
    assert err.rstrip().endswith("KeyboardInterrupt")
    assert proc.returncode != 0
    return elapsed


@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT")
def test_sigint_to_a_process_mid_call_ends_it_within_a_second():
    child = textwrap.dedent("""
        import sys, numpy as np, kestrovane
        rng = np.random.default_rng(7)
        mu = rng.random((2000, 3))
        def report(done, total):
            if done:
                print("sampling", flush=True)
        kestrovane.select(mu, np.full_like(mu, 0.05), n_samples=200_000, progress=report)
        print("finished", flush=True)
    """)
    assert sigint_delay(child) < 1.0


@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT")
@pytest.mark.parametrize("fn", ["counts", "select"])
def test_sigint_with_threads_ends_the_call_while_workers_seek(fn):
    # The second thread first moves its generator over 10 million samples'
    # normals (seconds), which it used to do without looking at the stop flag.
    child = textwrap.dedent(f"""
        import numpy as np, kestrovane
        mu = np.random.default_rng(7).random((10, 2))
        def report(done, total):
            if done:
                print("sampling", flush=True)
        kestrovane.{fn}(mu, np.full_like(mu, 0.05), n_samples=20_000_000, threads=2,
                        progress=report, ties="index")
        print("finished", flush=True)
    """)
    assert sigint_delay(child) < 1.0

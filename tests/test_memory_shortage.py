"""A call that does not fit in memory says what took the memory, how much
there is and the largest population that fits, and names a setting only
when it would make the call fit."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrovane
from kestrovane._api import memory, native
from kestrovane.cli.main import main
from helpers import ASAN

GIB = 1 << 30


@pytest.fixture
def room(monkeypatch):
    """The engine cannot allocate; room(bytes) sets the memory found free."""
    def no_memory(*args):
        raise MemoryError

    monkeypatch.setattr(native._engine, "select_detailed", no_memory)
    monkeypatch.setattr(native._engine, "counts", no_memory)
    return lambda free: monkeypatch.setattr(memory, "available_bytes", lambda: free)


def scores(n):
    return np.random.default_rng(n).random((n, 2)), np.full((n, 2), 0.01)


# N, samples, quantiles, threads, free bytes; the cause named, the setting named
@pytest.mark.parametrize("n, samples, quantiles, threads, free, cause, hint", [
    (1000, 100_000, "exact", 1, GIB, "the exact quantiles", 'quantiles="p2" needs'),
    # auto keeps every observation here, but P² alone would not fit
    (20_000, 100, "auto", 1, 300 << 20, "N x N work block (20,000 x 20,000 bytes for each "
     "of 1 sampling thread)", None),
    (20_000, 100, "p2", 4, GIB, "for each of 4 sampling threads", "threads=1 needs"),
])
def test_select_names_the_cause_and_the_largest_n(room, n, samples, quantiles, threads, free,
                                                  cause, hint):
    room(free)
    with pytest.raises(MemoryError) as caught:
        kestrovane.select(*scores(n), n_samples=samples, quantiles=quantiles, threads=threads)
    text, need = str(caught.value), caught.value.need
    assert text.startswith("not enough memory: about ") and cause in text
    assert ("needs about" in text) == (hint is not None) and (hint or "") in text
    largest = need.largest_n(free)
    assert need.bytes(largest) <= free < need.bytes(largest + 1) and largest < n
    assert f"at most about N = {memory._round_down(largest):,} members" in text


def test_counts_and_the_command_line_say_it_in_their_words(room, tmp_path, capsys):
    room(None)  # nothing tells the free memory
    with pytest.raises(MemoryError, match=r"\(5,000 x 5,000 bytes for each of 2 sampling "
                                          r"threads\)$"):
        kestrovane.counts(*scores(5000), n_samples=10, threads=2)
    mu, s2 = scores(1000)
    np.savez(tmp_path / "p.npz", mu=mu, sigma2=s2)
    room(GIB)
    assert main([str(tmp_path / "p.npz"), "--samples", "100000", "--quantiles", "exact"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("kestrovane-select: error: not enough memory for this run: about ")
    assert "; --quantiles p2 needs about" in err and err.count("\n") == 1


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(ASAN, reason="AddressSanitizer's allocator (shadow memory, redzones, "
                    "quarantine) takes more than the blocks the estimate counts")
def test_a_real_allocation_failure_under_an_address_space_limit(tmp_path):
    np.savez(tmp_path / "p.npz", mu=np.zeros((40_000, 2)), sigma2=np.zeros((40_000, 2)))
    script = textwrap.dedent("""
        import resource, sys
        import numpy as np, kestrovane
        from kestrovane._api import memory
        from kestrovane.cli.main import main
        size = memory._field_kib("/proc/self/status", "VmSize")
        resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))
        run = lambda n: kestrovane.select(np.zeros((n, 2)), np.zeros((n, 2)), n_samples=10,
                                          threads=1)
        try:
            run(40_000)  # a 1.5 GiB block with 400 MiB left
        except MemoryError as e:
            print(e)
            largest = e.need.largest_n(e.available)
        run(largest)  # fits, as promised
        try:
            run(largest * 13 // 10)
        except MemoryError:
            print("the estimate is close")
        sys.exit(main([sys.argv[1], "--samples", "10", "--threads", "1"]))
    """)
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "p.npz")],
                          capture_output=True, text=True, timeout=300)
    assert done.stdout.splitlines()[1:] == ["the estimate is close"], done.stderr
    assert "(40,000 x 40,000 bytes for each of 1 sampling thread)" in done.stdout
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    assert done.stderr.startswith("kestrovane-select: error: not enough memory for this run: "
                                  "about 1.5")
    assert "at most about N = " in done.stderr and "quantiles" not in done.stderr

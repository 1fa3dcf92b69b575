"""A call that does not fit in memory says what took the memory, how much
there is and the largest population that fits, and names a setting only
when that setting would make the call fit."""

import json
import pickle
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrovane
from kestrovane._api import memory, native
from kestrovane.cli.main import main

GIB = 1 << 30


@pytest.fixture
def short_of_memory(monkeypatch):
    """The engine fails to allocate; `room(bytes)` sets the memory found free."""
    def no_memory(*args):
        raise MemoryError

    monkeypatch.setattr(native._engine, "select_detailed", no_memory)
    monkeypatch.setattr(native._engine, "counts", no_memory)
    return lambda room: monkeypatch.setattr(memory, "available_bytes", lambda: room)


def population(n, m=2):
    return np.random.default_rng(n).random((n, m)), np.full((n, m), 0.01)


# N, samples, quantiles, threads, room; what the message names and the hint it gives
CASES = [
    (1000, 100_000, "exact", 1, GIB, "the exact quantiles, which keep every observation",
     'quantiles="p2" needs about'),
    # N * samples under the budget: auto keeps every observation, but the
    # block alone is over the room, so P² would not help.
    (20_000, 100, "auto", 1, 300 << 20, "the rating's N x N work block (20,000 x 20,000 "
     "bytes for each of 1 sampling thread)", None),
    (20_000, 100, "p2", 4, GIB, "for each of 4 sampling threads", "threads=1 needs about"),
    (20_000, 100, "exact", 4, 450 << 20, "for each of 4 sampling threads",
     'quantiles="p2" with threads=1 needs about'),
    (100_000, 100, "auto", None, 5 * GIB, "(100,000 x 100,000 bytes", None),
]


@pytest.mark.parametrize("n, samples, quantiles, threads, room, cause, hint", CASES)
def test_select_names_the_cause_and_the_largest_n(short_of_memory, n, samples, quantiles,
                                                  threads, room, cause, hint):
    short_of_memory(room)
    mu, s2 = population(n)
    with pytest.raises(MemoryError) as caught:
        kestrovane.select(mu, s2, n_samples=samples, quantiles=quantiles, threads=threads)
    text = str(caught.value)
    assert text.startswith("not enough memory: about ") and cause in text
    assert ("needs about" in text) == (hint is not None)
    if hint is not None:
        assert hint in text and text.endswith("and fits")
    need = caught.value.need
    largest = need.largest_n(room)
    assert need.bytes(largest) <= room < need.bytes(largest + 1) and largest < n
    assert f"at most about N = {memory._round_down(largest):,} members" in text
    again = pickle.loads(pickle.dumps(caught.value))
    assert str(again) == text and again.need == need


def test_counts_and_a_room_unknown_or_large_enough(short_of_memory):
    mu, s2 = population(5000)
    short_of_memory(None)
    with pytest.raises(MemoryError, match=r"^not enough memory: about [\d.]+ MiB needed, "
                                          r"[\d.]+ MiB of it for the rating's N x N work "
                                          r"block \(5,000 x 5,000 bytes for each of 2 "
                                          r"sampling threads\)$"):
        kestrovane.counts(mu, s2, n_samples=10, threads=2)
    short_of_memory(GIB)  # another limit struck: no estimate of what would fit
    with pytest.raises(MemoryError, match=r"; about 1.00 GiB is available now$"):
        kestrovane.counts(mu, s2, n_samples=10, threads=2)


def test_command_line_passes_the_cause_on_in_its_own_words(short_of_memory, tmp_path, capsys):
    mu, s2 = population(1000)
    path = tmp_path / "p.json"
    path.write_text(json.dumps({"mu": mu.tolist(), "sigma2": s2.tolist()}))
    short_of_memory(GIB)
    args = [str(path), "--samples", "100000", "--threads", "1"]
    assert main([*args, "--quantiles", "exact"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("kestrovane-select: error: not enough memory for this run: about ")
    assert "the exact quantiles" in err and "; --quantiles p2 needs about" in err
    assert err.count("\n") == 1 and "quantiles=" not in err
    short_of_memory(6 << 20)  # too little for P² as well (about 6.4 MB): no hint
    assert main([str(path), "--samples", "1000", "--quantiles", "exact"]) == 1
    err = capsys.readouterr().err
    assert "the exact quantiles" in err and "p2" not in err
    assert re.search(r"; about 6.00 MiB is available, enough for at most about N = \d\d "
                     r"members with these settings\n$", err)


SCRIPT = """
import resource, sys
import numpy as np
import kestrovane
from kestrovane._api import memory
from kestrovane.cli.main import main

size = memory._field_kib("/proc/self/status", "VmSize")
resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))

def run(n):
    rng = np.random.default_rng(n)
    kestrovane.select(rng.random((n, 2)), np.full((n, 2), 0.01), n_samples=10, threads=1,
                      progress=False)

try:
    run(40_000)
    sys.exit("no MemoryError")
except MemoryError as e:
    print(e)
    largest = e.need.largest_n(e.available)
run(largest)  # what the message promises fits
try:
    run(largest * 13 // 10)
    print("fits")
except MemoryError:
    print("too big")
sys.exit(main([sys.argv[1], "--samples", "10", "--threads", "1"]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_a_real_allocation_failure_under_an_address_space_limit(tmp_path):
    # 40,000 members: a 1.5 GiB block, while the limit leaves 400 MiB.
    n = 40_000
    path = tmp_path / "p.csv"
    path.write_text("mu_a,var_a,mu_b,var_b\n" + "".join(
        f"{i % 97},0.1,{i % 89},0.1\n" for i in range(n)))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT), str(path)],
                          capture_output=True, text=True, timeout=300)
    message, estimate_checked, err = done.stdout.splitlines()[0], done.stdout.splitlines()[1], \
        done.stderr
    assert message.startswith("not enough memory: about 1.5") and "quantiles" not in message
    assert "(40,000 x 40,000 bytes for each of 1 sampling thread)" in message
    assert estimate_checked == "too big"  # the estimate is not far below the truth
    assert done.returncode == 1, err
    assert err.startswith("kestrovane-select: error: not enough memory for this run: about 1.5")
    assert "N x N work block" in err and "at most about N = " in err and "--quantiles" not in err
    assert err.count("\n") == 1

"""Where kestrovane-select takes its population from: a file, standard
input (a pipe, told apart by its content), or the built-in example."""

import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

DATA = Path(__file__).parent / "data" / "cli"
BASE = ("--samples", "300", "--seed", "4", "--json")


def run(*args, stdin=None, input=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "kestrovane", *args], input=input,
                          stdin=stdin, capture_output=True, cwd=cwd, timeout=120)


def population_bytes(tmp_path):
    """The same population as CSV (with a byte-order mark), JSON (indented,
    after blank lines) and NPZ."""
    csv = (DATA / "bom_id_first.csv").read_bytes()
    from kestrovane.cli.population_file import read_population
    pop = read_population(str(DATA / "bom_id_first.csv"))
    doc = {"mu": pop.mu.tolist(), "sigma2": pop.sigma2.tolist(), "ids": pop.ids,
           "objectives": pop.objectives}
    np.savez(tmp_path / "p.npz", mu=pop.mu, sigma2=pop.sigma2, ids=np.array(pop.ids),
             objectives=np.array(pop.objectives))
    return {"csv": csv, "json": b"\n \n" + json.dumps(doc, indent=2).encode(),
            "npz": (tmp_path / "p.npz").read_bytes()}


def test_a_pipe_is_read_in_the_format_its_content_shows(tmp_path):
    expected = json.loads(run(str(DATA / "bom_id_first.csv"), *BASE).stdout)
    for kind, data in population_bytes(tmp_path).items():
        for args in ((), ("-",), ("--format", kind), ("-", "--format", kind)):
            done = run(*args, *BASE, input=data)
            assert done.returncode == 0, (kind, args, done.stderr)
            assert json.loads(done.stdout) == expected, (kind, args)


@pytest.mark.parametrize("data", [b"", b" \r\n\t\n", b"\xef\xbb\xbf", b"\xef\xbb\xbf\n\n"])
@pytest.mark.parametrize("args", [(), ("-",), ("-", "--format", "json"), ("--format", "npz")])
def test_empty_standard_input_is_an_error_not_the_example(data, args):
    done = run(*args, "--samples", "50", input=data)
    assert done.returncode == 2 and done.stdout == b""
    assert done.stderr.decode() == ("kestrovane-select: error: <stdin>: empty: no population "
                                    "came in (give FILE, or --example for the built-in "
                                    "example)\n")


def test_dev_null_is_empty_input_too():
    done = run("--samples", "50", stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and b"<stdin>: empty" in done.stderr


@pytest.mark.parametrize("data, args, message", [
    (b"\x93NUMPY\x01\x00v\x00", (), "<stdin>: a single NumPy array (.npy); a population is an "
                                    ".npz archive"),
    (b"[[1, 2]]", (), "<stdin>: expected an object with 'mu'"),  # a bracket is JSON
    (b"PK\x03\x04broken", (), "<stdin>: not a readable .npz archive"),
    (b'{"mu": [[1]], "sigma2": [[0]]}', ("--format", "csv"), "<stdin>: row 1: no 'mu_<name>'"),
    (b"id,mu_a,var_a\nx,1,0\n", ("--format", "json"), "<stdin>: line 1, column 1: Expecting"),
    (b"\xff\xfe,mu_a\n", (), "<stdin>: line 1: not UTF-8 text (byte 0xff)"),
])
def test_bad_standard_input_names_stdin_in_one_line(data, args, message):
    done = run(*args, "--samples", "50", input=data)
    err = done.stderr.decode()
    assert done.returncode == 2 and done.stdout == b"", err
    assert err.startswith(f"kestrovane-select: error: {message}") and err.count("\n") == 1


def test_terminal_and_example_flag_keep_the_built_in_example():
    primary, secondary = pty.openpty()
    try:
        on_terminal = run("--samples", "50", stdin=secondary)
    finally:
        os.close(primary)
        os.close(secondary)
    assert on_terminal.returncode == 0, on_terminal.stderr
    assert on_terminal.stdout.startswith(b"12 individuals, objectives loss, latency, size")
    # --example wins over whatever comes down a pipe.
    piped = run("--example", "--samples", "50", input=(DATA / "bom_id_first.csv").read_bytes())
    assert piped.stdout == on_terminal.stdout
    both = run("--example", "p.csv", input=b"")
    assert both.returncode == 2 and b"--example takes no FILE" in both.stderr


def test_a_file_argument_never_reads_standard_input(tmp_path):
    # A pipe that is never closed would hang a run that read it.
    proc = subprocess.Popen([sys.executable, "-m", "kestrovane", str(DATA / "good.npz"),
                             "--samples", "50"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        status = proc.wait(timeout=60)  # standard input still open
    finally:
        proc.kill()
        proc.stdin.close()
    assert status == 0, proc.stderr.read()
    assert proc.stdout.read().startswith(b"3 individuals")
    proc.stdout.close()
    proc.stderr.close()

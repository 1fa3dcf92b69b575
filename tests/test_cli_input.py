"""Where kestrovane-select takes its population from: a file, standard
input (a pipe, its format told from the content), or the built-in example."""

import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kestrovane.cli.population_file import read_population

DATA = Path(__file__).parent / "data" / "cli"
CSV = DATA / "bom_id_first.csv"


def run(*args, stdin=None, input=None):
    return subprocess.run([sys.executable, "-m", "kestrovane", *args, "--samples", "300"],
                          input=input, stdin=stdin, capture_output=True, timeout=120)


def test_a_pipe_is_read_in_the_format_its_content_shows(tmp_path):
    pop = read_population(str(CSV))
    np.savez(tmp_path / "p.npz", mu=pop.mu, sigma2=pop.sigma2, ids=np.array(pop.ids),
             objectives=np.array(pop.objectives))
    doc = {"mu": pop.mu.tolist(), "sigma2": pop.sigma2.tolist(), "ids": pop.ids,
           "objectives": pop.objectives}
    expected = json.loads(run(str(CSV), "--json").stdout)
    for data in (CSV.read_bytes(), b"\n \n" + json.dumps(doc, indent=2).encode(),
                 (tmp_path / "p.npz").read_bytes()):
        for args in ((), ("-",)):
            done = run(*args, "--json", input=data)
            assert done.returncode == 0, done.stderr
            assert json.loads(done.stdout) == expected


@pytest.mark.parametrize("args, data, message", [
    ((), b"", "<stdin>: empty: no population came in (give FILE, or --example for the "
              "built-in example)"),
    (("-", "--format", "json"), b"\xef\xbb\xbf \r\n", "<stdin>: empty: no population came"),
    ((), b"\x93NUMPY\x01\x00", "<stdin>: a single NumPy array (.npy); a population is an "
                               ".npz archive"),
    ((), b"[[1, 2]]", "<stdin>: expected an object with 'mu'"),  # a bracket is JSON
    (("--format", "csv"), b'{"mu": [[1]], "sigma2": [[0]]}', "<stdin>: row 1: no 'mu_<name>'"),
])
def test_bad_standard_input_is_one_line_and_status_2(args, data, message):
    done = run(*args, input=data)
    err = done.stderr.decode()
    assert done.returncode == 2 and done.stdout == b"", err
    assert err.startswith(f"kestrovane-select: error: {message}") and err.count("\n") == 1


def test_example_on_a_terminal_or_when_asked_for():
    primary, secondary = pty.openpty()
    try:
        on_terminal = run(stdin=secondary)
    finally:
        os.close(primary)
        os.close(secondary)
    assert on_terminal.stdout.startswith(b"12 individuals, objectives loss, latency, size")
    assert run("--example", input=CSV.read_bytes()).stdout == on_terminal.stdout
    assert b"<stdin>: empty" in run(stdin=subprocess.DEVNULL).stderr  # not the example
    assert b"--example takes no FILE" in run("--example", "p.csv").stderr

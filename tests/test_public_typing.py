"""The public layer and the command line pass mypy --strict, and so does a
user's script using the public layer; misuse is reported."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).parent

# Lines marked "# E" must be reported by mypy, and no others.
MISUSE = """\
import numpy as np
import kestrovane
mu = np.zeros((3, 2))
sel = kestrovane.select(mu, mu, ids=["a", "b", "c"])
sel.winners[0] + 1  # E
sel.front_stats  # E
sel.place["median"]  # E
kestrovane.select(mu, mu, 100)  # E
kestrovane.select(mu, mu, mode="rank")  # E
kestrovane.select(mu, mu, quantiles=0)  # E
kestrovane.counts(mu, mu, ties="first")  # E
kestrovane.rate(mu, maximize=1.5)  # E
sel.seed = 3  # E
mean, var, extra = kestrovane.estimate([mu])  # E
ok: list[tuple[str, str]] = sel.replacements
from kestrovane.pbt import Population
pop = Population[str](["a", "b"])
pop.report("x", "12")  # E
pop.decide(3)  # E
source: str = pop.decide("x").source  # E
"""


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args],
                          cwd=cwd, capture_output=True, text=True)


def test_public_package_is_strict_clean(tmp_path):
    # matplotlib (for --plot) is optional: without it its names are Any.
    # psycopg (a PostgreSQL store) is optional too.
    (tmp_path / "mypy.ini").write_text("[mypy]\n[mypy-matplotlib,matplotlib.*,psycopg,psycopg.*]\n"
                                       "ignore_missing_imports = True\n")
    r = mypy("-m", "kestrovane", "-p", "kestrovane._api", "-p", "kestrovane.cli",
             "-p", "kestrovane.pbt", "-p", "kestrovane.storage", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_ray_integration_is_strict_clean(tmp_path):
    pytest.importorskip("ray.tune", reason="Ray Tune is not installed in this environment")
    r = mypy("-p", "kestrovane.integrations", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_user_script_is_strict_clean_and_runs(tmp_path):
    script = HERE / "typing_user_script.py"
    r = mypy(str(script), cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def test_misuse_is_reported(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    r = mypy("misuse.py", cwd=tmp_path)
    reported = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error", r.stdout, re.M)}
    expected = {i for i, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# E")}
    assert reported == expected, textwrap.indent(r.stdout + r.stderr, "  ")

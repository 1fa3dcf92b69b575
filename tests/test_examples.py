"""examples/async_pbt.py runs as a user would run it: it prints who replaced
whom, the true front improves, and the picture is drawn."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("matplotlib", reason="the example draws with matplotlib")

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "async_pbt.py"


@pytest.mark.parametrize("objectives", ["2", "3"])
def test_async_pbt_example(tmp_path, objectives):
    out = tmp_path / "pbt.png"
    r = subprocess.run([sys.executable, str(EXAMPLE), "--objectives", objectives,
                        "--steps", "16", "--out", str(out)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert re.search(r"m\d\d replaced by a copy of m\d\d", r.stdout)
    before, after = map(float, re.search(r"true hypervolume ([\d.]+) -> ([\d.]+)",
                                         r.stdout).groups())
    assert after > before
    assert out.read_bytes().startswith(b"\x89PNG")


def test_make_demo_runs_without_a_terminal(tmp_path):
    # make demo runs where no one types (CI, a pipe): its command line must
    # not wait for, or read, a population on standard input.
    makefile = (EXAMPLE.parents[1] / "Makefile").read_text()
    recipe = re.search(r"^demo:.*\n((?:\t.*\n)+)", makefile, re.M)
    assert recipe
    for line in recipe.group(1).splitlines():
        if " -m kestrovane " not in line:
            continue
        args = line.split(" -m kestrovane ", 1)[1].replace("build/", f"{tmp_path}/").split()
        r = subprocess.run([sys.executable, "-m", "kestrovane", *args], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        break
    else:
        pytest.fail("make demo no longer runs the command line")


def test_stored_pbt_example_runs_four_workers_on_one_store(tmp_path):
    store = f"sqlite:///{tmp_path / 'pbt.db'}"
    r = subprocess.run([sys.executable, str(EXAMPLE.parent / "stored_pbt.py"), "--store", store,
                        "--steps", "40"], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert re.search(r"m\d step +\d+: loss [\d.]+, replaced by a copy of m\d", r.stdout)
    assert "32 reports, 32 decisions" in r.stdout
    assert {f"'m{i}'" for i in range(4)} <= set(r.stdout.split())

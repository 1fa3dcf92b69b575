"""tools/run_stages.py, which `make test` runs its stages with: every stage
runs whatever the others did, a table says how each went, and Ctrl-C stops
the stage with everything it started."""
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
RUNNER = ROOT / "tools" / "run_stages.py"

MAKEFILE = """\
ok:
\t@echo ran ok >> log
fails:
\t@echo ran fails >> log; exit 3
hangs:
\t@sleep 600 & echo $$! > sleeper; echo ran hangs >> log; wait
last:
\t@echo ran last >> log
"""


def start(tmp_path, *targets):
    (tmp_path / "Makefile").write_text(MAKEFILE)
    return subprocess.Popen([sys.executable, str(RUNNER), *targets], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def table(out):
    """The summary's rows: {stage: result}."""
    rows = out[out.rindex("stage "):].splitlines()[1:-1]
    return {r.split()[0]: re.split(r"\s{2,}", r)[1] for r in rows}


def test_a_failing_stage_stops_nothing_and_fails_the_run(tmp_path):
    proc = start(tmp_path, "fails", "ok", "fails", "last")
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 1
    assert (tmp_path / "log").read_text().split("\n")[:-1] == [
        "ran fails", "ran ok", "ran fails", "ran last"]
    assert table(out) == {"fails": "FAIL (2)", "ok": "pass", "last": "pass"}
    assert re.search(r"^total +\d+:\d\d$", out, re.M)


def test_all_passing_exits_0(tmp_path):
    proc = start(tmp_path, "ok", "last")
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 0 and table(out) == {"ok": "pass", "last": "pass"}


def test_ctrl_c_stops_the_stage_and_what_it_started_and_exits_130(tmp_path):
    proc = start(tmp_path, "ok", "hangs", "last")
    sleeper = tmp_path / "sleeper"
    deadline = time.monotonic() + 60
    while not (sleeper.exists() and "ran hangs" in (tmp_path / "log").read_text()):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    pid = int(sleeper.read_text())
    proc.send_signal(signal.SIGINT)  # to the runner alone, as `kill -INT` would
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 130
    assert table(out) == {"ok": "pass", "hangs": "INTERRUPTED", "last": "not run"}
    assert "ran last" not in (tmp_path / "log").read_text()
    while os.path.exists(f"/proc/{pid}") and "zombie" not in _state(pid):
        assert time.monotonic() < deadline, "the stage's sleep was left running"
        time.sleep(0.05)


def _state(pid):
    try:
        return Path(f"/proc/{pid}/status").read_text()
    except FileNotFoundError:
        return "zombie"


@pytest.mark.skipif(not (ROOT / "Makefile").exists(), reason="no Makefile")
def test_every_stage_of_make_test_is_a_target():
    text = (ROOT / "Makefile").read_text()
    stages = re.search(r"^TEST_STAGES := ((?:.*\\\n)*.*)$", text, re.M).group(1).split()
    stages = [s for s in stages if s != "\\"]
    assert "test-py" in stages and "test-wheel" in stages
    missing = [s for s in stages if not re.search(rf"^{re.escape(s)}:", text, re.M)]
    assert missing == []

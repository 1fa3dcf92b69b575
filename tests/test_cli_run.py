"""kestrovane-select at run time: the table against kestrovane.select, its
options, the picture's path checks and atomic write, progress, Ctrl-C and a
closed output pipe."""

import json
import os
import re
import signal
import stat
import subprocess
import sys
import threading
import types
from pathlib import Path

import numpy as np
import pytest

import kestrovane
from kestrovane._api import progress
from kestrovane.cli.example import example_population
from kestrovane.cli.main import main

DATA = Path(__file__).parent / "data" / "cli"


def cli(*args, cwd=None, input=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "kestrovane", *args], capture_output=True,
                          text=True, cwd=cwd, input=input, timeout=timeout)


def rows_of(table: str) -> list[list[str]]:
    lines = table.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("id "))
    end = lines.index("", start)
    return [line.split() for line in lines[start + 1:end]]


def test_table_follows_the_selection_and_prints_the_plan():
    pop = example_population()
    sel = kestrovane.select(pop.mu, pop.sigma2, n_samples=400, seed=5, ids=pop.ids,
                            objectives=pop.objectives)
    text = cli("--example", "--samples", "400", "--seed", "5")
    out = cli("--example", "--samples", "400", "--seed", "5", "--json")
    assert text.returncode == out.returncode == 0, text.stderr + out.stderr
    doc = json.loads(out.stdout)
    order = [r["id"] for r in doc["individuals"]]
    k = sel.k
    # Winners best first, losers at the end with the worst last.
    assert order[:k] == list(sel.winners) and order[-k:] == list(sel.losers)[::-1]
    assert doc["replacements"] == [list(p) for p in sel.replacements]
    row = {r["id"]: r for r in doc["individuals"]}
    for i, name in enumerate(pop.ids):
        assert row[name]["p_win"] == sel.p_win[i] and row[name]["p_lose"] == sel.p_lose[i]
        assert row[name]["wins"] == sel.win_count[i]
    rows = rows_of(text.stdout)
    assert [r[0] for r in rows] == order
    assert [float(r[1]) for r in rows] == [round(row[i]["p_win"], 3) for i in order]
    assert [r[-1] for r in rows[:k]] == ["W"] * k and [r[-1] for r in rows[-k:]] == ["L"] * k
    plan = text.stdout.split("exploit plan (loser <- copy of winner):\n")[1].split("\n\n")[0]
    assert [line.split() for line in plan.splitlines()] == \
        [[a, "<-", b] for a, b in sel.replacements]


def test_member_in_both_lists_is_marked_and_kept(tmp_path):
    # A member with a large variance among steady ones often lands at either end
    # (and, with ties to the earlier row, wins its boundary ties against row 7).
    mu = [[-0.46, -0.62], [0.14, 0.84], [-0.15, 0.26], [0.53, 0.69], [-0.89, 0.47],
          [-0.02, -0.6], [-0.68, -0.23], [-0.99, -1.46], [0.06, 0.77], [-0.24, 0.74]]
    sigma2 = [[0.09, 0.09]] * 10
    sigma2[3] = [9.0, 9.0]
    (tmp_path / "p.json").write_text(json.dumps({"mu": mu, "sigma2": sigma2}))
    proc = cli("p.json", "--samples", "2000", "--seed", "1", "--percentile", "0.1",
               "--ties", "index", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    rows = rows_of(proc.stdout)
    assert rows[0][0] == "3" and rows[0][-1] == "W+L"
    assert [r[-1] for r in rows if len(r) == 12] == ["W+L"]  # the only marked row
    assert "  (no replacements)\n  kept, both winner and loser: 3\n" in proc.stdout


def test_top_output_file_and_stdin(tmp_path):
    top = cli("--example", "--samples", "200", "--top", "2")
    assert top.returncode == 0, top.stderr
    assert len(rows_of(top.stdout)) == 3 and "... 10 more (--top 2)" in top.stdout
    plan = top.stdout.split("exploit plan (loser <- copy of winner):\n")[1]
    assert plan.count(" <- ") == 2 and "  ... 1 more (--top 2)" in plan

    csv = (DATA / "bom_id_first.csv").read_bytes()
    from_file = cli(str(DATA / "bom_id_first.csv"), "--samples", "300", "--json")
    written = cli(str(DATA / "bom_id_first.csv"), "--samples", "300", "--json", "-o",
                  str(tmp_path / "out.json"))
    piped = subprocess.run([sys.executable, "-m", "kestrovane", "-", "--format", "csv",
                            "--samples", "300", "--json"], input=csv, capture_output=True)
    assert written.returncode == piped.returncode == 0
    assert written.stdout == "" and (tmp_path / "out.json").read_text() == from_file.stdout
    assert json.loads(piped.stdout) == json.loads(from_file.stdout)
    bad = subprocess.run([sys.executable, "-m", "kestrovane", "-", "--format", "json"],
                         input=b"[1]", capture_output=True, text=False)
    assert bad.returncode == 2 and bad.stderr.decode().startswith(
        "kestrovane-select: error: <stdin>: expected an object")


def test_maximize_is_the_negated_column(tmp_path):
    doc = json.loads((DATA / "maximize.json").read_text())
    doc["mu"] = [[-acc, cost] for acc, cost in doc["mu"]]
    (tmp_path / "negated.json").write_text(json.dumps(doc))
    up = cli(str(DATA / "maximize.json"), "--maximize", "acc", "--samples", "500", "--json")
    down = cli(str(tmp_path / "negated.json"), "--samples", "500", "--json")
    a, b = json.loads(up.stdout), json.loads(down.stdout)
    assert a.pop("maximize") == ["acc"] and b.pop("maximize") == []
    assert a == b


# -- the picture --------------------------------------------------------------


@pytest.mark.parametrize("target, message", [
    ("missing/sel.png", "--plot {}: no such directory"),
    ("afile/sel.png", "--plot {}: no such directory"),
    ("sel.xyz", "--plot {}: unknown picture type 'xyz'"),
    (".", "--plot {}: is a directory"),
])
def test_plot_path_is_checked_before_the_run(tmp_path, target, message):
    pytest.importorskip("matplotlib")
    (tmp_path / "afile").write_text("")
    # Two billion samples would take hours: only a check before the run returns.
    proc = cli("--samples", "2000000000", "--plot", target, cwd=tmp_path, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr.startswith(f"kestrovane-select: error: {message.format(target)}")
    assert proc.stderr.count("\n") == 1


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories")
def test_read_only_directory_is_refused_at_once(tmp_path):
    pytest.importorskip("matplotlib")
    (tmp_path / "ro").mkdir(mode=0o555)
    proc = cli("--samples", "2000000000", "--plot", "ro/sel.png", cwd=tmp_path, timeout=60)
    assert proc.returncode == 2 and "cannot write to 'ro'" in proc.stderr


def test_output_file_path_is_checked_before_the_run(tmp_path):
    proc = cli("--samples", "2000000000", "-o", "missing/t.txt", cwd=tmp_path, timeout=60)
    assert proc.returncode == 2 and "-o missing/t.txt: no such directory" in proc.stderr


def test_failed_plot_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    def broken_savefig(self, fname, **kwargs):
        Path(fname).write_bytes(b"\x89PNG half a picture")
        raise OSError(28, "No space left on device")

    target = tmp_path / "sel.png"
    target.write_bytes(b"the previous picture")
    monkeypatch.setattr(Figure, "savefig", broken_savefig)
    assert main(["--example", "--samples", "50", "--plot", str(target)]) == 1
    err = capsys.readouterr().err
    assert err == (f"kestrovane-select: error: --plot {target}: cannot write the picture "
                   "(No space left on device)\n")
    assert target.read_bytes() == b"the previous picture"
    assert os.listdir(tmp_path) == ["sel.png"]


def png_size(path):
    head = Path(path).read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


@pytest.mark.parametrize("n, m", [(12, 3), (30, 2), (3000, 2), (500, 4)])
def test_picture_is_bounded_for_any_population(tmp_path, n, m):
    pytest.importorskip("matplotlib")
    from kestrovane.cli.plot import plot_selection
    from kestrovane.cli.population_file import PopulationFile
    from kestrovane.cli.table import selection_order

    rng = np.random.default_rng(n)
    # "$" would start a formula in matplotlib's labels.
    pop = PopulationFile([f"member-{i} $\\frac$" for i in range(n)],
                         [f"o{j}" for j in range(m)], rng.random((n, m)),
                         rng.random((n, m)) * 0.01)
    sel = kestrovane.select(pop.mu, pop.sigma2, n_samples=30, ids=pop.ids,
                            objectives=pop.objectives, maximize=[True] + [False] * (m - 1))
    path = tmp_path / "sel.png"
    plot_selection(pop, sel, selection_order(sel), str(path))
    width, height = png_size(path)
    assert 400 < width <= 2000 and 300 < height <= 2000
    assert os.listdir(tmp_path) == ["sel.png"]


# -- progress, Ctrl-C, closed pipe --------------------------------------------


def test_progress_line_shows_count_rate_and_time_left():
    assert progress.progress_text(2500, 10000, 1.0) == \
        "sampling: 2,500/10,000 samples ( 25 %), 2,500 samples/s, 3.0 s left"
    assert progress.progress_text(0, 10000, 75.0) == \
        "sampling: 0/10,000 samples (  0 %), 1 min 15 s elapsed"
    assert progress.progress_text(10000, 10000, 4.0).endswith("2,500 samples/s, 4.0 s")


class Stream:
    def __init__(self, terminal):
        self.text = ""
        self.terminal = terminal

    def write(self, s):
        self.text += s

    def flush(self):
        pass

    def isatty(self):
        return self.terminal


def test_progress_on_a_log_file_and_on_a_terminal(monkeypatch):
    # The lines' clock stands still: every report comes within the intervals.
    monkeypatch.setattr(progress, "time", types.SimpleNamespace(monotonic=lambda: 1e3))
    log = Stream(terminal=False)
    assert progress.command_line_progress(log, forced=False) is None  # not asked for
    assert progress.command_line_progress(None, forced=True) is None  # no stderr
    line = progress.command_line_progress(log, forced=True)
    for done in (0, 5, 10):  # within LOG_INTERVAL: only the first and the last
        line(done, 10)
    line.close()
    assert [t.split("),")[0] for t in log.text.splitlines()] == [
        "sampling: 0/10 samples (  0 %", "sampling: 10/10 samples (100 %"]
    term = Stream(terminal=True)
    line = progress.command_line_progress(term, forced=False)
    line(0, 10)  # before the delay of a line nobody asked for
    assert term.text == ""
    line = progress.command_line_progress(term, forced=True)
    line(0, 10)
    line(10, 10)
    first, last = term.text.split("\r")[1:]
    assert first.startswith("sampling: 0/10") and last.startswith("sampling: 10/10")
    line.close()  # wiped: the table follows on a clean line
    assert term.text.endswith("\r" + " " * len(last.rstrip()) + "\r")


def test_ctrl_c_stops_the_run_with_one_line_and_status_130(tmp_path):
    rng = np.random.default_rng(0)
    (tmp_path / "p.json").write_text(json.dumps({"mu": rng.random((2000, 2)).tolist(),
                                                 "sigma2": np.full((2000, 2), .01).tolist()}))
    proc = subprocess.Popen(
        [sys.executable, "-m", "kestrovane", "p.json", "--samples", "100000000", "--progress"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        # A shell running the tests in the background may have SIGINT ignored.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # The first line comes before sampling starts, the next (a log line,
    # seconds later) from inside it.
    assert re.match(r"sampling: 0/100,000,000 samples", proc.stderr.readline())
    assert re.match(r"sampling: [1-9][\d,]*/100,000,000 samples", proc.stderr.readline())
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)  # the run itself would take hours
    assert proc.returncode == 130 and out == ""
    assert err.endswith("kestrovane-select: interrupted\n")
    assert "Traceback" not in err


def test_closed_output_pipe_gives_no_traceback(tmp_path):
    n = 3000
    (tmp_path / "p.json").write_text(json.dumps({"mu": np.eye(n, 2).tolist(),
                                                 "sigma2": np.zeros((n, 2)).tolist()}))
    proc = subprocess.Popen([sys.executable, "-m", "kestrovane", "p.json", "--samples", "5"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline().startswith(b"3000 individuals")
    proc.stdout.close()  # like `| head -1`
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141 and err == ""


def test_output_through_links_and_into_special_files(tmp_path):
    real = tmp_path / "real.txt"
    real.write_text("old")
    real.chmod(0o640)
    link = tmp_path / "link.txt"
    link.symlink_to(real)
    assert main(["--example", "--samples", "20", "-o", str(link)]) == 0
    assert link.is_symlink() and real.read_text().startswith("12 individuals")
    assert real.stat().st_mode & 0o777 == 0o640
    # A FIFO (like /dev/null or /dev/stdout) is written into, never replaced.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_text()))
    reader.start()
    assert main(["--example", "--samples", "20", "--json", "-o", str(fifo)]) == 0
    reader.join(timeout=60)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert json.loads(received[0])["individuals_count"] == 12

"""The run's setup: the machine, the build this process loaded, and the
notes that say what was run and how."""

import datetime
import os
import platform
import subprocess
from pathlib import Path

from .cells import SIGMA2
from .floor import FLOOR_FLAGS, ROOT
from .peer_runs import BATCH_LIMIT


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def build_state():
    import kestrovane.selection_core._mc_rank as mod
    built = datetime.datetime.fromtimestamp(Path(mod.__file__).stat().st_mtime)
    return f"extension built {built:%Y-%m-%d %H:%M}, work tree at {git_state()}"


def git_state():
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return f"commit {head}" + (" with uncommitted changes under src/" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def setup_section(run, versions, built, exe_line, validation):
    """`run`: quick, cells, repeats, budget, elapsed and load_start of this run."""
    cmd = "python benchmarks/bench_mc.py" + (" --quick" if run["quick"] else "")
    make_cmd = "make bench" + (" BENCH_ARGS=--quick" if run["quick"] else "")
    return [
        "",
        "### Setup",
        "",
        f"- Command: `{cmd}` (`{make_cmd}` runs it in .venv); {run['cells']} cells × "
        f"{run['repeats']} alternating rounds, ~{run['budget']:g} s per cell; total run time "
        f"{run['elapsed'] / 60:.1f} min; 1-minute load average "
        f"{run['load_start']:.2f} at the start, {os.getloadavg()[0]:.2f} at the end (2 cores: "
        "anything above ~1 means something else was running).",
        f"- Machine: {platform.machine()}, {os.cpu_count()} cores, {cpu_model()}; "
        f"Python {platform.python_version()}; " + ", ".join(f"{k} {v}" for k, v in versions.items())
        + f"; {built}.",
        f"- Workload: mu ~ Normal(0, 1) per cell, sigma² = {SIGMA2} everywhere, percentile 0.2. "
        "Kernels single-threaded; peers use NumPy's default_rng draws.",
        "- Floor: `benchmarks/floor/floor.cpp`, g++ " + " ".join(FLOOR_FLAGS[:4])
        + f", called in-process through ctypes (standalone program: `{exe_line}`). "
        "It counts what every correct ranking must do with std::sort; a kernel that orders an "
        "objective with a radix sort instead can beat it (counts / floor < 1×, seen at M = 1 for "
        "large N), so read it as a yardstick, not a strict bound.",
        "- Peers (`benchmarks/peers.py`; all do the mode_i=1 job, draws per sample from "
        "`np.random.default_rng`): moocore+NumPy = `moocore.pareto_rank` + crowding vectorised in "
        "NumPy over all fronts; pymoo = `NonDominatedSorting().do(F, return_rank=True)` + "
        "`calc_crowding_distance` per front (pymoo 0.6.2 calls `moocore.pareto_rank` inside); "
        "NumPy batch = every sample of a run ranked at once, dominance broadcast over (S, N, N), "
        "fronts peeled with batched matrix products — skipped where 32 samples would need "
        f"more than {BATCH_LIMIT >> 20} MB.  mode_i=1 ranks are argsort(argsort(X)), equal to the "
        "kernel's min ranks without ties (no ties with continuous draws).",
        "- Peers: validated before timing (per-sample orders vs `rate_population`, "
        "Monte-Carlo counts against one another and the kernel):",
        *[("    - " if v.startswith("    ") else "  - ") + v.strip() for v in validation],
    ]

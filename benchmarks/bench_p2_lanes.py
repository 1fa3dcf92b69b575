"""The P² estimators alone: time per member and sample for each build of
the lane operations (SSE2 baseline, AVX2, AVX-512; those the processor
runs), next to what `mc_rank_counts` costs per member and sample, and how
often the reference estimator moves a marker.

The observation streams (place, front, within-front rank of every member in
every sample) come from real samples rated with `kestrovane.rate`; the C++
program `benchmarks/p2_lanes/accumulators.cpp` runs the kernel's
accumulators over them.  Nothing here asserts a time.

    python benchmarks/bench_p2_lanes.py [--quick] [--rounds R]
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kestrovane
from kestrovane.selection_core._mc_rank import mc_rank_counts

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SOURCE = HERE / "p2_lanes" / "accumulators.cpp"
BUILD = ROOT / "build" / "p2_lanes"
FLAGS = ["-std=c++17", "-O3", "-ffp-contract=off", "-fno-math-errno", "-Wall", "-Wextra"]
CELLS = [(128, m) for m in (1, 2, 3, 5)] + [(2048, m) for m in (1, 2, 3, 5)]
QUICK = [(128, 2), (2048, 3)]
SIGMA2 = 0.3


def build() -> Path:
    exe = BUILD / "accumulators"
    sources = [SOURCE, *(ROOT / "src").rglob("*.hpp")]
    if not exe.exists() or exe.stat().st_mtime < max(p.stat().st_mtime for p in sources):
        BUILD.mkdir(parents=True, exist_ok=True)
        cxx = os.environ.get("CXX") or shutil.which("g++") or "c++"
        subprocess.run([cxx, *FLAGS, f"-I{ROOT / 'src'}", str(SOURCE), "-o", str(exe)], check=True)
    return exe


def streams(mu: np.ndarray, samples: int, seed: int) -> np.ndarray:
    """(samples, 3, N) int32: place, front and within-front rank per sample."""
    rng = np.random.default_rng(seed)
    n = mu.shape[0]
    out = np.empty((samples, 3, n), np.int32)
    positions = np.arange(n)
    for s in range(samples):
        rating = kestrovane.rate(mu + np.sqrt(SIGMA2) * rng.standard_normal(mu.shape))
        order = rating.order
        out[s, 0, order] = positions
        out[s, 1] = rating.front
        fronts = rating.front[order]
        by_front = np.argsort(fronts, kind="stable")
        start = np.searchsorted(fronts[by_front], fronts[by_front], "left")
        within = np.empty(n, np.int64)
        within[by_front] = positions - start
        out[s, 2, order] = within
    return out


def counts_ns(mu: np.ndarray, samples: int, rounds: int) -> float:
    sigma2 = np.full_like(mu, SIGMA2)
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        mc_rank_counts(mu, sigma2, samples, 0.2, 1, 1, 0)
        best = min(best, time.perf_counter() - start)
    return best * 1e9 / (samples * mu.shape[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="two cells, fewer samples")
    ap.add_argument("--rounds", type=int, default=5, help="best of this many runs (default 5)")
    args = ap.parse_args()
    exe = build()
    print(f"{platform.machine()}, {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.2f} at start; best of {args.rounds} runs")
    header = None
    with tempfile.TemporaryDirectory() as tmp:
        for n, m in QUICK if args.quick else CELLS:
            samples = (4000 if n <= 128 else 500) // (4 if args.quick else 1)
            mu = np.random.default_rng(n + m).standard_normal((n, m))
            path = Path(tmp) / "streams.bin"
            streams(mu, samples, seed=7).tofile(path)
            got = json.loads(subprocess.run(
                [str(exe), str(path), str(n), str(samples), str(args.rounds)],
                check=True, capture_output=True, text=True).stdout)
            builds = got["ns_per_member"]
            if header is None:
                header = list(builds)
                print(f"    N  M  counts ns | " + " ".join(f"{b:>9}" for b in header)
                      + " | " + " ".join(f"{b + '/c':>10}" for b in header)
                      + " | moves per update (place, front, within)")
            c = counts_ns(mu, samples, args.rounds)
            print(f"{n:5d} {m:2d} {c:10.1f} | " + " ".join(f"{builds[b]:9.1f}" for b in header)
                  + " | " + " ".join(f"{builds[b] / c:10.2f}" for b in header)
                  + " | " + ", ".join(f"{v:.2f}" for v in got["moves_per_update"]), flush=True)
    print("ns = nanoseconds per member and sample; b/c = the estimators' time over the whole "
          "counting kernel's.\nAt M = 1 the front and within streams take the kernel's "
          "shortcuts (fronts mirror places, constant within ranks move positions only).")


if __name__ == "__main__":
    sys.exit(main())

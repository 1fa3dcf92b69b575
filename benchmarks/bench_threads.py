"""One call over several threads: speed-up and memory.

For each cell, `kestrovane.counts` and `kestrovane.select` (P² quantiles)
are timed with threads=1 and threads=2, interleaved round by round (best of
the rounds); the speed-up is t1 / t2 (goal >= 1.8 at N = 2048, M = 3, 2000
samples).  Then the peak memory of one detailed call per thread count, each
in a fresh interpreter: what every extra thread adds.

    python benchmarks/bench_threads.py [--rounds R] [--quick]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

import kestrovane

CELLS = ((128, 3, 4000), (512, 3, 2000), (2048, 2, 2000), (2048, 3, 2000), (2048, 5, 1000))
QUICK = ((128, 3, 2000), (2048, 3, 500))

# VmHWM, not ru_maxrss: a forked child's ru_maxrss starts at its parent's peak.
MEMORY_PROBE = """
import json, re, sys, numpy as np, kestrovane
def peak_kib():
    with open("/proc/self/status") as f:
        return int(re.search(r"VmHWM:\\s+(\\d+) kB", f.read()).group(1))
n, m, samples, threads = map(int, sys.argv[1:])
mu = np.random.default_rng(0).random((n, m)); s2 = np.full_like(mu, 0.05)
kestrovane.select(mu[:3], s2[:3], n_samples=10, threads=1)  # imports only
before = peak_kib()
kestrovane.select(mu, s2, n_samples=samples, quantiles="p2", threads=threads)
print(json.dumps({"grown_kib": peak_kib() - before}))
"""


def best_time(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def speedups(cells, rounds):
    rng = np.random.default_rng(0)
    print(f"{'N':>5} {'M':>2} {'samples':>8} | {'counts 1t s':>11} {'2t s':>7} {'x':>5} | "
          f"{'select 1t s':>11} {'2t s':>7} {'x':>5}")
    for n, m, samples in cells:
        mu = rng.random((n, m))
        s2 = np.full_like(mu, 0.05)
        row = []
        for fn in (kestrovane.counts, kestrovane.select):
            kw = {"quantiles": "p2"} if fn is kestrovane.select else {}
            runs = [lambda t=t: fn(mu, s2, n_samples=samples, progress=False, threads=t, **kw)
                    for t in (1, 2)]
            t1 = best_time(runs[0], 1)  # warm-up round
            times = [[], []]
            for _ in range(rounds):
                for i, run in enumerate(runs):
                    times[i].append(best_time(run, 1))
            t1, t2 = min(times[0]), min(times[1])
            row += [t1, t2, t1 / t2]
        print(f"{n:>5} {m:>2} {samples:>8} | {row[0]:>11.3f} {row[1]:>7.3f} {row[2]:>5.2f} | "
              f"{row[3]:>11.3f} {row[4]:>7.3f} {row[5]:>5.2f}")


def memory(n, m, samples):
    print(f"\npeak memory of one select call (P²), N = {n}, M = {m}, {samples} samples:")
    base = None
    for threads in (1, 2):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(m), str(samples),
                              str(threads)], capture_output=True, text=True, check=True)
        grown = json.loads(out.stdout)["grown_kib"] / 1024
        base = grown if base is None else base
        extra = "" if threads == 1 else f"  (+{grown - base:.1f} MiB for the second thread)"
        print(f"  threads={threads}: +{grown:.1f} MiB{extra}")
    print(f"  allocated per extra thread: N*N + 60*N*M bytes = "
          f"{(n * n + 60 * n * m) / 2**20:.1f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start")
    speedups(QUICK if args.quick else CELLS, args.rounds)
    memory(2048, 3, 200)
    memory(8192, 3, 20)


if __name__ == "__main__":
    main()

"""Latency of one `Population.decide` against the population size, for the
default policy and the plain Pareto rule, on one core.

Each population holds N members with full windows (8 evaluations of 3
objectives, members spread on a noisy front); every timed call is a
decision of a different member after a fresh report, as in a PBT run.

    python benchmarks/bench_decide.py            # N = 8 .. 512
    python benchmarks/bench_decide.py --quick
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np

from kestrovane.pbt import Population
from kestrovane.pbt.policies import ParetoRule, Policy

M = 3
WINDOW = 8


def population(n: int, policy: Policy | None, seed: int) -> Population[int]:
    rng = np.random.default_rng(seed)
    centre = rng.dirichlet(np.ones(M), size=n) + rng.exponential(0.2, size=(n, M))
    pop = Population[int]([f"f{j}" for j in range(M)], window=WINDOW, percentile=0.25,
                          seed=seed, policy=policy)
    for _ in range(WINDOW):
        for i in range(n):
            pop.report(i, centre[i] + rng.normal(0.0, 0.1, M))
    return pop


def latencies(n: int, policy: Policy | None, calls: int) -> list[float]:
    pop = population(n, policy, seed=n)
    rng = np.random.default_rng(1)
    out = []
    for c in range(calls):
        member = c % n
        pop.report(member, rng.normal(1.0, 0.1, M))
        t = time.perf_counter()
        pop.decide(member)
        out.append(time.perf_counter() - t)
        while pop.reports(member) < WINDOW:  # a replaced member's window restarted
            pop.report(member, rng.normal(1.0, 0.1, M))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core
    sizes = (8, 32, 128) if args.quick else (8, 16, 32, 64, 128, 256, 512)
    calls = 20 if args.quick else 60
    print(f"Population.decide, M = {M}, window {WINDOW}, one core; milliseconds over "
          f"{calls} decisions\n")
    print("|   N | default median | default worst | plain median | plain worst | "
          "default / plain |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in sizes:
        d = latencies(n, None, calls)
        p = latencies(n, ParetoRule(), calls)
        dm, pm = statistics.median(d), statistics.median(p)
        print(f"| {n:3d} | {1e3 * dm:.2f} | {1e3 * max(d):.2f} | {1e3 * pm:.2f} | "
              f"{1e3 * max(p):.2f} | {dm / pm:.1f}x |")


if __name__ == "__main__":
    main()

"""Latency of one `Population.decide` against the population size, for the
default policy and the plain Pareto rule, on one core.

Each population holds N members with full windows (8 evaluations of 3
objectives, members spread on a noisy front, or all with the same mean:
"tied"); every timed call is a decision of a different member after a
fresh report, as in a PBT run.  CPU time of this process, so that another
load on the machine counts less.

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


def population(n: int, policy: Policy | None, seed: int, tied: bool) -> Population[int]:
    rng = np.random.default_rng(seed)
    centre = rng.dirichlet(np.ones(M), size=n) + rng.exponential(0.2, size=(n, M))
    if tied:
        centre[:] = 1.0
    pop = Population[int]([f"f{j}" for j in range(M)], window=WINDOW, percentile=0.25,
                          seed=seed, policy=policy)
    for _ in range(WINDOW):
        for i in range(n):
            pop.report(i, centre[i] + rng.normal(0.0, 0.1, M))
    return pop


def latencies(n: int, policy: Policy | None, calls: int, tied: bool) -> list[float]:
    pop = population(n, policy, seed=n, tied=tied)
    rng = np.random.default_rng(1)
    out = []
    for c in range(calls):
        member = c % n
        pop.report(member, rng.normal(1.0, 0.1, M))
        t = time.process_time()
        pop.decide(member)
        out.append(time.process_time() - t)
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
    calls = 20 if args.quick else 100
    print(f"Population.decide, M = {M}, window {WINDOW}, share 0.25, one core; CPU "
          f"milliseconds over {calls} decisions\n")
    print("| population |   N | default median | default 95 % | plain median | plain 95 % | "
          "ratio at the median | ratio at 95 % |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for tied in (False, True):
        for n in sizes:
            d = latencies(n, None, calls, tied)
            p = latencies(n, ParetoRule(), calls, tied)
            dm, pm = statistics.median(d), statistics.median(p)
            d95, p95 = np.quantile(d, 0.95), np.quantile(p, 0.95)
            print(f"| {'tied' if tied else 'spread'} | {n:3d} | {1e3 * dm:.2f} | "
                  f"{1e3 * d95:.2f} | {1e3 * pm:.2f} | {1e3 * p95:.2f} | {dm / pm:.1f}x | "
                  f"{d95 / p95:.1f}x |")


if __name__ == "__main__":
    main()

"""Time per call of rate_population over population sizes and objective counts.

Each cell is the median over repeated calls (repeats sized so a cell takes
about BUDGET seconds).  The last table times what every call pays besides the
rating itself: converting X and allocating the result and work arrays, and a
call with no objectives, which does almost no numeric work.

    python benchmarks/bench_rating.py [--budget SECONDS]
"""

import argparse
import statistics
import time

import numpy as np

from kestrovane.pareto_core._pareto_rating_cy import rate_population

SIZES = (16, 128, 1024, 8192)
OBJECTIVES = (1, 2, 3, 5)
MODES = (0, 1)


def median_us(fn, budget):
    fn()  # warm up
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    # Batches of calls so timer resolution does not matter for tiny calls.
    batch = max(1, int(2e-3 / once))
    rounds = max(5, min(200, int(budget / (once * batch))))
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(batch):
            fn()
        times.append((time.perf_counter() - start) / batch)
    return statistics.median(times) * 1e6


def allocations(X):
    """What rate_population allocates around the rating, done with NumPy."""
    X = np.ascontiguousarray(X, dtype=np.float64)
    n, m = X.shape
    return ([np.empty(n, np.int64) for _ in range(4)] + [np.empty(n, np.float64)]
            + [np.empty(n + 1, np.int64), np.empty((n, n), np.uint8)]
            + [np.empty(n, np.int32) for _ in range(3)] + [np.empty((n, m)), np.empty(16 * n)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=float, default=0.4, help="seconds per cell")
    args = parser.parse_args()
    rng = np.random.default_rng(12345)
    data = {(n, m): rng.normal(size=(n, m)) for n in SIZES for m in OBJECTIVES}

    print("rate_population, random normal data, median time per call in µs")
    header = f"{'N':>6} {'M':>3}" + "".join(f" {'mode_i=' + str(k):>12}" for k in MODES)
    print(header + f" {'fronts':>7}")
    for n in SIZES:
        for m in OBJECTIVES:
            X = data[n, m]
            cells = [median_us(lambda: rate_population(X, k), args.budget) for k in MODES]
            fronts = rate_population(X, 0)[0]
            print(f"{n:>6} {m:>3}" + "".join(f" {c:>12.1f}" for c in cells) + f" {fronts:>7}")

    print("\nper-call overhead, µs")
    print(f"{'N':>6} {'convert+allocate':>17} {'rate (M=0)':>11}   (M=0: one front, no crowding;")
    print(f"{'':>38}    at large N mostly the final sort)")
    for n in SIZES:
        X0 = np.zeros((n, 0))
        alloc = median_us(lambda: allocations(data[n, 3]), args.budget / 2)
        empty = median_us(lambda: rate_population(X0, 0), args.budget / 2)
        print(f"{n:>6} {alloc:>17.1f} {empty:>11.1f}")
    n = 16
    X_list = data[n, 3].tolist()
    conv = median_us(lambda: rate_population(X_list, 0), args.budget / 2)
    print(f"\nN=16 M=3 from a Python list (conversion included): {conv:.1f} µs")


if __name__ == "__main__":
    main()

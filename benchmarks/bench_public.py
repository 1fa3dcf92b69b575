"""What the public layer costs on top of the detailed kernel.

Four timings per cell, interleaved round by round so that load on the
machine hits all of them alike:
  kernel   mc_rank_select_detailed, the low-level function;
  engine   the public engine's detailed kernel with checkpoints so rare that
           it never stops (one thread, ties by index: the kernel's bits);
  paced    the same as kestrovane.select runs it: the sampling loop takes
           the interpreter lock back every few milliseconds for signals and
           progress (no report callable);
  select   kestrovane.select end to end: argument checks, the paced engine,
           the result object.
The ratios paced/engine (the price of Ctrl-C and progress, goal <= 1.02) and
select/kernel (the public layer against the low-level function, whose
statistics go through NumPy's Python functions) are printed beside the times.

    python benchmarks/bench_public.py [--rounds R]
"""

import argparse
import statistics
import time

import numpy as np

import kestrovane
from kestrovane._api import _engine
from kestrovane._api.native import CHECK_INTERVAL
from kestrovane.selection_core._mc_rank import mc_rank_select_detailed

# (N, M, samples): a small, a typical and a large population.
CELLS = ((10, 2, 20_000), (128, 3, 2_000), (2048, 3, 100))


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def interleaved(runs, rounds):
    """Seconds of each run per round: every run once to warm up, then all
    of them round by round, so that load on the machine hits them alike."""
    for fn in runs.values():
        fn()
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, fn in runs.items():
            times[name].append(timed(fn))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print(f"{'N':>5} {'M':>2} {'samples':>8} {'kernel ms':>10} {'engine ms':>10} "
          f"{'paced ms':>9} {'select ms':>10} {'paced/engine':>13} {'select/kernel':>14}")
    for n, m, samples in CELLS:
        mu = rng.random((n, m))
        s2 = np.full_like(mu, 0.05)
        runs = {
            "kernel": lambda: mc_rank_select_detailed(mu, s2, samples, 0.2, 1, 1, 0, 2),
            "engine": lambda: _engine.select_detailed(mu, s2, samples, 0.2, 1, 1, 2, 2_500_000,
                                                      0, 1, None, 1e9),
            "paced": lambda: _engine.select_detailed(mu, s2, samples, 0.2, 1, 1, 2, 2_500_000, 0,
                                                     1, None, CHECK_INTERVAL),
            "select": lambda: kestrovane.select(mu, s2, n_samples=samples, seed=1,
                                                progress=False, threads=1),
        }
        times = interleaved(runs, args.rounds)
        best = {name: min(t) for name, t in times.items()}
        med = {name: statistics.median(t) for name, t in times.items()}
        print(f"{n:>5} {m:>2} {samples:>8} {best['kernel'] * 1e3:>10.1f} "
              f"{best['engine'] * 1e3:>10.1f} {best['paced'] * 1e3:>9.1f} "
              f"{best['select'] * 1e3:>10.1f} {best['paced'] / best['engine']:>13.3f} "
              f"{best['select'] / best['kernel']:>14.3f}"
              f"   (medians {med['paced'] / med['engine']:.3f}, "
              f"{med['select'] / med['kernel']:.3f})")


if __name__ == "__main__":
    main()

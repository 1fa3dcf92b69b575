"""What the statistics cost beside counting, in the low-level module and in
the public engine.

`_mc_rank` takes its medians and quartiles with np.median and np.quantile
(copies and partitions of every stored observation through NumPy's Python
functions) and creates its arrays through `np`; the public engine owns its
memory and takes them in C++ with the same bits.  Per cell, best of R rounds
(interleaved, so that load on the machine hits every timing alike), one
thread, ties by index (both give the same bits):

    counts          mc_rank_counts / _engine.counts
    exact, p2       the detailed kernel with exact quantiles / P² estimates
    exact/counts    the price of exact statistics over counting, low-level
                    and engine side by side

    python benchmarks/bench_engine.py [--rounds R]
"""

import argparse

import numpy as np

from kestrovane._api import _engine
from kestrovane._api.native import CHECK_INTERVAL
from kestrovane.selection_core._mc_rank import mc_rank_counts, mc_rank_select_detailed

from bench_public import interleaved  # this folder: first on sys.path for a script

# (N, M, samples): few members and many samples, the typical cells, many members.
CELLS = ((10, 2, 20_000), (32, 2, 10_000), (128, 3, 2_000), (512, 3, 1_000), (2048, 3, 100))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print(f"{'N':>5} {'M':>2} {'samples':>8} | {'low-level ms: counts':>20} {'exact':>7} "
          f"{'p2':>7} {'exact/counts':>12} | {'engine ms: counts':>17} {'exact':>7} {'p2':>7} "
          f"{'exact/counts':>12}")
    for n, m, samples in CELLS:
        mu = rng.random((n, m))
        s2 = np.full_like(mu, 0.05)

        def engine(q_i):
            return lambda: _engine.select_detailed(mu, s2, samples, 0.2, 1, 1, q_i, 2**62, 0, 1,
                                                   None, CHECK_INTERVAL)
        runs = {
            "low counts": lambda: mc_rank_counts(mu, s2, samples, 0.2, 1, 1),
            "low exact": lambda: mc_rank_select_detailed(mu, s2, samples, 0.2, 1, 1, 0, 0),
            "low p2": lambda: mc_rank_select_detailed(mu, s2, samples, 0.2, 1, 1, 0, 1),
            "counts": lambda: _engine.counts(mu, s2, samples, 0.2, 1, 1, 0, 1, None,
                                             CHECK_INTERVAL),
            "exact": engine(0),
            "p2": engine(1),
        }
        t = {name: min(v) * 1e3 for name, v in interleaved(runs, args.rounds).items()}
        print(f"{n:>5} {m:>2} {samples:>8} | {t['low counts']:>20.1f} {t['low exact']:>7.1f} "
              f"{t['low p2']:>7.1f} {t['low exact'] / t['low counts']:>11.2f}× | "
              f"{t['counts']:>17.1f} {t['exact']:>7.1f} {t['p2']:>7.1f} "
              f"{t['exact'] / t['counts']:>11.2f}×")


if __name__ == "__main__":
    main()

"""The command line's own work around the kernel for a big population.

N members (default 100 000) x 3 objectives, written once as CSV, JSON and
NPZ into a temporary folder.  Timed, each the best of --rounds: reading each
file, the selection (a few samples: the kernel is not what is measured
here), the summary with the selection order, the text table, the JSON, and
the picture.  Everything but the kernel should stay under a second per step.

    python benchmarks/bench_cli.py [--n 100000] [--samples 5] [--rounds 3] [--plot]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import tempfile
import time
from collections.abc import Callable
from typing import TypeVar

import numpy as np

import kestrovane
from kestrovane.cli.main import _json_lines
from kestrovane.cli.population_file import read_population
from kestrovane.cli.table import selection_order, summarise, table_lines

T = TypeVar("T")


def best_of(rounds: int, job: Callable[[], T]) -> tuple[float, T]:
    best, result = float("inf"), None
    for _ in range(rounds):
        start = time.perf_counter()
        result = job()
        best = min(best, time.perf_counter() - start)
    return best, result  # type: ignore[return-value]


def write_files(folder: str, n: int) -> dict[str, str]:
    rng = np.random.default_rng(0)
    mu, var = rng.random((n, 3)), rng.random((n, 3)) * 0.01
    ids = [f"m{i}" for i in range(n)]
    paths = {fmt: os.path.join(folder, f"pop.{fmt}") for fmt in ("csv", "json", "npz")}
    with open(paths["csv"], "w") as f:
        f.write("id,mu_a,var_a,mu_b,var_b,mu_c,var_c\n")
        for i, (m, v) in enumerate(zip(mu.tolist(), var.tolist())):
            f.write(f"{ids[i]},{m[0]},{v[0]},{m[1]},{v[1]},{m[2]},{v[2]}\n")
    with open(paths["json"], "w") as f:
        json.dump({"mu": mu.tolist(), "sigma2": var.tolist(), "ids": ids,
                   "objectives": ["a", "b", "c"]}, f)
    np.savez(paths["npz"], mu=mu, sigma2=var, ids=np.array(ids),
             objectives=np.array(["a", "b", "c"]))
    return paths


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--samples", type=int, default=5)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--plot", action="store_true", help="also time the picture")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(folder, args.n)
        print(f"N = {args.n:,} x 3 objectives, {args.samples} samples, best of "
              f"{args.rounds}\n")
        print("| step | s |\n|---|---:|")
        pop = None
        for fmt, path in paths.items():
            seconds, pop = best_of(args.rounds, lambda p=path: read_population(p))
            print(f"| read {fmt} ({os.path.getsize(path) / 1e6:.1f} MB) | {seconds:.3f} |")
        assert pop is not None
        seconds, sel = best_of(1, lambda: kestrovane.select(
            pop.mu, pop.sigma2, n_samples=args.samples, ids=pop.ids,
            objectives=pop.objectives, progress=False))
        print(f"| kestrovane.select, kernel included | {seconds:.3f} |")
        seconds, _ = best_of(args.rounds, lambda: selection_order(sel))
        print(f"| selection order | {seconds:.3f} |")
        seconds, summary = best_of(args.rounds, lambda: summarise(pop, sel, None))
        print(f"| summary (all rows) | {seconds:.3f} |")
        seconds, _ = best_of(args.rounds, lambda: io.StringIO().writelines(
            line + "\n" for line in table_lines(summary, None)))
        print(f"| text table | {seconds:.3f} |")
        seconds, _ = best_of(args.rounds, lambda: io.StringIO().writelines(
            line + "\n" for line in _json_lines(summary)))
        print(f"| JSON | {seconds:.3f} |")
        if args.plot:
            from kestrovane.cli.plot import plot_selection
            out = os.path.join(folder, "sel.png")
            seconds, _ = best_of(1, lambda: plot_selection(pop, sel, selection_order(sel),
                                                           out))
            print(f"| picture (.png) | {seconds:.3f} |")


if __name__ == "__main__":
    main()

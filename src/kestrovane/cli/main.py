"""kestrovane-select: Monte-Carlo Pareto selection from the command line.

Reads a population of uncertain scores (or uses a built-in example), runs
mc_rank_select_detailed on it and prints the winners, the losers and each
individual's place statistics, best first.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from kestrovane.selection_core._mc_rank import mc_rank_select_detailed
from kestrovane.cli.example import example_population
from kestrovane.cli.population_file import (Population, PopulationFileError,
                                                       read_population)

PROG = "kestrovane-select"
MODES = {"values": 0, "ranks": 1}
QUANTILES = {"exact": 0, "p2": 1, "auto": 2}


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Monte-Carlo Pareto selection under uncertain scores (all objectives "
                    "minimised). FILE is a .csv (header row; optional 'id' column; "
                    "'mu_<name>' with 'var_<name>' or 'sd_<name>' per objective), a .npz "
                    "with arrays 'mu' and 'sigma2', or a .json object with 'mu' and "
                    "'sigma2' or 'sd' (both: optional 'ids', 'objectives'). Without FILE "
                    "a built-in example population is used.")
    p.add_argument("file", nargs="?", metavar="FILE", help="population file")
    p.add_argument("--samples", type=int, default=10000, help="Monte-Carlo samples (default 10000)")
    p.add_argument("--percentile", type=float, default=0.2,
                   help="fraction that wins and loses per sample, in (0, 1] (default 0.2)")
    p.add_argument("--seed", type=int, default=0, help="random seed, 0 .. 2**64-1 (default 0)")
    p.add_argument("--mode", choices=MODES, default="ranks",
                   help="compare raw values or per-objective ranks (default ranks)")
    p.add_argument("--quantiles", choices=QUANTILES, default="auto",
                   help="place quantiles: exact, p2 (constant memory) or auto (default)")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    p.add_argument("--plot", metavar="FILE.png", help="also draw the place distributions")
    p.add_argument("--progress", action="store_true",
                   help="show elapsed time on stderr even when it is not a terminal")
    args = p.parse_args(argv)
    if args.samples < 1:
        p.error("--samples must be at least 1")
    if not 0.0 < args.percentile <= 1.0:
        p.error("--percentile must be in (0, 1]")
    if not 0 <= args.seed < 2**64:
        p.error("--seed must be in 0 .. 2**64-1")
    return args


def run_with_progress(job, show: bool):
    """Runs `job` in a worker thread (the kernel releases the interpreter lock)
    while this thread reports the elapsed time on stderr after one second."""
    start = time.monotonic()
    shown = False
    with ThreadPoolExecutor(max_workers=1) as pool:
        future = pool.submit(job)
        try:
            while True:
                try:
                    return future.result(timeout=0.1)
                except TimeoutError:
                    elapsed = time.monotonic() - start
                    if show and elapsed >= 1.0:
                        sys.stderr.write(f"\rsampling... {elapsed:5.1f} s")
                        sys.stderr.flush()
                        shown = True
        finally:
            if shown:
                sys.stderr.write("\r" + " " * 24 + "\r")
                sys.stderr.flush()


def summarise(pop: Population, args: argparse.Namespace, result) -> dict:
    winners, losers, wins, losses, rank_sum, place, front, within, quality = result
    best_first = np.lexsort((np.arange(len(wins)), rank_sum, -wins.astype(np.int64)))
    rows = [{
        "id": pop.ids[i],
        "wins": int(wins[i]),
        "losses": int(losses[i]),
        "place_mean": float(place["mean"][i]),
        "place_std": float(place["std"][i]),
        "place_q25": float(place["q25"][i]),
        "place_median": float(place["median"][i]),
        "place_q75": float(place["q75"][i]),
        "front_mean": float(front["mean"][i]),
        "within_mean": float(within["mean"][i]),
        "quality": float(quality[i]),
        "winner": bool(np.isin(i, winners)),
        "loser": bool(np.isin(i, losers)),
    } for i in best_first]
    return {
        "individuals_count": len(pop.ids),
        "objectives": pop.objectives,
        "samples": args.samples,
        "percentile": args.percentile,
        "seed": args.seed,
        "mode": args.mode,
        "quantiles": "p2" if place.get("quantiles_mode_used") else "exact",
        "winners": [pop.ids[i] for i in winners],
        "losers": [pop.ids[i] for i in losers],
        "individuals": rows,
    }


def print_table(summary: dict, out) -> None:
    print(f"{summary['individuals_count']} individuals, objectives "
          f"{', '.join(summary['objectives'])}; {summary['samples']} samples, seed "
          f"{summary['seed']}, top/bottom {summary['percentile']:g}, {summary['mode']}, "
          f"{summary['quantiles']} quantiles", file=out)
    print(f"winners: {' '.join(summary['winners'])}", file=out)
    print(f"losers:  {' '.join(summary['losers'])}", file=out)
    rows = summary["individuals"]
    width = max([2] + [len(r["id"]) for r in rows])
    print(f"\n{'id':<{width}} {'wins':>7} {'losses':>7}  {'place mean ± std':>16} "
          f"{'q25':>6} {'median':>6} {'q75':>6} {'front':>6} {'quality':>8}", file=out)
    for r in rows:
        mark = "+" if r["winner"] else ("-" if r["loser"] else " ")
        place = f"{r['place_mean']:.2f} ± {r['place_std']:.2f}"
        print(f"{r['id']:<{width}} {r['wins']:>7} {r['losses']:>7}  {place:>16} "
              f"{r['place_q25']:>6.1f} {r['place_median']:>6.1f} {r['place_q75']:>6.1f} "
              f"{r['front_mean']:>6.2f} {r['quality']:>8.2f} {mark}", file=out)
    print("\n+ winner, - loser; place 0 is best; quality = -(mean place + mean front + "
          "mean rank in front)", file=out)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        pop = read_population(args.file) if args.file else example_population()
    except PopulationFileError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    if len(pop.ids) == 0:
        print(f"{PROG}: error: {args.file}: no individuals", file=sys.stderr)
        return 2
    plot_module = None
    if args.plot:
        try:
            from kestrovane.cli import plot as plot_module
        except ImportError:
            print(f"{PROG}: error: --plot needs matplotlib; install it with "
                  "pip install 'kestrovane[plot]'", file=sys.stderr)
            return 2

    def job():
        return mc_rank_select_detailed(pop.mu, pop.sigma2, args.samples, args.percentile,
                                       args.seed, MODES[args.mode], 0, QUANTILES[args.quantiles])

    try:
        result = run_with_progress(job, args.progress or sys.stderr.isatty())
    except (ValueError, MemoryError) as e:
        print(f"{PROG}: error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    summary = summarise(pop, args, result)
    if args.json:
        json.dump(summary, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        print_table(summary, sys.stdout)
    if plot_module is not None:
        plot_module.plot_selection(pop, summary, args.plot)
        if not args.json:
            print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

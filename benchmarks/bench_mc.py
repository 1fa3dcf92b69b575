"""Monte-Carlo selection: the kernels against the peers and the hardware floor.

Answers two questions for the job "draw n_samples populations from
Normal(mu, sigma2), rank each (non-dominated fronts + crowding), count top-k /
bottom-k and rank sums":

* how much faster the kernels are than the job written with NumPy + moocore,
  NumPy + pymoo, or NumPy alone (``peers.py``), and
* how far they are from the floor: a C++ loop (``floor/floor.cpp``) that only
  draws the N*M deviates with the same generator and sorts each objective once.

Every implementation of a workload cell is timed in this one process,
alternating between implementations, ``--repeats`` rounds; a time is the
median over rounds of (run time / n_samples), and a ratio is the median over
rounds of the ratio measured within one round.  n_samples per run is
calibrated so a cell (all its rounds) takes about ``--budget`` seconds.
Nothing here asserts a time: it prints tables.

    python benchmarks/bench_mc.py            # full run, about 5 minutes
    python benchmarks/bench_mc.py --quick    # subset, ~0.2 s cells, about a minute
    python benchmarks/bench_mc.py --write    # full run, also writes benchmarks/RESULTS.md

Needs numpy, moocore and pymoo (``pip install moocore pymoo``), and g++ to
build the floor into build/floor/ (rebuilt when its source is newer).
"""

import argparse
import datetime
import os
import sys
import time
from importlib.metadata import version
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from mc_bench import machine, memory, peer_runs, tables, targets  # noqa: E402
from mc_bench.cells import (OBJECTIVES, QUICK_OBJECTIVES, QUICK_SIZES, SIZES,  # noqa: E402
                            cell_impls)
from mc_bench.floor import build_floor, standalone_line  # noqa: E402
from mc_bench.tables import fmt_us  # noqa: E402
from mc_bench.timing import measure, med_us  # noqa: E402


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def arguments():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help=f"N in {QUICK_SIZES}, M in {QUICK_OBJECTIVES}, ~0.2 s cells")
    ap.add_argument("--budget", type=float,
                    help="seconds per cell, all rounds (default 1.4; quick 0.2)")
    ap.add_argument("--repeats", type=int, help="alternating rounds per cell (default 7; quick 3)")
    ap.add_argument("--write", action="store_true",
                    help="write benchmarks/RESULTS.md (full run only)")
    ap.add_argument("--no-peers", action="store_true", help="kernels and floor only")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.write and args.quick and not args.child:
        ap.error("--write needs the full run (drop --quick)")
    return args


def time_cells(cells, floor_fn, peers, target, repeats):
    """Every implementation of every cell, timed; results[n, m][name] is an Impl."""
    results = {}
    for i, (n, m) in enumerate(cells):
        t0 = time.perf_counter()
        impls = cell_impls(n, m, floor_fn, peers, peer_share=0.5 if n >= 512 else 1.0)
        r = results[n, m] = measure(impls, target, repeats)
        log(f"[{i + 1}/{len(cells)}] N={n} M={m}: counts {fmt_us(med_us(r['counts']))} µs, "
            f"floor {fmt_us(med_us(r['floor']))} µs"
            + (f", moocore {fmt_us(med_us(r['moocore']))} µs" if peers else "")
            + f"  ({time.perf_counter() - t0:.1f} s)")
    return results


def time_rating(cells, quick, repeats):
    target = (0.1 if quick else 0.5) / repeats
    results = {(n, m): measure(peer_runs.rate_impls(n, m), target, repeats) for n, m in cells}
    log("rate_population vs pareto_rank done")
    return results


def write_results(report):
    """benchmarks/RESULTS.md; the memory section belongs to bench_memory.py
    and survives a rewrite."""
    from bench_memory import SECTION_START

    header = (f"# Monte-Carlo selection benchmark\n\nLatest full run of "
              f"`benchmarks/bench_mc.py`, {datetime.date.today().isoformat()}. "
              "Regenerate with `python benchmarks/bench_mc.py --write`.\n\n")
    path = HERE / "RESULTS.md"
    old = path.read_text() if path.exists() else ""
    kept = old[old.index(SECTION_START):] if SECTION_START in old else ""
    path.write_text(header + report + ("\n" + kept if kept else ""))
    log(f"wrote {path}")


def main():
    args = arguments()
    if args.child:
        memory.child(args.child)
        return
    t_start = time.perf_counter()
    run = {"quick": args.quick, "budget": args.budget or (0.2 if args.quick else 1.4),
           "repeats": args.repeats or (3 if args.quick else 7)}
    cells = [(n, m) for n in (QUICK_SIZES if args.quick else SIZES)
             for m in (QUICK_OBJECTIVES if args.quick else OBJECTIVES)]
    versions = {"numpy": np.__version__, "kestrovane": version("kestrovane")}
    built = machine.build_state()  # the extension this process loaded (a reinstall won't change it)
    run["load_start"] = os.getloadavg()[0]
    peers = None
    if not args.no_peers:
        versions.update(peer_runs.peer_versions())
        import peers  # the memory children never import it: they stay lean
    floor_exe, floor_fn = build_floor()
    validation = peer_runs.validate(peers, log) if peers else []

    results = time_cells(cells, floor_fn, peers, run["budget"] / run["repeats"], run["repeats"])
    out = (tables.times_section(results, cells) + tables.ratios_section(results, cells)
           + tables.lanes_section(results, cells))
    rate_results = time_rating(cells, args.quick, run["repeats"]) if peers else {}
    if rate_results:
        out += tables.rate_section(rate_results, cells)
    log("memory checks ...")
    memory_results = memory.memory_checks(Path(__file__).resolve())
    out += tables.memory_section(*memory_results)
    out += targets.section(results, rate_results, memory_results)

    exe_line = standalone_line(floor_exe)
    run.update(cells=len(cells), elapsed=time.perf_counter() - t_start)
    out.append("\n".join(machine.setup_section(run, versions, built, exe_line, validation)))
    report = "\n".join(out) + "\n"
    print(report)
    if args.write:
        write_results(report)
    log(f"total {run['elapsed']:.0f} s")


if __name__ == "__main__":
    main()

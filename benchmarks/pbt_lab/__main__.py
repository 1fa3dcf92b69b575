"""The PBT lab: simulated asynchronous PBT runs in world families that differ
in mechanism, every policy on the same seeds, paired comparisons.

    python -m benchmarks.pbt_lab                  # the held-out report: run what is missing,
                                                  # print the tables
    python -m benchmarks.pbt_lab --write          # also benchmarks/LAB.md
    python -m benchmarks.pbt_lab --quick          # re-run a sample and check it against the
                                                  # kept runs bit for bit
    python -m benchmarks.pbt_lab --split tune --policies default mc:trend=none
    python -m benchmarks.pbt_lab --policies default my_policies:cautious

The families (families.py) and the design (design.py) were fixed before any
policy ran in them.  Policies are tuned on the tuning families' seeds 0-31
and reported on the held-out families' seeds 100-195.  Runs are kept in
benchmarks/pbt_lab/results.jsonl, keyed by content (keys.py, store.py).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from benchmarks.parallel import execute
from benchmarks.pbt_lab import store
from benchmarks.pbt_lab.design import REPORTED, SEEDS, design, split
from benchmarks.pbt_lab.families import FAMILIES
from benchmarks.pbt_lab.job import CHECKED, Job, run_one
from benchmarks.pbt_lab.keys import ROOT, Keys
from benchmarks.pbt_lab.lab_md import LAB_MD, write
from benchmarks.pbt_lab.named import PolicyError, resolve
from benchmarks.pbt_lab.report import Runs, report


def jobs_for(runs: list[store.Run], keys: Keys, done: dict[store.Run, store.Row]) -> list[Job]:
    todo = [(p, f, s, keys) for p, f, s in runs if (p, f, s) not in done]
    # Biggest populations first, so the workers end together.
    return sorted(todo, key=lambda j: -design(j[1], j[2]).n)


def quick_check(runs: list[store.Run], keys: Keys, workers: int) -> int:
    """Re-runs the given runs and compares them with the kept ones."""
    rows = store.load()
    done = store.current(rows, keys)
    missing = [r for r in runs if r not in done]
    if missing:
        print(f"{len(missing)} of the sampled runs are not kept for this code "
              f"({store.stale_text(store.stale_reasons(rows, keys, missing))}); "
              "run without --quick first", file=sys.stderr)
        return 1
    differ = 0
    for row in execute(run_one, [(p, f, s, keys) for p, f, s in runs], workers):
        kept = done[store.run_of(row)]
        bad = [f for f in CHECKED if row[f] != kept[f]]
        if bad:
            differ += 1
            print(f"{row['policy']} in {row['family']}, seed {row['seed']}: "
                  f"{', '.join(bad)} differ", file=sys.stderr)
    print(f"{len(runs) - differ} of {len(runs)} sampled runs repeat the kept ones bit for bit")
    return 1 if differ else 0


def main() -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.pbt_lab",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--split", choices=("report", "tune"), default="report",
                        help="held-out families on the report seeds (default), or the "
                             "tuning families on the tuning seeds")
    parser.add_argument("--policies", nargs="+", default=REPORTED,
                        help="labels of the lab's policies (benchmarks/pbt_lab/named.py) or "
                             "module:attribute, a policy or a zero-argument factory of one")
    parser.add_argument("--families", help="comma-separated families instead of the split's")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--write", action="store_true", help="also write benchmarks/LAB.md")
    args = parser.parse_args()
    for name in args.policies:
        try:
            resolve(name)
        except PolicyError as exc:
            print(f"--policies: {exc}", file=sys.stderr)
            return 2
    policies = list(dict.fromkeys(["plain", "oracle", *args.policies]))
    halves = split(list(FAMILIES))
    families = halves["tune" if args.split == "tune" else "held_out"]
    if args.families:
        families = args.families.split(",")
        unknown = [f for f in families if f not in FAMILIES]
        if unknown:
            parser.error(f"--families: unknown family {unknown[0]!r}; the families are "
                         f"{', '.join(FAMILIES)}")
    seeds = SEEDS[args.split]
    keys = Keys.current()
    if args.quick:
        # The first five seeds: every M at N = 8, one at N = 16.
        return quick_check([(p, f, s) for f in families for s in seeds[:5]
                            for p in ("plain", "default")], keys, args.workers)
    start = time.perf_counter()
    wanted = [(p, f, s) for f in families for s in seeds for p in policies]
    rows = store.load()
    done = store.current(rows, keys)
    jobs = jobs_for(wanted, keys, done)
    if jobs:
        reasons = store.stale_reasons(rows, keys, [j[:3] for j in jobs])
        if reasons:
            print(store.stale_text(reasons), file=sys.stderr)
        print(f"{len(jobs)} runs to compute on {args.workers} processes", file=sys.stderr)
        for row in execute(run_one, jobs, args.workers):
            store.append([row])
            done[store.run_of(row)] = row
    print(report(Runs(done), policies, families, seeds, halves, args.split))
    print(f"\n({time.perf_counter() - start:.0f} s in this call)")
    if args.write:
        dropped = store.prune(keys)
        if dropped:
            print(f"dropped {dropped} stale kept runs", file=sys.stderr)
        write(Runs(store.current(store.load(), keys)), keys)
        print(f"wrote {LAB_MD.relative_to(ROOT)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; finished runs are kept", file=sys.stderr)
        sys.exit(130)

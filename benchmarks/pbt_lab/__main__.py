"""The PBT lab: simulated asynchronous PBT runs in world families that differ
in mechanism, every policy on the same seeds, paired comparisons.

    python -m benchmarks.pbt_lab                  # the held-out report: run what is missing,
                                                  # print the tables
    python -m benchmarks.pbt_lab --write          # also benchmarks/LAB.md
    python -m benchmarks.pbt_lab --quick          # re-run a sample and check it against the
                                                  # kept runs bit for bit
    python -m benchmarks.pbt_lab --split tune --policies default mc:trend=none

The families (families.py) and the design (design.py) were fixed before any
policy ran in them.  Policies are tuned on the tuning families' seeds 0-31
and reported on the held-out families' seeds 100-195.  Runs are kept in
benchmarks/pbt_lab/results.jsonl, keyed by content (store.py).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any


from benchmarks.parallel import execute
from benchmarks.pbt_lab import store
from benchmarks.pbt_lab.design import REPORTED, SEEDS, design, split
from benchmarks.pbt_lab.families import FAMILIES
from benchmarks.pbt_lab.policies import factory
from benchmarks.pbt_lab.report import Runs, document, report
from benchmarks.pbt_lab.simulator import simulate

LAB_MD = store.ROOT / "benchmarks" / "LAB.md"
#: Fields a re-run must repeat bit for bit (all but the timing).
CHECKED = ("final_hv", "mean_hv", "replacements", "decisions", "steps", "keep_loss", "kept")

Job = tuple[str, str, int, str]  # policy, family, seed, digest


def run_one(job: Job) -> dict[str, Any]:
    policy, family, seed, digest = job
    d = design(family, seed)
    start = time.process_time()
    r = simulate(FAMILIES[family], d, seed, factory(policy))
    return {"digest": digest, "policy": store.label(policy), "family": family, "seed": seed,
            "m": d.m, "n": d.n, "window": d.window, "percentile": d.percentile,
            "final_hv": r.final_hv, "mean_hv": r.mean_hv, "replacements": r.replacements,
            "decisions": r.decisions, "steps": r.steps, "keep_loss": r.keep_loss,
            "kept": r.kept, "cpu_seconds": time.process_time() - start}


def jobs_for(policies: list[str], families: list[str], seeds: list[int], digest: str,
             done: dict[store.Key, dict[str, Any]]) -> list[Job]:
    todo = [(p, f, s, digest) for f in families for s in seeds for p in policies
            if (digest, store.label(p), f, s) not in done]
    # Biggest populations first, so the workers end together.
    return sorted(todo, key=lambda j: -design(j[1], j[2]).n)


def quick_check(policies: list[str], families: list[str], seeds: list[int], digest: str,
                workers: int) -> int:
    """Re-runs the first five seeds (every M at N = 8, one at N = 16) and
    compares them with the kept runs."""
    done = store.load()
    jobs = [(p, f, s, digest) for f in families for s in seeds[:5] for p in policies]
    missing = [j for j in jobs if (digest, store.label(j[0]), j[1], j[2]) not in done]
    if missing:
        print(f"{len(missing)} of the sampled runs are not kept for this code; run without "
              "--quick first", file=sys.stderr)
        return 1
    differ = 0
    for row in execute(run_one, jobs, workers):
        kept = done[store.key(row)]
        bad = [f for f in CHECKED if row[f] != kept[f]]
        if bad:
            differ += 1
            print(f"{row['policy']} in {row['family']}, seed {row['seed']}: "
                  f"{', '.join(bad)} differ", file=sys.stderr)
    print(f"{len(jobs) - differ} of {len(jobs)} sampled runs repeat the kept ones bit for bit")
    return 1 if differ else 0


def main() -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.pbt_lab",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--split", choices=("report", "tune"), default="report",
                        help="held-out families on the report seeds (default), or the "
                             "tuning families on the tuning seeds")
    parser.add_argument("--policies", nargs="+", default=REPORTED,
                        help="labels of policies (benchmarks/pbt_lab/policies.py)")
    parser.add_argument("--families", help="comma-separated families instead of the split's")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--write", action="store_true", help="also write benchmarks/LAB.md")
    args = parser.parse_args()
    for name in args.policies:
        try:
            factory(name)
        except (ValueError, TypeError) as exc:
            parser.error(f"--policies: {exc}")
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
    digest = store.digest()
    if args.quick:
        return quick_check(["plain", "default"], families, seeds, digest, args.workers)
    start = time.perf_counter()
    done = store.load()
    jobs = jobs_for(policies, families, seeds, digest, done)
    if jobs:
        print(f"{len(jobs)} runs to compute on {args.workers} processes", file=sys.stderr)
        for row in execute(run_one, jobs, args.workers):
            store.append([row])
            done[store.key(row)] = row
    runs = Runs(done, digest)
    text = report(runs, policies, families, seeds, halves, args.split)
    print(text)
    print(f"\n({time.perf_counter() - start:.0f} s in this call)")
    if args.write:
        dropped = store.prune(digest)
        if dropped:
            print(f"dropped {dropped} kept runs of other code", file=sys.stderr)
        LAB_MD.write_text(document(Runs(store.load(), digest), digest))
        print(f"wrote {LAB_MD.relative_to(store.ROOT)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; finished runs are kept", file=sys.stderr)
        sys.exit(130)

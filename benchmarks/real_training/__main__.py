"""Real training under every method, paired by seed, with equal budgets.

    python -m benchmarks.real_training            # run what is missing, print the tables
    python -m benchmarks.real_training --write    # also benchmarks/REAL.md, docs/real_fronts.png
    python -m benchmarks.real_training --quick    # re-run seed 0 of every cell, check it
                                                  # against the kept results bit for bit

Three tasks (see tasks.py) at populations 16 and 32, 16 seeds per cell,
every method on every seed.  Runs are kept in
benchmarks/real_training/results.jsonl; a run is computed only when the
file lacks it (or holds it from other code).  The tasks were designed on
seeds 1000 and up (`--dev`), the reported seeds are 0 to 15.
"""

from __future__ import annotations

import os

# One BLAS thread per worker: the runs are parallel, and the arithmetic stays
# the same whatever the machine's core count.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from collections.abc import Iterator  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

from benchmarks.parallel import execute  # noqa: E402
from benchmarks.real_training import ray_check, report, results  # noqa: E402
from benchmarks.real_training.methods import methods_of  # noqa: E402
from benchmarks.real_training.run import Settings, run  # noqa: E402
from benchmarks.real_training.tasks import TASK_NAMES, tasks  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
RAY_STORE = results.STORE.with_name("ray_results.jsonl")
POPULATIONS = (16, 32)
SEEDS = 16
DEV_SEEDS = range(1000, 1008)


def planned(seeds: list[int], only: list[str] | None = None) -> list[tuple[Settings, str]]:
    out = []
    for name in only or TASK_NAMES:
        for p in POPULATIONS:
            for seed in seeds:
                s = Settings(name, p, seed)
                out += [(s, m) for m in methods_of(len(tasks()[name].objectives))]
    return out


def _one(job: tuple[Settings, str]) -> dict[str, Any]:
    return run(*job)


def ray_settings() -> list[Settings]:
    return [Settings("image", 16, seed) for seed in range(4)]


def run_ray(jobs: list[tuple[Settings, str]]) -> Iterator[dict[str, Any]]:
    """The Ray Tune experiments, one after the other (each uses both cores)."""
    if not jobs:
        return
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    # A trial's last result carries the test scores and no metric, so that it
    # is no decision point (the loop decides after no last round either).
    os.environ["TUNE_DISABLE_STRICT_METRIC_CHECKING"] = "1"
    import ray

    ray.init(num_cpus=os.cpu_count() or 1, include_dashboard=False, log_to_driver=False,
             configure_logging=False,
             runtime_env={"env_vars": {"PYTHONPATH": str(ROOT), "OPENBLAS_NUM_THREADS": "1"}})
    try:
        for done, (s, method) in enumerate(jobs, 1):
            record = ray_check.experiment(s, method)
            print(f"Ray {done}/{len(jobs)}: {method} seed {s.seed}, "
                  f"{record['seconds']:.0f} s", file=sys.stderr, flush=True)
            yield record
    finally:
        ray.shutdown()


def quick_check(kept: dict[str, dict[str, Any]], workers: int) -> int:
    """Re-run seed 0 of every cell and compare with the kept records."""
    jobs = planned([0])
    missing = [s.key(m) for s, m in jobs if s.key(m) not in kept]
    if missing:
        print(f"--quick: {len(missing)} of {len(jobs)} runs are not kept (first: {missing[0]}); "
              "run without --quick first", file=sys.stderr)
        return 1
    start = time.perf_counter()
    bad = []
    for record in execute(_one, jobs, workers):
        fields = results.same_result(record, kept[record["key"]])
        if fields:
            bad.append(f"{record['task']} N={record['population']} {record['method']} "
                       f"seed {record['seed']}: {', '.join(fields)} differ")
    for line in bad:
        print(line)
    print(f"--quick: {len(jobs) - len(bad)} of {len(jobs)} runs reproduced the kept results "
          f"bit for bit ({time.perf_counter() - start:.0f} s)")
    return 1 if bad else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.real_training",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=SEEDS, help="seeds per cell (default 16)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: the number of cores)")
    parser.add_argument("--quick", action="store_true",
                        help="re-run seed 0 of every cell and check it against the kept results")
    parser.add_argument("--write", action="store_true",
                        help="write benchmarks/REAL.md and docs/real_fronts.png")
    parser.add_argument("--ray", action="store_true",
                        help="also run the smaller check through Ray Tune (image task, "
                             "population 16, seeds 0-3)")
    parser.add_argument("--dev", action="store_true",
                        help="the design seeds (1000-1007) instead of the reported ones; "
                             "kept apart, never written")
    args = parser.parse_args(argv)
    if args.seeds < 2 or args.jobs < 1:
        parser.error("--seeds must be at least 2 and --jobs at least 1")
    kept = results.load()
    if args.quick:
        return quick_check(kept, args.jobs)
    store = results.STORE.with_name("dev.jsonl") if args.dev else results.STORE
    if args.dev:
        kept = results.load(store)
    seeds = list(DEV_SEEDS) if args.dev else list(range(args.seeds))
    jobs = [(s, m) for s, m in planned(seeds) if s.key(m) not in kept]
    start = time.perf_counter()
    if jobs:
        print(f"{len(jobs)} runs to compute on {args.jobs} processes", file=sys.stderr)
    for record in execute(_one, jobs, args.jobs):
        results.append(record, store)
        kept[record["key"]] = record
    ray_kept = results.load(RAY_STORE, results.RAY_SOURCES)
    if args.ray and not args.dev:
        ray_jobs = [(s, m) for s in ray_settings() for m in ray_check.METHODS
                    if s.key(m) + " ray" not in ray_kept]
        for record in run_ray(ray_jobs):
            results.append(record, RAY_STORE, results.RAY_SOURCES)
            ray_kept[record["key"]] = record
    cells = report.Cells(kept, seeds, POPULATIONS)
    text = report.tables(cells)
    if not args.dev:
        text += "\n" + report.ray_table(cells, ray_kept, ray_settings())
    print(text)
    print(f"({time.perf_counter() - start:.0f} s in this call)")
    if args.write and not args.dev:
        (ROOT / "benchmarks" / "REAL.md").write_text(report.document(cells, text))
        report.plot(cells, ROOT / "docs" / "real_fronts.png")
        print("wrote benchmarks/REAL.md and docs/real_fronts.png")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; finished runs are kept", file=sys.stderr)
        sys.exit(130)


"""What the stores cost: reports and decisions per second with 8 workers,
and how long a worker waits for a decision at population 32 and 128.

Throughput: 8 workers, each driving 4 members of a population of 32 (a
report, then that member's decision, round-robin).  In memory the workers
are threads of one process sharing one `Population` (its lock serialises
them); with a store they are processes, each with its own connection.
Latency: one worker alone, every member with a full window of 8 reports of
2 objectives, the wall time of `decide` after a fresh report; with 8
workers, the median and 95th percentile a decision took while the others
ran.  Wall-clock times: run it on a quiet machine.

    python benchmarks/bench_storage.py                        # SQLite and in memory
    python benchmarks/bench_storage.py --postgres postgresql://...
    make bench-storage                                        # all three, with a throwaway server
    python benchmarks/bench_storage.py --quick --write        # writes benchmarks/STORAGE.md
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import tempfile
import threading
import time
import uuid
from pathlib import Path
from typing import Any

import numpy as np

from kestrovane.pbt import Population
from kestrovane.storage import StoredPopulation

OBJECTIVES = ["loss", "latency"]
WORKERS, PER_WORKER, WINDOW = 8, 4, 8
OUT = Path(__file__).with_name("STORAGE.md")


def filled(pop: Any, n: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    centre = rng.dirichlet(np.ones(2), size=n) + rng.exponential(0.2, size=(n, 2))
    for _ in range(WINDOW):
        for i in range(n):
            pop.report(f"m{i}", (centre[i] + rng.normal(0.0, 0.1, 2)).tolist())


def reported_and_decided(pop: Any, members: list[str], rng: np.random.Generator) -> list[float]:
    """A report, then that member's decision, for each of `members`; each decision's wall time."""
    waits = []
    for member in members:
        pop.report(member, rng.normal(1.0, 0.1, 2).tolist())
        start = time.perf_counter()
        pop.decide(member)
        waits.append(time.perf_counter() - start)
    return waits


def drive(pop: Any, worker: int, pairs: int) -> list[float]:
    """`pairs` reports and decisions of this worker's members."""
    return reported_and_decided(pop, [f"m{worker * PER_WORKER + k % PER_WORKER}"
                                      for k in range(pairs)], np.random.default_rng(worker))


def stored_worker(url: str, worker: int, pairs: int) -> list[float]:
    pop = StoredPopulation.open(url)
    try:
        return drive(pop, worker, pairs)
    finally:
        pop.close()


def throughput(kind: str, url: str | None, pairs: int) -> tuple[float, list[float]]:
    """Pairs per second over all workers, and every decision's wait."""
    n = WORKERS * PER_WORKER
    if url is None:
        pop = Population[str](OBJECTIVES, window=WINDOW, seed=1)
        filled(pop, n, 0)
        waits: list[list[float]] = [[] for _ in range(WORKERS)]
        threads = [threading.Thread(target=lambda w=w: waits[w].extend(drive(pop, w, pairs)))
                   for w in range(WORKERS)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - start
    else:
        pop_s = StoredPopulation[str](url, OBJECTIVES, window=WINDOW, seed=1)
        filled(pop_s, n, 0)
        pop_s.close()
        with multiprocessing.get_context("spawn").Pool(WORKERS) as pool:
            pool.apply(time.sleep, (0,))  # the workers started before the clock
            start = time.perf_counter()
            waits = pool.starmap(stored_worker, [(url, w, pairs) for w in range(WORKERS)])
            elapsed = time.perf_counter() - start
    return WORKERS * pairs / elapsed, [x for w in waits for x in w]


def latency(url: str | None, n: int, calls: int) -> float:
    """Median wall time of one decision by a lone worker at population n."""
    pop: Any = (Population[str](OBJECTIVES, window=WINDOW, seed=1) if url is None
                else StoredPopulation[str](url, OBJECTIVES, window=WINDOW, seed=1))
    filled(pop, n, 0)
    return statistics.median(reported_and_decided(pop, [f"m{k % n}" for k in range(calls)],
                                                  np.random.default_rng(1)))


def fresh(kind: str, folder: Path, postgres: str | None) -> str | None:
    if kind == "in memory":
        return None
    if kind == "SQLite":
        return f"sqlite:///{folder / (uuid.uuid4().hex + '.db')}"
    import psycopg

    assert postgres is not None
    schema = f"bench_{uuid.uuid4().hex[:12]}"
    with psycopg.connect(postgres, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    sep = "&" if "?" in postgres else "?"
    return f"{postgres}{sep}options=-csearch_path%3D{schema}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--postgres", help="a PostgreSQL database to make schemas in")
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    parser.add_argument("--write", action="store_true", help=f"write {OUT.name}")
    args = parser.parse_args()
    pairs, calls = (50, 40) if args.quick else (300, 200)
    kinds = ["in memory", "SQLite"] + (["PostgreSQL"] if args.postgres else [])
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for kind in kinds:
            rate, waits = throughput(kind, fresh(kind, Path(tmp), args.postgres), pairs)
            lone = [latency(fresh(kind, Path(tmp), args.postgres), n, calls) for n in (32, 128)]
            waits.sort()
            rows.append(f"| {kind} | {rate:.0f} | {1e3 * waits[len(waits) // 2]:.1f} | "
                        f"{1e3 * waits[int(0.95 * len(waits))]:.1f} | {1e3 * lone[0]:.1f} | "
                        f"{1e3 * lone[1]:.1f} |")
            print(rows[-1], flush=True)
    table = "\n".join([
        "| store | reports and decisions / s, 8 workers | decision wait, median (ms) | "
        "p95 (ms) | one worker, N = 32 (ms) | N = 128 (ms) |",
        "|---|---|---|---|---|---|", *rows])
    if args.write:
        OUT.write_text("# The stores\n\nWritten by `benchmarks/bench_storage.py"
                       f"{' --quick' if args.quick else ''}` ({time.strftime('%Y-%m-%d')}; "
                       f"{multiprocessing.cpu_count()} cores).  {__doc__.split(chr(10) * 2)[1]}"
                       f"\n\n{table}\n")


if __name__ == "__main__":
    main()

"""Runs of a benchmark in worker processes, with progress and a Ctrl-C that
stops them at once (the caller keeps what finished)."""

from __future__ import annotations

import multiprocessing
import signal
import sys
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

Job = TypeVar("Job")
Out = TypeVar("Out")


def _ignore_interrupts() -> None:
    # Ctrl-C is the parent's to handle: it stops the workers at once.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def execute(work: Callable[[Job], Out], jobs: list[Job], workers: int,
            unit: str = "run") -> Iterator[Out]:
    """`work` of every job in `workers` processes, yielding each result as it
    ends (in no fixed order).  `work` must be a module-level function."""
    if not jobs:
        return
    try:
        from tqdm import tqdm
        bar: Any = tqdm(total=len(jobs), unit=unit, file=sys.stderr)
    except ImportError:
        bar = None
    pool = multiprocessing.Pool(workers, initializer=_ignore_interrupts)
    try:
        for done, out in enumerate(pool.imap_unordered(work, jobs), 1):
            if bar is not None:
                bar.update()
            elif done % 20 == 0 or done == len(jobs):
                print(f"{done} of {len(jobs)} {unit}s", file=sys.stderr, flush=True)
            yield out
        pool.close()
    finally:
        pool.terminate()
        pool.join()
        if bar is not None:
            bar.close()

"""How many threads a call samples on.

`threads=None` uses every core this process may run on (`os.sched_getaffinity`)
for calls big enough to gain, and one thread otherwise:

- the call must hold at least `MIN_CELL_SAMPLES` cell-samples
  (N x M x n_samples, about 20 ms of sampling), since starting threads and
  giving each its own arrays costs a little;
- every thread gets at least `MIN_SAMPLES_PER_THREAD` samples;
- each extra thread holds its own rating arrays, about N * N + 60 * N * M
  bytes (the N x N byte block dominates from a few hundred members on), and
  the extra threads together take at most `MAX_EXTRA_BYTES`.

An explicit count is used as given (capped at one per sample); it may be
at most `MAX_THREADS`, the native engine's limit.
The results are the same bit for bit whatever the count.
"""

from __future__ import annotations

import os
from typing import Final

from kestrovane._api.parameters import THREADS

MAX_THREADS: Final = THREADS.kind.high
MIN_CELL_SAMPLES = 500_000
MIN_SAMPLES_PER_THREAD = 64
MAX_EXTRA_BYTES = 1 << 30


def available_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def thread_bytes(n: int, m: int) -> int:
    """The memory one extra thread takes for its own arrays."""
    return n * n + 60 * n * max(m, 1)


def automatic(n: int, m: int, n_samples: int, cores: int | None = None) -> int:
    cores = available_cores() if cores is None else cores
    if n * max(m, 1) * n_samples < MIN_CELL_SAMPLES:
        return 1
    by_samples = n_samples // MIN_SAMPLES_PER_THREAD
    by_memory = 1 + MAX_EXTRA_BYTES // max(thread_bytes(n, m), 1)
    return max(1, min(cores, by_samples, by_memory, MAX_THREADS))


def thread_count(threads: object, n: int, m: int, n_samples: int) -> int:
    if threads is None:
        return automatic(n, m, n_samples)
    count = THREADS.check(threads)
    return min(count, n_samples)

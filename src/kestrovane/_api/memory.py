"""What a sampling call takes in memory, and why one that failed did not fit.

The native engine takes all of its memory before sampling and raises a bare
MemoryError when a block cannot be had.  `select` and `counts` raise
`MemoryShortage` instead: it names the largest part of the call, the memory
available and the largest population that fits, from these formulas (the
engine's blocks, rounded up):

- per sampling thread, the rating's N x N byte work block, whatever the
  number of objectives (the rating interface takes it whole; three or more
  objectives keep their dominance bit sets in it), and about 60 bytes per
  member and objective (`threads.thread_bytes`);
- once per call, the population's copy (16 bytes per cell), about 1 kB per
  member (P² estimators, statistics, results) and 4 MiB of sample rows;
- with exact quantiles, every observation and NumPy's copies while the
  quantiles are taken: (4 N + 1) x n_samples doubles.

The memory available is the least of the system's MemAvailable, the room
left under the process's memory cgroup and under its address-space limit
(`ulimit -v`), as far as this system tells them.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from kestrovane._api.threads import automatic, thread_bytes

PER_MEMBER = 1024
FIXED = 4 << 20
P2_WARMUP = 5  # samples before P² starts; fewer keep every observation

_PROC = "/proc"
_CGROUP = "/sys/fs/cgroup"


def _size(count: int) -> str:
    value = float(count)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if value < 1000 or unit == "TiB":
            break
        value /= 1024
    digits = 0 if value >= 100 or unit == "bytes" else 1 if value >= 10 else 2
    return f"{value:.{digits}f} {unit}"


def _round_down(n: int) -> int:
    """Three significant digits, rounded down: an estimate, not a promise."""
    step = int(10 ** max(0, len(str(n)) - 3))
    return n // step * step


@dataclass(frozen=True)
class CallMemory:
    """A call's shape and settings, as far as memory goes.  `threads` and
    `quantiles` as the caller gave them (None: picked per call); no
    `quantiles` for a call without place statistics (`counts`)."""

    n: int
    m: int
    n_samples: int
    threads: int | None = None
    quantiles: str | None = None
    budget: int = 0

    def threads_at(self, n: int) -> int:
        if self.threads is None:
            return automatic(n, self.m, self.n_samples)
        return max(1, min(self.threads, self.n_samples))

    def exact_at(self, n: int, quantiles: str | None = None) -> bool:
        """Whether every observation is kept (the engine's choice of mode)."""
        quantiles = quantiles or self.quantiles
        if quantiles is None:
            return False
        if quantiles == "exact" or self.n_samples < P2_WARMUP:
            return True
        return quantiles == "auto" and 0 < self.budget and n * self.n_samples <= self.budget

    def parts(self, n: int, threads: int | None = None,
              quantiles: str | None = None) -> tuple[int, int, int]:
        """Bytes of (the N x N blocks, the exact quantiles, everything else)."""
        t = self.threads_at(n) if threads is None else threads
        block = t * n * n
        exact = (4 * n + 1) * self.n_samples * 8 if self.exact_at(n, quantiles) else 0
        rest = t * (thread_bytes(n, self.m) - n * n) + 16 * n * self.m + PER_MEMBER * n + FIXED
        return block, exact, rest

    def bytes(self, n: int, threads: int | None = None, quantiles: str | None = None) -> int:
        return sum(self.parts(n, threads, quantiles))

    def largest_n(self, room: int) -> int:
        """The largest population (up to this one) that fits in `room` bytes
        with these settings; 0 when none does."""
        lo, hi = 0, self.n
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if self.bytes(mid) <= room:
                lo = mid
            else:
                hi = mid - 1
        return lo

    def explain(self, room: int | None, p2: str, one_thread: str) -> str:
        """Why the call did not fit; `p2` and `one_thread` name the settings
        that may help, in the caller's words (an argument or an option)."""
        n, t = self.n, self.threads_at(self.n)
        block, exact, rest = self.parts(n)
        if block >= max(exact, rest):
            part, cause = block, (f"the rating's N x N work block ({n:,} x {n:,} bytes for "
                                  f"each of {t} sampling thread{'s' if t > 1 else ''})")
        elif exact >= rest:
            part, cause = exact, (f"the exact quantiles, which keep every observation "
                                  f"((4 N + 1) x {self.n_samples:,} samples x 8 bytes)")
        else:
            part, cause = rest, f"the arrays of {n:,} members and {self.m} objectives"
        need = block + exact + rest
        text = f"about {_size(need)} needed, {_size(part)} of it for {cause}"
        if room is None:
            return text
        text += f"; about {_size(room)} is available"
        if need <= room:
            return text + " now"
        largest = self.largest_n(room)
        text += (f", enough for at most about N = {_round_down(largest):,} members with "
                 "these settings" if largest > 0 else ", too little for any population")
        p2_helps = self.exact_at(n) and not self.exact_at(n, "p2")
        options = [(words, threads, quantiles) for words, threads, quantiles, useful in (
            (p2, t, "p2", p2_helps),
            (one_thread, 1, None, t > 1),
            (f"{p2} with {one_thread}", 1, "p2", p2_helps and t > 1)) if useful]
        for words, threads, quantiles in options:
            smaller = self.bytes(n, threads, quantiles)
            if smaller <= room:
                return text + f"; {words} needs about {_size(smaller)} and fits"
        return text


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="ascii") as f:
            return f.read()
    except (OSError, ValueError):
        return None


def _field_kib(path: str, name: str) -> int | None:
    """A 'Name:   123 kB' line of /proc/meminfo or /proc/self/status."""
    for line in (_read(path) or "").splitlines():
        if line.startswith(name + ":"):
            try:
                return int(line.split()[1]) * 1024
            except (IndexError, ValueError):
                return None
    return None


def _system_room() -> int | None:
    found = _field_kib(f"{_PROC}/meminfo", "MemAvailable")
    if found is not None:
        return found
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def _cgroup_room() -> int | None:
    """The room under the memory cgroup's limit (version 2, else 1)."""
    for limit_file, used_file in (("memory.max", "memory.current"),
                                  ("memory/memory.limit_in_bytes",
                                   "memory/memory.usage_in_bytes")):
        limit, used = _read(f"{_CGROUP}/{limit_file}"), _read(f"{_CGROUP}/{used_file}")
        if limit is None or used is None:
            continue
        try:
            cap, taken = int(limit), int(used)
        except ValueError:  # "max": no limit
            return None
        return max(0, cap - taken) if cap < 1 << 60 else None  # version 1's "none" is huge
    return None


def _address_space_room() -> int | None:
    try:
        import resource
    except ImportError:
        return None
    soft = resource.getrlimit(resource.RLIMIT_AS)[0]
    size = _field_kib(f"{_PROC}/self/status", "VmSize")
    if soft == resource.RLIM_INFINITY or size is None:
        return None
    return max(0, soft - size)


def available_bytes() -> int | None:
    """The memory a call could still take, or None when nothing tells."""
    found = [room for room in (_system_room(), _cgroup_room(), _address_space_room())
             if room is not None]
    return min(found) if found else None


class MemoryShortage(MemoryError):
    """The MemoryError of a sampling call.  Its message names what the call
    needed, the largest part of it and the memory available; `need` and
    `available` hold them."""

    def __init__(self, message: str, need: CallMemory | None = None,
                 available: int | None = None) -> None:
        super().__init__(message)
        self.need = need
        self.available = available

    def explain(self, p2: str, one_thread: str) -> str:
        """The message's reasons, naming the settings that help in other words."""
        if self.need is None:
            return str(self)
        return self.need.explain(self.available, p2, one_thread)


def shortage(need: CallMemory) -> MemoryShortage:
    room = available_bytes()
    return MemoryShortage("not enough memory: " + need.explain(room, 'quantiles="p2"',
                                                               "threads=1"), need, room)

"""Progress display of long calls: the caller's callback, a tqdm bar, or one
plain line on stderr when tqdm is not installed."""

from __future__ import annotations

import importlib
import math
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TextIO

from kestrovane._api.native import Report

#: The `progress` argument: None (a bar on a terminal for calls that run
#: over about a second), False, True, or a callable taking
#: (samples_done, n_samples).
Progress = bool | Callable[[int, int], object] | None

# A bar shown by default appears only once the call has run this long.
AUTO_DELAY = 1.0
# The plain line is rewritten at most this often.
LINE_INTERVAL = 0.2


def check_progress(progress: object) -> None:
    if progress is None or isinstance(progress, bool) or callable(progress):
        return
    raise TypeError("progress must be None, a bool or a callable taking (samples_done, "
                    f"n_samples); got {progress!r}")


def _is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError, OSError):  # replaced or closed streams
        return False


class _TqdmBar:
    def __init__(self, tqdm_class: Any, total: int, delay: float, desc: str) -> None:
        self._bar: Any = tqdm_class(total=total, desc=desc, unit=" samples", delay=delay,
                                    file=sys.stderr, dynamic_ncols=True)
        self._done = 0

    def __call__(self, done: int, total: int) -> None:
        if done > self._done:
            self._bar.update(done - self._done)
            self._done = done

    def close(self) -> None:
        self._bar.close()


class _LineBar:
    """`desc: done/total samples (pct %), elapsed s`, rewritten in place."""

    def __init__(self, total: int, delay: float, desc: str, stream: TextIO) -> None:
        self._stream = stream
        self._delay = delay
        self._desc = desc
        self._start = time.monotonic()
        self._last = -math.inf
        self._shown = False

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if now - self._start < self._delay:
            return
        if done < total and now - self._last < LINE_INTERVAL:
            return
        self._last = now
        share = 100.0 * done / total if total else 100.0
        self._stream.write(f"\r{self._desc}: {done}/{total} samples ({share:3.0f} %), "
                           f"{now - self._start:.1f} s")
        self._stream.flush()
        self._shown = True

    def close(self) -> None:
        if self._shown:
            self._stream.write("\n")
            self._stream.flush()


def _bar(total: int, delay: float, desc: str) -> _TqdmBar | _LineBar | None:
    stream = sys.stderr
    if stream is None:
        return None
    try:
        tqdm = importlib.import_module("tqdm")
    except ImportError:
        return _LineBar(total, delay, desc, stream)
    return _TqdmBar(tqdm.tqdm, total, delay, desc)


@contextmanager
def reporting(progress: Progress, n_samples: int, desc: str) -> Iterator[Report | None]:
    """The report callable for one call of `desc`, closed when the call ends."""
    if callable(progress):
        user = progress

        def forward(done: int, total: int) -> None:
            user(done, total)

        yield forward
        return
    if progress is None:
        show, delay = _is_terminal(sys.stderr), AUTO_DELAY
    else:
        show, delay = progress, 0.0
    bar = _bar(n_samples, delay, desc) if show else None
    try:
        yield bar
    finally:
        if bar is not None:
            bar.close()

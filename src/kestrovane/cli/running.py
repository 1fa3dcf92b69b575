"""Running a selection in a worker thread, with a progress line and Ctrl-C.

The kernel releases the interpreter lock while it samples, so the main
thread stays free to draw the progress line and to take Ctrl-C at once.  On
Ctrl-C the progress callable raises in the worker, which ends the call at its
next report; a kernel that reports rarely is left behind (the process exits).
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import Generic, TextIO, TypeVar, cast

T = TypeVar("T")

#: A terminal's line is shown once a run has taken this long.
TERMINAL_DELAY = 1.0
#: How often the line is redrawn on a terminal, and written to a log file.
TERMINAL_INTERVAL = 0.2
LOG_INTERVAL = 5.0


class Cancelled(Exception):
    """Raised in the worker by the progress callable after Ctrl-C."""


class Abandoned(KeyboardInterrupt):
    """Ctrl-C while the worker is still inside the kernel: the process must
    end without waiting for it (os._exit)."""


def _duration(seconds: float) -> str:
    s = int(round(seconds))
    if s < 60:
        return f"{seconds:.1f} s" if seconds < 10 else f"{s} s"
    if s < 3600:
        return f"{s // 60} min {s % 60:02d} s"
    return f"{s // 3600} h {s % 3600 // 60:02d} min"


def progress_text(done: int, total: int, elapsed: float) -> str:
    """`sampling: done/total samples (pct %), rate samples/s, time left`."""
    share = 100.0 * done / total if total else 100.0
    text = f"sampling: {done:,}/{total:,} samples ({share:3.0f} %)"
    if done > 0 and elapsed > 0:
        rate = done / elapsed
        text += f", {rate:,.0f} samples/s"
        if done < total:
            text += f", {_duration((total - done) / rate)} left"
        else:
            text += f", {_duration(elapsed)}"
    else:
        text += f", {_duration(elapsed)} elapsed"
    return text


class ProgressLine:
    """The progress line on `stream`: rewritten in place on a terminal,
    appended every few seconds elsewhere (when asked for)."""

    def __init__(self, stream: TextIO, terminal: bool, forced: bool) -> None:
        self._stream = stream
        self._terminal = terminal
        self._delay = 0.0 if forced else TERMINAL_DELAY
        self._interval = TERMINAL_INTERVAL if terminal else LOG_INTERVAL
        self._last = -1e300
        self._width = 0
        self._shown = False

    def show(self, done: int, total: int, elapsed: float, final: bool = False) -> None:
        if elapsed < self._delay or (not final and elapsed - self._last < self._interval):
            return
        self._last = elapsed
        text = progress_text(done, total, elapsed)
        if self._terminal:
            self._stream.write("\r" + text.ljust(self._width))
            self._width = len(text)
        else:
            self._stream.write(text + "\n")
        self._stream.flush()
        self._shown = True

    def close(self) -> None:
        if self._shown and self._terminal:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()


class _State(Generic[T]):
    def __init__(self) -> None:
        self.done = 0
        self.total = 0
        self.result: T | None = None
        self.error: BaseException | None = None
        self.finished = threading.Event()
        self.cancel = threading.Event()


def run(job: Callable[[Callable[[int, int], None]], T], line: ProgressLine | None,
        grace: float = 0.5) -> T:
    """`job(report)` in a worker thread; returns its result or raises its
    exception.  KeyboardInterrupt reaches the caller within `grace` seconds
    of Ctrl-C; the worker then either stopped or is a daemon left running."""
    state: _State[T] = _State()

    def report(done: int, total: int) -> None:
        state.done, state.total = done, total
        if state.cancel.is_set():
            raise Cancelled

    def work() -> None:
        try:
            state.result = job(report)
        except BaseException as e:  # handed to the main thread
            state.error = e
        finally:
            state.finished.set()

    worker = threading.Thread(target=work, name="kestrovane-select", daemon=True)
    start = time.monotonic()
    worker.start()
    try:
        while not state.finished.wait(TERMINAL_INTERVAL / 2):
            if line is not None:
                line.show(state.done, state.total, time.monotonic() - start)
    except KeyboardInterrupt:
        state.cancel.set()
        stopped = state.finished.wait(grace)
        if line is not None:
            line.close()
        if not stopped:
            raise Abandoned from None
        raise
    if line is not None:
        if state.error is None:
            line.show(state.total, state.total, time.monotonic() - start, final=True)
        line.close()
    if state.error is not None:
        raise state.error
    return cast(T, state.result)

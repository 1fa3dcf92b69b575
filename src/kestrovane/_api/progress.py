"""Progress display of long calls: the caller's callback, a tqdm bar, or a
plain line on stderr when tqdm is not installed; and the command line's
line (`command_line_progress`).

Ctrl-C needs nothing here: the native engine takes the interpreter lock
back every few milliseconds of sampling to run signal handlers, so
KeyboardInterrupt ends the call promptly in the thread that made it.
"""

from __future__ import annotations

import importlib
import math
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, TextIO

if TYPE_CHECKING:  # at run time native imports the declarations, which import this
    from kestrovane._api.native import Report

#: The `progress` argument: None (a bar on a terminal for calls that run
#: over about a second), False, True, or a callable taking
#: (samples_done, n_samples).
Progress = bool | Callable[[int, int], object] | None

#: What a line says: (samples_done, n_samples, seconds elapsed) -> text.
LineText = Callable[[int, int, float], str]

# A bar or line shown by default (on a terminal) appears only once the call
# has run this long.
AUTO_DELAY = 1.0
# A line rewritten in place is rewritten at most this often; a line appended
# to a log file is written at most this often.
LINE_INTERVAL = 0.2
LOG_INTERVAL = 5.0


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


def _duration(seconds: float) -> str:
    s = int(round(seconds))
    if s < 60:
        return f"{seconds:.1f} s" if seconds < 10 else f"{s} s"
    if s < 3600:
        return f"{s // 60} min {s % 60:02d} s"
    return f"{s // 3600} h {s % 3600 // 60:02d} min"


def _share(done: int, total: int) -> str:
    return f"{100.0 * done / total if total else 100.0:3.0f} %"


def progress_text(done: int, total: int, elapsed: float) -> str:
    """The command line's line: `sampling: done/total samples (pct %), rate
    samples/s, time left` (or the time taken, once done)."""
    text = f"sampling: {done:,}/{total:,} samples ({_share(done, total)})"
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


def plain_text(desc: str) -> LineText:
    """The public functions' line without tqdm: `desc: done/total samples (pct %), elapsed s`."""
    def text(done: int, total: int, elapsed: float) -> str:
        return f"{desc}: {done}/{total} samples ({_share(done, total)}), {elapsed:.1f} s"
    return text


class ProgressLine:
    """A progress callable that writes one line to `stream`, once the call
    has run `delay` seconds; the last report (done == total) is always shown.

    In place (a terminal) the line is rewritten at most every
    `LINE_INTERVAL`, and at `close` either kept (ended by a newline) or
    wiped.  Otherwise (a log file) a new line is appended at most every
    `LOG_INTERVAL`.
    """

    def __init__(self, stream: TextIO, text: LineText, *, delay: float, in_place: bool = True,
                 keep: bool = True) -> None:
        self._stream = stream
        self._text = text
        self._delay = delay
        self._in_place = in_place
        self._keep = keep
        self._interval = LINE_INTERVAL if in_place else LOG_INTERVAL
        self._start = time.monotonic()
        self._last = -math.inf
        self._width = 0
        self._shown = False

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if now - self._start < self._delay:
            return
        if done < total and now - self._last < self._interval:
            return
        self._last = now
        text = self._text(done, total, now - self._start)
        if self._in_place:
            self._stream.write("\r" + text.ljust(self._width))
            self._width = len(text)
        else:
            self._stream.write(text + "\n")
        self._stream.flush()
        self._shown = True

    def close(self) -> None:
        if self._shown and self._in_place:
            self._stream.write("\n" if self._keep else "\r" + " " * self._width + "\r")
            self._stream.flush()


def command_line_progress(stream: TextIO | None, forced: bool) -> ProgressLine | None:
    """The command line's progress on `stream` (its stderr): on a terminal, a
    line rewritten in place once a run has taken `AUTO_DELAY`, wiped when it
    ends; `forced` (--progress) shows it at once, and on a stream that is no
    terminal as a line appended every `LOG_INTERVAL`.  None: nothing shown."""
    terminal = _is_terminal(stream)
    if stream is None or not (terminal or forced):
        return None
    return ProgressLine(stream, progress_text, delay=0.0 if forced else AUTO_DELAY,
                        in_place=terminal, keep=False)


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


def _bar(total: int, delay: float, desc: str) -> _TqdmBar | ProgressLine | None:
    stream = sys.stderr
    if stream is None:
        return None
    try:
        tqdm = importlib.import_module("tqdm")
    except ImportError:
        return ProgressLine(stream, plain_text(desc), delay=delay)
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

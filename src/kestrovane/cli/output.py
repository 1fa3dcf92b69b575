"""Output files: checked before any work, written whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager


class OutputPathError(ValueError):
    """An output path that cannot be written, found before the run."""


def _special(real: str) -> bool:
    """An existing target that is not a regular file (/dev/null, a FIFO, a
    terminal): written in place, never replaced by a rename."""
    return os.path.exists(real) and not os.path.isfile(real)


def check_writable(path: str, option: str) -> None:
    """Fails at once when `path` cannot receive a file: a missing or
    read-only directory, or a directory in its place.  A probe file is
    created and removed in the directory, which also catches read-only file
    systems and access rules that permission bits do not show."""
    if not path:
        raise OutputPathError(f"{option}: empty file name")
    real = os.path.realpath(path)  # through symbolic links: the file written
    if os.path.isdir(real):
        raise OutputPathError(f"{option} {path}: is a directory")
    if _special(real):
        if not os.access(real, os.W_OK):
            raise OutputPathError(f"{option} {path}: not writable")
        return
    shown = os.path.dirname(path) or "."
    directory = os.path.dirname(real)
    if not os.path.isdir(directory):
        raise OutputPathError(f"{option} {path}: no such directory {shown!r}")
    try:
        fd, probe = tempfile.mkstemp(dir=directory, prefix=".kestrovane-probe-")
    except OSError as e:
        raise OutputPathError(f"{option} {path}: cannot write to {shown!r} "
                              f"({e.strerror or e})") from None
    os.close(fd)
    os.unlink(probe)


def _new_mode(real: str) -> int:
    """The mode of the file replaced, else what the umask gives a new file."""
    try:
        return os.stat(real).st_mode & 0o7777
    except OSError:
        mask = os.umask(0o022)
        os.umask(mask)
        return 0o666 & ~mask


@contextmanager
def atomic_path(path: str) -> Iterator[str]:
    """A temporary path beside `path`; renamed onto `path` when the block
    ends without an exception, removed otherwise, so that `path` never holds
    a partial file.  A symbolic link is followed (the link stays); a target
    that is not a regular file is handed out as it is."""
    real = os.path.realpath(path)
    if _special(real):
        yield real
        return
    base, ext = os.path.splitext(os.path.basename(real))
    fd, temp = tempfile.mkstemp(dir=os.path.dirname(real), prefix=f".{base}.",
                                suffix=f".tmp{ext}")
    os.close(fd)
    try:
        yield temp
        os.chmod(temp, _new_mode(real))  # mkstemp's file is private
        os.replace(temp, real)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise

"""Output files: checked before any work, written whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager


class OutputPathError(ValueError):
    """An output path that cannot be written, found before the run."""


def check_writable(path: str, option: str) -> None:
    """Fails at once when `path` cannot receive a file: a missing or
    read-only directory, or a directory in its place.  A probe file is
    created and removed in the directory, which also catches read-only file
    systems and access rules that permission bits do not show."""
    if not path:
        raise OutputPathError(f"{option}: empty file name")
    if os.path.isdir(path):
        raise OutputPathError(f"{option} {path}: is a directory")
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise OutputPathError(f"{option} {path}: no such directory {directory!r}")
    try:
        fd, probe = tempfile.mkstemp(dir=directory, prefix=".kestrovane-probe-")
    except OSError as e:
        raise OutputPathError(f"{option} {path}: cannot write to {directory!r} "
                              f"({e.strerror or e})") from None
    os.close(fd)
    os.unlink(probe)


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextmanager
def atomic_path(path: str) -> Iterator[str]:
    """A temporary path beside `path`; renamed onto `path` when the block
    ends without an exception, removed otherwise, so that `path` never holds
    a partial file."""
    directory = os.path.dirname(path) or "."
    base, ext = os.path.splitext(os.path.basename(path))
    fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{base}.", suffix=f".tmp{ext}")
    os.close(fd)
    try:
        yield temp
        os.chmod(temp, 0o666 & ~_umask())  # mkstemp's file is private
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


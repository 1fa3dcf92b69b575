"""Named whole states in a store: a scheduler's state per experiment, each
write replacing the last in one transaction.

A store may hold these beside a population; the table is its own, so a
population's tables and checks do not see it.
"""

from __future__ import annotations

import sqlite3
from time import time as wall_clock
from typing import Any

from kestrovane._version import __version__
from kestrovane.storage import schema
from kestrovane.storage.backend import Database, connect
from kestrovane.storage.errors import StoreError
from kestrovane.storage.url import StoreURL, parse

_TABLE = """CREATE TABLE IF NOT EXISTS kestrovane_states (
    name TEXT PRIMARY KEY,
    data {binary} NOT NULL,
    written {real} NOT NULL,
    writer TEXT NOT NULL)"""


class StateTable:
    """The states kept in the store named by `url`.  Connects at first use;
    every method is one transaction, and a database's failure is a
    `StoreError` whose message holds no password."""

    def __init__(self, url: str | StoreURL) -> None:
        self._url = parse(url) if isinstance(url, str) else url
        self._db: Database | None = None

    @property
    def url(self) -> str:
        """The store's URL without its password."""
        return self._url.shown

    def check(self) -> None:
        """Connects and makes the table, so that a wrong URL fails at once."""
        self._database()

    def read(self, name: str) -> bytes | None:
        """The state called `name`, None if there is none."""
        found = self._call(lambda db: db.rows("SELECT data FROM kestrovane_states WHERE name = ?",
                                              (name,)), write=False)
        return None if not found else bytes(found[0][0])

    def write(self, name: str, data: bytes) -> None:
        """Replaces the state called `name` by `data`."""
        self._call(lambda db: db.run(
            "INSERT INTO kestrovane_states (name, data, written, writer) VALUES (?, ?, ?, ?) "
            "ON CONFLICT (name) DO UPDATE SET data = excluded.data, "
            "written = excluded.written, writer = excluded.writer",
            (name, data, wall_clock(), __version__)))

    def rename(self, name: str, new_name: str) -> None:
        """Keeps the state `name` as `new_name` (which must be free)."""
        self._call(lambda db: db.run("UPDATE kestrovane_states SET name = ? WHERE name = ?",
                                     (new_name, name)))

    def names(self) -> list[str]:
        return [n for n, in self._call(
            lambda db: db.rows("SELECT name FROM kestrovane_states ORDER BY name"),
            write=False)]

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None

    def _database(self) -> Database:
        if self._db is None:
            db = connect(self._url, create=True)
            try:
                with db.write():
                    schema.lock_creation(db)
                    db.run(_TABLE.format(binary=db.binary, real=db.real))
            except Exception as exc:
                db.close()
                raise self._failure(exc) from None
            self._db = db
        return self._db

    def _call(self, action: Any, write: bool = True) -> Any:
        db = self._database()
        try:
            with db.write() if write else db.read():
                return action(db)
        except StoreError:
            raise
        except Exception as exc:
            if not _is_database_error(exc):
                raise
            raise self._failure(exc) from None

    def _failure(self, exc: BaseException) -> StoreError:
        if isinstance(exc, StoreError):
            return exc
        # The driver's message may quote the connection string.
        return StoreError(f"the store {self._url} failed: {type(exc).__name__}: "
                          f"{self._url.hide(str(exc)).strip()}")

    def __repr__(self) -> str:
        return f"StateTable({self._url.shown!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        # A pickle (Tune's tuner.pkl) may reach a file: no password in it.
        return (StateTable, (self._url.portable(),))


def _is_database_error(exc: BaseException) -> bool:
    if isinstance(exc, sqlite3.Error):
        return True
    try:
        import psycopg
    except ImportError:
        return False
    return isinstance(exc, psycopg.Error)

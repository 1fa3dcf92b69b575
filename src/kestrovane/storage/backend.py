"""The two databases behind a store: one connection, its transactions, and
SQL written once with ``?`` placeholders (psycopg's are ``%s``)."""

from __future__ import annotations

import os
import sqlite3
import threading
from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from typing import Any, Protocol

from kestrovane.storage.errors import StoreError
from kestrovane.storage.url import StoreURL

Row = tuple[Any, ...]
Params = Sequence[object]

#: How long a writer waits for another's transaction before giving up.
BUSY_SECONDS = 600.0


class Database(Protocol):
    """One connection of one process.  Statements run only inside `write`
    (one transaction that holds the store's write lock) or `read`."""

    url: StoreURL
    #: How the tables' types are spelled: "BLOB" or "BYTEA", ...
    binary: str
    real: str
    serial: str

    def write(self) -> AbstractContextManager[None]: ...

    def read(self) -> AbstractContextManager[None]: ...

    def rows(self, sql: str, params: Params = ()) -> list[Row]: ...

    def run(self, sql: str, params: Params = ()) -> None: ...

    def many(self, sql: str, params: Sequence[Params]) -> None: ...

    def close(self) -> None: ...


def connect(url: StoreURL, create: bool = True) -> Database:
    """A connection; without `create` a SQLite file must exist already."""
    return _SQLite(url, create) if url.kind == "sqlite" else _Postgres(url)


class _SQLite:
    binary, real, serial = "BLOB", "REAL", "INTEGER PRIMARY KEY"

    def __init__(self, url: StoreURL, create: bool) -> None:
        assert url.path is not None
        self.url = url
        if create:
            _create_private(url.path)
        elif not url.path.is_file():
            raise StoreError(f"there is no store {url}: no such file")
        try:
            # Autocommit: every transaction is begun and ended here.
            self._conn = sqlite3.connect(url.path, timeout=BUSY_SECONDS, isolation_level=None,
                                         check_same_thread=False)
            # WAL: readers do not wait for the writer; FULL: a commit is on disk.
            self._conn.execute("PRAGMA journal_mode=WAL")
            self._conn.execute("PRAGMA synchronous=FULL")
        except sqlite3.Error as exc:
            raise StoreError(f"cannot open the store {url}: {exc}") from None
        self._lock = threading.RLock()
        self._open = False

    @contextmanager
    def write(self) -> Iterator[None]:
        # IMMEDIATE takes the write lock first, so two writers never both
        # read and then fail to upgrade.
        with self._lock, self._transaction("BEGIN IMMEDIATE"):
            yield

    @contextmanager
    def read(self) -> Iterator[None]:
        with self._lock, self._transaction("BEGIN"):
            yield

    @contextmanager
    def _transaction(self, begin: str) -> Iterator[None]:
        if self._open:  # a read inside this thread's transaction (a policy's)
            yield
            return
        self._conn.execute(begin)
        self._open = True
        try:
            yield
        except BaseException:
            self._open = False
            self._conn.execute("ROLLBACK")
            raise
        self._open = False
        self._conn.execute("COMMIT")

    def rows(self, sql: str, params: Params = ()) -> list[Row]:
        return self._conn.execute(sql, params).fetchall()

    def run(self, sql: str, params: Params = ()) -> None:
        self._conn.execute(sql, params)

    def many(self, sql: str, params: Sequence[Params]) -> None:
        self._conn.executemany(sql, params)

    def close(self) -> None:
        self._conn.close()


def _create_private(path: os.PathLike[str] | str) -> None:
    """Creates the database file readable and writable by its user only;
    SQLite gives its -wal and -shm files the same permissions."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        return
    except OSError as exc:
        raise StoreError(f"cannot create the store file {path}: {exc.strerror}") from None
    try:
        os.fchmod(fd, 0o600)  # whatever the umask
    finally:
        os.close(fd)


class _Postgres:
    binary, real, serial = "BYTEA", "DOUBLE PRECISION", "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"

    def __init__(self, url: StoreURL) -> None:
        try:
            import psycopg
        except ImportError:
            raise StoreError("a PostgreSQL store needs psycopg 3: pip install "
                             "'kestrovane[postgres]'") from None
        self.url = url
        self._psycopg = psycopg
        self._conn = self._connect()
        self._lock = threading.RLock()
        self._depth = 0

    def _connect(self) -> Any:
        try:
            return self._psycopg.connect(self.url.secret, autocommit=True)
        except self._psycopg.Error as exc:
            # The driver's message may quote the connection string.
            hint = ("; a pickled store keeps no password: give it to this process in "
                    "PGPASSWORD or ~/.pgpass") if self.url.without_password else ""
            raise StoreError(f"cannot connect to the store {self.url}: "
                             f"{self.url.hide(str(exc)).strip()}{hint}") from None

    @contextmanager
    def write(self) -> Iterator[None]:
        # The store's write lock is the population row, taken by the first
        # statement of every write (an UPDATE of it); after it, no other
        # writer commits, so each statement sees what the one before saw.
        with self._lock, self._transaction():
            yield

    @contextmanager
    def read(self) -> Iterator[None]:
        # Several statements, one snapshot: writers may commit in between.
        with self._lock, self._transaction():
            if self._depth == 1:
                self._conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
            yield

    @contextmanager
    def _transaction(self) -> Iterator[None]:
        # One inside this thread's own (a policy's read) is a savepoint.
        if self._depth == 0 and self._conn.closed:
            # Lost (a server restart, a dropped link): the call that saw it
            # failed and its transaction is gone; this one starts afresh.
            self._conn = self._connect()
        self._depth += 1
        try:
            with self._conn.transaction():
                yield
        finally:
            self._depth -= 1

    def rows(self, sql: str, params: Params = ()) -> list[Row]:
        cur = self._conn.execute(_pg(sql), params)
        return cur.fetchall() if cur.description is not None else []

    def run(self, sql: str, params: Params = ()) -> None:
        self._conn.execute(_pg(sql), params)

    def many(self, sql: str, params: Sequence[Params]) -> None:
        with self._conn.cursor() as cur:
            cur.executemany(_pg(sql), params)

    def close(self) -> None:
        self._conn.close()


def _pg(sql: str) -> str:
    """Our SQL has no literal ``?`` or ``%``: only placeholders change."""
    return sql.replace("?", "%s")

"""The tables of a store, its format, and the population row every write
transaction starts by updating (the store's write lock).

One store holds one population.  Reports and decisions are kept, not only
the windows: a member's window is its reports from `window_from` on, which
each report moves so that it never holds more than `window` rows; the
rest is history for `kestrovane-pbt show`.  Every write transaction numbers
itself (`version`), and the rows it writes carry that number: the order in
which the changes were made.
"""

from __future__ import annotations

from typing import Final

from kestrovane.storage.backend import Database

#: The layout of the tables; a store of another format is refused.
FORMAT: Final = 1

_POPULATION: Final = """CREATE TABLE IF NOT EXISTS kestrovane_population (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    format INTEGER NOT NULL,
    writer TEXT NOT NULL,
    settings TEXT NOT NULL,
    policy TEXT NOT NULL,
    selections BIGINT NOT NULL,
    version BIGINT NOT NULL)"""

_TABLES: Final = (
    # A member as long as it stays; one that leaves and joins again is a new row.
    """CREATE TABLE IF NOT EXISTS kestrovane_members (
    row_id {serial},
    member TEXT NOT NULL,
    joined BIGINT NOT NULL,
    departed BIGINT,
    window_from BIGINT,
    last_step BIGINT)""",
    """CREATE UNIQUE INDEX IF NOT EXISTS kestrovane_current_members
    ON kestrovane_members (member) WHERE departed IS NULL""",
    # Scores as little-endian float64s, one per objective: exact.
    """CREATE TABLE IF NOT EXISTS kestrovane_reports (
    report_id {serial},
    row_id BIGINT NOT NULL,
    version BIGINT NOT NULL,
    step BIGINT NOT NULL,
    time {real} NOT NULL,
    scores {binary} NOT NULL)""",
    """CREATE INDEX IF NOT EXISTS kestrovane_windows ON kestrovane_reports (row_id, report_id)""",
    """CREATE TABLE IF NOT EXISTS kestrovane_decisions (
    version BIGINT PRIMARY KEY,
    row_id BIGINT NOT NULL,
    number BIGINT,
    action TEXT NOT NULL,
    source TEXT,
    upper INTEGER NOT NULL,
    committed INTEGER NOT NULL,
    sources TEXT,
    time {real} NOT NULL)""",
    """CREATE TABLE IF NOT EXISTS kestrovane_dry_runs (
    row_id BIGINT NOT NULL,
    flags {binary} NOT NULL,
    number BIGINT NOT NULL,
    PRIMARY KEY (row_id, flags))""",
    # Joins, departures and restarts, for the order of changes.
    """CREATE TABLE IF NOT EXISTS kestrovane_events (
    version BIGINT PRIMARY KEY,
    kind TEXT NOT NULL,
    row_id BIGINT NOT NULL)""",
)


def create_tables(db: Database) -> None:
    """The tables, inside the caller's write transaction."""
    for sql in _TABLES:
        db.run(sql.format(serial=db.serial, real=db.real, binary=db.binary))


def create_population_table(db: Database) -> None:
    lock_creation(db)
    db.run(_POPULATION)


def lock_creation(db: Database) -> None:
    """Inside a write transaction that may create tables."""
    if db.binary == "BYTEA":
        # Two processes creating tables at once collide in PostgreSQL's
        # catalogue; this lock (held to the end of the transaction) orders them.
        db.run("SELECT pg_advisory_xact_lock(?)", (_CREATION_LOCK,))


#: A constant key of PostgreSQL's advisory locks: "kestrov" in ASCII.
_CREATION_LOCK: Final = 0x6B657374726F76


def begin_write(db: Database) -> tuple[int, int]:
    """Takes the store's write lock: numbers this transaction; returns its
    number and the decision counter."""
    row = db.rows("UPDATE kestrovane_population SET version = version + 1 WHERE id = 1 "
                  "RETURNING version, selections")
    version, selections = row[0]
    return int(version), int(selections)

"""`StoredPopulation`: `Population`'s methods over a store shared by processes."""

from __future__ import annotations

import json
import os
import threading
from collections.abc import Collection, Hashable, Iterator, Sequence
from contextlib import contextmanager
from time import time as wall_clock
from typing import Any, Generic, TypeVar

import numpy as np
from numpy.typing import NDArray

from kestrovane import FrontChances
from kestrovane._version import __version__
from kestrovane.pbt import Decision, Policy, Population, Scores
from kestrovane.storage import schema, settings
from kestrovane.storage.backend import Database, connect
from kestrovane.storage.errors import StoreError
from kestrovane.storage.history import Change, changes
from kestrovane.storage.state import Loaded, member_key, packed, population, window_rows
from kestrovane.storage.url import StoreURL, parse

IdT = TypeVar("IdT", bound=str | int)


class StoredPopulation(Generic[IdT]):
    """A `Population` whose state lives in a store that worker processes,
    and with PostgreSQL several hosts, share.

    `url` names the store: ``sqlite:///pbt.db`` (a file, made readable by
    its user only) or ``postgresql://user@host/database``.  An empty store
    gets a population with these settings; a store that holds one resumes
    it, and every setting given must be the stored one (`seed` None takes
    the stored seed), else `StoreMismatch` names the first that differs.
    `StoredPopulation.open(url)` resumes with the stored settings.  The
    `policy` is not stored: every worker passes the same one (a shipped
    policy is compared with its settings, one's own by its name).

    Member ids are str or int.  Every method is one transaction: a change is
    written whole or not at all, whichever process is killed when.  A
    decision reads every window, asks `Population.decide` on them and writes
    its outcome in the same transaction, so the same reports and decisions
    in the same order decide as an in-memory `Population` does.
    """

    def __init__(self, url: str, objectives: Sequence[str], *, maximize: Any = None,
                 window: int = 8, min_reports: int = 2, percentile: float = 0.2,
                 seed: int | None = 0, policy: Policy | None = None) -> None:
        given, chosen = settings.checked(objectives, maximize, window, min_reports,
                                         percentile, seed, policy)
        self._setup(parse(url), chosen, given, seed_given=seed is not None)

    @classmethod
    def open(cls, url: str, *, policy: Policy | None = None) -> StoredPopulation[Any]:
        """The population a store holds, with its settings.  Without `policy`
        it decides with the stored one if that is a shipped policy with its
        defaults (else `decide` raises until the policy is given)."""
        self: StoredPopulation[Any] = cls.__new__(cls)
        self._setup(parse(url), policy, None, seed_given=False)
        return self

    def _setup(self, url: StoreURL, policy: Policy | None, given: settings.Settings | None,
               seed_given: bool) -> None:
        self._url = url
        self._pid = os.getpid()
        self._db: Database = connect(url, create=given is not None)
        self._deciding: int | None = None
        with self._db.write():
            schema.create_population_table(self._db)
            found = self._db.rows("SELECT format, writer, settings, policy "
                                  "FROM kestrovane_population WHERE id = 1")
            if not found:
                if given is None:
                    raise StoreError(f"the store {url} holds no population; create one with "
                                     "StoredPopulation(url, objectives, ...)")
                assert policy is not None
                schema.create_tables(self._db)
                self._db.run("INSERT INTO kestrovane_population (id, format, writer, settings, "
                             "policy, selections, version) VALUES (1, ?, ?, ?, ?, 0, 0)",
                             (schema.FORMAT, __version__, given.text(),
                              settings.policy_text(policy)))
                self._settings, self._policy = given, policy
                return
        fmt, writer, text, policy_text = found[0]
        if fmt != schema.FORMAT:
            raise StoreError(f"the store {url} was written by kestrovane {writer} in store "
                             f"format {fmt}; this kestrovane ({__version__}) reads format "
                             f"{schema.FORMAT}")
        stored = settings.read(text, str(url))
        if given is not None:
            settings.compare(stored, given, str(url), seed_given=seed_given)
        if policy is not None:
            settings.compare_policy(policy_text, policy, str(url))
        self._settings = stored
        self._policy = settings.stored_policy(policy_text) if policy is None else policy

    # -- settings ---------------------------------------------------------------

    @property
    def url(self) -> str:
        """The store's URL without its password."""
        return self._url.shown

    @property
    def objectives(self) -> tuple[str, ...]:
        return self._settings.objectives

    @property
    def maximize(self) -> tuple[bool, ...]:
        return self._settings.maximize

    @property
    def window(self) -> int:
        return self._settings.window

    @property
    def min_reports(self) -> int:
        return self._settings.min_reports

    @property
    def percentile(self) -> float:
        return self._settings.percentile

    @property
    def seed(self) -> int:
        return self._settings.seed

    @property
    def policy(self) -> Policy:
        return self._policy

    # -- members ----------------------------------------------------------------

    @property
    def members(self) -> tuple[IdT, ...]:
        """The current members, in the order they joined."""
        with self._reading():
            rows = self._db.rows("SELECT member FROM kestrovane_members "
                                 "WHERE departed IS NULL ORDER BY row_id")
        return tuple(json.loads(key) for key, in rows)

    def __len__(self) -> int:
        return len(self.members)

    def __contains__(self, member_id: object) -> bool:
        try:
            key = member_key(member_id)
        except TypeError:
            return False
        with self._reading():
            return self._current(key) is not None

    def join(self, member_id: IdT) -> None:
        """Add a member without evaluations; nothing changes if it is already one."""
        key = member_key(member_id)
        with self._writing("join") as (version, _):
            if self._current(key) is None:
                self._event(version, "join", self._insert_member(key, version))

    def leave(self, member_id: IdT) -> None:
        """Remove a member; its reports stay in the store's history."""
        key = member_key(member_id)
        with self._writing("leave") as (version, _):
            row_id = self._member(key, member_id)[0]
            self._db.run("UPDATE kestrovane_members SET departed = ? WHERE row_id = ?",
                         (version, row_id))
            self._db.run("DELETE FROM kestrovane_dry_runs")
            self._event(version, "leave", row_id)

    def restart(self, member_id: IdT) -> None:
        """Forget a member's evaluations, e.g. after it was changed outside `decide`."""
        key = member_key(member_id)
        with self._writing("restart") as (version, _):
            row_id = self._member(key, member_id)[0]
            self._restart(row_id)
            self._event(version, "restart", row_id)

    def reports(self, member_id: IdT) -> int:
        """The number of evaluations in the member's window."""
        return len(self._window(member_id))

    def evaluations(self, member_id: IdT) -> NDArray[np.float64]:
        """The member's window, oldest first, as a (reports, objectives) array."""
        rows = self._window(member_id)
        return np.array([r[3] for r in rows], dtype=np.float64).reshape(
            len(rows), len(self.objectives))

    def steps(self, member_id: IdT) -> NDArray[np.int64]:
        return np.array([r[1] for r in self._window(member_id)], dtype=np.int64)

    def times(self, member_id: IdT) -> NDArray[np.float64]:
        return np.array([r[2] for r in self._window(member_id)], dtype=np.float64)

    def snapshot(self) -> Population[IdT]:
        """An in-memory `Population` with the store's current state: it decides
        as the store would, but nothing done to it reaches the store."""
        with self._reading():
            return self._loaded_population(None)[0]

    def history(self) -> list[Change]:
        """Every change the store kept (reports and decisions included), in
        the order they were made."""
        with self._reading():
            return changes(self._db, len(self.objectives))

    def front_chances(self, **options: Any) -> FrontChances[IdT]:
        """`Population.front_chances` of the current state."""
        return self.snapshot().front_chances(**options)

    # -- reports and decisions --------------------------------------------------

    def report(self, member_id: IdT, scores: Scores, *, step: int | None = None,
               time: float | None = None) -> None:
        """Record one evaluation, as `Population.report` does; a new id joins."""
        key = member_key(member_id)
        when = wall_clock() if time is None else time
        with self._writing("report") as (version, _):
            found = self._current(key)
            if found is None:
                row_id, window_from, last = self._insert_member(key, version), None, None
            else:
                row_id, window_from, last = found
            rows = window_rows(self._db, row_id, window_from, len(self.objectives))
            # The member alone, as Population has it: its checks, its defaults.
            pop = population(self._settings, self._policy, {member_id: rows},
                             {} if last is None else {member_id: last})
            pop.report(member_id, scores, step=step, time=when)
            new_step = int(pop.steps(member_id)[-1])
            new = self._db.rows(
                "INSERT INTO kestrovane_reports (row_id, version, step, time, scores) "
                "VALUES (?, ?, ?, ?, ?) RETURNING report_id",
                (row_id, version, new_step, float(pop.times(member_id)[-1]),
                 packed(pop.evaluations(member_id)[-1].tolist())))[0][0]
            ids = [r[0] for r in rows] + [int(new)]
            self._db.run("UPDATE kestrovane_members SET window_from = ?, last_step = ? "
                         "WHERE row_id = ?", (ids[-self.window:][0], new_step, row_id))
            self._db.run("DELETE FROM kestrovane_dry_runs")

    def decide(self, member_id: IdT, *, sources: Collection[IdT] | None = None,
               commit: bool = True) -> Decision[IdT]:
        """`Population.decide` on the store's state, its outcome written in the
        same transaction (the counter, dry runs, a replaced member's restart)."""
        member_key(member_id)
        with self._writing("decide") as (version, selections):
            pop, loaded = self._loaded_population(selections)
            self._deciding = threading.get_ident()
            try:
                decision = pop.decide(member_id, sources=sources, commit=commit)
            finally:
                self._deciding = None
            after = pop.__getstate__()
            advanced = after["_selections"] != selections
            if advanced:
                self._db.run("UPDATE kestrovane_population SET selections = ? WHERE id = 1",
                             (after["_selections"],))
            if after["_dry_runs"] != loaded.dry_runs:
                self._db.run("DELETE FROM kestrovane_dry_runs")
                self._db.many("INSERT INTO kestrovane_dry_runs (row_id, flags, number) "
                              "VALUES (?, ?, ?)",
                              [(loaded.rows[m], flags, n)
                               for (m, flags), n in after["_dry_runs"].items()])
            row_id = loaded.rows[member_id]  # a member: Population.decide checked
            if decision.action == "replace" and commit:
                self._restart(row_id)
            self._db.run(
                "INSERT INTO kestrovane_decisions (version, row_id, number, action, source, "
                "upper, committed, sources, time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (version, row_id, selections if advanced else None, decision.action,
                 None if decision.source is None else member_key(decision.source),
                 int(decision.upper), int(commit), _sources_text(sources), wall_clock()))
        return decision

    # -- internals --------------------------------------------------------------

    @property
    def _database(self) -> Database:
        # A forked child must not share its parent's connection.
        if os.getpid() != self._pid:
            self._db, self._pid = connect(self._url), os.getpid()
        return self._db

    @contextmanager
    def _writing(self, change: str) -> Iterator[tuple[int, int]]:
        """One write transaction; yields its number and the decision counter.  A policy deciding in this
        thread holds it already: a change from inside it raises, as in
        Population."""
        if self._deciding == threading.get_ident():
            raise RuntimeError(f"StoredPopulation.{change} was called from inside the decision "
                               "of its policy; a policy must not change the population it "
                               "decides for")
        db = self._database
        with db.write():
            yield schema.begin_write(db)

    @contextmanager
    def _reading(self) -> Iterator[None]:
        with self._database.read():
            yield

    def _loaded_population(self, selections: int | None) -> tuple[Population[Any], Loaded]:
        """The store's state in memory; `selections` is the counter when the
        write transaction read it already."""
        if selections is None:
            selections = int(self._db.rows(
                "SELECT selections FROM kestrovane_population WHERE id = 1")[0][0])
        loaded = Loaded(self._db, len(self.objectives))
        return population(self._settings, self._policy, loaded.windows, loaded.last_steps,
                          selections, loaded.dry_runs), loaded

    def _current(self, key: str) -> tuple[int, int | None, int | None] | None:
        found = self._db.rows("SELECT row_id, window_from, last_step FROM kestrovane_members "
                              "WHERE member = ? AND departed IS NULL", (key,))
        if not found:
            return None
        row_id, window_from, last = found[0]
        return (int(row_id), None if window_from is None else int(window_from),
                None if last is None else int(last))

    def _member(self, key: str, member_id: object) -> tuple[int, int | None, int | None]:
        found = self._current(key)
        if found is None:
            raise KeyError(f"{member_id!r} is not a member of the population")
        return found

    def _window(self, member_id: object) -> list[tuple[int, int, float, tuple[float, ...]]]:
        key = member_key(member_id)
        with self._reading():
            row_id, window_from, _ = self._member(key, member_id)
            return window_rows(self._db, row_id, window_from, len(self.objectives))

    def _insert_member(self, key: str, version: int) -> int:
        return int(self._db.rows("INSERT INTO kestrovane_members (member, joined) VALUES (?, ?) "
                                 "RETURNING row_id", (key, version))[0][0])

    def _restart(self, row_id: int) -> None:
        self._db.run("UPDATE kestrovane_members SET window_from = NULL WHERE row_id = ?",
                     (row_id,))
        self._db.run("DELETE FROM kestrovane_dry_runs")

    def _event(self, version: int, kind: str, row_id: int) -> None:
        self._db.run("INSERT INTO kestrovane_events (version, kind, row_id) VALUES (?, ?, ?)",
                     (version, kind, row_id))

    def close(self) -> None:
        """Closes this process's connection to the store."""
        self._db.close()

    def __repr__(self) -> str:
        return (f"StoredPopulation({self._url.shown!r}, objectives={self.objectives!r}, "
                f"window={self.window}, min_reports={self.min_reports})")

    def __reduce__(self) -> tuple[Any, ...]:
        # A copy in another process opens its own connection.  The pickle
        # carries no password: the copy's libpq finds it in PGPASSWORD or
        # ~/.pgpass.
        return (_reopened, (self._url.portable(), self._policy))


def _reopened(url: StoreURL, policy: Policy) -> StoredPopulation[Any]:
    self: StoredPopulation[Any] = StoredPopulation.__new__(StoredPopulation)
    self._setup(url, policy, None, seed_given=False)
    return self


def _sources_text(sources: Collection[Hashable] | None) -> str | None:
    if sources is None:
        return None
    return json.dumps(sorted(json.dumps(s) for s in sources
                             if isinstance(s, (str, int)) and not isinstance(s, bool)))

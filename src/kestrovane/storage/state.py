"""Rows of a store as the state of an in-memory `Population` (the state it
pickles, checked by its `__setstate__`), so that the stored population
decides with `Population`'s own code."""

from __future__ import annotations

import json
import struct
from collections import deque
from collections.abc import Hashable, Sequence
from typing import Any

from kestrovane.pbt import Policy, Population
from kestrovane.storage.backend import Database
from kestrovane.storage.settings import Settings


def member_key(member_id: object) -> str:
    """A member id as stored: JSON of a str or an int, so that 1 and "1"
    stay two members."""
    if isinstance(member_id, str) or (isinstance(member_id, int)
                                      and not isinstance(member_id, bool)):
        return json.dumps(member_id)
    raise TypeError(f"a stored member id is a str or an int; got {member_id!r}")


def member_id(key: str) -> Any:
    return json.loads(key)


def packed(row: Sequence[float]) -> bytes:
    return struct.pack(f"<{len(row)}d", *row)


def unpacked(data: bytes, m: int) -> tuple[float, ...]:
    return struct.unpack(f"<{m}d", bytes(data))


#: A member's window: report id, step, time and scores of each report, oldest first.
Window = list[tuple[int, int, float, tuple[float, ...]]]


def window_rows(db: Database, row_id: int, window_from: int | None, m: int) -> Window:
    if window_from is None:
        return []
    return [(int(r), int(s), float(t), unpacked(b, m)) for r, s, t, b in db.rows(
        "SELECT report_id, step, time, scores FROM kestrovane_reports "
        "WHERE row_id = ? AND report_id >= ? ORDER BY report_id", (row_id, window_from))]


def population(settings: Settings, policy: Policy, windows: dict[Hashable, Window],
               last_steps: dict[Hashable, int], selections: int = 0,
               dry_runs: dict[tuple[Hashable, bytes], int] | None = None) -> Population[Any]:
    """An in-memory population with this state, checked as a pickle's would be."""
    w = settings.window
    state = {
        "_objectives": settings.objectives, "_maximize": settings.maximize, "_window": w,
        "_min_reports": settings.min_reports, "_percentile": settings.percentile,
        "_seed": settings.seed, "_policy": policy, "_selections": selections,
        "_evaluations": {m: deque((r[3] for r in rows), maxlen=w) for m, rows in windows.items()},
        "_stamps": {m: deque(((r[1], r[2]) for r in rows), maxlen=w)
                    for m, rows in windows.items()},
        "_last_steps": last_steps, "_dry_runs": dict(dry_runs or {})}
    pop: Population[Any] = Population.__new__(Population)
    pop.__setstate__(state)
    return pop


class Loaded:
    """Every current member of a store, in join order, with its window."""

    def __init__(self, db: Database, m: int) -> None:
        members = db.rows("SELECT row_id, member, last_step FROM kestrovane_members "
                          "WHERE departed IS NULL ORDER BY row_id")
        self.rows: dict[Hashable, int] = {}
        self.ids: dict[int, Hashable] = {}
        self.windows: dict[Hashable, Window] = {}
        self.last_steps: dict[Hashable, int] = {}
        for row_id, key, last in members:
            member = member_id(key)
            self.rows[member], self.ids[int(row_id)] = int(row_id), member
            self.windows[member] = []
            if last is not None:
                self.last_steps[member] = int(last)
        for row_id, report_id, step, time, scores in db.rows(
                "SELECT r.row_id, r.report_id, r.step, r.time, r.scores "
                "FROM kestrovane_reports r JOIN kestrovane_members m ON m.row_id = r.row_id "
                "WHERE m.departed IS NULL AND r.report_id >= m.window_from "
                "ORDER BY r.row_id, r.report_id"):
            self.windows[self.ids[int(row_id)]].append(
                (int(report_id), int(step), float(time), unpacked(scores, m)))
        self.dry_runs = {(self.ids[int(r)], bytes(f)): int(n) for r, f, n in db.rows(
            "SELECT row_id, flags, number FROM kestrovane_dry_runs")}

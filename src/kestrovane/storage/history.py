"""Every change a store kept, in the order it was made: for replaying a run
into an in-memory `Population` and for `kestrovane-pbt show`."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Literal

from kestrovane.storage.backend import Database
from kestrovane.storage.state import member_id, unpacked

Kind = Literal["join", "leave", "restart", "report", "decide"]


@dataclass(frozen=True)
class Change:
    """One change.  A report has `step`, `time` and `scores`; a decision its
    `action`, `source`, `upper`, `commit`, `sources` (None: anyone), `time`
    and `number`, that of the seed it took from the counter (None when it
    took none: too few reports, or a repeated dry run); the others only the
    member."""

    version: int
    kind: Kind
    member: Any
    step: int | None = None
    time: float | None = None
    scores: tuple[float, ...] | None = None
    action: str | None = None
    source: Any = None
    upper: bool = False
    commit: bool = True
    sources: frozenset[Any] | None = None
    number: int | None = None


def changes(db: Database, m: int) -> list[Change]:
    """Inside the caller's read transaction."""
    ids = {int(r): member_id(k) for r, k in db.rows(
        "SELECT row_id, member FROM kestrovane_members")}
    out = [Change(int(v), k, ids[int(r)]) for v, k, r in db.rows(
        "SELECT version, kind, row_id FROM kestrovane_events")]
    out += [Change(int(v), "report", ids[int(r)], int(s), float(t), unpacked(b, m))
            for v, r, s, t, b in db.rows(
                "SELECT version, row_id, step, time, scores FROM kestrovane_reports")]
    out += [Change(int(v), "decide", ids[int(r)], time=float(t), action=a,
                   source=None if s is None else member_id(s), upper=bool(u), commit=bool(c),
                   sources=None if ss is None else frozenset(member_id(x)
                                                             for x in json.loads(ss)),
                   number=None if n is None else int(n))
            for v, r, a, s, u, c, ss, t, n in db.rows(
                "SELECT version, row_id, action, source, upper, committed, sources, time, "
                "number FROM kestrovane_decisions")]
    out.sort(key=lambda c: c.version)  # one change per transaction
    return out

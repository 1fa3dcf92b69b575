"""Stores for the storage tests, the workers they run in other processes,
and the replay of a store's history into an in-memory Population."""

from __future__ import annotations

import os
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from kestrovane.pbt import MonteCarloRule, Population
from kestrovane.storage import StoredPopulation

#: A PostgreSQL database the tests may create schemas in (make test-storage
#: starts a throwaway server and sets it); without it only SQLite is tested.
POSTGRES = os.environ.get("KESTROVANE_TEST_POSTGRES")


def fresh_url(kind: str, tmp_path: Path) -> str:
    """An empty store: a new SQLite file, or a new PostgreSQL schema."""
    if kind == "sqlite":
        return f"sqlite:///{tmp_path / 'pbt.db'}"
    import psycopg

    assert POSTGRES
    schema = f"t_{uuid.uuid4().hex[:12]}"
    with psycopg.connect(POSTGRES, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    sep = "&" if "?" in POSTGRES else "?"
    return f"{POSTGRES}{sep}options=-csearch_path%3D{schema}"


def replay_mismatches(stored: StoredPopulation[Any]) -> tuple[int, list[str]]:
    """Replays the store's history into a new in-memory Population with its
    settings: the number of decisions replayed and those that came out
    otherwise than the store's."""
    pop = Population[Any](stored.objectives, maximize=stored.maximize, window=stored.window,
                          min_reports=stored.min_reports, percentile=stored.percentile,
                          seed=stored.seed, policy=stored.policy)
    decided, wrong = 0, []
    for c in stored.history():
        if c.kind == "report":
            pop.report(c.member, c.scores, step=c.step, time=c.time)
        elif c.kind == "decide":
            d = pop.decide(c.member, sources=c.sources, commit=c.commit)
            decided += 1
            if (d.action, d.source, d.upper) != (c.action, c.source, c.upper):
                wrong.append(f"version {c.version}: {c} but in memory {d}")
        else:
            getattr(pop, c.kind)(c.member)
    assert pop.__getstate__()["_selections"] == stored.snapshot().__getstate__()["_selections"]
    return decided, wrong


def work(url: str, name: str, n: int, seed: int) -> int:
    """One worker: `n` reports of member `name`, each followed by a decision."""
    pop = StoredPopulation.open(url)
    rng = np.random.default_rng(seed)
    level = np.full(2, float(seed))  # apart: the worse members are soon replaced
    for _ in range(n):
        pop.report(name, (level + rng.normal(scale=0.5, size=2)).tolist())
        if pop.decide(name).action == "replace":
            level = level * 0.5
    pop.close()
    return n


@dataclass(frozen=True)
class Stalling:
    """MonteCarloRule, but while `trigger` exists a decision says so in
    `marker` and waits, holding its transaction open, to be killed."""

    trigger: str
    marker: str

    def __call__(self, evidence: Any, /) -> Any:
        if os.path.exists(self.trigger):
            Path(self.marker).write_text(str(os.getpid()))
            time.sleep(600)
        return MonteCarloRule()(evidence)


def stall(url: str, policy: Stalling) -> None:
    pop = StoredPopulation.open(url, policy=policy)
    pop.report("killed", [0.0, 0.0])
    pop.report("killed", [0.1, 0.1])
    pop.decide("killed")

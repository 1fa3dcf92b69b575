"""The kept runs: one JSON line per run, keyed by its settings and method.

A record holds what the run produced (final validation and test scores of
every member, configurations, exploits, steps trained) and how long it took.
Records of other code (another digest of the benchmark's sources or another
package version) are not reused.  Every finished run is appended at once, so
an interrupted benchmark keeps what it finished.
"""

from __future__ import annotations

import hashlib
import json
from pathlib import Path
from typing import Any

import kestrovane

HERE = Path(__file__).resolve().parent
STORE = HERE / "results.jsonl"
SOURCES = ("network.py", "tasks.py", "methods.py", "run.py")
RAY_SOURCES = SOURCES + ("ray_check.py",)
#: Fields that measure the machine, not the result: left out of the check.
TIMINGS = ("seconds", "decide_seconds")


def code_digest(sources: tuple[str, ...] = SOURCES) -> str:
    h = hashlib.sha256(kestrovane.__version__.encode())
    for name in sources:
        h.update((HERE / name).read_bytes())
    return h.hexdigest()[:16]


def load(path: Path = STORE, sources: tuple[str, ...] = SOURCES
         ) -> dict[str, dict[str, Any]]:
    """The records of this code, by key."""
    if not path.exists():
        return {}
    code = code_digest(sources)
    out = {}
    for line in path.read_text().splitlines():
        if line.strip():
            record = json.loads(line)
            if record.get("code") == code:
                out[record["key"]] = record
    return out


def append(record: dict[str, Any], path: Path = STORE,
           sources: tuple[str, ...] = SOURCES) -> None:
    with path.open("a") as f:
        f.write(json.dumps({**record, "code": code_digest(sources)}) + "\n")


def same_result(a: dict[str, Any], b: dict[str, Any]) -> list[str]:
    """The fields in which two records of one run differ (timings aside)."""
    keys = (set(a) | set(b)) - set(TIMINGS) - {"code"}
    return sorted(k for k in keys if a.get(k) != b.get(k))

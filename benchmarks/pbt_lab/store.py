"""The lab's kept runs (results.jsonl), each under the key of its content
(keys.py): a run is reused only while its world, settings, simulator and
package are those of the current code; otherwise it is stale, and says why.
"""

from __future__ import annotations

import json
from collections import Counter
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from benchmarks.pbt_lab.keys import PARTS, Keys
from benchmarks.pbt_lab.named import PolicyError

STORE = Path(__file__).resolve().parent / "results.jsonl"

Row = dict[str, Any]
Run = tuple[str, str, int]  # policy label, family, seed


def run_of(row: Row) -> Run:
    return (str(row["policy"]).split("|")[0], str(row["family"]), int(row["seed"]))


def load(path: Path | None = None) -> list[Row]:
    path = path or STORE
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def append(rows: Iterable[Row], path: Path | None = None) -> None:
    with (path or STORE).open("a") as out:
        for row in rows:
            out.write(json.dumps(row, sort_keys=True) + "\n")
            out.flush()


def rewrite(rows: list[Row], path: Path | None = None) -> None:
    (path or STORE).write_text("".join(json.dumps(r, sort_keys=True) + "\n" for r in rows))


def expected(keys: Keys, row: Row) -> str | None:
    """The key `row`'s run has under `keys`; None if its policy no longer resolves."""
    try:
        return keys.key(*run_of(row))
    except PolicyError:
        return None


def current(rows: list[Row], keys: Keys) -> dict[Run, Row]:
    """The rows whose key is the one their run has under `keys`."""
    return {run_of(r): r for r in rows if "key" in r and r["key"] == expected(keys, r)}


def stale_reasons(rows: list[Row], keys: Keys, runs: Iterable[Run]) -> Counter[str]:
    """For the runs asked for that have no current row: how many are kept
    stale, by the first part that changed in their newest row ("format" for
    rows kept before runs were keyed by content)."""
    wanted = set(runs)
    newest: dict[Run, str] = {}
    for row in rows:
        run = run_of(row)
        if run not in wanted:
            continue
        if "parts" not in row:
            newest[run] = "format"
            continue
        now = keys.parts(*run)
        changed = [p for p in PARTS if row["parts"][p] != now[p]]
        if changed:
            newest[run] = changed[0]
        else:
            newest.pop(run, None)
    return Counter(newest.values())


def stale_text(reasons: Counter[str]) -> str:
    """"12 kept runs are stale and run again: 8 of another package, 4 of another world"."""
    what = {"world": "world", "settings": "design or policy settings",
            "simulator": "simulator", "package": "package", "format": "key format"}
    parts = [f"{n} of another {what[k]}" for k, n in reasons.most_common()]
    return (f"{sum(reasons.values())} kept runs are stale and run again: "
            + ", ".join(parts))


def prune(keys: Keys, path: Path | None = None) -> int:
    """Drops the stale rows; rows whose policy no longer resolves are kept
    (they cannot be checked here).  Returns how many went."""
    rows = load(path)
    kept = [r for r in rows if expected(keys, r) is None or r.get("key") == expected(keys, r)]
    rewrite(kept, path)
    return len(rows) - len(kept)


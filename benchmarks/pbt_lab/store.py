"""The lab's kept runs, keyed by content: the run's family, seed and policy
settings, and a digest of every source the numbers depend on (the lab's
worlds, simulator, design and policies, and the package's sources), so that
a change to any of them shows as runs to compute, never as old rows reused.
"""

from __future__ import annotations

import functools
import hashlib
import json
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import numpy as np

from benchmarks.pbt_lab.policies import factory

ROOT = Path(__file__).resolve().parents[2]
LAB = Path(__file__).resolve().parent
STORE = LAB / "results.jsonl"
LAB_SOURCES = ("families.py", "simulator.py", "design.py", "policies.py")
PACKAGE_SUFFIXES = (".py", ".hpp", ".cpp", ".h")
#: Parts of the package the lab never imports: the command line and Ray.
UNUSED_PACKAGES = ("cli", "integrations")

Key = tuple[str, str, str, int]  # digest, policy, family, seed


def digest() -> str:
    """A digest of the lab's and the package's sources (and the package version)."""
    import kestrovane

    h = hashlib.sha256(kestrovane.__version__.encode())
    files = [LAB / name for name in LAB_SOURCES]
    package = ROOT / "src" / "kestrovane"
    files += sorted(p for p in package.rglob("*")
                    if p.suffix in PACKAGE_SUFFIXES and p.is_file()
                    and p.relative_to(package).parts[0] not in UNUSED_PACKAGES)
    for path in files:
        h.update(str(path.relative_to(ROOT)).encode())
        h.update(path.read_bytes())
    return h.hexdigest()[:16]


@functools.cache
def label(policy: str) -> str:
    """The policy's name and full settings, so that a changed default is run again."""
    made = factory(policy)(lambda ids: np.zeros((len(ids), 1)))
    return policy if not hasattr(made, "__dataclass_fields__") else f"{policy}|{made!r}"


def key(row: dict[str, Any]) -> Key:
    return (str(row["digest"]), str(row["policy"]), str(row["family"]), int(row["seed"]))


def load() -> dict[Key, dict[str, Any]]:
    out: dict[Key, dict[str, Any]] = {}
    if STORE.exists():
        for line in STORE.read_text().splitlines():
            if line.strip():
                row = json.loads(line)
                out[key(row)] = row
    return out


def append(rows: Iterable[dict[str, Any]]) -> None:
    with STORE.open("a") as out:
        for row in rows:
            out.write(json.dumps(row, sort_keys=True) + "\n")
            out.flush()


def prune(keep: str) -> int:
    """Drops the rows of other digests; returns how many went."""
    rows = load()
    kept = [r for k, r in rows.items() if k[0] == keep]
    STORE.write_text("".join(json.dumps(r, sort_keys=True) + "\n" for r in kept))
    return len(rows) - len(kept)

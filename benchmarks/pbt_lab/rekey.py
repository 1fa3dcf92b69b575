"""Re-keys runs kept under the old single digest (the lab's sources and the
package's) by content, where that digest proves the package is today's.

    python -m benchmarks.pbt_lab.rekey REV

REV is the commit whose lab sources the old digest was taken over; the lab's
sources may have changed since only in ways that keep every figure (check
with `--quick` afterwards).  A row whose digest does not match, or whose
policy settings differ from today's, stays as it is: stale, to be run again.
"""

from __future__ import annotations

import hashlib
import subprocess
import sys

from benchmarks.pbt_lab import store
from benchmarks.pbt_lab.keys import PACKAGE_SUFFIXES, ROOT, UNUSED_PACKAGES, Keys, key_of
from benchmarks.pbt_lab.named import PolicyError, resolve

OLD_LAB_SOURCES = ("families.py", "simulator.py", "design.py", "policies.py")


def old_digest(rev: str) -> str:
    """The old digest, with the lab's sources as they were at `rev`."""
    import kestrovane

    h = hashlib.sha256(kestrovane.__version__.encode())
    for name in OLD_LAB_SOURCES:
        path = f"benchmarks/pbt_lab/{name}"
        h.update(path.encode())
        h.update(subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:{path}"],
                                capture_output=True, check=True).stdout)
    package = ROOT / "src" / "kestrovane"
    for p in sorted(p for p in package.rglob("*")
                    if p.suffix in PACKAGE_SUFFIXES and p.is_file()
                    and p.relative_to(package).parts[0] not in UNUSED_PACKAGES):
        h.update(str(p.relative_to(ROOT)).encode())
        h.update(p.read_bytes())
    return h.hexdigest()[:16]


def rekeyed(row: store.Row, keys: Keys) -> store.Row | None:
    """`row` under its content key, or None if its settings are not today's."""
    label, _, shown = str(row["policy"]).partition("|")
    try:
        settings = resolve(label).settings
    except PolicyError:
        return None
    if shown and settings.get("fields") != shown:
        return None
    parts = keys.parts(label, row["family"], int(row["seed"]))
    out = {k: v for k, v in row.items() if k != "digest"}
    return {**out, "policy": label, "key": key_of(parts), "parts": parts}


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    proof, keys = old_digest(sys.argv[1]), Keys.current()
    rows, done = store.load(), 0
    for i, row in enumerate(rows):
        if row.get("digest") == proof and (new := rekeyed(row, keys)) is not None:
            rows[i], done = new, done + 1
    store.rewrite(rows)
    print(f"re-keyed {done} of {len(rows)} kept runs (old digest {proof})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

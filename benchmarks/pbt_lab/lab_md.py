"""benchmarks/LAB.md: a part written by hand (the design, how to add a
policy, the tuning history, what the tables show) above a marker, and the
tables below it, which `--write` rewrites from the current kept runs."""

from __future__ import annotations

import re

from benchmarks.pbt_lab.design import SEEDS, split
from benchmarks.pbt_lab.families import FAMILIES
from benchmarks.pbt_lab.keys import ROOT, Keys
from benchmarks.pbt_lab.report import Runs, policies_in, report

LAB_MD = ROOT / "benchmarks" / "LAB.md"
MARKER = "<!-- Written by `python -m benchmarks.pbt_lab --write` below this line. -->\n"
ORIGIN = re.compile(r"package `([0-9a-f]+)` and simulator `([0-9a-f]+)`")


def by_hand(text: str) -> str:
    """The hand-written part of LAB.md's text, the marker included."""
    if MARKER not in text:
        raise ValueError(f"{LAB_MD.name} lacks the line {MARKER.strip()!r}")
    return text[:text.index(MARKER) + len(MARKER)]


def tables(runs: Runs, keys: Keys) -> str:
    """The generated part: where the runs come from, the tuning tables, the held-out report."""
    halves = split(list(FAMILIES))
    parts = [f"\nThe tables below come from the kept runs of package `{keys.package}` and "
             f"simulator `{keys.simulator}` (benchmarks/pbt_lab/results.jsonl).\n"]
    for name, fams, seeds in (("tune", halves["tune"], SEEDS["tune"]),
                              ("report", halves["held_out"], SEEDS["report"])):
        policies = policies_in(runs, fams, seeds)
        if "plain" in policies and "oracle" in policies:
            parts.append(report(runs, policies, fams, seeds, halves, name) + "\n")
    return "\n".join(parts)


def keys_named(text: str) -> Keys:
    """The keys of the runs LAB.md's tables were written from."""
    found = ORIGIN.search(text[text.index(MARKER):])
    if found is None:
        raise ValueError(f"{LAB_MD.name} does not name the package and simulator of its runs")
    return Keys(simulator=found.group(2), package=found.group(1))


def write(runs: Runs, keys: Keys) -> None:
    LAB_MD.write_text(by_hand(LAB_MD.read_text()) + tables(runs, keys))

"""The lab's tables: power per family, each policy against the plain rule
with 95 % intervals (Holm-corrected counts over cells), one objective apart,
and the members kept at the end."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from benchmarks.pbt_lab.design import MS, REPORTED
from benchmarks.pbt_lab.families import FAMILIES
from benchmarks.pbt_lab.simulator import KEEPERS
from benchmarks.pbt_lab.stats import headroom_share, holm, paired, t_test
from benchmarks.pbt_lab.store import Run

F64 = NDArray[np.float64]
METRICS = {"final": "final_hv", "anytime": "mean_hv"}
NAMES = {"plain": "plain rule (window means)", "last": "plain rule (last report)",
         "stock": "stock PBT (truncation, last report)", "random": "random exploit",
         "search": "random search",
         "oracle": "oracle", "default": "default"}


class Runs:
    """The current kept runs, by policy label, family and seed."""

    def __init__(self, rows: dict[Run, dict[str, Any]]) -> None:
        self.rows = rows

    def get(self, policy: str, family: str, seed: int) -> dict[str, Any]:
        return self.rows[(policy, family, seed)]

    def values(self, policy: str, family: str, seeds: list[int],
               field: str | Callable[[dict[str, Any]], float]) -> F64:
        if callable(field):
            return np.array([field(self.get(policy, family, s)) for s in seeds])
        return np.array([float(self.get(policy, family, s)[field]) for s in seeds])

    def seeds_with(self, family: str, seeds: list[int], m: int) -> list[int]:
        return [s for s in seeds if self.get("plain", family, s)["m"] == m]


def _row(cells: list[str]) -> str:
    return "| " + " | ".join(cells) + " |"


def _head(cells: list[str], numeric_from: int = 1) -> list[str]:
    return [_row(cells), "|" + "---|" * numeric_from + "---:|" * (len(cells) - numeric_from)]


def shown(policy: str) -> str:
    return NAMES.get(policy, policy)


def power(runs: Runs, families: list[str], seeds: list[int]) -> list[str]:
    out = ["### Power: the oracle against the plain rule, the plain rule against random "
           "search (final true hypervolume)\n"]
    out += _head(["family", "plain", "oracle - plain", "plain - random search", "what it is"])
    for f in families:
        plain = runs.values("plain", f, seeds, "final_hv")
        cells = [f, f"{plain.mean():.2f}",
                 paired(runs.values("oracle", f, seeds, "final_hv"), plain).text()]
        cells.append(paired(plain, runs.values("search", f, seeds, "final_hv")).text()
                     if _has(runs, "search", f, seeds) else "-")
        cells.append(FAMILIES[f].description)
        out.append(_row(cells))
    return out


def _has(runs: Runs, policy: str, family: str, seeds: list[int]) -> bool:
    return all((policy, family, s) in runs.rows for s in seeds)


def against_plain(runs: Runs, policies: list[str], families: list[str],
                  seeds: list[int]) -> list[str]:
    out: list[str] = []
    others = [p for p in policies if p not in ("plain",)]
    candidates = [p for p in policies if p not in ("plain", "oracle", "random", "search")]
    for metric_name, metric in METRICS.items():
        out.append(f"\n### {metric_name.capitalize()} true hypervolume: policy - plain rule "
                   f"per family (95 % interval over {len(seeds)} seeds)\n")
        out += _head(["family", "plain", *map(shown, others)])
        for f in families:
            plain = runs.values("plain", f, seeds, metric)
            out.append(_row([f, f"{plain.mean():.2f}", *(
                paired(runs.values(p, f, seeds, metric), plain).text()
                if _has(runs, p, f, seeds) else "-" for p in others)]))
        out.append("\nShare of the oracle's headroom recovered, (policy - plain) / "
                   "(oracle - plain), 95 % bootstrap interval; cells are family x M, "
                   "counted better / worse with Holm's correction over the cells:\n")
        out += _head(["policy", *families, "pooled", "cells better / worse"])
        for p in candidates:
            if not all(_has(runs, p, f, seeds) for f in families):
                continue
            cells = [shown(p)]
            vals = {f: [runs.values(q, f, seeds, metric) for q in (p, "plain", "oracle")]
                    for f in families}
            for f in families:
                h = headroom_share([vals[f][0]], [vals[f][1]], [vals[f][2]])
                cells.append(f"{100 * h.mean:.0f} % [{100 * h.low:.0f}, {100 * h.high:.0f}]")
            h = headroom_share([vals[f][0] for f in families], [vals[f][1] for f in families],
                               [vals[f][2] for f in families])
            cells.append(f"**{100 * h.mean:.0f} %** [{100 * h.low:.0f}, {100 * h.high:.0f}]")
            better, worse = cell_counts(runs, p, "plain", families, seeds, metric)
            cells.append(f"{better} / {worse} of {len(families) * len(MS)}")
            out.append(_row(cells))
    return out


def cell_counts(runs: Runs, policy: str, base: str, families: list[str], seeds: list[int],
                metric: str) -> tuple[int, int]:
    """Cells (family x M) where `policy` is significantly better / worse than
    `base`, Holm-corrected over the cells."""
    diffs = []
    for f in families:
        for m in MS:
            s = runs.seeds_with(f, seeds, m)
            diffs.append(runs.values(policy, f, s, metric) - runs.values(base, f, s, metric))
    adjusted = holm([t_test(d) for d in diffs])
    better = sum(1 for d, p in zip(diffs, adjusted) if p < 0.05 and d.mean() > 0)
    worse = sum(1 for d, p in zip(diffs, adjusted) if p < 0.05 and d.mean() < 0)
    return better, worse


def by_objectives(runs: Runs, policies: list[str], families: list[str],
                  seeds: list[int]) -> list[str]:
    """Pooled over the families, by M; at M = 1 against both truncation rules."""
    out = ["\n### By the number of objectives, pooled over the families: policy - plain "
           "rule, final true hypervolume (95 % interval)\n",
           "With one objective the plain rule is truncation on window means and stock PBT "
           "is truncation on the last report.\n"]
    others = [p for p in policies if p != "plain" and
              all(_has(runs, p, f, seeds) for f in families)]
    out += _head(["M", "runs", "plain", *map(shown, others), "default - stock"])
    for m in MS:
        pooled = {p: np.concatenate([runs.values(p, f, runs.seeds_with(f, seeds, m), "final_hv")
                                     for f in families]) for p in ["plain", *others]}
        base = pooled["plain"]
        cells = [str(m), str(len(base)), f"{base.mean():.2f}"]
        cells += [paired(pooled[p], base).text() for p in others]
        cells.append(paired(pooled["default"], pooled["stock"]).text()
                     if "default" in pooled and "stock" in pooled else "-")
        out.append(_row(cells))
    return out


def _loss_of(keeper: str) -> Callable[[dict[str, Any]], float]:
    return lambda row: float(row["keep_loss"][keeper])


def keepers(runs: Runs, families: list[str], seeds: list[int], policy: str) -> list[str]:
    """The members kept at the end of the `policy`'s runs."""
    out = [f"\n### The members kept at the end ({shown(policy)}'s runs): true hypervolume "
           "lost against keeping the population's true front\n",
           "Every way keeps as many members as the front of the window means holds; "
           "\"chances\" keeps the members most likely on the true first front "
           "(`Population.front_chances`).\n"]
    out += _head(["family", "kept", *[f"lost by {k}" for k in KEEPERS],
                  "chances - means", "chances / means"])
    pooled: dict[str, list[F64]] = {k: [] for k in KEEPERS}
    for f in families:
        loss = {k: runs.values(policy, f, seeds, _loss_of(k)) for k in KEEPERS}
        kept = runs.values(policy, f, seeds, "kept")
        for k in KEEPERS:
            pooled[k].append(loss[k])
        ratio = loss["chances"].mean() / loss["means"].mean() if loss["means"].mean() else 0.0
        out.append(_row([f, f"{kept.mean():.1f}", *[f"{loss[k].mean():.3f}" for k in KEEPERS],
                         paired(loss["chances"], loss["means"]).text(3), f"{ratio:.2f}"]))
    all_loss = {k: np.concatenate(v) for k, v in pooled.items()}
    ratio = all_loss["chances"].mean() / all_loss["means"].mean()
    out.append(_row(["**pooled**", "", *[f"{all_loss[k].mean():.3f}" for k in KEEPERS],
                     paired(all_loss["chances"], all_loss["means"]).text(3),
                     f"**{ratio:.2f}**"]))
    return out


def budget(runs: Runs, policies: list[str], families: list[str], seeds: list[int]) -> list[str]:
    out = ["\n### Budget and work: mean per run\n"]
    out += _head(["policy", "training steps", "decisions", "replacements",
                  "CPU seconds per run"])
    for p in policies:
        if not all(_has(runs, p, f, seeds) for f in families):
            continue
        v = {k: np.concatenate([runs.values(p, f, seeds, k) for f in families])
             for k in ("steps", "decisions", "replacements", "cpu_seconds")}
        out.append(_row([shown(p), f"{v['steps'].mean():.0f}", f"{v['decisions'].mean():.0f}",
                         f"{v['replacements'].mean():.0f}", f"{v['cpu_seconds'].mean():.2f}"]))
    return out


def report(runs: Runs, policies: list[str], families: list[str], seeds: list[int],
           halves: dict[str, list[str]], split_name: str) -> str:
    which = "held-out families, report seeds" if split_name == "report" \
        else "tuning families, tuning seeds"
    out = [f"## {which.capitalize()}: {', '.join(families)} "
           f"(seeds {seeds[0]}-{seeds[-1]})\n",
           f"Tuning families: {', '.join(halves['tune'])}; held out: "
           f"{', '.join(halves['held_out'])}.\n"]
    out += power(runs, families, seeds)
    out += against_plain(runs, policies, families, seeds)
    out += by_objectives(runs, policies, families, seeds)
    if all(_has(runs, "default", f, seeds) for f in families):
        out += keepers(runs, families, seeds, "default")
    out += budget(runs, policies, families, seeds)
    return "\n".join(out)


def policies_in(runs: Runs, families: list[str], seeds: list[int]) -> list[str]:
    """The policies kept for every run of the families and seeds, the
    reported ones first in their order."""
    names = dict.fromkeys(p for p, _f, _s in runs.rows)
    out = [p for p in names if all(_has(runs, p, f, seeds) for f in families)]
    return sorted(out, key=lambda p: (p not in REPORTED, REPORTED.index(p)
                                      if p in REPORTED else 0, p))

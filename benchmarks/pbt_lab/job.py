"""One run of the lab: a policy, a family and a seed through the simulator,
as the row the store keeps under the run's key."""

from __future__ import annotations

import time
from typing import Any

from benchmarks.pbt_lab.design import design
from benchmarks.pbt_lab.families import FAMILIES
from benchmarks.pbt_lab.keys import Keys, key_of
from benchmarks.pbt_lab.named import resolve
from benchmarks.pbt_lab.simulator import simulate

#: Fields a re-run must repeat bit for bit (all but the timing).
CHECKED = ("final_hv", "mean_hv", "replacements", "decisions", "steps", "keep_loss", "kept")

Job = tuple[str, str, int, Keys]  # policy label, family, seed, the keys of this code


def run_one(job: Job) -> dict[str, Any]:
    policy, family, seed, keys = job
    d = design(family, seed)
    parts = keys.parts(policy, family, seed)
    start = time.process_time()
    r = simulate(FAMILIES[family], d, seed, resolve(policy).build)
    return {"key": key_of(parts), "parts": parts, "policy": policy, "family": family,
            "seed": seed, "m": d.m, "n": d.n, "window": d.window, "percentile": d.percentile,
            "final_hv": r.final_hv, "mean_hv": r.mean_hv, "replacements": r.replacements,
            "decisions": r.decisions, "steps": r.steps, "keep_loss": r.keep_loss,
            "kept": r.kept, "cpu_seconds": time.process_time() - start}

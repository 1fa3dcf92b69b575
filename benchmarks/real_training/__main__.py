"""Real training under four schedulers, shaped like the multi-objective PBT
papers' tables: the hypervolume of the final population on precision and
recall (both maximised, reference point (0, 0)).

    python -m benchmarks.real_training            # 5 seeds, prints the table
    python -m benchmarks.real_training --write    # also benchmarks/REAL.md, docs/real_fronts.png
    python -m benchmarks.real_training --quick    # 1 seed, 6 iterations: a look

Population 16, the same number of iterations for every trial under every
scheduler, 2 CPUs shared by 8 trials at a time.  Runs are kept in
build/real_training/runs.jsonl, keyed by method, seed and settings, so a
second run only computes what is missing.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

ROOT = Path(__file__).resolve().parents[2]
STORE = ROOT / "build" / "real_training" / "runs.jsonl"
POPULATION = 16
ITERATIONS = 16
INTERVAL = 4
FRACTION = 0.25
METHODS = ("pareto_pbt", "plain_rule", "ray_pbt_f1", "random")
LABELS = {"pareto_pbt": "ParetoPBT (default policy)", "plain_rule": "ParetoPBT(ParetoRule())",
          "ray_pbt_f1": "Ray PBT on F1", "random": "random search"}


def hypervolume(points: NDArray[np.float64]) -> float:
    """Area dominated by maximised 2-D points above the reference point (0, 0)."""
    pts = points[np.all(points > 0, axis=1)]
    area, best_y = 0.0, 0.0
    for x, y in sorted(map(tuple, pts), reverse=True):
        if y > best_y:
            area += x * (y - best_y)
            best_y = y
    return area


def front(points: NDArray[np.float64]) -> NDArray[np.float64]:
    keep = [p for p in points if not any(np.all(q >= p) and np.any(q > p) for q in points)]
    return np.array(sorted(map(tuple, keep)))


def scheduler(method: str, seed: int) -> Any:
    from ray import tune
    from ray.tune.schedulers import PopulationBasedTraining

    from kestrovane.integrations.ray_tune import ParetoPBT
    from kestrovane.pbt.policies import ParetoRule

    mutations = {"lr": tune.loguniform(1e-3, 1e-1), "pos_weight": tune.loguniform(0.5, 30.0),
                 "threshold": tune.uniform(0.05, 0.95)}
    common: dict[str, Any] = dict(time_attr="training_iteration", perturbation_interval=INTERVAL,
                                  hyperparam_mutations=mutations, quantile_fraction=FRACTION)
    if method == "random":
        return None
    if method == "ray_pbt_f1":
        return PopulationBasedTraining(metric="f1", mode="max", **common)
    policy = ParetoRule() if method == "plain_rule" else None
    return ParetoPBT({"precision": "max", "recall": "max"}, window=4, min_reports=2,
                     seed=seed, policy=policy, **common)


def run(method: str, seed: int, iterations: int) -> dict[str, Any]:
    """One experiment; the last result of every trial."""
    from ray import tune

    from benchmarks.real_training.task import trainable

    rng = np.random.default_rng(seed)
    space = {"seed": tune.grid_search([int(s) for s in rng.integers(0, 2**31, POPULATION)]),
             "lr": tune.loguniform(1e-3, 1e-1), "pos_weight": tune.loguniform(0.5, 30.0),
             "threshold": tune.uniform(0.05, 0.95)}
    sched = scheduler(method, seed)
    start = time.perf_counter()
    with tempfile.TemporaryDirectory() as storage:
        grid = tune.Tuner(
            tune.with_resources(trainable, {"cpu": 0.25}), param_space=space,
            tune_config=tune.TuneConfig(scheduler=sched, reuse_actors=True, num_samples=1),
            run_config=tune.RunConfig(stop={"training_iteration": iterations},
                                      storage_path=storage, verbose=0),
        ).fit()
        assert not grid.errors, grid.errors
        keys = ("precision", "recall", "test_precision", "test_recall", "training_iteration")
        finals = [{k: (grid[i].metrics or {})[k] for k in keys} for i in range(len(grid))]
    exploits = (len(sched.exploits) if hasattr(sched, "exploits")
                else getattr(sched, "_num_perturbations", 0) if sched else 0)
    return {"method": method, "seed": seed, "iterations": iterations, "finals": finals,
            "exploits": exploits, "seconds": time.perf_counter() - start}


def load() -> list[dict[str, Any]]:
    if not STORE.exists():
        return []
    return [json.loads(line) for line in STORE.read_text().splitlines() if line]


def t_interval(x: NDArray[np.float64]) -> tuple[float, float]:
    from scipy import stats

    if len(x) < 2:
        return float(x.mean()), math.nan
    half = stats.t.ppf(0.975, len(x) - 1) * x.std(ddof=1) / math.sqrt(len(x))
    return float(x.mean()), float(half)


def hv_of(r: dict[str, Any], split: str) -> float:
    tag = "" if split == "val" else "test_"
    return hypervolume(np.array([[f[tag + "precision"], f[tag + "recall"]] for f in r["finals"]]))


def table(runs: dict[tuple[str, int], dict[str, Any]], seeds: list[int]) -> str:
    fmt: Callable[[tuple[float, float]], str] = lambda m: f"{m[0]:.4f} ± {m[1]:.4f}"
    lines = ["| scheduler | validation HV | test HV | Δ test HV vs plain rule (paired) | "
             "exploits per run | minutes per run |", "|---|---|---|---|---|---|"]
    base = np.array([hv_of(runs["plain_rule", s], "test") for s in seeds])
    for method in METHODS:
        rs = [runs[method, s] for s in seeds]
        val = np.array([hv_of(r, "val") for r in rs])
        test = np.array([hv_of(r, "test") for r in rs])
        diff = "—" if method == "plain_rule" else fmt(t_interval(test - base))
        lines.append(f"| {LABELS[method]} | {fmt(t_interval(val))} | {fmt(t_interval(test))} | "
                     f"{diff} | {np.mean([r['exploits'] for r in rs]):.1f} | "
                     f"{np.mean([r['seconds'] for r in rs]) / 60:.1f} |")
    dval = np.array([hv_of(runs["pareto_pbt", s], "val") - hv_of(runs["plain_rule", s], "val")
                     for s in seeds])
    lines.append("")
    lines.append(f"Paired difference of the validation HV, default policy minus plain rule: "
                 f"{fmt(t_interval(dval))}.")
    return "\n".join(lines)


def plot(runs: dict[tuple[str, int], dict[str, Any]], seed: int, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(10, 4.4), sharey=True)
    for ax, split in zip(axes, ("val", "test")):
        tag = "" if split == "val" else "test_"
        for method, marker in zip(METHODS, "os^x"):
            pts = np.array([[f[tag + "precision"], f[tag + "recall"]]
                            for f in runs[method, seed]["finals"]])
            line = ax.scatter(pts[:, 0], pts[:, 1], marker=marker, s=22, alpha=0.55,
                              label=f"{LABELS[method]} (HV {hypervolume(pts):.3f})")
            f = front(pts)
            ax.step(f[:, 0], f[:, 1], where="pre", color=line.get_facecolor()[0], alpha=0.9)
        ax.set_title(f"{'validation' if split == 'val' else 'test'} split, seed {seed}")
        ax.set_xlabel("precision")
        ax.set_xlim(0, 1.02)
        ax.set_ylim(0, 1.02)
        ax.legend(fontsize=7, loc="lower left")
    axes[0].set_ylabel("recall")
    fig.suptitle(f"Final populations ({POPULATION} trials, {ITERATIONS} iterations each)")
    fig.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="1 seed, 6 iterations")
    parser.add_argument("--write", action="store_true",
                        help="write benchmarks/REAL.md and docs/real_fronts.png")
    args = parser.parse_args(argv)
    iterations = 6 if args.quick else ITERATIONS
    seeds = list(range(1 if args.quick else args.seeds))
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import ray

    done = {(r["method"], r["seed"]): r for r in load() if r["iterations"] == iterations}
    todo = [(m, s) for s in seeds for m in METHODS if (m, s) not in done]
    start = time.perf_counter()
    if todo:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
                 configure_logging=False, runtime_env={"env_vars": {"PYTHONPATH": str(ROOT)}})
        STORE.parent.mkdir(parents=True, exist_ok=True)
        for method, seed in todo:
            r = run(method, seed, iterations)
            done[method, seed] = r
            with STORE.open("a") as f:
                f.write(json.dumps(r) + "\n")
            print(f"{LABELS[method]:28s} seed {seed}: val HV {hv_of(r, 'val'):.4f}, test HV "
                  f"{hv_of(r, 'test'):.4f}, {r['exploits']} exploits, {r['seconds']:.0f} s",
                  flush=True)
        ray.shutdown()
    text = table(done, seeds)
    print(text)
    print(f"({time.perf_counter() - start:.0f} s in this call)")
    if args.write:
        total = sum(done[m, s]["seconds"] for m in METHODS for s in seeds)
        (ROOT / "benchmarks" / "REAL.md").write_text(report(text, len(seeds), total))
        plot(done, seeds[0], ROOT / "docs" / "real_fronts.png")
    return 0


READING = """in this small set-up no form of PBT beats random search
on the hypervolume of the final population: random search has the highest
test HV (0.876 ± 0.008); the default policy is slightly below the plain
rule (paired test difference -0.009 ± 0.009, at the edge of significance;
validation -0.014 ± 0.035), so the Monte-Carlo policy shows no gain here;
Ray's PBT on F1 is lowest on test (it pulls the population towards one
trade-off).  Likely reason: with 16 iterations and an exploit every 4,
copying mostly removes spread that the random initial configurations
already give the front; the task is too easy and too short for
exploitation to pay off."""


def report(text: str, n_seeds: int, seconds: float) -> str:
    return f"""# Real training: precision and recall of a small network

`make bench-real` (`python -m benchmarks.real_training --write`); the whole
run took {seconds / 60:.0f} minutes on this 2-core machine.

Task: a 20-16-1 PyTorch network (CPU, one thread per trial) on a seeded
`make_classification` set with 10 % positives (3000 samples: 60 % train,
20 % validation, 20 % test).  Tuned: `lr`, the loss's `pos_weight` and the
decision `threshold`.  Every trial reports validation precision, recall and
F1 after each iteration of 20 mini-batches, with a checkpoint; test
precision and recall are reported too but no scheduler sees them.

Set-up: population {POPULATION}, {ITERATIONS} iterations per trial under every scheduler
(equal budget), perturbation every {INTERVAL} iterations, `quantile_fraction`
{FRACTION}, the same mutations; {n_seeds} seeds, each seed the same initial
configurations and network seeds for every scheduler.  Schedulers: `ParetoPBT`
with its default policy; `ParetoPBT(policy=ParetoRule())` (the plain
non-dominated sorting + crowding rule in the same scheduler); Ray's
`PopulationBasedTraining` on F1; random search (no scheduler).

Reported: the hypervolume of the final population (each trial's last
result; precision and recall maximised, reference point (0, 0)) on the
validation split the schedulers saw and on the held-out test split, as the
mean over seeds ± the half-width of a 95 % t-interval; the paired
differences are per seed against the plain rule.

{text}

![final fronts](../docs/real_fronts.png)

Reading of the run above (kept in the script: re-check it after a new
run): {READING}
"""


if __name__ == "__main__":
    sys.exit(main())

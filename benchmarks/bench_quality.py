"""Decision quality of exploit policies under noisy multi-objective scores.

Synthetic populations with known true means: a quarter of the members on a
front of a given shape (linear, convex or concave), the others worse
relatives of them (each dominated by its parent, as PBT children whose
perturbation did not pay).
Each member has K noisy evaluations per objective, with member- and
objective-specific noise; the policies see only the evaluations.  Each policy
picks k = ceil(0.2 N) members to replace and as many to copy:

- `select ranks` / `select values`: kestrovane.select on kestrovane.estimate
  of the evaluations, its exploit plan (`Selection.replacements`);
- `fronts+crowding`: the usual deterministic rule, the noisy means rated by
  non-dominated fronts and crowding (kestrovane.rate, mode "values"; its
  fronts are checked against moocore.pareto_rank when moocore is installed),
  the last k replaced by the first k;
- `scalarised`: what single-objective PBT does, truncation on the sum of the
  standardised noisy means, bottom k replaced by top k;
- `random`: k random members replaced by k other random members (the floor);
- `oracle`: fronts and crowding on the true means (the ceiling of that rule).

Measured over many draws: how often a replaced member is truly
non-dominated (lower is better), how often a copied member is truly
non-dominated (higher is better), and the share of the population's true
hypervolume lost by removing the replaced members (lower is better).

    python benchmarks/bench_quality.py            # a few minutes; table, figure
    python benchmarks/bench_quality.py --quick    # seconds, a rough look
    python benchmarks/bench_quality.py --write    # also benchmarks/QUALITY.md, docs/quality.png

Noise is given as the standard deviation of a member's mean estimate
divided by the median distance between neighbouring members (per
objective): 1 means the noise of a mean is as large as a typical gap.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import kestrovane

try:
    import moocore
except ImportError:  # fronts are then not cross-checked
    moocore = None

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from benchmarks.hypervolume import hypervolume  # noqa: E402
F64 = NDArray[np.float64]
Pairs = list[tuple[int, int]]  # (replaced row, copied row)

K_EVALS = 4
PERCENTILE = 0.2
N_SAMPLES = 2000
SHAPES = {"linear": 1.0, "convex": 0.5, "concave": 2.0}
POLICIES = ("select ranks", "select values", "fronts+crowding", "scalarised", "random",
            "oracle")


# -- populations ----------------------------------------------------------------

def true_means(rng: np.random.Generator, n: int, m: int, shape: str) -> F64:
    """A quarter of the members (at least two) on the surface sum(x**p) = 1; each
    other member is a worse relative of one of them (a PBT child whose
    perturbation did not pay): its parent plus an exponential amount in every
    objective, so that it is dominated by its parent."""
    n_front = max(2, round(0.25 * n))
    u = rng.dirichlet(np.ones(m), size=n_front)
    front = u ** (1.0 / SHAPES[shape])
    parents = front[rng.integers(n_front, size=n - n_front)]
    children = parents + rng.exponential(0.15, size=parents.shape) + 1e-3
    return rng.permutation(np.concatenate([front, children]))


def typical_gap(mu: F64) -> float:
    """Median over members of the distance to the nearest other member, per objective."""
    d = np.sqrt(((mu[:, None, :] - mu[None, :, :]) ** 2).sum(axis=2))
    np.fill_diagonal(d, np.inf)
    return float(np.median(d.min(axis=1)) / math.sqrt(mu.shape[1]))


def evaluations(rng: np.random.Generator, mu: F64, level: float) -> F64:
    """(N, K, M) noisy evaluations; the sd of a mean is level * gap * h with a
    member- and objective-specific h, log-uniform in [1/2, 2]."""
    h = np.exp(rng.uniform(-math.log(2), math.log(2), mu.shape))
    sd_eval = level * typical_gap(mu) * h * math.sqrt(K_EVALS)
    return mu[:, None, :] + rng.normal(size=(mu.shape[0], K_EVALS, mu.shape[1])) * sd_eval[:, None, :]


# -- policies -------------------------------------------------------------------

def k_of(n: int) -> int:
    return min(n, max(1, math.ceil(n * PERCENTILE)))


def by_order(order: Iterable[int], k: int) -> Pairs:
    """The last k of a best-first order replaced by the first k, worst with best."""
    best_first = [int(i) for i in order]
    return list(zip(best_first[::-1][:k], best_first[:k]))


def select_policy(mode: str) -> Callable[[F64, F64, np.random.Generator, int], Pairs]:
    def policy(evals: F64, truth: F64, rng: np.random.Generator, seed: int) -> Pairs:
        mu, sigma2 = kestrovane.estimate(evals)
        sel = kestrovane.select(mu, sigma2, n_samples=N_SAMPLES, percentile=PERCENTILE,
                                seed=seed, mode=mode, progress=False)  # type: ignore[arg-type]
        return [(int(a), int(b)) for a, b in sel.replacements]
    return policy


def fronts_crowding(evals: F64, truth: F64, rng: np.random.Generator, seed: int) -> Pairs:
    return by_order(kestrovane.rate(evals.mean(axis=1), mode="values").order, k_of(len(truth)))


def scalarised(evals: F64, truth: F64, rng: np.random.Generator, seed: int) -> Pairs:
    means = evals.mean(axis=1)
    z = (means - means.mean(axis=0)) / np.maximum(means.std(axis=0), 1e-300)
    return by_order(np.argsort(z.sum(axis=1), kind="stable"), k_of(len(truth)))


def random_policy(evals: F64, truth: F64, rng: np.random.Generator, seed: int) -> Pairs:
    k = k_of(len(truth))
    perm = rng.permutation(len(truth))
    return list(zip(perm[:k].tolist(), perm[k:2 * k].tolist()))


def oracle(evals: F64, truth: F64, rng: np.random.Generator, seed: int) -> Pairs:
    return by_order(kestrovane.rate(truth, mode="values").order, k_of(len(truth)))


POLICY_FUNCS: dict[str, Callable[[F64, F64, np.random.Generator, int], Pairs]] = {
    "select ranks": select_policy("ranks"),
    "select values": select_policy("values"),
    "fronts+crowding": fronts_crowding,
    "scalarised": scalarised,
    "random": random_policy,
    "oracle": oracle,
}


# -- measures -------------------------------------------------------------------

@dataclass
class Tally:
    replaced: int = 0
    replaced_nd: int = 0
    copied_nd: int = 0
    hv_loss: list[float] = field(default_factory=list)
    draws: int = 0

    def add(self, pairs: Pairs, nd: NDArray[np.bool_], truth: F64, ref: F64, hv_all: float
            ) -> None:
        self.draws += 1
        self.replaced += len(pairs)
        self.replaced_nd += sum(int(nd[a]) for a, _ in pairs)
        self.copied_nd += sum(int(nd[b]) for _, b in pairs)
        keep = np.ones(len(truth), dtype=bool)
        keep[[a for a, _ in pairs]] = False
        self.hv_loss.append((hv_all - hypervolume(truth[keep], ref)) / hv_all)

    def rates(self) -> tuple[float, float, float, float]:
        r = max(self.replaced, 1)
        return (self.replaced_nd / r, self.copied_nd / r, float(np.mean(self.hv_loss)),
                self.replaced / max(self.draws, 1))


def run_cell(n: int, m: int, level: float, draws: int, seed: int,
             shapes: Iterable[str] = tuple(SHAPES)) -> dict[str, Tally]:
    shape_list = list(shapes)
    tallies = {p: Tally() for p in POLICIES}
    rng = np.random.default_rng([seed, n, m, int(level * 1000)])
    for d in range(draws):
        shape = shape_list[d % len(shape_list)]
        truth = true_means(rng, n, m, shape)
        evals = evaluations(rng, truth, level)
        nd = kestrovane.rate(truth).front == 0
        ref = truth.max(axis=0) + 0.1 * (truth.max(axis=0) - truth.min(axis=0))
        hv_all = hypervolume(truth, ref)
        draw_seed = int(rng.integers(2**63))
        for name in POLICIES:
            pairs = POLICY_FUNCS[name](evals, truth, rng, draw_seed)
            tallies[name].add(pairs, nd, truth, ref, hv_all)
    return tallies


def check_fronts_against_moocore() -> str:
    if moocore is None:
        return "moocore not installed: fronts not cross-checked"
    rng = np.random.default_rng(0)
    for m in (2, 3, 4):
        x = rng.normal(size=(64, m))
        ours = np.asarray(kestrovane.rate(x).front)
        theirs = np.asarray(moocore.pareto_rank(x))
        if not np.array_equal(ours, theirs):
            raise SystemExit(f"kestrovane.rate fronts differ from moocore.pareto_rank (M={m})")
    return "fronts of kestrovane.rate agree with moocore.pareto_rank"


# -- report ---------------------------------------------------------------------

def pct(x: float) -> str:
    return f"{round(100 * x, 1) + 0.0:.1f}"  # + 0.0: no "-0.0" from rounding noise


def table(rows: list[tuple[str, dict[str, Tally]]], key: str) -> list[str]:
    index = {"replaced": 0, "copied": 1, "hv": 2}[key]
    head = f"| {'case':<22} | " + " | ".join(f"{p:>15}" for p in POLICIES) + " |"
    lines = [head, "|" + "---|" * (len(POLICIES) + 1)]
    for label, tallies in rows:
        cells = [pct(tallies[p].rates()[index]) for p in POLICIES]
        lines.append(f"| {label:<22} | " + " | ".join(f"{c:>15}" for c in cells) + " |")
    return lines


def draw(levels: list[float], sweep: dict[int, list[dict[str, Tally]]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    titles = ["replaced member truly non-dominated (%)", "copied member truly non-dominated (%)",
              "true hypervolume lost (%)"]
    ms = sorted(sweep)
    fig, axes = plt.subplots(len(titles), len(ms), figsize=(4.2 * len(ms), 9), sharex=True,
                             squeeze=False)
    styles = {"select ranks": ("tab:blue", "o-"), "select values": ("tab:cyan", "s--"),
              "fronts+crowding": ("tab:red", "^-"), "scalarised": ("tab:orange", "v-"),
              "random": ("grey", ":"), "oracle": ("black", "-")}
    for col, m in enumerate(ms):
        for row, title in enumerate(titles):
            ax = axes[row][col]
            for p in POLICIES:
                colour, style = styles[p]
                ys = [100 * cell[p].rates()[row] for cell in sweep[m]]
                ax.plot(levels, ys, style, color=colour, label=p, ms=4,
                        lw=1 if p in ("random", "oracle") else 1.6)
            ax.set_xscale("log")
            ax.grid(alpha=0.3)
            if row == 0:
                ax.set_title(f"M = {m} objectives\n{title}", fontsize=10)
            else:
                ax.set_title(title, fontsize=10)
            if row == len(titles) - 1:
                ax.set_xlabel("noise sd of a mean / typical gap")
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="few draws: seconds, rough numbers")
    ap.add_argument("--write", action="store_true",
                    help="write benchmarks/QUALITY.md and docs/quality.png")
    ap.add_argument("--figure", type=Path, default=Path("build/quality.png"))
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()

    scale = 0.1 if args.quick else 1.0
    levels = [0.1, 0.3, 1.0, 3.0, 10.0, 30.0]
    started = time.perf_counter()
    print(check_fronts_against_moocore())
    print(f"k = ceil({PERCENTILE} N) replaced per draw; {K_EVALS} evaluations per member; "
          f"kestrovane.select with {N_SAMPLES} samples")

    sweep: dict[int, list[dict[str, Tally]]] = {}
    noise_rows: list[tuple[str, dict[str, Tally]]] = []
    draws_noise = max(6, int(100 * scale))
    for m in (2, 3, 4):
        sweep[m] = []
        for level in levels:
            cell = run_cell(32, m, level, draws_noise, args.seed)
            sweep[m].append(cell)
            noise_rows.append((f"N=32 M={m} noise {level:g}", cell))
    print(f"noise sweep: {time.perf_counter() - started:.0f} s")

    size_rows: list[tuple[str, dict[str, Tally]]] = []
    draws_for = {8: 300, 32: 100, 128: 40, 256: 24}
    for n, draws in draws_for.items():
        for m in (2, 3, 4):
            cell = run_cell(n, m, 3.0, max(3, int(draws * scale)), args.seed)
            size_rows.append((f"N={n} M={m} noise 3", cell))
    shape_rows: list[tuple[str, dict[str, Tally]]] = []
    for shape in SHAPES:
        for level in (1.0, 3.0, 10.0):
            cell = run_cell(32, 3, level, max(6, int(100 * scale)), args.seed + 1, [shape])
            shape_rows.append((f"{shape} M=3 noise {level:g}", cell))
    elapsed = time.perf_counter() - started

    sections = [
        ("Replaced members that are truly non-dominated, % (lower is better)", "replaced"),
        ("Copied members that are truly non-dominated, % (higher is better)", "copied"),
        ("True hypervolume lost by the replacements, % (lower is better)", "hv"),
    ]
    out: list[str] = []
    for title, key in sections:
        for label, rows in (("noise", noise_rows), ("population size", size_rows),
                            ("front shape", shape_rows)):
            out += [f"### {title}: by {label}", ""] + table(rows, key) + [""]
    replaced = [f"{label}: " + ", ".join(f"{p} {t.rates()[3]:.2f}" for p, t in cell.items())
                for label, cell in size_rows]
    out += ["### Replacements per draw (k minus members in both lists for select)", ""]
    out += [f"- {line}" for line in replaced] + [""]
    text = "\n".join(out)
    print(text)
    print(f"total {elapsed:.0f} s")
    draw(levels, sweep, args.figure)
    print(f"figure: {args.figure}")
    if args.write and not args.quick:
        header = ("# Decision quality of exploit policies\n\n"
                  f"Latest full run of `benchmarks/bench_quality.py` ({time.strftime('%Y-%m-%d')},"
                  f" {elapsed:.0f} s). Regenerate with `python benchmarks/bench_quality.py "
                  "--write`. Each row pools its draws over the front shapes linear, convex and "
                  "concave unless it names one.\n\n")
        (HERE / "QUALITY.md").write_text(header + text)
        draw(levels, sweep, HERE.parent / "docs" / "quality.png")
        print(f"wrote {HERE / 'QUALITY.md'} and docs/quality.png")


if __name__ == "__main__":
    main()

"""Asynchronous population-based training, simulated, with kestrovane.pbt.

Each member has hidden true performance on two or three objectives (all
minimised), which improves as it trains at a speed set by its learning rate.
Members finish training steps at their own pace (asynchronously), report a
noisy evaluation to the tracker, and ask it what to do.  A replaced member
takes the copied member's state and perturbs its hyper-parameters; every
member's hyper-parameters also drift a little at each step.  The tracker
never sees the true performance: the plot shows how the population's true
front moves over time.

    python examples/async_pbt.py                # 2 objectives, async_pbt.png
    python examples/async_pbt.py --objectives 3 --out build/async_pbt3.png

No training framework is needed; matplotlib draws the picture.
"""

from __future__ import annotations

import argparse
import heapq
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from kestrovane.pbt import Population

Vector = NDArray[np.float64]
BEST_LOG_LR = -2.0  # the learning rate that trains fastest, 1e-2
OFFSET = 0.2  # keeps every objective away from 0: no member wins one by sitting at an edge
REF = 5.0  # hypervolume reference point, beyond every member's start (at most 4 * 1.2)
INTERVAL = 4  # a member asks the tracker every INTERVAL of its steps


@dataclass
class Member:
    name: str
    log_lr: float   # hyper-parameter: log10 of the learning rate
    angles: Vector  # hyper-parameters: where on the trade-off the member heads
    distance: float  # hidden: how far the member is from the true front
    speed: float     # steps per unit of time
    steps: int = 0   # since it last asked the tracker or was replaced

    def true_scores(self) -> Vector:
        """Minimised objectives: a point of the true front (an offset quarter
        sphere), scaled by 1 + distance from it."""
        return (1.0 + self.distance) * (OFFSET + direction(self.angles))


def direction(angles: Vector) -> Vector:
    """A unit vector with positive entries from M - 1 angles in [0, 1]."""
    theta = np.clip(angles, 0.0, 1.0) * (np.pi / 2)
    out = np.ones(len(angles) + 1)
    for j, t in enumerate(theta):
        out[j] *= np.cos(t)
        out[j + 1:] *= np.sin(t)
    return out


def train_step(m: Member, rng: np.random.Generator) -> None:
    rate = np.exp(-((m.log_lr - BEST_LOG_LR) ** 2) / (2 * 0.6 ** 2))
    m.distance *= 1.0 - 0.12 * rate
    m.log_lr = float(np.clip(m.log_lr + rng.normal(0, 0.03), -4.0, 0.0))  # drift
    m.angles = np.clip(m.angles + rng.normal(0, 0.01, m.angles.shape), 0.0, 1.0)


def explore(m: Member, source: Member, rng: np.random.Generator) -> None:
    """Copy the source's state, then perturb the copied hyper-parameters."""
    m.distance = source.distance
    m.log_lr = float(np.clip(source.log_lr + rng.choice([-0.3, 0.3]), -4.0, 0.0))
    m.angles = np.clip(source.angles + rng.normal(0, 0.08, source.angles.shape), 0.0, 1.0)


def non_dominated(points: Vector) -> NDArray[np.bool_]:
    le = (points[:, None, :] <= points[None, :, :]).all(axis=2)
    lt = (points[:, None, :] < points[None, :, :]).any(axis=2)
    dominated = (le & lt).any(axis=0)
    return ~dominated


def hypervolume(points: Vector, ref: Vector) -> float:
    """Exact hypervolume dominated by `points` below `ref`, by slicing the last
    objective (fine for a few dozen points in up to four objectives)."""
    pts = points[(points < ref).all(axis=1)]
    if len(pts) == 0:
        return 0.0
    if pts.shape[1] == 1:
        return float(ref[0] - pts[:, 0].min())
    pts = pts[np.argsort(pts[:, -1], kind="stable")]
    total = 0.0
    for i in range(len(pts)):
        upper = pts[i + 1, -1] if i + 1 < len(pts) else ref[-1]
        if upper > pts[i, -1]:
            total += hypervolume(pts[: i + 1, :-1], ref[:-1]) * (upper - pts[i, -1])
    return total


def simulate(n_members: int, n_objectives: int, steps: int, noise: float, seed: int
             ) -> tuple[list[tuple[float, Vector]], list[str]]:
    rng = np.random.default_rng(seed)
    names = [f"m{i:02d}" for i in range(n_members)]
    members = {
        name: Member(name, log_lr=float(rng.uniform(-4.0, 0.0)),
                     angles=rng.uniform(0.0, 1.0, n_objectives - 1),
                     distance=float(rng.uniform(1.0, 3.0)), speed=float(rng.uniform(0.5, 1.5)))
        for name in names
    }
    objectives = [f"f{j + 1}" for j in range(n_objectives)]
    pop = Population[str](objectives, window=8, min_reports=2, percentile=0.25, seed=seed)
    # Events: (time of the member's next finished step, order, name).
    events = [(1.0 / m.speed, i, m.name) for i, m in enumerate(members.values())]
    heapq.heapify(events)
    snapshots = [(0.0, np.array([m.true_scores() for m in members.values()]))]
    log: list[str] = []
    horizon = steps / 1.0
    next_snapshot = 1.0
    while events:
        now, order, name = heapq.heappop(events)
        if now > horizon:
            break
        while next_snapshot <= now:
            snapshots.append((next_snapshot, np.array([m.true_scores()
                                                        for m in members.values()])))
            next_snapshot += 1.0
        m = members[name]
        train_step(m, rng)
        scores = m.true_scores() + rng.normal(0.0, noise, n_objectives)
        pop.report(name, scores.tolist())
        m.steps += 1
        if m.steps < INTERVAL:
            heapq.heappush(events, (now + 1.0 / m.speed, order, name))
            continue
        m.steps = 0
        decision = pop.decide(name)
        if decision.action == "replace" and decision.source is not None:
            source = members[decision.source]
            before = m.true_scores()
            explore(m, source, rng)
            log.append(f"t={now:6.2f}  {name} replaced by a copy of {source.name}: true "
                       f"({', '.join(f'{x:.2f}' for x in before)}) -> "
                       f"({', '.join(f'{x:.2f}' for x in m.true_scores())}), "
                       f"lr 1e{m.log_lr:+.1f}")
        heapq.heappush(events, (now + 1.0 / m.speed, order, name))
    snapshots.append((horizon, np.array([m.true_scores() for m in members.values()])))
    return snapshots, log


def draw(snapshots: list[tuple[float, Vector]], noise: float, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ref = np.full(snapshots[0][1].shape[1], REF)
    fig, (ax_front, ax_hv) = plt.subplots(1, 2, figsize=(11, 4.5))
    picks = sorted({0, len(snapshots) // 4, len(snapshots) // 2, len(snapshots) - 1})
    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.9, len(picks)))
    for colour, i in zip(colours, picks):
        t, pts = snapshots[i]
        front = pts[non_dominated(pts)]
        front = front[np.argsort(front[:, 0])]
        ax_front.scatter(pts[:, 0], pts[:, 1], s=14, color=colour, alpha=0.35)
        ax_front.plot(front[:, 0], front[:, 1], "o-", color=colour, ms=5, label=f"t = {t:g}")
    arc = np.linspace(0, np.pi / 2, 100)
    ax_front.plot(OFFSET + np.cos(arc), OFFSET + np.sin(arc), "k:", lw=1,
                  label="best possible")
    ax_front.set_xlabel("f1 (true, minimised)")
    ax_front.set_ylabel("f2 (true, minimised)")
    title = "population and its true front" + (" (f1, f2 of 3)" if len(ref) > 2 else "")
    ax_front.set_title(title)
    ax_front.legend(fontsize=8)
    times = [t for t, _ in snapshots]
    hv = [hypervolume(pts, ref) for _, pts in snapshots]
    ax_hv.plot(times, hv, "-", color="tab:blue")
    ax_hv.set_xlabel("time (steps of an average member)")
    ax_hv.set_ylabel(f"true hypervolume (reference {ref[0]:g})")
    ax_hv.set_title(f"true front over time (evaluation noise sd {noise:g})")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--members", type=int, default=16)
    parser.add_argument("--objectives", type=int, choices=(2, 3), default=2)
    parser.add_argument("--steps", type=int, default=40, help="time to simulate")
    parser.add_argument("--noise", type=float, default=0.15, help="sd of an evaluation")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="async_pbt.png", help="PNG to draw")
    args = parser.parse_args()
    snapshots, log = simulate(args.members, args.objectives, args.steps, args.noise, args.seed)
    print("\n".join(log))
    ref = np.full(args.objectives, REF)
    start, end = snapshots[0][1], snapshots[-1][1]
    print(f"{len(log)} replacements; true hypervolume {hypervolume(start, ref):.2f} -> "
          f"{hypervolume(end, ref):.2f}; members on the true front "
          f"{int(non_dominated(start).sum())} -> {int(non_dominated(end).sum())}")
    draw(snapshots, args.noise, args.out)
    print(f"drawn to {args.out}")


if __name__ == "__main__":
    main()

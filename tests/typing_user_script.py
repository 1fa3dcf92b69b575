"""A scheduler's use of the public API, as a user would write it; checked
with `mypy --strict` by test_public_typing.py and also run there."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import kestrovane
from kestrovane import MetricStats, Rating, Selection
from kestrovane.pbt import Decision, Population


def exploit(scores: dict[str, list[list[float]]]) -> list[tuple[str, str]]:
    names = list(scores)
    mu, sigma2 = kestrovane.estimate([np.asarray(scores[n]) for n in names])
    sel = kestrovane.select(mu, sigma2, n_samples=200, percentile=0.25, seed=7, ids=names,
                            objectives=["accuracy", "latency"], maximize=["accuracy"],
                            progress=lambda done, total: None)
    assert_type(sel, Selection[str])
    assert_type(sel.winners, tuple[str, ...])
    assert_type(sel.place, MetricStats)
    assert_type(sel.place.median, NDArray[np.float64])
    assert_type(sel.win_count, NDArray[np.int32])
    quantiles: str = sel.quantiles_used
    assert quantiles in ("exact", "p2")
    best: str = sel.winners[0]
    assert best in names
    return sel.replacements


def rate_once() -> int:
    rating = kestrovane.rate([[1.0, 2.0], [2.0, 1.0], [3.0, 3.0]], mode="values")
    assert_type(rating, Rating)
    return rating.n_fronts


def default_ids() -> int:
    sel = kestrovane.select(np.zeros((4, 1)), np.ones((4, 1)), n_samples=10, maximize=True)
    assert_type(sel, Selection[int])
    return sel.losers[0] + 1


def track(scores: dict[str, list[list[float]]]) -> list[tuple[str, str]]:
    pop = Population[str](["accuracy", "latency"], maximize=["accuracy"])
    plan: list[tuple[str, str]] = []
    for name, rows in scores.items():
        for row in rows:
            pop.report(name, {"accuracy": row[0], "latency": row[1]})
        decision = pop.decide(name)
        assert_type(decision, Decision[str])
        if decision.action == "replace" and decision.source is not None:
            plan.append((name, decision.source))
    return plan


def track_arrays(row: NDArray[np.float64]) -> int:
    """Reports as NumPy users write them; with one objective, the score itself."""
    pop, single = Population[int](["loss", "ms"]), Population[int](["loss"])
    pop.report(0, row)
    pop.report(0, {"loss": np.float32(row[0]), "ms": 1})
    single.report(0, np.float64(row[0]))
    single.report(0, np.float32(0.5))
    return pop.reports(0) + single.reports(0)


if __name__ == "__main__":
    rng = np.random.default_rng(0)
    runs = {f"trial-{i}": rng.normal([0.8, 20.0], 0.05, size=(3, 2)).tolist() for i in range(8)}
    plan = exploit(runs)
    assert plan and all(loser != winner for loser, winner in plan)
    assert rate_once() == 2 and default_ids() >= 1
    assert all(loser != winner for loser, winner in track(runs))
    assert track_arrays(np.array([0.5, 20.0])) == 4
    print(kestrovane.__version__, len(plan))

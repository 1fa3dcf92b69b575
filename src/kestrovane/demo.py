"""Demo: rate a built-in population, then select from it under uncertainty."""

import numpy as np

from kestrovane.pareto_core._pareto_rating_cy import rate_population
from kestrovane.selection_core._mc_rank import mc_rank_select_detailed

# Twelve individuals, three minimised objectives (say loss, latency, size):
# means and variances of each score.
MU = np.array(
    [
        [0.10, 0.90, 0.50],
        [0.20, 0.40, 0.40],
        [0.30, 0.30, 0.30],
        [0.90, 0.10, 0.60],
        [0.40, 0.50, 0.20],
        [0.35, 0.45, 0.45],
        [0.50, 0.60, 0.70],
        [0.80, 0.80, 0.80],
        [0.25, 0.95, 0.55],
        [0.60, 0.20, 0.90],
        [0.95, 0.95, 0.95],
        [0.45, 0.35, 0.35],
    ]
)
SIGMA2 = np.full_like(MU, 0.01)
SIGMA2[[2, 5, 11]] = 0.04  # a few individuals whose scores are less certain


def show_rating() -> None:
    n_fronts, front_id, within, order = rate_population(MU, mode_i=0)
    print(f"Rating of the means: {len(MU)} individuals, {MU.shape[1]} objectives, "
          f"{n_fronts} fronts")
    print(f"{'place':>5} {'id':>3} {'front':>5} {'crowding':>9}  objectives")
    for place, i in enumerate(order):
        values = " ".join(f"{v:.2f}" for v in MU[i])
        print(f"{place:>5} {i:>3} {front_id[i]:>5} {within[i]:>9.3f}  {values}")


def show_selection(n_samples: int = 20000, seed: int = 7) -> None:
    (winners, losers, wins, losses, _rank_sum, place, front, _within,
     quality) = mc_rank_select_detailed(MU, SIGMA2, n_samples, percentile=0.25, seed=seed)
    print(f"\nMonte-Carlo selection over {n_samples} samples (seed {seed}, top/bottom 25 %):")
    print(f"winners {winners.tolist()}   losers {losers.tolist()}")
    print(f"{'id':>3} {'wins':>6} {'losses':>6} {'place mean±std':>15} "
          f"{'q25':>5} {'median':>6} {'q75':>5} {'front':>6} {'quality':>8}")
    for i in np.argsort(-quality, kind="stable"):
        print(f"{i:>3} {wins[i]:>6} {losses[i]:>6} "
              f"{place['mean'][i]:>8.2f}±{place['std'][i]:<6.2f} "
              f"{place['q25'][i]:>5.1f} {place['median'][i]:>6.1f} {place['q75'][i]:>5.1f} "
              f"{front['mean'][i]:>6.2f} {quality[i]:>8.2f}")


def main() -> None:
    show_rating()
    show_selection()


if __name__ == "__main__":
    main()

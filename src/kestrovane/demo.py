"""Rate a small built-in population and print its fronts and order."""

import numpy as np

from kestrovane.pareto_core._pareto_rating_cy import rate_population

# Twelve individuals, three minimised objectives (say loss, latency, size).
EXAMPLE = np.array(
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


def main() -> None:
    n_fronts, front_id, within, order = rate_population(EXAMPLE, mode_i=0)
    print(f"{len(EXAMPLE)} individuals, {EXAMPLE.shape[1]} objectives, {n_fronts} fronts")
    print(f"{'place':>5} {'id':>3} {'front':>5} {'crowding':>9}  objectives")
    for place, i in enumerate(order):
        values = " ".join(f"{v:.2f}" for v in EXAMPLE[i])
        print(f"{place:>5} {i:>3} {front_id[i]:>5} {within[i]:>9.3f}  {values}")


if __name__ == "__main__":
    main()

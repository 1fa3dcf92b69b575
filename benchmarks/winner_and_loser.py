"""How often one noisy individual is both the winner and the loser, with 2k <= N.

Populations of N = 10 individuals, percentile 0.1 (k = 1): the means are
standard normal per objective, nine individuals share one standard deviation
(`steady sd`) and one, at a random index, has a larger one (`noisy sd`).  For
each population `mc_rank_select` runs 2000 samples; a population counts when
its one winner is also its one loser.  Seeded: the figures repeat exactly.

    python benchmarks/winner_and_loser.py
"""

from __future__ import annotations

import numpy as np

from kestrovane.selection_core._mc_rank import mc_rank_select

N, PERCENTILE, SAMPLES, POPULATIONS = 10, 0.1, 2000, 300
STEADY = (1.0, 0.3)  # as wide as the spread of the means, and a third of it
NOISY_FACTOR = (3, 10)
OBJECTIVES = (1, 2, 3)


def count(m: int, steady: float, noisy: float) -> tuple[int, int, int]:
    """(both, noisy one wins, noisy one loses) over POPULATIONS populations."""
    rng = np.random.default_rng([m, int(steady * 10), int(noisy * 10)])
    both = wins = losses = 0
    for _ in range(POPULATIONS):
        mu = rng.normal(size=(N, m))
        sigma2 = np.full((N, m), steady**2)
        j = int(rng.integers(N))
        sigma2[j] = noisy**2
        winners, losers, *_ = mc_rank_select(mu, sigma2, SAMPLES, PERCENTILE,
                                             int(rng.integers(2**63)))
        both += int(winners[0] == losers[0])
        wins += int(winners[0] == j)
        losses += int(losers[0] == j)
    return both, wins, losses


def main() -> None:
    print(f"N = {N}, k = 1, {SAMPLES} samples, {POPULATIONS} populations per row\n")
    print("| M | steady sd | noisy sd | winner is also loser | noisy one wins | noisy one loses |")
    print("|---:|---:|---:|---:|---:|---:|")
    for m in OBJECTIVES:
        for steady in STEADY:
            for factor in NOISY_FACTOR:
                both, wins, losses = count(m, steady, steady * factor)
                print(f"| {m} | {steady:g} | {steady * factor:g} | {both} | {wins} | {losses} |",
                      flush=True)


if __name__ == "__main__":
    main()

"""Every random stream of the package, derived from a seed.

Each derivation is one function here, so that the streams are independent
by construction and none changes by accident: a run is repeated bit for bit
from its seed (docs/randomness.md lists them with the ties each breaks).

Python-side streams are NumPy's: `numpy.random.SeedSequence` for derived
seeds, `numpy.random.default_rng` for generators.  The engine's streams are
derived in C++ (`selection_core/random/`); `splitmix64`, `engine_state`,
`tie_seed` and `tie_permutation` describe them in Python, and the tests hold
the description to the engine.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Final

import numpy as np

#: 2**64 - 1: seeds and the engine's words are unsigned 64-bit integers.
MASK: Final = (1 << 64) - 1
#: The derived stream of `Population.front_chances` (decisions use 0, 1, 2, ...).
FRONT_CHANCES_STREAM: Final = 2**63


# -- seeds ----------------------------------------------------------------------

def fresh_seed() -> int:
    """A seed from fresh operating-system entropy (a `seed` of None)."""
    return int(np.random.SeedSequence().generate_state(1, np.uint64)[0])


def seed_from(generator: np.random.Generator) -> int:
    """A seed drawn from a caller's generator, advancing it (a `seed` that is
    a Generator), so that one generator gives a new stream per call."""
    return int(generator.integers(0, MASK, dtype=np.uint64, endpoint=True))


def derived_seed(seed: int, n: int) -> int:
    """The n-th seed derived from `seed` (independent streams for every n):
    the first word of ``SeedSequence(seed, spawn_key=(n,))``.

    A population's n-th decision has ``derived_seed(population.seed, n)``;
    `MonteCarloRule`'s batch b of a decision is seeded by
    ``derived_seed(decision_seed, b)``."""
    return int(np.random.SeedSequence(seed, spawn_key=(n,))
               .generate_state(1, dtype=np.uint64)[0])


def front_chances_seed(seed: int) -> int:
    """The seed of `Population.front_chances` for a population's `seed`: a
    stream apart from every decision's."""
    return derived_seed(seed, FRONT_CHANCES_STREAM)


# -- generators -----------------------------------------------------------------

def choice_rng(decision_seed: int) -> np.random.Generator:
    """A decision's generator for its random choices: the order of equal
    counts (`MonteCarloRule`) and the member copied (`any_source`)."""
    return np.random.default_rng(decision_seed)


def shuffle_rng(decision_seed: int) -> np.random.Generator:
    """A decision's generator of the row order `ParetoRule` rates in, apart
    from `choice_rng`'s."""
    return np.random.default_rng((decision_seed, 1))


def front_rng(seed: int) -> np.random.Generator:
    """The draws of `kestrovane.front_chances` with `seed`."""
    return np.random.default_rng(seed)


def fallback_rng(seed: int, exploits: int) -> np.random.Generator:
    """The Ray adapter's choice of a source for a diverged trial: keyed by the
    population's seed and the number of exploits so far."""
    return np.random.default_rng([seed, exploits])


def keyed_root(key: Sequence[int]) -> np.random.SeedSequence:
    """The root of a simulated run's streams, keyed by integers that name the
    run (the lab: family, seed and design), the same for every policy."""
    return np.random.SeedSequence(list(key))


def slot_streams(root: np.random.SeedSequence, slots: int,
                 purposes: int) -> list[list[np.random.Generator]]:
    """Per slot (a member of a simulated run) one generator per purpose,
    spawned from `root`: slot i's stream j is independent of every other."""
    return [[np.random.default_rng(s) for s in seq.spawn(purposes)]
            for seq in root.spawn(slots)]


# -- the engine's streams, described --------------------------------------------

def splitmix64(state: int) -> tuple[int, int]:
    """One step of splitmix64 (`_splitmix64` in random/xoshiro256ss.hpp):
    the next state and the output."""
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


def engine_state(seed: int) -> tuple[int, int, int, int]:
    """The xoshiro256** state the engine's normals start from: four outputs
    of splitmix64 run from `seed` itself (`_xoshiro_seed`)."""
    words = []
    for _ in range(4):
        seed, out = splitmix64(seed)
        words.append(out)
    return words[0], words[1], words[2], words[3]


def tie_seed(seed: int) -> int:
    """The seed of the engine's random tie order (`tie_seed_of` in
    random/tie_shuffle.hpp), apart from the normals' stream."""
    return splitmix64(seed ^ 0x6A09E667F3BCC909)[1]


def tie_permutation(tie_seed_value: int, sample: int, n: int) -> list[int]:
    """Sample `sample`'s permutation of the rows (`tie_permutation`): member
    i is rated in row ``perm[i]``.  Inside-out Fisher-Yates on a splitmix64
    state of the tie seed and the sample, with Lemire's bounded draws."""
    state = splitmix64((tie_seed_value + 0xD1B54A32D192ED03 * (sample + 1)) & MASK)[1]
    perm = list(range(n))  # inside-out: entry i is still i when its turn comes
    for i in range(1, n):
        state, j = _bounded(state, i + 1)
        perm[i], perm[j] = perm[j], perm[i]
    return perm


def _bounded(state: int, bound: int) -> tuple[int, int]:
    """Uniform below `bound` from the top 32 bits of splitmix64 outputs, with
    rejection (`tie_bounded`): the next state and the value."""
    state, x = splitmix64(state)
    product = (x >> 32) * bound
    if product & 0xFFFFFFFF < bound:
        while product & 0xFFFFFFFF < ((1 << 32) - bound) % bound:
            state, x = splitmix64(state)
            product = (x >> 32) * bound
    return state, product >> 32

"""The tracker's random streams, for policies and adapters: each derived from
a seed by one function of `kestrovane._api.streams` (docs/randomness.md).

A policy draws its random choices from `choice_rng(evidence.seed)` (or a
generator of its own seeded by `evidence.seed`), so that its decisions
repeat with the population's seed.
"""

from __future__ import annotations

from kestrovane._api.streams import (FRONT_CHANCES_STREAM, choice_rng, derived_seed,
                                     fallback_rng, front_chances_seed, keyed_root, shuffle_rng,
                                     slot_streams)

__all__ = ["FRONT_CHANCES_STREAM", "choice_rng", "derived_seed", "fallback_rng",
           "front_chances_seed", "keyed_root", "shuffle_rng", "slot_streams"]

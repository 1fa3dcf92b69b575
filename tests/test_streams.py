"""Every stream of kestrovane._api.streams: the Python ones give the values
runs were kept with (a change would change every kept decision), and the
Python description of the engine's streams matches the C++ known-answer
vectors and the engine itself."""

import re
from pathlib import Path

import numpy as np
import pytest

import kestrovane
from kestrovane._api import streams
from kestrovane.pbt import Population

CPP_TESTS = Path(__file__).parent / "cpp"


def test_python_streams_keep_their_values():
    assert streams.derived_seed(0, 0) == 8668861027912758289
    assert streams.derived_seed(2**64 - 1, 5) == 14398611751217449948
    assert streams.front_chances_seed(3) == 15174903374937495811
    assert int(streams.choice_rng(7).integers(2**63)) == 5765488047046174021
    assert streams.shuffle_rng(7).permutation(6).tolist() == [3, 0, 2, 1, 4, 5]
    assert float(streams.front_rng(9).standard_normal()).hex() == "-0x1.9b0d716022754p-1"
    assert int(streams.fallback_rng(4, 2).integers(1000)) == 287
    slots = streams.slot_streams(streams.keyed_root([11, 5, 2, 8]), 3, 4)
    assert [[int(g.integers(1000)) for g in row] for row in slots] == [
        [265, 57, 136, 711], [16, 591, 170, 459], [697, 625, 251, 514]]
    assert streams.seed_from(np.random.default_rng(3)) == 1579948266424812280
    assert streams.fresh_seed() != streams.fresh_seed()


def test_a_population_draws_its_front_chances_from_their_stream():
    pop = Population[int](["x"], seed=3)
    for m in range(3):
        pop.report(m, 1.0 + m)
        pop.report(m, 2.0 + m)
    assert pop.front_chances(n_samples=10).seed == streams.front_chances_seed(3)


def cpp_vectors(name, path):
    """A `constexpr ... name[] = {...};` array of a C++ test, as integers."""
    text = (CPP_TESTS / path).read_text()
    body = re.search(name + r"\[\] = \{([^}]*)\}", text).group(1)
    return [int(x.rstrip("ULL").rstrip(), 0) for x in body.replace("\n", " ").split(",")
            if x.strip()]


def test_the_engine_description_matches_the_cpp_vectors():
    assert list(streams.engine_state(0)) == cpp_vectors("kStateSeed0", "test_random.cpp")
    assert list(streams.engine_state(1)) == cpp_vectors("kStateSeed1", "test_random.cpp")
    assert list(streams.engine_state(2**64 - 1)) == cpp_vectors("kStateSeedMax",
                                                                "test_random.cpp")
    assert [streams.tie_seed(s) for s in (0, 1, 2**64 - 1)] == cpp_vectors(
        "kTieSeeds", "test_tie_shuffle.cpp")
    for name, seed, sample, n in (("kPermSeed0Sample0", 0, 0, 10),
                                  ("kPermSeed0Sample1", 0, 1, 10),
                                  ("kPermSeedMaxSample7", 2**64 - 1, 7, 12)):
        assert streams.tie_permutation(streams.tie_seed(seed), sample, n) == cpp_vectors(
            name, "test_tie_shuffle.cpp")


@pytest.mark.parametrize("seed, n", [(0, 10), (12345, 7), (2**64 - 1, 33), (2**40 + 3, 2)])
def test_the_engine_rates_each_member_in_the_row_the_description_gives(seed, n):
    # Alike, exactly known members: every key ties, so the rating goes by row:
    # the front's two boundary rows first (infinite crowding), then the rest.
    mu, s2 = np.zeros((n, 2)), np.zeros((n, 2))
    places = [np.zeros(n, dtype=np.int64)]
    for samples in (1, 2, 3):
        c = kestrovane.counts(mu, s2, n_samples=samples, seed=seed, threads=1)
        places.append(c.rank_sum)
    for sample in range(3):
        rows = streams.tie_permutation(streams.tie_seed(seed), sample, n)
        want = [{0: 0, n - 1: 1}.get(r, r + 1) for r in rows]
        assert (places[sample + 1] - places[sample]).tolist() == want


def test_the_table_of_streams_names_every_stream_and_the_tracker_exports_them():
    # A stream added without its row in docs/randomness.md, or a row left for
    # a stream that is gone, fails here.
    table = (Path(__file__).parents[1] / "docs" / "randomness.md").read_text()
    named = set(re.findall(r"`([a-z_0-9]+)(?:\(|`)", table))
    public = {n for n, f in vars(streams).items()
              if callable(f) and not n.startswith("_") and getattr(f, "__module__", "") ==
              streams.__name__}
    assert public - named == set()
    from kestrovane.pbt import streams as tracker_streams
    assert set(tracker_streams.__all__) <= set(vars(streams))

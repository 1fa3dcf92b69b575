"""Selection.from_dict refuses tampered dicts, naming the key at fault."""

import json

import pytest

from kestrovane import Selection, select


@pytest.fixture(scope="module")
def good():
    sel = select([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0], [0.5, 0.5], [3.0, 3.0]], [[0.1, 0.1]] * 5,
                 n_samples=120, percentile=0.4, ids=["a", "b", "c", "d", "e"],
                 objectives=["x", "y"], maximize=["y"])
    return json.loads(json.dumps(sel.to_dict()))


def tampered(d, key, value):
    out = json.loads(json.dumps(d))
    if value is KeyError and "." in key:
        outer, inner = key.split(".")
        del out[outer][inner]
    elif value is KeyError:
        del out[key]
    elif "." in key:
        outer, inner = key.split(".")
        out[outer][inner] = value
    else:
        out[key] = value
    return out


@pytest.mark.parametrize("key, value, exc, message", [
    ("ids", ["a", "b", "c", "d"], ValueError, "entries; 4 expected|outside \\[0, 3\\]"),
    ("ids", ["a", "a", "c", "d", "e"], ValueError, "duplicate id 'a'"),
    ("ids", "abcde", TypeError, "'ids' must be a list"),
    ("winners", ["zz", "zz"], ValueError, "'winners'\\[0\\] is 'zz', not an id"),
    ("winners", ["a"], ValueError, "'winners' has 1 entries; 2 expected"),
    ("winners", [["a"], "b"], ValueError, "not an id"),
    ("losers", ["e", "e"], ValueError, "loser_rows"),
    ("winner_rows", [0, 9], ValueError, "'winner_rows'\\[1\\] is 9, outside"),
    ("winner_rows", [0, "1"], TypeError, "'winner_rows'\\[1\\] must be an integer"),
    ("win_count", [1, 2, 3], ValueError, "'win_count' has 3 entries; 5 expected"),
    ("win_count", [500, 0, 0, 0, 0], ValueError, "'win_count'\\[0\\] is 500, outside"),
    ("win_count", [1, 1, 1, 1, 1], ValueError, "'win_count' sums to 5"),
    ("rank_sum", [0, 0, 0, 0, 0], ValueError, "'rank_sum' does not sum"),
    ("n_samples", 0, ValueError, "n_samples must be in \\[1,"),
    ("n_samples", "120", TypeError, "n_samples must be an integer"),
    ("percentile", 5, ValueError, "percentile must be in \\(0, 1\\]"),
    ("mode", "fast", ValueError, "mode must be"),
    ("quantiles", None, TypeError, "quantiles must be"),
    ("quantiles_used", "p3", ValueError, "quantiles_used must be"),
    ("ties", "first", ValueError, "ties must be"),
    ("seed", -1, ValueError, "seed must be in"),
    ("maximize", [True], ValueError, "objectives has 2 names but there are 1"),
    ("maximize", [1, 0], TypeError, "'maximize' must be a non-empty list of bools"),
    ("objectives", ["x", "x"], ValueError, "duplicate objective name 'x'"),
    ("place", [1, 2], TypeError, "'place' must be a mapping"),
    ("front.median", [0.0] * 4, ValueError, "'median' has 4 entries; 5 expected"),
    ("quality", [0.0, 0.0, 0.0, 0.0, "x"], TypeError, "'quality'\\[4\\] must be a real"),
    ("seed", KeyError, ValueError, "key 'seed' is missing"),
    ("place", KeyError, ValueError, "key 'place' is missing"),
    # Integers beyond the float range, and statistics no selection can have.
    ("win_count", [10**400, 0, 0, 0, 0], ValueError, "'win_count'\\[0\\] is 1000.*, outside"),
    ("rank_sum", [0, 0, -10**400, 0, 0], ValueError, "'rank_sum'\\[2\\] is -1000.*, outside"),
    ("quality", [0, 0, 0, 0, 10**400], ValueError, "'quality'\\[4\\] is 1000.*too large"),
    ("quality", [0, 0, 0, 0, 1.0], ValueError, "'quality'\\[4\\] is 1.0, outside \\[-12, 0\\]"),
    ("quality", [0, 0, 0, 0, float("nan")], ValueError, "'quality'\\[4\\] is nan; it must be"),
    ("place.mean", [0, 0, -1, 0, 0], ValueError,
     "'place': 'mean'\\[2\\] is -1, outside \\[0, 4\\]"),
    ("front.q25", [0, float("inf"), 0, 0, 0], ValueError, "'front': 'q25'\\[1\\] is inf"),
    ("within.std", [0, 0, 0, 0, 4.5], ValueError, "'within': 'std'\\[4\\] is 4.5, outside"),
    ("within.q75", KeyError, ValueError, "'within': key 'q75' is missing"),
])
def test_tampered_dicts_are_refused_naming_the_key(good, key, value, exc, message):
    with pytest.raises(exc, match=message):
        Selection.from_dict(tampered(good, key, value))


def test_a_good_dict_and_one_without_ties_still_load(good):
    assert Selection.from_dict(good).to_dict() == good
    old = tampered(good, "ties", KeyError)
    assert Selection.from_dict(old).ties == "index"


@pytest.mark.parametrize("n, quantiles", [(1, "exact"), (2, "p2"), (7, "exact"), (7, "p2")])
def test_selections_at_the_bounds_of_their_statistics_load(n, quantiles):
    # One sample: every place, front and rank is an integer at its extreme.
    for n_samples in (1, 3):
        sel = select([[float(i), float(-i)] for i in range(n)], [[0.0, 0.0]] * n,
                     n_samples=n_samples, quantiles=quantiles, seed=n)
        assert Selection.from_dict(json.loads(json.dumps(sel.to_dict()))) == sel

"""The P² estimators run in the widest instruction set the processor has;
every build must give the same bits.  KESTROVANE_P2_LANES picks one per call
(a build the processor lacks falls back to the baseline, which must then
agree as well)."""

import numpy as np
import pytest

import kestrovane
from helpers import canon, population
from kestrovane.selection_core._mc_rank import mc_rank_select_detailed

BUILDS = ["baseline", "avx2", "avx512"]


def with_lanes(monkeypatch, name, call):
    monkeypatch.setenv("KESTROVANE_P2_LANES", name)
    return call()


# One objective (fronts mirror places, within ranks flat), ties from cells
# without noise, ragged last blocks, and enough samples for every marker to
# move both ways.
@pytest.mark.parametrize("n,m,samples", [(1, 1, 40), (77, 1, 300), (130, 2, 200), (61, 3, 400),
                                         (19, 5, 900)])
def test_every_build_gives_the_same_estimates(monkeypatch, n, m, samples):
    mu, s2 = population(n, m, seed=n + m)
    for mode_i in (0, 1):
        results = {
            name: canon(with_lanes(monkeypatch, name, lambda: mc_rank_select_detailed(
                mu, s2, samples, 0.25, 3, mode_i, 0, 1)))
            for name in BUILDS + ["", "no-such-build"]
        }
        first = results["baseline"]
        assert all(r == first for r in results.values()), [k for k, r in results.items() if r != first]


def test_threaded_calls_agree_across_builds(monkeypatch):
    mu, s2 = population(300, 3, seed=5)
    s2 = np.maximum(s2, 0.0)  # the public layer refuses negative variances

    def run():
        return kestrovane.select(mu, s2, n_samples=500, seed=9, quantiles="p2", threads=2).to_dict()
    baseline = with_lanes(monkeypatch, "baseline", run)
    for name in BUILDS[1:]:
        assert with_lanes(monkeypatch, name, run) == baseline


def test_estimates_are_not_all_trivial():
    # Guards the tests above: the estimates move away from the first samples.
    mu, s2 = population(61, 3, seed=64)
    result = mc_rank_select_detailed(mu, s2, 400, 0.25, 3, 1, 0, 1)
    place = result[5]
    assert result[5] is not None and np.unique(place["median"]).size > 20
    assert not np.array_equal(place["q25"], place["q75"])

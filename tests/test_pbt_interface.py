"""The policy interface of kestrovane.pbt: what a Population accepts as its
policy, Evidence made by hand, and the public names."""

import pickle
import warnings

import numpy as np
import pytest

import kestrovane.pbt as pbt
from kestrovane.pbt import (Evidence, MonteCarloRule, ParetoRule, PolicyPicklingWarning,
                            Population, Verdict, truncation)


def keep_going(evidence, /):
    return Verdict(None, False)


def two_arguments(evidence, history):
    return Verdict(None, False)


def optional_extra(evidence, history=None):
    return Verdict(None, False)


@pytest.mark.parametrize("policy, message", [
    (ParetoRule, "not the class ParetoRule; pass an instance, e.g. ParetoRule()"),
    (42, "policy must be callable; got int"),
    (two_arguments, r"must be callable with one argument, the Evidence; its signature "
                    r"\(evidence, history\) does not bind one"),
])
def test_a_policy_that_cannot_decide_is_refused_when_the_population_is_made(policy, message):
    with pytest.raises(TypeError, match=message):
        Population(["x"], policy=policy)


def test_a_policy_that_does_not_pickle_is_warned_about_once_per_kind_and_still_works():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for policy in (keep_going, optional_extra, ParetoRule(), MonteCarloRule(), len):
            Population(["x"], policy=policy)  # len: no signature to read, trusted
    with pytest.warns(PolicyPicklingWarning, match=r"policy .*<locals>.<lambda> does not pickle "
                      r"\(.*\); a Population that is pickled") as caught:
        pop = Population[str](["x"], policy=lambda e: Verdict(None, True))
    assert " at 0x" not in str(caught[0].message)  # one message for every lambda
    assert caught[0].filename == __file__  # the caller's line, also through Population[...]
    for m in "ab":
        pop.report(m, [1.0])
        pop.report(m, [2.0])
    assert pop.decide("a").upper
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(pop)


def test_evidence_made_by_hand_gets_even_steps_and_its_lengths_are_checked():
    windows = (np.zeros((3, 1)), np.ones((1, 1)))
    e = Evidence(("a", "b"), windows, 0, np.array([True, True]), 0.5, 1)
    assert [s.tolist() for s in e.steps] == [[1, 2, 3], [1]]
    assert [t.tolist() for t in e.times] == [[1.0, 2.0, 3.0], [1.0]]
    with pytest.raises(ValueError, match=r"Evidence steps must hold one entry per evaluation "
                                         r"of each window \(\[3, 1\]\); got \[3, 2\]"):
        Evidence(("a", "b"), windows, 0, np.array([True, True]), 0.5, 1,
                 (np.arange(3), np.arange(2)))


def test_the_public_names_are_exported():
    assert all(hasattr(pbt, name) for name in pbt.__all__)

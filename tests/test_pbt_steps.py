"""Steps and times of reports: their defaults, their checks, the Evidence a
policy sees, restarts, and pickles with and without them."""

import math
import pickle
from collections import deque

import numpy as np
import pytest

from kestrovane.pbt import Population, Verdict


class Seen:
    """A policy that keeps the evidence of its last decision and copies `source`."""

    def __init__(self):
        self.last, self.source = None, None

    def __call__(self, evidence):
        self.last = evidence
        return Verdict(self.source, False)


def test_steps_count_reports_by_default_and_times_come_from_the_clock(monkeypatch):
    monkeypatch.setattr("kestrovane.pbt.population.wall_clock", lambda: 123.5)
    pop = Population[str](["x"], window=3)
    for score in (1.0, 2.0, 3.0, 4.0):
        pop.report("a", score)
    assert pop.steps("a").tolist() == [2, 3, 4] and pop.times("a").tolist() == [123.5] * 3
    pop.report("a", 5.0, step=10, time=7)
    pop.report("a", 6.0)  # one more than the previous step, whatever it was
    assert pop.steps("a").tolist() == [4, 10, 11] and pop.times("a").tolist() == [123.5, 7.0,
                                                                                  123.5]
    pop.restart("a")
    assert pop.steps("a").tolist() == [] and pop.evaluations("a").shape == (0, 1)
    pop.report("a", 1.0)
    assert pop.steps("a").tolist() == [12]  # the count goes on across a restart
    pop.restart("a")
    pop.report("a", 1.0, step=3)  # e.g. a source's step taken with its weights
    assert pop.steps("a").tolist() == [3]
    pop.leave("a")
    pop.report("a", 1.0)  # a new member: counts from 1 again
    assert pop.steps("a").tolist() == [1]


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"step": 2}, ValueError, "step of member 'a' is 2; it must be greater than .* 2"),
    ({"step": 2.5}, TypeError, "step of member 'a' must be an integer; got 2.5"),
    ({"step": -1}, ValueError, "step of member 'a'"),
    ({"step": 2**63}, ValueError, "step of member 'a'"),
    ({"time": math.nan}, ValueError, "time of member 'a' must be finite; got nan"),
    ({"time": 10**400}, ValueError, "must be finite"),
    ({"time": "now"}, TypeError, "time of member 'a' must be a real number"),
])
def test_bad_steps_and_times_are_refused_and_nothing_is_recorded(kwargs, exc, message):
    pop = Population[str](["x"])
    pop.report("a", 1.0, step=1, time=0.0)
    pop.report("a", 1.0, step=np.int64(2), time=np.float32(0.5))
    with pytest.raises(exc, match=message):
        pop.report("a", 9.0, **kwargs)
    assert pop.steps("a").tolist() == [1, 2] and pop.evaluations("a")[:, 0].tolist() == [1, 1]
    pop.report("a", 1.0)
    assert pop.steps("a").tolist() == [1, 2, 3]


def test_a_default_step_past_the_largest_is_refused_and_nothing_is_recorded():
    pop = Population[str](["x"])
    pop.report("a", 1.0, step=2**63 - 1)
    with pytest.raises(ValueError, match=r"step must be in \[0, 2\*\*63 - 1\]; got"):
        pop.report("a", 2.0)
    assert pop.steps("a").tolist() == [2**63 - 1] and pop.reports("a") == 1


def test_evidence_arrays_of_steps_and_times_are_read_only_and_follow_each_change():
    seen = Seen()
    pop = Population[str](["x"], window=4, policy=seen)
    for member in "ab":
        pop.report(member, 1.0, step=1, time=10.0)
        pop.report(member, 2.0, step=2, time=20.0)
    pop.decide("a", commit=False)
    first = seen.last
    assert not first.steps[0].flags.writeable and not first.times[1].flags.writeable
    pop.report("b", 3.0, step=5, time=50.0)
    pop.decide("a", commit=False)
    assert seen.last.steps[1].tolist() == [1, 2, 5]
    assert first.steps[1].tolist() == [1, 2]  # what a policy saw stays as it was
    pop.restart("b")
    pop.report("b", 4.0, step=7, time=70.0)
    pop.report("b", 5.0, step=8, time=80.0)
    pop.decide("a", commit=False)
    assert seen.last.times[1].tolist() == [70.0, 80.0]
    copy = pickle.loads(pickle.dumps(pop))
    copy.report("b", 6.0, step=9, time=90.0)
    assert copy.steps("b").tolist() == [7, 8, 9] and pop.steps("b").tolist() == [7, 8]


def test_evidence_aligns_steps_and_times_with_the_windows_and_a_replace_restarts_them():
    seen = Seen()
    pop = Population[str](["x", "y"], window=3, policy=seen)
    for step in range(1, 6):
        for i, m in enumerate("abc"):
            pop.report(m, [step + i, -step], step=step * (i + 1), time=step + 0.25 * i)
    pop.report("d", [0.0, 0.0])  # one report: not eligible
    pop.decide("b")
    e = seen.last
    assert e.ids == ("a", "b", "c")
    assert [s.tolist() for s in e.steps] == [[3, 4, 5], [6, 8, 10], [9, 12, 15]]
    assert [t.tolist() for t in e.times] == [[3.0, 4.0, 5.0], [3.25, 4.25, 5.25],
                                             [3.5, 4.5, 5.5]]
    assert all(s.dtype == np.int64 and t.dtype == np.float64 for s, t in zip(e.steps, e.times))
    seen.source = 0
    assert pop.decide("c").source == "a"
    assert pop.steps("c").tolist() == [] and pop.steps("a").tolist() == [3, 4, 5]


def reported():
    pop = Population[str](["x"], window=4, seed=2)
    for t in range(6):
        for m in "abc":
            pop.report(m, [t + ord(m) * 0.1], step=10 * t + 1, time=100.0 + t)
    pop.restart("c")
    return pop


def test_pickles_keep_steps_and_times_and_older_ones_get_the_defaults(monkeypatch):
    pop = reported()
    copy = pickle.loads(pickle.dumps(pop))
    for m in "abc":
        assert copy.steps(m).tolist() == pop.steps(m).tolist()
        assert copy.times(m).tolist() == pop.times(m).tolist()
    copy.report("c", 1.0)
    assert copy.steps("c").tolist() == [52]  # the last step survives the pickle
    state = reported().__getstate__()
    del state["_stamps"], state["_last_steps"]  # as pickled before they were kept
    monkeypatch.setattr("kestrovane.pbt.population.wall_clock", lambda: 5.0)
    old = Population.__new__(Population)
    old.__setstate__(state)
    assert old.steps("a").tolist() == [1, 2, 3, 4] and old.times("a").tolist() == [5.0] * 4
    assert old.decide("a") == reported().decide("a")
    old.report("a", 1.0)
    old.report("c", 1.0)
    assert old.steps("a").tolist() == [2, 3, 4, 5] and old.steps("c").tolist() == [1]


@pytest.mark.parametrize("change, exc, message", [
    (lambda s: s.pop("_stamps"), ValueError, "'_stamps': must be a dict"),
    (lambda s: s["_stamps"]["a"].pop(), ValueError, "member 'a' must be a deque of 4"),
    (lambda s: s["_stamps"].__setitem__("a", deque([(1, 0.0), (2, 0.0), (2, 0.0), (3, 0.0)],
                                                   maxlen=4)),
     ValueError, "evaluation 2 of member 'a' has step 2, not greater than .* 2"),
    (lambda s: s["_stamps"]["b"].append((99, math.inf)), ValueError,
     "time of member 'b' must be finite"),
    (lambda s: s["_stamps"]["b"].append([99, 1.0]), TypeError, "not a \\(step, time\\) pair"),
    (lambda s: s["_last_steps"].__setitem__("a", 7), ValueError,
     "last step of member 'a' is 7, not its newest step 51"),
])
def test_tampered_steps_and_times_are_refused(change, exc, message):
    pop = reported()
    state = pickle.loads(pickle.dumps(pop.__getstate__()))
    change(state)
    with pytest.raises(exc, match="cannot restore a Population: .*" + message):
        pop.__setstate__(state)
    assert pop.steps("a").tolist() == [21, 31, 41, 51]

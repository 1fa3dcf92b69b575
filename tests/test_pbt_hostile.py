"""Population under hostile callers: pickling while other threads report,
huge and overflowing scores, bad `sources`, the policies' estimates at the
edges of the float range and for one long window, verdicts it cannot carry
out, policies that call back into it, unusable policy settings, dry runs,
tampered pickles, and scores written as NumPy users write them."""

import pickle
import sys
import threading
import time
import tracemalloc
from collections import deque

import numpy as np
import pytest

from kestrovane.pbt import Decision, Population, policies
from kestrovane.pbt.policies import (MonteCarloRule, ParetoRule, Verdict, derived_seed, padded,
                                     window_moments)


def steady(n=6, reports=4, seed=0):
    pop = Population[str](["loss", "acc"], maximize=["acc"], window=4, seed=seed)
    rng = np.random.default_rng(seed)
    for _ in range(reports):
        for t in range(n):
            pop.report(f"t{t}", [t + rng.normal(0, 0.1), -t + rng.normal(0, 0.1)])
    return pop


def test_pickling_while_other_threads_report_and_leave():
    pop = steady(n=4)
    stop = threading.Event()
    failures = []

    def churn(worker):
        i = 0
        while not stop.is_set():
            name = f"w{worker}-{i % 50}"
            pop.report(name, [1.0, 2.0])
            pop.report(name, [1.5, 2.5])
            if i % 3 == 0:
                pop.leave(name)
            i += 1

    threads = [threading.Thread(target=churn, args=(w,)) for w in range(3)]
    for t in threads:
        t.start()
    try:
        for _ in range(300):
            try:
                copy = pickle.loads(pickle.dumps(pop))
            except RuntimeError as exc:  # "dictionary changed size during iteration"
                failures.append(exc)
                continue
            # Every window of the copy is whole: each member that was caught
            # holds complete rows, at most `window` of them.
            assert all(0 <= copy.reports(m) <= 4 for m in copy.members)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert failures == []


def test_huge_scores_are_refused_naming_member_and_objective_and_others_decide():
    pop = steady()
    with pytest.raises(ValueError, match=r"'big', objective 'loss' is 1e\+200, beyond"):
        pop.report("big", [1e200, 0.0])
    with pytest.raises(ValueError, match=r"'big', objective 'acc' is too large for a float"):
        pop.report("big", [1.0, 10**400])
    assert "big" not in pop  # nothing recorded by a refused report
    pop.report("big", [1e150, -1e150])  # the largest accepted
    pop.report("big", [-1e150, 1e150])
    pop.report("big", [1e150, 1e150])
    for member in pop.members:  # every member, the huge one too, still decides
        assert pop.decide(member).action in ("continue", "replace")


@pytest.mark.parametrize("trend", ["none", "line", "shrunk"])
def test_window_estimates_are_scaled_beyond_the_float_square_root(trend):
    rng = np.random.default_rng(3)
    windows = tuple(rng.normal(size=(5, 2)) for _ in range(4))
    est, var = window_moments(windows, 4.0, trend)
    # A factor of a power of two on one objective scales the estimates exactly.
    big = tuple(w * np.array([2.0 ** 900, 1.0]) for w in windows)
    est_big, var_big = window_moments(big, 4.0, trend)
    assert np.array_equal(est_big[:, 0], est[:, 0] * 2.0 ** 900)
    assert np.array_equal(est_big[:, 1], est[:, 1])
    assert np.array_equal(var_big[:, 1], var[:, 1])
    assert np.isinf(var_big[:, 0]).all()  # (2**900)**2: no float holds it
    half = tuple(w * np.array([2.0 ** 510, 1.0]) for w in windows)
    assert np.array_equal(window_moments(half, 4.0, trend)[1][:, 0], var[:, 0] * 2.0 ** 1020)


def test_an_exact_line_keeps_its_slope_instead_of_nan():
    # A window on an exact line has no noise: its t-statistic is infinite.
    windows = (np.array([[0.0], [2e4], [4e4]]), np.array([[1.0], [1.0], [1.0]]))
    est, var = window_moments(windows, 4.0, "shrunk")
    assert est.tolist() == [[4e4], [1.0]] and var.tolist() == [[0.0], [0.0]]


@pytest.mark.parametrize("sources, exc, message", [
    (5, TypeError, "sources must be a collection of member ids"),
    ("t1", TypeError, "sources must be a collection of member ids.*not a str"),
    (b"t1", TypeError, "not a bytes"),
    ([["x"]], TypeError, r"sources holds an unhashable member id: \['x'\]"),
])
@pytest.mark.parametrize("policy", [ParetoRule(), MonteCarloRule()])
def test_bad_sources_are_refused_before_the_decision_counts(sources, exc, message, policy):
    pop, twin = steady(), steady()
    pop._policy = twin._policy = policy
    with pytest.raises(exc, match=message):
        pop.decide("t5", sources=sources)
    assert pop.reports("t5") == 4  # nothing restarted
    # The failed call used no decision number: the next ones are the twin's.
    for member in ("t5", "t4", "t0"):
        assert pop.decide(member) == twin.decide(member)


def returns(verdict):
    return lambda evidence: verdict


@pytest.mark.parametrize("verdict, exc, message", [
    (None, TypeError, "returned None, not a Verdict"),
    ((3, False), TypeError, r"returned \(3, False\), not a Verdict"),
    (Verdict(1.0, False), TypeError, r"source=1\.0; it must be None or the row"),
    (Verdict(6, False), ValueError, "source=6, not one of the rows 0 to 5"),
    (Verdict(-1, False), ValueError, "source=-1, not one of the rows"),
    (Verdict(5, False), ValueError, "source=5, the row of the deciding member 't5' itself"),
    (Verdict(0, False), ValueError, "source=0, member 't0', which sources does not allow"),
    (Verdict(None, 1), TypeError, "upper=1; it must be a bool"),
])
def test_a_bad_verdict_raises_naming_the_policy_and_changes_nothing(verdict, exc, message):
    pop, twin = steady(), steady()
    pop._policy = returns(verdict)
    with pytest.raises(exc, match=r"policy <function returns\.<locals>.* " + message):
        pop.decide("t5", sources=["t1", "t2", "t3", "t4"])
    assert pop.reports("t5") == 4  # the window is kept, and no decision number used:
    pop._policy = twin._policy
    assert [pop.decide(m) for m in ("t5", "t0")] == [twin.decide(m) for m in ("t5", "t0")]
    # The policy's copy of who may be copied is its own: it cannot widen it.
    pop = steady()
    pop._policy = lambda e: (e.copyable.__setitem__(0, True), Verdict(0, False))[1]
    with pytest.raises(ValueError, match="member 't0', which sources does not allow"):
        pop.decide("t5", sources=["t1"])
    pop._policy = returns(Verdict(np.int64(0), np.bool_(False), "d"))  # NumPy: taken as plain
    assert pop.decide("t5") == Decision("t5", "replace", "t0", "d", False)


def test_a_policy_may_read_its_population_but_a_change_raises_instead_of_deadlocking():
    def meddling(evidence):
        read.append((pop.reports("t0"), len(pop.members), repr(pop), pop.__getstate__()))
        return change(evidence)

    pop, read = steady(), []
    pop._policy = meddling
    for name, change in {"report": lambda e: pop.report("t0", [0.0, 0.0]),
                         "leave": lambda e: pop.leave("t0"),
                         "decide": lambda e: pop.decide("t0")}.items():
        outcome = []
        worker = threading.Thread(target=lambda: outcome.append(pytest.raises(
            RuntimeError, pop.decide, "t5")), daemon=True)  # a deadlock must not hang pytest
        worker.start()
        worker.join(timeout=60)
        assert not worker.is_alive(), f"a re-entrant {name} deadlocked"
        assert f"Population.{name} was called from inside the decision" in str(
            outcome[0].value)
    assert read[-1][:2] == (4, 6) and pop.reports("t0") == 4
    # Other threads still wait for a decision.
    entered, release = threading.Event(), threading.Event()
    pop._policy = lambda e: (entered.set(), release.wait(60), Verdict(None, False))[2]
    decider = threading.Thread(target=pop.decide, args=("t5",), daemon=True)
    decider.start()
    assert entered.wait(60)
    reporter = threading.Thread(target=pop.report, args=("t0", [9.0, 9.0]), daemon=True)
    reporter.start()
    # It gets as far as the lock, which the decision holds, and waits there.
    deadline = time.monotonic() + 60
    while reporter.is_alive() and time.monotonic() < deadline:
        frame = sys._current_frames().get(reporter.ident or 0)
        if frame is not None and frame.f_code.co_name == "_access":
            break
        time.sleep(0.001)
    assert reporter.is_alive() and pop._lock.locked()
    release.set()
    decider.join(60)
    reporter.join(60)
    assert pop.evaluations("t0")[-1].tolist() == [9.0, 9.0]


def test_window_estimates_by_length_are_those_of_the_padded_windows_bit_for_bit(monkeypatch):
    # One objective is the delicate case: NumPy sums a padded row pairwise,
    # so where a value sits in the padded row changes its partial sums.
    rng = np.random.default_rng(11)
    for _ in range(40):
        m, longest = int(rng.integers(1, 4)), int(rng.choice([2, 8, 9, 17, 129, 300]))
        lengths = np.append(rng.integers(1, longest + 1, size=int(rng.integers(0, 10))), longest)
        windows = tuple(rng.normal(size=(k, m)) * 10.0 ** rng.uniform(-3, 3, size=m)
                        + rng.normal(size=m) * np.arange(k)[:, None] * (i % 3 == 0)
                        for i, k in enumerate(rng.permutation(lengths).tolist()))
        windows = windows + (np.full((3, m), -0.0), np.round(windows[0]))
        for trend, weight in [("none", 0.0), ("none", 4.0), ("line", 1e9), ("shrunk", 4.0)]:
            monkeypatch.setattr(policies, "_SMALL_BLOCK", 10**9)  # the old padded block
            want = window_moments(windows, weight, trend)
            monkeypatch.setattr(policies, "_SMALL_BLOCK", 0)
            for a, b in zip(window_moments(windows, weight, trend), want):
                assert a.tobytes() == b.tobytes(), (m, lengths, trend)
    # One long window among short ones: memory for its reports, not N times them.
    windows = (rng.normal(size=(100_000, 2)),) + tuple(rng.normal(size=(2, 2)) for _ in range(20))
    monkeypatch.undo()
    tracemalloc.start()
    try:
        window_moments(windows, 4.0, "shrunk")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 12 * sum(w.nbytes for w in windows)  # padded: over 21 times, many copies


def test_policy_settings_numpy_numbers_taken_plain_unusable_ones_refused():
    typed = MonteCarloRule(n_samples=np.int64(300), replace_if=np.float32(0.5),
                           prior_weight=np.float64(2.0), mode=np.str_("values"))
    plain = MonteCarloRule(n_samples=300, replace_if=0.5, prior_weight=2.0, mode="values")
    assert typed == plain and repr(typed) == repr(plain) and type(typed.n_samples) is int
    for kwargs in ({"prior_weight": float("inf")}, {"prior_weight": 10**400},
                   {"recent": np.int64(-1)}):
        with pytest.raises(ValueError, match=rf"{next(iter(kwargs))} must be in [\[(]"):
            MonteCarloRule(**kwargs)
    with pytest.raises(TypeError, match=r"n_samples must be an integer; got (np\.float64\()?300\.0"):
        MonteCarloRule(n_samples=np.float64(300))
    with pytest.raises(TypeError, match=r"not the class MonteCarloRule; pass an instance, "
                                        r"e\.g\. MonteCarloRule\(\)"):
        Population(["x"], policy=MonteCarloRule)
    with pytest.raises(ValueError, match=r"prior_weight must be in \[0, inf\)"):
        steady().front_chances(prior_weight=float("inf"))


def tied(seed):
    """t0 clearly worst, the others alike: whom it copies depends on the seed."""
    pop = Population[str](["x"], window=4, seed=seed, percentile=0.5)
    for score in (1.0, 1.1, 0.9):
        for t in range(6):
            pop.report(f"t{t}", [score + (4.0 if t == 0 else 0.0)])
    return pop


def test_a_dry_run_repeats_until_a_window_changes_and_carrying_it_out_agrees():
    sources = set()
    for seed in range(30):
        pop = tied(seed)
        first = pop.decide("t0", commit=False)
        pop.decide("t1", commit=False)  # another member's dry run in between
        other = pop.decide("t0", sources=["t2"], commit=False)  # other evidence
        assert pop.decide("t0", sources=["t2"], commit=False) == other
        assert pop.decide("t0", commit=False) == first == pop.decide("t0")
        sources.add(first.source)
    assert len(sources) > 2  # the seed matters here: the repeats are not by chance
    seeds = []
    pop = tied(3)
    pop._policy = lambda e: (seeds.append(e.seed), Verdict(None, False))[1]
    for member, commit in [("t0", True), ("t0", True), ("t1", False), ("t2", False),
                           ("t2", True)]:
        pop.decide(member, commit=commit)
    pop.report("t2", [1.0])  # a change: the next seed
    pop.decide("t2", commit=False)
    assert seeds == [derived_seed(3, n) for n in (0, 1, 2, 3, 3, 4)]


@pytest.mark.parametrize("field, value, exc, message", [
    ("_window", "4", TypeError, "window must be an integer"),
    ("_window", 3, ValueError, "'t0' keeps 4 evaluations; the window is 3"),
    ("_min_reports", 5, ValueError, r"min_reports \(5\) exceeds window \(4\)"),
    ("_selections", 1.5, TypeError, "decision counter"),
    ("_policy", MonteCarloRule, TypeError, "pass an instance"),
    ("_objectives", ("loss",), TypeError, "'_maximize'.*tuple of 1 bools"),
    ("_evaluations", {"t0": [(1.0, 2.0)]}, TypeError, "member 't0' must be a deque"),
    ("_evaluations", {"t0": deque([(1.0,)], maxlen=4)}, TypeError,
     r"evaluation 0 of member 't0' must be a tuple of 2 scores; got \(1\.0,\)"),
    ("_evaluations", {"t0": deque([(0.0, 0.0), (1e200, 0.0)], maxlen=4)}, ValueError,
     "evaluation 1 of member 't0', objective 'loss' is 1e\\+200"),
    ("_dry_runs", {("t0", b"\x01" * 6): 99}, ValueError, "seed number 99"),
    ("_lock", None, ValueError, "unknown field '_lock'"),
    ("_selections", KeyError, ValueError, "lacks field '_selections'"),
])
def test_tampered_state_is_refused_naming_the_field_and_nothing_is_applied(field, value, exc,
                                                                           message):
    pop, twin = steady(), steady()
    state = pickle.loads(pickle.dumps(pop.__getstate__()))
    state.pop(field) if value is KeyError else state.__setitem__(field, value)
    with pytest.raises(exc, match="cannot restore a Population: .*" + message):
        pop.__setstate__(state)
    assert pop.window == 4 and pop.reports("t0") == 4
    assert [pop.decide(m) for m in ("t5", "t0")] == [twin.decide(m) for m in ("t5", "t0")]


class Tagged(Population):
    tag = None


def test_older_and_subclass_states_load():
    state = steady().__getstate__()
    del state["_dry_runs"]  # as pickled before dry runs were kept
    state["_window"] = np.int64(4)
    copy = Population.__new__(Population)
    copy.__setstate__(state)
    assert type(copy.window) is int and copy.decide("t5") == steady().decide("t5")
    pop = Tagged(["x"])
    pop.tag = "mine"  # a subclass's own attribute
    assert pickle.loads(pickle.dumps(pop)).tag == "mine"


def test_one_objective_takes_the_score_itself_and_arrays_must_be_1d():
    by_list, by_number = Population(["loss"], seed=1), Population(["loss"], seed=1)
    for i, score in enumerate([0.5, np.float32(0.25), np.array(0.75), 2, np.int64(1)] * 2):
        by_number.report(f"m{i % 3}", score)
        by_list.report(f"m{i % 3}", [float(score)])
    assert by_number.evaluations("m0").tolist() == by_list.evaluations("m0").tolist()
    assert by_number.decide("m0") == by_list.decide("m0")
    with pytest.raises(TypeError, match=r"a number alone only with one objective\); got float"):
        steady().report("t0", 0.5)
    with pytest.raises(ValueError, match=r"must be 1-D.*shape \(1, 2\)"):
        steady().report("t0", np.array([[1.0, 2.0]]))

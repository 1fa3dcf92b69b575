"""Population under hostile callers: pickling while other threads report,
huge and overflowing scores, bad `sources`, and the policies' estimates at
the edges of the float range."""

import pickle
import threading

import numpy as np
import pytest

from kestrovane.pbt import Population
from kestrovane.pbt.policies import MonteCarloRule, ParetoRule, window_moments


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

"""kestrovane.pbt.Population: what its policy is shown, join, leave,
restarts, sources, determinism, threads and argument checks."""

import pickle
import threading

import numpy as np
import pytest

from kestrovane.pbt import Decision, Population
from kestrovane.pbt.policies import MonteCarloRule, ParetoRule, Verdict

OBJ = ["loss", "acc"]


def feed(pop, rows):
    """Report {member: [scores, ...]} member by member, row by row."""
    for member, scores in rows.items():
        for s in scores:
            pop.report(member, s)


class Recorder:
    """A policy that records what it is shown and replaces the worst mean of
    the first objective by the best."""

    def __init__(self):
        self.seen = []

    def __call__(self, evidence):
        self.seen.append(evidence)
        first = evidence.means()[:, 0]
        worst, best = int(np.argmax(first)), int(np.argmin(first))
        upper = evidence.member == best
        if evidence.member == worst and evidence.copyable[best]:
            return Verdict(best, upper, "detail")
        return Verdict(None, upper, "detail")


def test_the_policy_sees_the_minimised_windows_of_eligible_members():
    rec = Recorder()
    pop = Population(OBJ, maximize=["acc"], window=3, min_reports=2, seed=9, policy=rec)
    windows = {}
    for i, m in enumerate(["a", "b", "c", "d"]):
        rows = [[0.1 * i + 0.01 * r, 1 - 0.1 * i] for r in range(2 + i)]
        feed(pop, {m: rows})
        windows[m] = rows[-3:]  # "d" has 5 reports, of which 3 are kept
    pop.report("e", [0.0, 1.0])  # one report: not yet eligible
    d = pop.decide("c", sources={"a", "d", "zz"})
    e = rec.seen[-1]
    assert e.ids == ("a", "b", "c", "d") and e.member == 2 and e.percentile == 0.2
    for m, w in zip(e.ids, e.windows):
        np.testing.assert_array_equal(w, np.asarray(windows[m]) * [1.0, -1.0])
    assert e.copyable.tolist() == [True, False, False, True]
    assert d == Decision("c", "continue", None, "detail", False)
    d = pop.decide("d")
    assert (d.action, d.source, d.upper) == ("replace", "a", False)
    assert pop.reports("d") == 0  # a replaced member restarts its window
    assert pop.decide("a").upper and rec.seen[-1].ids == ("a", "b", "c")
    assert len({e.seed for e in rec.seen}) == 3  # each decision has its own seed


def test_too_few_reports_or_members_continue_without_asking_the_policy():
    rec = Recorder()
    pop = Population(OBJ, min_reports=3, policy=rec)
    pop.report("a", [1.0, 1.0])
    pop.report("a", [1.2, 0.9])
    assert pop.decide("a") == Decision("a", "continue")  # 2 < min_reports
    pop.report("a", [1.1, 1.1])
    feed(pop, {"b": [[5.0, 5.0], [5.1, 5.2]]})
    assert pop.decide("a") == Decision("a", "continue")  # "b" not eligible: one member
    assert rec.seen == []
    pop.report("b", [5.3, 4.9])
    assert pop.decide("b").source == "a"
    with pytest.raises(KeyError, match="'zz' is not a member"):
        pop.decide("zz")
    with pytest.raises(TypeError, match="policy must be callable"):
        Population(OBJ, policy="pareto")


def test_join_leave_and_rejoin():
    pop = Population(OBJ, policy=Recorder())
    pop.join("a")
    feed(pop, {"a": [[0.0, 0.0], [0.1, 0.1]], "b": [[1.0, 1.0], [1.1, 0.9]],
               "c": [[2.0, 2.0], [2.2, 1.9]]})
    pop.join("a")  # already a member: keeps its reports
    assert pop.members == ("a", "b", "c") and pop.reports("a") == 2 and len(pop) == 3
    pop.leave("a")
    assert "a" not in pop and pop.members == ("b", "c")
    d = pop.decide("c")
    assert pop.policy.seen[-1].ids == ("b", "c") and d.source == "b"
    with pytest.raises(KeyError):
        pop.leave("a")
    pop.report("a", [0.0, 0.0])  # comes back empty, at the end
    assert pop.members == ("b", "c", "a") and pop.reports("a") == 1
    pop.restart("b")
    assert pop.reports("b") == 0


@pytest.mark.parametrize("policy", [ParetoRule(), MonteCarloRule()], ids=["plain", "mc"])
def test_clear_cases_and_sources(policy):
    pop = Population(["x"], percentile=0.2, policy=policy, seed=4)
    feed(pop, {m: [[v], [v + 0.01], [v - 0.01]] for m, v in zip("abcdef", range(6))})
    # k = 2: "f" is replaced by one of the two best; "a" keeps a checkpoint.
    assert pop.decide("f").source in {"a", "b"}
    assert pop.decide("a").upper and not pop.decide("c").upper
    assert pop.decide("d").action == "continue"
    feed(pop, {"f": [[5], [5.01]]})
    assert pop.decide("f", sources={"b", "e"}).source == "b"
    feed(pop, {"f": [[5], [5.01]]})
    assert pop.decide("f", sources={"e", "f"}).action == "continue"  # nobody to copy


def run(seed, calls):
    pop = Population(OBJ, seed=seed)
    out = []
    for member, scores in calls:
        pop.report(member, scores)
        out.append(pop.decide(member))
    return out


def test_deterministic_for_seed_and_report_order():
    rng = np.random.default_rng(1)
    calls = [(f"m{rng.integers(8)}", rng.normal(size=2).tolist()) for _ in range(120)]
    first = run(5, calls)
    assert first == run(5, calls)
    assert any(d.action == "replace" for d in first)
    assert first != run(6, calls)


def test_pickled_population_goes_on_identically():
    calls = [(f"m{i % 5}", [float(i % 7), float(i % 3)]) for i in range(30)]
    pop = Population(OBJ, seed=2)
    for member, scores in calls:
        pop.report(member, scores)
        pop.decide(member)
    copy = pickle.loads(pickle.dumps(pop))
    for p in (pop, copy):
        p.report("m1", [0.5, 0.5])
    assert pop.decide("m1") == copy.decide("m1")


def test_reports_and_decisions_from_many_threads():
    pop = Population(OBJ, window=1000, seed=3)
    errors, since_replace = [], {}

    def worker(t):
        rng = np.random.default_rng(t)
        mine = [f"t{t}m{i}" for i in range(4)]
        try:
            for step in range(60):
                member = mine[step % 4]
                pop.report(member, rng.normal(t, 1.0, size=2).tolist())
                since_replace[member] = since_replace.get(member, 0) + 1
                if pop.decide(member).action == "replace":
                    since_replace[member] = 0
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert len(pop) == 16
    # Every member's window holds exactly its reports since its last replacement.
    assert {m: pop.reports(m) for m in pop.members} == since_replace


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"objectives": []}, ValueError, "objectives is empty"),
    ({"objectives": "loss"}, TypeError, "sequence of names"),
    ({"objectives": ["a", "a"]}, ValueError, "duplicate objective name"),
    ({"min_reports": 1}, ValueError, r"min_reports must be in \[2,"),
    ({"window": 3, "min_reports": 4}, ValueError, "must not exceed window"),
    ({"percentile": 0.0}, ValueError, "percentile"),
    ({"maximize": ["speed"]}, ValueError, "unknown objective 'speed'"),
    ({"seed": -1}, ValueError, "seed"),
])
def test_bad_settings(kwargs, exc, message):
    args = {"objectives": OBJ} | kwargs
    with pytest.raises(exc, match=message):
        Population(args.pop("objectives"), **args)


@pytest.mark.parametrize("scores, exc, message", [
    ({"loss": 1.0}, ValueError, "lacks objective 'acc'"),
    ({"loss": 1.0, "acc": 2.0, "f1": 0.0}, ValueError, "unknown objective 'f1'"),
    ([1.0], ValueError, "has 1 values but there are 2 objectives"),
    ([1.0, float("nan")], ValueError, "objective 'acc' is not finite"),
    ([float("inf"), 1.0], ValueError, "objective 'loss' is not finite"),
    ([1.0, "2"], TypeError, "must be a real number"),
    ([True, 1.0], TypeError, "must be a real number"),
    ("12", TypeError, "sequence or a mapping"),
    (3.0, TypeError, "sequence or a mapping"),
])
def test_bad_reports_are_refused_and_leave_nothing(scores, exc, message):
    pop = Population(OBJ)
    with pytest.raises(exc, match=message):
        pop.report("a", scores)
    assert "a" not in pop
    with pytest.raises(TypeError, match="not hashable"):
        pop.report(["a"], [1.0, 2.0])


def test_scores_by_name_or_position_are_the_same():
    by_name, by_position = Population(OBJ, seed=1), Population(OBJ, seed=1)
    for i in range(3):
        by_name.report("a", {"acc": 0.5 + i, "loss": np.float32(1.0 - i)})
        by_position.report("a", np.array([1.0 - i, 0.5 + i]))
        by_name.report("b", {"acc": 0.1 * i, "loss": 2.0})
        by_position.report("b", (2, 0.1 * i))
    assert by_name.decide("b") == by_position.decide("b")

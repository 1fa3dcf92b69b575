"""The real-training benchmark's fairness and arithmetic: every method starts
from the same configurations and trains the same steps, runs repeat bit for
bit, the kept results are paired, the networks' gradients are right and the
statistics count as stated."""

import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("sklearn", reason="the tasks' data ship inside scikit-learn")
pytest.importorskip("moocore", reason="the benchmark measures hypervolume with moocore")
pytest.importorskip("scipy", reason="the benchmark's intervals use scipy")
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks.real_training import results  # noqa: E402
from benchmarks.real_training.__main__ import POPULATIONS, SEEDS, planned  # noqa: E402
from benchmarks.pbt_lab.stats import holm  # noqa: E402
from benchmarks.real_training.compare import pooled_sign_flip  # noqa: E402
from benchmarks.real_training.methods import methods_of  # noqa: E402
from benchmarks.real_training.network import Networks  # noqa: E402
from benchmarks.real_training.run import Settings, initial, perturbed, run  # noqa: E402
from benchmarks.real_training.tasks import TASK_NAMES, tasks  # noqa: E402

SMALL = dict(rounds=6, steps=5, window=4)


@pytest.mark.parametrize("task", TASK_NAMES)
def test_every_method_starts_alike_and_trains_every_step(task):
    s = Settings(task, 8, 3, **SMALL)
    records = {m: run(s, m) for m in methods_of(len(tasks()[task].objectives))}
    assert len({r["started"] for r in records.values()}) == 1
    for m, r in records.items():
        assert r["trained_steps"] == [s.rounds * s.steps] * s.population, m
    assert records["random"]["exploits"] == records["random"]["decisions"] == 0
    # Copies happened, so equal budgets are not equal only for want of copies.
    assert max(r["exploits"] for r in records.values()) > 0
    assert all(r["decisions"] == 2 * s.population for m, r in records.items() if m != "random")


def test_a_run_repeats_bit_for_bit_and_its_streams_depend_on_the_seed_alone():
    s = Settings("imbalanced", 8, 5, **SMALL)
    a, b = run(s, "default"), run(s, "default")
    assert results.same_result(a, b) == []
    assert initial(s) == initial(Settings("imbalanced", 8, 5, rounds=2, interval=1))
    assert initial(s) != initial(Settings("imbalanced", 8, 6, **SMALL))
    assert initial(s) != initial(Settings("robust", 8, 5, **SMALL))
    configs, _ = initial(s)
    space = tasks()["imbalanced"].space
    assert all(space[k].low <= c[k] <= space[k].high for c in configs for k in space)


def test_the_kept_results_are_paired_with_equal_budgets():
    kept = results.load()
    jobs = planned(list(range(SEEDS)))
    missing = [s.key(m) for s, m in jobs if s.key(m) not in kept]
    assert not missing, (f"{len(missing)} reported runs are not kept for this code (first: "
                         f"{missing[0]}); re-run make bench-real")
    for task in TASK_NAMES:
        for p in POPULATIONS:
            for seed in range(SEEDS):
                s = Settings(task, p, seed)
                recs = [kept[s.key(m)] for m in methods_of(len(tasks()[task].objectives))]
                assert len({r["started"] for r in recs}) == 1, (task, p, seed)
                assert {sum(r["trained_steps"]) for r in recs} == {p * s.rounds * s.steps}


def test_perturbation_stays_in_range_and_moves():
    task = tasks()["robust"]
    rng = np.random.default_rng(0)
    config = {"lr": 0.5, "decay": 1e-3, "train_noise": 0.0}
    seen = [perturbed(task, config, rng) for _ in range(200)]
    assert all(task.space[k].low <= c[k] <= task.space[k].high for c in seen for k in c)
    assert {round(c["decay"] / 1e-3, 6) for c in seen} >= {0.8, 1.2}
    assert any(c["train_noise"] > 0 for c in seen)  # resampled, not only scaled


def _loss(task, nets, x, y, config):
    out = nets.forward(task.encode(x))[1]
    if task.kind == "pixels":
        return ((out - y) ** 2).mean(axis=(1, 2))
    z = out[..., 0]
    w = np.array([c["pos_weight"] for c in config])[:, None]
    return (np.where(y == 1, w * np.logaddexp(0, -z), np.logaddexp(0, z))).mean(axis=1)


@pytest.mark.parametrize("task_name", ["image", "imbalanced"])
def test_network_gradients_match_finite_differences(task_name):
    task = tasks()[task_name]
    split = task.split("train")
    rng = np.random.default_rng(1)
    idx = rng.integers(len(split.y), size=(3, 7))
    x, y = split.x[idx], split.y[idx]
    config = [{"pos_weight": w} for w in (0.5, 1.0, 7.0)]
    nets = Networks.initial([1, 2, 3], task.encode(x[:, :1]).shape[-1], 5, task.outputs)
    before = [a.copy() for a in nets.params]
    feats = task.encode(x)
    hidden, out = nets.forward(feats)
    # lr 1, no decay, zero momentum: the step subtracts exactly the gradient.
    nets.step(feats, task.loss_gradient(out, y, config), hidden, np.ones(3), np.zeros(3))
    analytic = [b - a for b, a in zip(before, nets.params)]
    probe = Networks(*[b.copy() for b in before], velocity=[])
    for param, grad in zip(probe.params, analytic):
        for flat in rng.choice(param[0].size, min(4, param[0].size), replace=False):
            member = int(rng.integers(3))
            pos = (member,) + np.unravel_index(flat, param[0].shape)
            keep = param[pos]
            param[pos] = keep + 1e-6
            up = _loss(task, probe, x, y, config)[member]
            param[pos] = keep - 1e-6
            down = _loss(task, probe, x, y, config)[member]
            param[pos] = keep
            assert grad[pos] == pytest.approx((up - down) / 2e-6, rel=1e-4, abs=1e-8)


def test_copying_a_member_takes_its_weights_and_momentum_only():
    nets = Networks.initial([1, 2, 3], 4, 3, 2)
    for v in nets.velocity:
        v[:] = np.arange(v.size).reshape(v.shape)
    nets.copy_member(2, 0)
    for a in nets.params + nets.velocity:
        assert np.array_equal(a[0], a[2])
    assert not np.array_equal(nets.w1[1], nets.w1[2])


def test_holm_and_the_pooled_sign_flip_test():
    assert holm([0.01, 0.04, 0.03]) == pytest.approx([0.03, 0.06, 0.06])
    assert holm([0.5, 0.001]) == pytest.approx([0.5, 0.002])
    rng = np.random.default_rng(0)
    strong = [rng.normal(1.0, 0.5, 16) for _ in range(3)]
    null = [rng.normal(0.0, 1.0, 16) * np.resize([1, -1], 16) for _ in range(3)]
    assert pooled_sign_flip(strong, [1.0] * 3, rounds=4000).p < 0.001
    assert pooled_sign_flip(null, [1.0] * 3, rounds=4000).p > 0.05
    flipped = pooled_sign_flip([-d for d in strong], [1.0] * 3, rounds=4000)
    assert flipped.effect < 0 and flipped.p < 0.001


def test_the_readme_and_real_md_show_the_kept_results():
    from benchmarks.real_training import report

    root = Path(__file__).resolve().parents[1]
    cells = report.Cells(results.load(), list(range(SEEDS)), POPULATIONS)
    readme = (root / "README.md").read_text()
    stale = [row for row in report.headline(cells).rows if row not in readme]
    assert not stale, f"README.md lacks the headline row {stale[0]!r}; copy it from REAL.md"
    assert report.tables(cells) in (root / "benchmarks" / "REAL.md").read_text(), \
        "benchmarks/REAL.md is not written from the kept runs; run make bench-real"


def test_measures_keep_the_validation_front_and_normalise_the_hypervolume():
    from benchmarks.real_training.measures import measure

    ref = np.array(tasks()["robust"].reference)
    val = [[0.1, 0.5], [0.5, 0.1], [0.6, 0.6]]          # the third is dominated on validation
    test = [0.2 * ref, 0.3 * ref, 1e-4 * ref]          # ... so its fine test score is not kept
    record = {"task": "robust", "val": val, "test": np.array(test).tolist()}
    assert measure(record, "chosen") == pytest.approx(0.8 * 0.8)   # a share of the box
    assert measure(record, "population") == pytest.approx(0.9999 ** 2)
    image = {"task": "image", "val": [[0.02], [0.01]], "test": [[0.001], [0.01]]}
    assert measure(image, "chosen") == pytest.approx(20.0)       # the best on validation
    assert measure(image, "population") == pytest.approx(30.0)   # the best on test


def test_members_kept_by_the_windows_are_as_many_as_the_means_front():
    from benchmarks.real_training.measures import kept_measure, kept_rows

    ref = np.array(tasks()["robust"].reference)
    windows = [[[0.1, 0.5], [0.1, 0.5]], [[0.5, 0.1], [0.9, 0.9]], [[0.2, 0.2], [0.2, 0.2]]]
    record = {"task": "robust", "windows": windows, "front_ids": [0, 1, 2],
              "p_front": [0.9, 0.1, 0.8], "test": (np.array([0.2, 0.3, 0.4])[:, None] *
                                                    ref).tolist()}
    assert sorted(kept_rows(record, "means")) == [0, 2]    # member 1's mean (0.7, 0.5) is dominated
    assert sorted(kept_rows(record, "last")) == [0, 2]
    assert kept_rows(record, "chances") == [0, 2]          # the two most likely, in order
    assert kept_measure(record, "chances") == pytest.approx(0.8 * 0.8)
    image = {"task": "image", "windows": [[[0.02]], [[0.01]]], "front_ids": [0, 1],
             "p_front": [0.7, 0.3], "test": [[0.001], [0.01]]}
    assert kept_rows(image, "means") == [1] and kept_rows(image, "chances") == [0]
    assert kept_measure(image, "chances") == pytest.approx(30.0)


def test_diverged_scores_are_capped_and_the_rules_see_what_they_claim():
    from kestrovane.pbt.policies import Evidence

    from benchmarks.real_training.methods import policy
    from benchmarks.real_training.run import capped

    task = tasks()["imbalanced"]
    rows = capped(task, np.array([[np.nan, 0.1], [np.inf, 0.2]]))
    assert rows.tolist() == [[10 * task.reference[0], 0.1], [10 * task.reference[0], 0.2]]
    # Member 0 looks best on its window means, worst on its last report;
    # member 1 the other way round.
    windows = (np.array([[0.0, 0.0], [0.0, 0.0], [5.0, 5.0]]),
               np.array([[3.0, 3.0], [3.0, 3.0], [1.0, 1.0]]),
               np.array([[2.0, 2.0], [2.0, 2.0], [2.0, 2.0]]),
               np.array([[2.1, 2.1], [2.1, 2.1], [2.1, 2.1]]))
    exact = np.array([[9.0, 9.0], [0.0, 0.0], [1.0, 1.0], [2.0, 2.0]])

    def verdict(method, member):
        e = Evidence(tuple(range(4)), windows, member, np.ones(4, bool), 0.25, 3)
        return policy(method, lambda: exact)(e)
    assert verdict("plain", 0).upper and verdict("plain", 1).source == 0
    assert verdict("last", 1).upper and verdict("last", 0).source == 1
    assert verdict("stock", 1).upper and verdict("stock", 0).source == 1
    assert verdict("oracle", 1).upper and verdict("oracle", 0).source == 1
    assert policy("random", lambda: exact) is None
    with pytest.raises(ValueError, match="unknown method"):
        policy("best", lambda: exact)


def test_kept_records_round_trip_and_other_code_is_not_reused(tmp_path, monkeypatch):
    record = run(Settings("image", 4, 1, rounds=2, steps=3, interval=1), "plain")
    path = tmp_path / "kept.jsonl"
    results.append(record, path)
    again = results.load(path)[record["key"]]
    assert results.same_result(again, record) == []
    assert results.same_result({**again, "seconds": 0.0}, record) == []
    assert results.same_result({**again, "exploits": -1}, record) == ["exploits"]
    monkeypatch.setattr(results, "code_digest", lambda sources=results.SOURCES: "other")
    assert results.load(path) == {}

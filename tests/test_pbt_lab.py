"""The PBT lab's own pieces: its statistics, design, kept runs and the
reproducibility of every policy's run (the lab's tables rest on these)."""

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("moocore", reason="the lab measures hypervolume with moocore")
pytest.importorskip("scipy", reason="the lab's intervals use scipy")
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks.hypervolume import hypervolume_percent  # noqa: E402
from benchmarks.pbt_lab import keys, store  # noqa: E402
from benchmarks.pbt_lab.design import MS, NS, TUNING, design, drawn_split, split  # noqa: E402
from benchmarks.pbt_lab.families import FAMILIES  # noqa: E402
from benchmarks.pbt_lab.named import resolve  # noqa: E402
from benchmarks.pbt_lab.simulator import KEEPERS, Design, simulate  # noqa: E402
from benchmarks.pbt_lab.stats import headroom_share, holm, paired  # noqa: E402


def test_paired_intervals_headroom_shares_and_holm():
    a = np.array([1.0, 2.0, 3.0, 4.0])
    p = paired(a + 1.0, a)
    assert (p.mean, p.low, p.high, p.significant) == (1.0, 1.0, 1.0, 1)
    p = paired(a, a[::-1])  # differences -3, -1, 1, 3: t(3) interval +-4.11
    assert p.mean == 0.0 and p.high == pytest.approx(-p.low) and p.significant == 0
    assert p.high == pytest.approx(3.182446 * np.std([-3, -1, 1, 3], ddof=1) / 2)
    rng = np.random.default_rng(0)
    plain = [rng.normal(50, 5, 20) for _ in range(3)]
    oracle = [x + rng.normal(2, 0.5, 20) for x in plain]
    half = [(x + o) / 2 for x, o in zip(plain, oracle)]
    assert headroom_share(oracle, plain, oracle, rounds=50).mean == pytest.approx(1.0)
    assert headroom_share(plain, plain, oracle, rounds=50).mean == pytest.approx(0.0)
    h = headroom_share(half, plain, oracle, rounds=200)
    assert h.mean == pytest.approx(0.5) and h.low <= 0.5 <= h.high
    assert holm([0.01, 0.04, 0.03]) == pytest.approx([0.03, 0.06, 0.06])


def test_hypervolume_percent_in_one_and_two_objectives():
    ref = np.array([3.0, 3.0])
    assert hypervolume_percent(np.array([[1.0, 1.0]]), ref) == pytest.approx(100 * 4 / 9)
    assert hypervolume_percent(np.array([[3.5, 0.0]]), ref) == 0.0
    one = np.array([4.0])
    assert hypervolume_percent(np.array([[3.0], [1.0], [5.0]]), one) == pytest.approx(75.0)
    assert hypervolume_percent(np.array([[5.0]]), one) == 0.0


def test_design_covers_the_grid_and_the_split_is_fixed():
    halves = split(list(FAMILIES))
    assert sorted(halves["tune"] + halves["held_out"]) == sorted(FAMILIES)
    assert not set(halves["tune"]) & set(halves["held_out"])
    reversed_halves = split(list(FAMILIES)[::-1])  # by name, not by the order given
    assert {k: set(v) for k, v in reversed_halves.items()} == \
        {k: set(v) for k, v in halves.items()}
    # The kept names are the seeded draw over the eight families ...
    assert set(drawn_split(list(FAMILIES))) == set(TUNING) == set(halves["tune"])
    # ... and a family added later is held out, moving no other.
    grown = split([*FAMILIES, "ninth"])
    assert grown["tune"] == halves["tune"] and grown["held_out"] == [*halves["held_out"], "ninth"]
    for family in FAMILIES:
        grid = {(design(family, s).m, design(family, s).n) for s in range(100, 116)}
        assert grid == {(m, n) for m in MS for n in NS}
        assert design(family, 7) == design(family, 7)


@pytest.mark.parametrize("policy", ["plain", "oracle", "random", "last", "stock", "default",
                                    "mc:replace_if=None"])
def test_runs_are_reproducible_and_paired(policy):
    family, d = FAMILIES["stepdecay"], Design(m=2, n=8, window=4, percentile=0.25)
    first = simulate(family, d, 5, resolve(policy).build)
    assert first == simulate(family, d, 5, resolve(policy).build)
    assert first.decisions > 0 and 0 <= first.replacements <= first.decisions
    assert set(first.keep_loss) == set(KEEPERS) and 1 <= first.kept <= d.n
    assert all(loss >= 0.0 for loss in first.keep_loss.values())  # nothing beats the true front
    # Without decisions that differ, every policy trains the same members.
    assert first.steps == simulate(family, d, 5, resolve("random").build).steps or \
        first.replacements > 0


def test_the_package_digest_follows_its_sources_but_the_unused_ones(tmp_path):
    pkg = tmp_path / "src" / "kestrovane"
    pkg.mkdir(parents=True)
    (pkg / "core.hpp").write_text("int x;\n")
    first = keys.package_digest(tmp_path)
    (pkg / "core.hpp").write_text("int y;\n")
    second = keys.package_digest(tmp_path)
    (pkg / "cli").mkdir()
    (pkg / "cli" / "main.py").write_text("# the command line\n")
    assert first != second == keys.package_digest(tmp_path)


def test_the_lab_imports_none_of_the_packages_its_digest_leaves_out():
    code = ("import sys, benchmarks.pbt_lab.__main__, benchmarks.pbt_lab.report;"
            "print(sorted(m for m in sys.modules if m.startswith('kestrovane.')))")
    out = subprocess.run([sys.executable, "-c", code], cwd=keys.ROOT, capture_output=True,
                         text=True, check=True).stdout
    assert not [m for m in eval(out) if m.split(".")[1] in keys.UNUSED_PACKAGES]


def test_lab_md_shows_the_kept_runs():
    """benchmarks/LAB.md's tables are what the kept runs of the package and
    simulator it names give."""
    from benchmarks.pbt_lab import lab_md
    from benchmarks.pbt_lab.report import Runs

    text = lab_md.LAB_MD.read_text()
    named = lab_md.keys_named(text)
    tables = lab_md.tables(Runs(store.current(store.load(), named)), named)
    assert lab_md.by_hand(text) + tables == text


def test_the_readme_headline_comes_from_lab_md():
    readme = (keys.ROOT / "README.md").read_text()
    lab = (keys.ROOT / "benchmarks" / "LAB.md").read_text()
    held_out = lab[lab.index("## Held-out families"):]
    shown = [line for line in readme.splitlines()
             if line.startswith(("| final |", "| over the run |")) and "%" in line]
    assert len(shown) == 2, "the README shows the default's held-out shares"
    for line in shown:
        tail = line.split("|", 2)[2]
        assert f"| default |{tail}" in held_out, f"README row not in LAB.md: {line}"


def test_keepers_pick_equal_numbers_and_score_the_true_loss():
    from benchmarks.pbt_lab.simulator import keepers
    from kestrovane.pbt import Population

    pop = Population[int](["a", "b"], window=4)
    windows = {0: [(1.0, 3.0), (1.0, 3.0)],   # on the front of the means
               1: [(3.0, 1.0), (3.0, 1.0)],   # on the front of the means
               2: [(1.9, 1.9), (1.9, 1.9)],   # on the front of the means
               3: [(3.5, 3.5), (0.5, 0.5)]}   # mean (2, 2) dominated; last report best
    for member, rows in windows.items():
        for row in rows:
            pop.report(member, row)
    truth = np.array([[1.0, 3.0], [3.0, 1.0], [1.9, 1.9], [0.5, 0.5]])
    loss, kept = keepers(pop, lambda ids: truth[list(ids)], np.array([4.0, 4.0]))
    assert kept == 3                              # the front of the window means
    best = hypervolume_percent(truth, np.array([4.0, 4.0]))
    means_pick = hypervolume_percent(truth[:3], np.array([4.0, 4.0]))
    assert loss["means"] == pytest.approx(best - means_pick) and loss["means"] > 0
    assert loss["last"] == pytest.approx(0.0)     # keeps member 3, the true best
    assert set(loss) == set(KEEPERS)


def test_cells_are_counted_with_holm_over_family_and_objectives():
    from benchmarks.pbt_lab.report import Runs, cell_counts

    rng = np.random.default_rng(2)
    rows = {}
    for seed in range(40):
        m = MS[seed % len(MS)]
        base = float(rng.normal(50.0, 1.0))
        # Clearly better at M = 2, slightly worse (not significantly) at M = 3.
        gain = {2: 5.0 + float(rng.normal(0, 0.5)), 3: -0.05 + float(rng.normal(0, 1.0))}
        for policy, value in (("plain", base), ("default", base + gain.get(m, 0.0))):
            rows[(policy, "fam", seed)] = {"m": m, "final_hv": value}
    runs = Runs(rows)
    assert cell_counts(runs, "default", "plain", ["fam"], list(range(40)), "final_hv") == (1, 0)
    assert cell_counts(runs, "plain", "default", ["fam"], list(range(40)), "final_hv") == (0, 1)

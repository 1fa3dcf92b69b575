"""The lab as a harness: policies of one's own by module:attribute, kept runs
keyed by their content (a changed world or simulator makes a run stale, never
reused), and the benchmarks' one hypervolume."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("moocore", reason="the lab measures hypervolume with moocore")
pytest.importorskip("scipy", reason="the lab's intervals use scipy")
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks import hypervolume as hv  # noqa: E402
from benchmarks.pbt_lab import keys, lab_md, store  # noqa: E402
from benchmarks.pbt_lab.families import FAMILIES  # noqa: E402
from benchmarks.pbt_lab.job import run_one  # noqa: E402
from benchmarks.pbt_lab.named import PolicyError, resolve  # noqa: E402
from benchmarks.pbt_lab.simulator import Design, simulate  # noqa: E402
from kestrovane.pbt.policies import MonteCarloRule  # noqa: E402

ROOT = keys.ROOT


@pytest.fixture
def worked_example(tmp_path, monkeypatch):
    """LAB.md's my_policies.py, importable, and the policies its command names."""
    text = lab_md.LAB_MD.read_text()
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    command = re.search(r"^python -m benchmarks\.pbt_lab .*--policies (.*)$", text, re.M)
    (tmp_path / "my_policies.py").write_text(code)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "my_policies", raising=False)
    resolve.cache_clear()
    yield command.group(1).split()
    resolve.cache_clear()


def test_the_worked_example_runs_policies_of_ones_own(worked_example):
    assert [p for p in worked_example if ":" in p] == ["my_policies:cautious",
                                                       "my_policies:patient"]
    cautious, patient = resolve("my_policies:cautious"), resolve("my_policies:patient")
    assert cautious.label == "my_policies:cautious"
    assert cautious.settings["fields"] != patient.settings["fields"]
    # A factory makes a fresh policy for every run; a policy is used as it is.
    assert patient.build(None) is not patient.build(None)
    assert cautious.build(None) is cautious.build(None)
    assert cautious.build(None) == MonteCarloRule(replace_if=0.75)
    family, d = FAMILIES["warmup"], Design(m=2, n=8, window=4, percentile=0.25)
    own = simulate(family, d, 3, cautious.build)
    assert own == simulate(family, d, 3, resolve("mc:replace_if=0.75").build)
    assert keys.Keys("s", "p").key("my_policies:cautious", "warmup", 3) != \
        keys.Keys("s", "p").key("mc:replace_if=0.75", "warmup", 3)


@pytest.mark.parametrize("name, says", [
    ("no_such_module_here:rule", "cannot import 'no_such_module_here': ModuleNotFoundError"),
    ("kestrovane.pbt.policies:NoSuchRule", "has no attribute 'NoSuchRule'"),
    ("kestrovane:__version__", "a str is not a policy"),
    ("kestrovane.pbt.policies:Evidence", "is not a policy"),
    ("mc:no_such_option=1", "unexpected keyword argument"),
    ("mc:trend=sideways", "trend must be"),
    ("nothing", "unknown policy 'nothing'"),
])
def test_a_name_that_gives_no_policy_stops_the_lab_with_one_line(name, says):
    with pytest.raises(PolicyError, match=re.escape(says)):
        resolve(name)
    out = subprocess.run([sys.executable, "-m", "benchmarks.pbt_lab", "--policies", name],
                         cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert out.returncode == 2 and out.stdout == ""
    assert out.stderr.count("\n") == 1 and says in out.stderr


def test_a_factory_that_raises_or_returns_no_policy_is_refused(tmp_path, monkeypatch):
    (tmp_path / "broken_policies.py").write_text(
        "def raises():\n    raise RuntimeError('no licence\\nfor this')\n\n"
        "def returns_text():\n    return 'policy'\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(PolicyError, match="factory raised RuntimeError: no licence for this$"):
        resolve("broken_policies:raises")
    with pytest.raises(PolicyError, match="factory returned str"):
        resolve("broken_policies:returns_text")


@pytest.fixture
def kept_row(tmp_path):
    """One kept run of the current code, in a store of its own."""
    now = keys.Keys.current()
    path = tmp_path / "results.jsonl"
    store.append([run_one(("plain", "stepdecay", 1, now))], path)
    return now, path


def test_a_changed_world_makes_the_kept_run_stale(kept_row, monkeypatch):
    now, path = kept_row
    rows = store.load(path)
    assert list(store.current(rows, now)) == [("plain", "stepdecay", 1)]
    monkeypatch.setattr(FAMILIES["stepdecay"], "offset", 0.25)
    keys._world_digest.cache_clear()
    try:
        assert store.current(rows, now) == {}
        reasons = store.stale_reasons(rows, now, [("plain", "stepdecay", 1)])
        assert reasons == {"world": 1}
        assert store.stale_text(reasons).endswith("run again: 1 of another world")
        assert store.prune(now, path) == 1 and store.load(path) == []
    finally:
        keys._world_digest.cache_clear()


def test_a_changed_simulator_source_makes_the_kept_run_stale(kept_row, tmp_path):
    now, path = kept_row
    copy = tmp_path / "root"
    for name in keys.SIMULATOR_SOURCES:
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / name, copy / name)
    assert keys.simulator_digest(copy) == now.simulator
    simulator = copy / keys.SIMULATOR_SOURCES[0]
    simulator.write_text(simulator.read_text().replace("steps += 1", "steps += 2"))
    changed = keys.Keys(keys.simulator_digest(copy), now.package)
    rows = store.load(path)
    assert changed.simulator != now.simulator and store.current(rows, changed) == {}
    assert store.stale_reasons(rows, changed, [("plain", "stepdecay", 1)]) == {"simulator": 1}


def test_the_world_is_each_familys_own():
    """A family's key follows its parameters and the code it runs, not another family's."""
    worlds = {name: keys.world(f) for name, f in FAMILIES.items()}
    assert worlds["stepdecay"]["parameters"]["scale"] == 1.5
    assert "description" not in worlds["stepdecay"]["parameters"]
    source = keys._source(type(FAMILIES["stepdecay"]))
    assert "class StepDecay" in source and "class _Base" in source and "RESAMPLE" in source
    assert "class Wild" not in source
    assert len({keys.digest(w) for w in worlds.values()}) == len(FAMILIES)


def test_one_hypervolume_in_every_dimension_and_without_moocore(monkeypatch):
    rng = np.random.default_rng(4)
    cases = [(rng.uniform(0, 1.2, (k, m)), rng.uniform(0.6, 1.3, m))
             for m in (2, 3, 4) for k in (1, 3, 12)]
    with_moocore = [hv.hypervolume(p, r) for p, r in cases]
    monkeypatch.setattr(hv, "moocore", None)
    assert [hv.hypervolume(p, r) for p, r in cases] == pytest.approx(with_moocore, rel=1e-12)
    ref = np.array([2.0, 3.0])
    assert hv.hypervolume(np.array([[1.0, 1.0], [1.5, 0.5], [2.0, 0.1]]), ref) == \
        pytest.approx(1.0 * 2.0 + 0.5 * 0.5)  # the point on the border adds nothing
    assert hv.hypervolume(np.array([[3.0], [1.0]]), np.array([4.0])) == 3.0
    assert hv.hypervolume(np.empty((0, 2)), ref) == 0.0


def test_rows_of_the_old_digest_are_rekeyed_only_with_todays_settings():
    from benchmarks.pbt_lab.rekey import rekeyed

    now = keys.Keys("sim", "pkg")
    today = resolve("default").settings["fields"]
    row = {"digest": "53a7431307b70375", "policy": f"default|{today}", "family": "wild",
           "seed": 101, "final_hv": 12.5}
    new = rekeyed(row, now)
    assert new["key"] == now.key("default", "wild", 101) and new["policy"] == "default"
    assert "digest" not in new and new["final_hv"] == 12.5
    older = dict(row, policy="default|" + today.replace("n_samples=192", "n_samples=256"))
    assert rekeyed(older, now) is None
    assert rekeyed(dict(row, policy="gone_module:rule"), now) is None
    # Either way the store counts the run once, by its newest row.
    rows = [older, new]
    assert store.current(rows, now) == {("default", "wild", 101): new}
    assert store.stale_reasons([new, older], now, [("default", "wild", 101)]) == {"format": 1}

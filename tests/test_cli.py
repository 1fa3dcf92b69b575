"""kestrovane-select end to end, and the population readers' messages."""

import json
import subprocess
import sys

import numpy as np
import pytest

from kestrovane.cli.population_file import PopulationFileError, read_population
from kestrovane.selection_core._mc_rank import mc_rank_select_detailed


def cli(*args, cwd=None, module="kestrovane"):
    return subprocess.run([sys.executable, "-m", module, *args],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.mark.parametrize("module", ["kestrovane", "kestrovane.selection_core"])
def test_both_module_entries_run_the_command_line(module):
    done = cli("--example", "--json", "--samples", "50", module=module)
    assert done.returncode == 0, done.stderr
    assert "winners" in json.loads(done.stdout)


CSV = "id,mu_loss,var_loss,mu_cost,sd_cost\na,0.1,0.01,0.9,0.1\nb,0.3,0.02,0.3,0.1\n" \
      "c,0.8,0.01,0.1,0.05\nd,0.6,0.05,0.6,0.2\ne,0.5,0.01,0.4,0.1\n"


def test_readers_agree_and_json_matches_the_kernel(tmp_path):
    csv_path = tmp_path / "pop.csv"
    csv_path.write_text(CSV)
    pop = read_population(str(csv_path))
    assert pop.ids == list("abcde") and pop.objectives == ["loss", "cost"]
    np.testing.assert_allclose(pop.sigma2[:, 1], [0.01, 0.01, 0.0025, 0.04, 0.01])
    (tmp_path / "pop.json").write_text(json.dumps(
        {"mu": pop.mu.tolist(), "sigma2": pop.sigma2.tolist(), "ids": pop.ids,
         "objectives": pop.objectives}))
    np.savez(tmp_path / "pop.npz", mu=pop.mu, sigma2=pop.sigma2, ids=np.array(pop.ids),
             objectives=np.array(pop.objectives))
    outputs = []
    for name in ("pop.csv", "pop.json", "pop.npz"):
        proc = cli(str(tmp_path / name), "--samples", "500", "--seed", "3", "--ties", "index",
                   "--json")
        assert proc.returncode == 0, proc.stderr
        outputs.append(json.loads(proc.stdout))
    assert outputs[0] == outputs[1] == outputs[2]
    res = mc_rank_select_detailed(pop.mu, pop.sigma2, 500, 0.2, 3, 1, 0, 2)
    out = outputs[0]
    assert out["winners"] == [pop.ids[i] for i in res[0]]
    assert out["losers"] == [pop.ids[i] for i in res[1]]
    by_id = {r["id"]: r for r in out["individuals"]}
    assert [by_id[i]["wins"] for i in pop.ids] == res[2].tolist()
    assert [by_id[i]["place_median"] for i in pop.ids] == res[5]["median"].tolist()
    # Best first: the winners head the table.
    assert [r["id"] for r in out["individuals"][:len(res[0])]] == out["winners"]


@pytest.mark.parametrize("name, content, message", [
    ("p.csv", "id,mu_a,var_a\nx,1,0.1\ny,oops,0.1\n", "p.csv: row 3, column 'mu_a': not a number: 'oops'"),
    ("p.csv", "id,mu_a,var_a\nx,1,-0.1\n", "p.csv: row 2, column 'var_a': a variance must be >= 0"),
    ("p.csv", "id,mu_a\nx,1\n", "p.csv: row 1: objective 'a' needs exactly one of 'var_a' or 'sd_a'"),
    ("p.csv", "id,mu_a,var_a\nx,1\n", "p.csv: row 2: 2 fields, the header has 3"),
    ("p.csv", "id,mu_a,var_a\nx,1,0\nx,2,0\n", "p.csv: row 3, column 'id': duplicate id 'x'"),
    ("p.csv", "id,score\nx,1\n", "p.csv: row 1: no 'mu_<name>' column"),
    ("p.json", '{"mu": [[1, 2]], "sigma2": [[0.1, "x"]]}', "p.json: sigma2[0][1]: not a number: 'x'"),
    ("p.json", '{"mu": [[1, 2]], "sd": [[0.1]]}', "p.json: mu is 1x2 but the spread is 1x1"),
    ("p.json", '{"mu": [[1]]', "p.json: line 1, column 13: Expecting ',' delimiter"),
    ("p.json", '{"mu": [[1]], "sigma2": [[1]], "sd": [[1]]}', "p.json: give exactly one of"),
    ("p.txt", "", "p.txt: unknown file type '.txt'"),
    ("missing.csv", None, "missing.csv: No such file or directory"),
])
def test_bad_files_give_one_line_and_status_2(tmp_path, name, content, message):
    if content is not None:
        (tmp_path / name).write_text(content)
    with pytest.raises(PopulationFileError) as e:
        read_population(str(tmp_path / name))
    assert str(e.value).startswith(str(tmp_path / name)[:-len(name)] + message)
    proc = cli(name, cwd=tmp_path)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.strip() == f"kestrovane-select: error: {message}" or \
        proc.stderr.startswith(f"kestrovane-select: error: {message}")
    assert "Traceback" not in proc.stderr and proc.stderr.count("\n") == 1


def test_npz_problems(tmp_path):
    np.savez(tmp_path / "a.npz", mu=np.zeros((2, 2)))
    np.savez(tmp_path / "b.npz", mu=np.zeros((2, 2)), sigma2=np.array([[0, 1], [np.nan, 0]]))
    (tmp_path / "c.npz").write_bytes(b"not a zip")
    for name, message in [("a.npz", "missing array 'sigma2' (found mu)"),
                          ("b.npz", "sigma2[1][0]: NaN is not a score"),
                          ("c.npz", "not a readable .npz archive")]:
        with pytest.raises(PopulationFileError, match=message.replace("(", r"\(").replace(")", r"\)")
                           .replace("[", r"\[").replace("]", r"\]")):
            read_population(str(tmp_path / name))


def test_builtin_example_table_and_options():
    proc = cli("--example", "--samples", "300", "--quantiles", "p2", "--mode", "values")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("12 individuals, objectives loss, latency, size; 300 samples")
    assert "values, p2 quantiles" in lines[0]
    assert lines[1].startswith("winners: ") and lines[2].startswith("losers: ")
    assert sum(1 for line in lines if line.endswith(" W")) == 3  # k = ceil(12 * 0.2)
    bad = cli("--percentile", "0")
    assert bad.returncode == 2 and "--percentile must be in (0, 1]" in bad.stderr


def test_plot_is_written_or_install_hint(tmp_path):
    out = tmp_path / "sel.png"
    proc = cli("--example", "--samples", "200", "--plot", str(out))
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert proc.returncode == 2 and "pip install 'kestrovane[plot]'" in proc.stderr
        return
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_threads_change_nothing_but_speed_and_are_bounded(tmp_path):
    one = cli("--example", "--json", "--samples", "300", "--threads", "1")
    two = cli("--example", "--json", "--samples", "300", "--threads", "2")
    assert one.returncode == two.returncode == 0, one.stderr + two.stderr
    assert json.loads(one.stdout) == json.loads(two.stdout)
    for bad in ("0", "65", "x"):
        done = cli("--threads", bad)
        assert done.returncode == 2 and "--threads" in done.stderr
        assert "Traceback" not in done.stderr



def test_ties_option_reaches_the_selection():
    default, shuffled, by_row = (cli("--example", "--json", "--samples", "200", *extra)
                                 for extra in ((), ("--ties", "random"), ("--ties", "index")))
    assert default.returncode == shuffled.returncode == by_row.returncode == 0
    assert json.loads(default.stdout) == json.loads(shuffled.stdout)
    assert json.loads(shuffled.stdout)["ties"] == "random"
    assert json.loads(by_row.stdout)["ties"] == "index"
    bad = cli("--ties", "first")
    assert bad.returncode == 2 and "--ties" in bad.stderr

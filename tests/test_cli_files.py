"""kestrovane-select on the example files of data/cli (see cases.json there),
and a short fuzz of the three readers: any input is read or refused with
PopulationFileError, never anything else."""

import io
import json
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrovane.cli.population_file import PopulationFileError, read_population

DATA = Path(__file__).parent / "data" / "cli"
CASES = {k: v for k, v in json.loads((DATA / "cases.json").read_text()).items() if k != "_"}


@pytest.mark.parametrize("case", CASES)
def test_example_file(case):
    spec = CASES[case]
    proc = subprocess.run([sys.executable, "-m", "kestrovane", spec["file"], "--samples", "200",
                           *spec.get("args", [])], cwd=DATA, capture_output=True, text=True,
                          timeout=120, stdin=subprocess.DEVNULL)
    assert "Traceback" not in proc.stderr, proc.stderr
    assert proc.returncode == spec["status"], proc.stderr
    if spec["status"] == 0:
        assert spec["out"] in proc.stdout
        return
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert spec["err"] in lines[-1]
    if not lines[0].startswith("usage:"):  # argparse prints its usage first
        assert len(lines) == 1 and lines[0].startswith("kestrovane-select: error: ")


def test_bom_and_plain_files_read_alike(tmp_path):
    with_bom = read_population(str(DATA / "bom_id_first.csv"))
    plain = tmp_path / "plain.csv"
    plain.write_bytes((DATA / "bom_id_first.csv").read_bytes()[3:])
    without = read_population(str(plain))
    assert with_bom.ids == without.ids == list("abcd")
    assert with_bom.objectives == ["loss", "cost"]
    np.testing.assert_array_equal(with_bom.mu, without.mu)
    np.testing.assert_array_equal(with_bom.sigma2, without.sigma2)


@pytest.mark.parametrize("depth", [63, 64, 65, 900, 5000])
@pytest.mark.parametrize("inside", ["list", "object"])
def test_json_nesting_bound_is_the_same_on_every_python(tmp_path, depth, inside):
    # Up to 64 levels the document is judged as a population; past that it is
    # refused for its depth, whether or not this interpreter's parser could
    # read it (3.12's stops near 1000 levels, 3.13's far deeper).
    core = "[" * (depth - 1) + "]" * (depth - 1)
    doc = {"list": f"[{core}]", "object": f'{{"mu": {core}, "sigma2": 1}}'}[inside]
    path = tmp_path / "nested.json"
    path.write_text(doc)
    with pytest.raises(PopulationFileError) as info:
        read_population(str(path))
    assert ("nested too deeply" in str(info.value)) == (depth > 64)


# -- fuzz ---------------------------------------------------------------------

FUZZ = settings(max_examples=120, deadline=None, derandomize=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def read_or_refuse(name, fmt, data):
    try:
        pop = read_population(name, fmt, data=data)
    except PopulationFileError as e:
        message = str(e)
        assert message.startswith(name + ":") and "\n" not in message
        return
    n, m = pop.mu.shape
    assert n >= 1 and m >= 1 and pop.sigma2.shape == (n, m)
    assert np.isfinite(pop.mu).all() and np.isfinite(pop.sigma2).all()
    assert (pop.sigma2 >= 0).all()
    assert len(pop.ids) == len(set(pop.ids)) == n
    assert len(pop.objectives) == len(set(pop.objectives)) == m


HEADERS = st.sampled_from(["id", "mu_a", "var_a", "sd_a", "mu_b", "var_b", "sd_b", "mu_",
                           "note", "\ufeffid", " mu_a ", ""])
CELLS = st.one_of(st.sampled_from(["1", "-2.5", "nan", "inf", "-inf", "1e200", "1e-320", "0",
                                   "", "x", '"', "1_0", " 3 ", "\x00", "é"]),
                  st.text(max_size=5))


NUMBER_CELLS = st.one_of(st.sampled_from(["1", "-2.5", "0", "1e200", "nan", "-inf"]),
                        st.floats().map(repr))


@st.composite
def csv_bytes(draw):
    if draw(st.booleans()):  # mostly well-formed: the checks past the header are reached
        names = draw(st.lists(st.sampled_from("abc"), min_size=1, max_size=3, unique=True))
        header = draw(st.sampled_from([["id"], []]))
        for name in names:
            header += [f"mu_{name}", draw(st.sampled_from(["var_", "sd_"])) + name]
        header += draw(st.lists(HEADERS, max_size=1))
        cells = st.one_of(NUMBER_CELLS, CELLS) if draw(st.booleans()) else NUMBER_CELLS
        rows = draw(st.lists(st.lists(cells, min_size=len(header), max_size=len(header)),
                             max_size=4))
        for row in rows:
            if header[0] == "id":
                row[0] = draw(st.sampled_from(["p", "q", "r", ""]))
    else:
        header = draw(st.lists(HEADERS, min_size=1, max_size=6))
        rows = draw(st.lists(st.lists(CELLS, min_size=len(header) - 1,
                                      max_size=len(header) + 1), max_size=4))
    text = "\n".join(",".join(r) for r in [header, *rows])
    encoding = draw(st.sampled_from(["utf-8", "utf-8-sig", "latin-1", "utf-16"]))
    return text.encode(encoding, errors="replace")


@FUZZ
@given(st.one_of(csv_bytes(), st.binary(max_size=200)))
def test_fuzz_csv(data):
    read_or_refuse("f.csv", "csv", data)


NUMBERS = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(),
                    st.integers(min_value=10**300, max_value=10**400), st.booleans(),
                    st.none(), st.text(max_size=3))
JSON_VALUES = st.recursive(NUMBERS, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=3), inner, max_size=3)),
    max_leaves=12)
MATRICES = st.one_of(st.lists(st.lists(NUMBERS, max_size=3), max_size=3), JSON_VALUES)


FLOATS = st.one_of(st.floats(), st.integers(-5, 5), NUMBERS)


@st.composite
def json_bytes(draw):
    if draw(st.booleans()):  # the right keys and shapes, doubtful cells
        n, m = draw(st.integers(0, 3)), draw(st.integers(0, 3))
        cells = st.floats(-1e3, 1e3) if draw(st.booleans()) else FLOATS
        doc = {"mu": draw(st.lists(st.lists(cells, min_size=m, max_size=m), min_size=n,
                                   max_size=n)),
               draw(st.sampled_from(["sigma2", "sd"])):
                   draw(st.lists(st.lists(cells, min_size=m, max_size=m), min_size=n,
                                 max_size=n))}
        if draw(st.booleans()):
            doc["ids"] = draw(st.lists(st.one_of(st.sampled_from(["p", "q", 1]), NUMBERS),
                                       min_size=n, max_size=n))
    else:
        keys = draw(st.lists(st.sampled_from(["mu", "sigma2", "sd", "ids", "objectives"]),
                             unique=True))
        doc = {k: draw(JSON_VALUES if k in ("ids", "objectives") else MATRICES) for k in keys}
    text = json.dumps(doc) if draw(st.booleans()) else json.dumps(draw(JSON_VALUES))
    data = text.encode()
    cut = draw(st.integers(0, len(data)))
    return data if draw(st.integers(0, 3)) else data[:cut] + draw(st.binary(max_size=3))


@FUZZ
@given(json_bytes())
def test_fuzz_json(data):
    read_or_refuse("f.json", "json", data)


ARRAYS = st.one_of(
    st.builds(np.zeros, st.tuples(st.integers(0, 3), st.integers(0, 3))),
    st.builds(np.zeros, st.tuples(st.integers(0, 3))),
    st.builds(lambda v: np.array(v), st.lists(st.lists(NUMBERS.filter(
        lambda x: not isinstance(x, int) or abs(x) < 2**63), min_size=2, max_size=2),
        min_size=1, max_size=3)),
    st.sampled_from([np.array("a"), np.array([b"x", b"\xff"]), np.array([1 + 2j, 3j]),
                     np.array([[np.inf, 1.0], [2.0, -1.0]]), np.array(["p", "q"]),
                     np.array([True, False])]),
)


@st.composite
def npz_bytes(draw):
    arrays = draw(st.dictionaries(st.sampled_from(["mu", "sigma2", "ids", "objectives", "x"]),
                                  ARRAYS, max_size=5))
    if draw(st.booleans()):  # matching score arrays, doubtful values
        shape = draw(st.tuples(st.integers(0, 3), st.integers(0, 3)))
        values = st.sampled_from([0.0, 1.5, -1.0, np.inf, np.nan, 1e300])
        for key in ("mu", "sigma2"):
            arrays[key] = np.array(draw(st.lists(values, min_size=shape[0] * shape[1],
                                                 max_size=shape[0] * shape[1]))).reshape(shape)
    buf = io.BytesIO()
    np.savez(buf, **arrays)
    data = bytearray(buf.getvalue())
    for position, value in draw(st.lists(st.tuples(st.integers(0, len(data) - 1),
                                                   st.integers(0, 255)), max_size=2)):
        data[position] = value
    return bytes(data[:draw(st.integers(0, len(data)))]) if not draw(st.integers(0, 3)) \
        else bytes(data)


@FUZZ
@given(npz_bytes())
def test_fuzz_npz(data):
    read_or_refuse("f.npz", "npz", data)


def test_npz_member_that_is_not_an_array(tmp_path):
    path = tmp_path / "raw.npz"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("mu", b"raw bytes")
        z.writestr("sigma2.npy", b"")
    with pytest.raises(PopulationFileError, match=r"raw.npz: (mu: not a NumPy array|sigma2)"):
        read_population(str(path))

"""The .pyi stubs of the extension modules agree with the runtime and type the API."""

import ast
import importlib
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from kestrovane.selection_core._mc_rank import mc_rank_select_detailed
from kestrovane.selection_core.result_types import StatsDict

pytest.importorskip("mypy")

MODULES = ["kestrovane.selection_core._mc_rank", "kestrovane.pareto_core._pareto_rating_cy",
           "kestrovane._api._engine"]

# stubtest requires a `def` to be a builtin or Python function at run time and
# reports "is not a function" otherwise, while still comparing the signatures.
# The _mc_rank callables are function-like objects of their own type (real
# __code__ and __defaults__), so that one check is widened to their type; an
# allowlist entry would hide the signature comparison as well.
STUBTEST = """
import sys
import mypy.stubtest as st
from kestrovane.selection_core import _mc_rank
function_type = type(_mc_rank.mc_rank_counts)
plain_check = st.is_probably_a_function
st.is_probably_a_function = lambda rt: isinstance(rt, function_type) or plain_check(rt)
sys.exit(st.main())
"""

# Lines marked "# E" must be reported by mypy, and no others.
SNIPPET = """\
from typing import assert_type
import numpy as np
from numpy.typing import NDArray
from kestrovane.pareto_core._pareto_rating_cy import rate_population
from kestrovane.selection_core._mc_rank import mc_rank_counts, mc_rank_select_detailed
from kestrovane.selection_core.result_types import StatsDict

mu = np.zeros((3, 2))
win, lose, rank_sum = mc_rank_counts(mu, mu, 10, np.float64(0.5), seed=np.uint64(1))
assert_type(win, NDArray[np.int32])
assert_type(rank_sum, NDArray[np.int64])
res = mc_rank_select_detailed([[0.0, 1.0]], [[0.1, 0.1]], 5.0, quality_sign=-1)
assert_type(res[0], NDArray[np.int64])
assert_type(res[5]["q25"], NDArray[np.float64])
assert_type(res[8], NDArray[np.float64])
mode = res[6].get("quantiles_mode_used")
assert_type(mode, int | None)
assert_type(rate_population(mu)[0], int)
mc_rank_counts(mu, mu, "10")  # E
mc_rank_counts(mu, mu, 10, percentile="0.5")  # E
mc_rank_counts(mu, mu, 10, n_draws=3)  # E
res[7]["mode"]  # E
win, lose = mc_rank_counts(mu, mu, 10)  # E
rate_population(mu, 1.0)  # E
assert_type(res[5], StatsDict)
from kestrovane.selection_core._mc_rank import StatsDict as Stats  # E
from kestrovane.selection_core._mc_rank import _StatsDict  # E
"""


def run(args, cwd):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True)


def test_stubtest_accepts_stubs(tmp_path):
    r = run(["-c", STUBTEST, *MODULES], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_mypy_types_the_api(tmp_path):
    (tmp_path / "snippet.py").write_text(SNIPPET)
    r = run(["-m", "mypy", "--strict", "--no-incremental", "snippet.py"], tmp_path)
    reported = {int(n) for n in re.findall(r"^snippet\.py:(\d+): error", r.stdout, re.M)}
    expected = {i for i, line in enumerate(SNIPPET.splitlines(), 1) if line.endswith("# E")}
    assert reported == expected, textwrap.indent(r.stdout + r.stderr, "  ")


def stub_names(body):
    """The names a type checker lets a script import from a stub: its own
    definitions and the imports it re-exports (`import a as a`)."""
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            yield node.name
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            yield node.target.id
        elif isinstance(node, ast.Assign):
            yield from (t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            yield from (a.asname for a in node.names if a.asname and a.asname == a.name)
        elif isinstance(node, ast.If):
            yield from stub_names(node.body + node.orelse)


@pytest.mark.parametrize("module", MODULES)
def test_every_name_of_the_stubs_exists_at_run_time(module):
    # A name only the stub has would pass mypy and fail with ImportError when run.
    mod = importlib.import_module(module)
    stub = Path(mod.__file__).with_name(module.rpartition(".")[2] + ".pyi")
    names = list(stub_names(ast.parse(stub.read_text()).body))
    assert {"mc_rank_counts", "rate_population", "select_detailed"} & set(names)
    assert [n for n in names if not hasattr(mod, n)] == []


def test_stats_dict_describes_the_returned_dicts():
    stats = mc_rank_select_detailed([[0.0, 1.0], [1.0, 0.0]], [[0.1, 0.1]] * 2, 6)[5]
    assert list(stats) == list(StatsDict.__annotations__)
    empty = mc_rank_select_detailed(np.zeros((0, 2)), np.zeros((0, 2)), 6)[5]
    assert set(empty) == StatsDict.__required_keys__
    assert StatsDict.__optional_keys__ == {"quantiles_mode_used"}


def test_former_name_of_stats_dict_still_imports_with_a_warning():
    from kestrovane.selection_core import result_types
    with pytest.warns(DeprecationWarning, match="MetricStats is renamed StatsDict"):
        from kestrovane.selection_core.result_types import MetricStats
    assert MetricStats is StatsDict
    assert "MetricStats" not in result_types.__all__  # `import *` gives no warning
    with pytest.raises(AttributeError, match="no attribute 'Stats'"):
        result_types.Stats  # noqa: B018

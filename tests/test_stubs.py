"""The .pyi stubs of the extension modules agree with the runtime and type the API."""

import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

MODULES = ["kestrovane.selection_core._mc_rank", "kestrovane.pareto_core._pareto_rating_cy"]

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

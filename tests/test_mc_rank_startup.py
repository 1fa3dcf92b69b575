import builtins
import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrovane.selection_core._mc_rank as m

NAME = "kestrovane.selection_core._mc_rank"
SIBLING = "kestrovane.pareto_core._pareto_rating_cy"
FUNCTIONS = ["mc_rank_counts", "mc_rank_select", "mc_rank_select_detailed"]
LATER = {"mc_rank_select_detailed"}
SIGNATURE = (
    "int (__Pyx_memviewslice, int, int, __Pyx_memviewslice, __Pyx_memviewslice, "
    "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
    "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, struct "
    "__pyx_t_10kestrovane_11pareto_core_17_pareto_rating_cy_Pair *, struct "
    "__pyx_t_10kestrovane_11pareto_core_17_pareto_rating_cy_OrderKey *, __Pyx_memviewslice)"
)
DOC_BODY = (
    "\n\nGoal\n----\nGiven per-point objective distributions (Normal with mean `mu` and variance\n"
    "`sigma2`), repeatedly sample populations, compute Pareto ranking via\n`pareto_core` (front id "
    "+ within-front crowding), and accumulate statistics.\n\nThis module is designed as a hot-path "
    "kernel for async PBT selection.\n\nKey properties\n--------------\n- Deterministic given the "
    "same seed.\n- No allocations inside the sampling loop.\n- Calls Pareto ranking on C-level via "
    "`rate_population_inplace`.\n\nPublic API\n----------\nmc_rank_counts(mu, sigma2, n_samples, "
    "percentile=0.2, seed=0,\n              mode_i=1, within_mode_i=0)\n    -> (win_count, "
    "lose_count, rank_sum)\n\nmc_rank_select(...)\n    -> (winners, losers, win_count, lose_count, "
    "rank_sum)\n\nmc_rank_select_detailed(...)\n    -> (winners, losers, win_count, lose_count, "
    "rank_sum,\n        place_stats, front_stats, within_stats)\n\n    Each *_stats is a dict with "
    "keys:\n        mean, median, std, q25, q75\n\n    The detailed path uses constant-memory "
    "streaming quantile estimators\n    (P\u00b2 algorithm) to avoid storing all (n_samples x N) "
    "values.\n"
)
INTERPRETER_MSG = ("Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.")

# Shared by every fresh interpreter below; each script appends to `out`.
PRELUDE = f"""
import builtins, ctypes, importlib, json, sys, types
NAME, SIBLING, FUNCTIONS = {NAME!r}, {SIBLING!r}, {FUNCTIONS!r}
out = []

def attempt():
    try:
        mod = importlib.import_module(NAME)
    except BaseException as exc:
        names, tb = [], exc.__traceback__
        while tb is not None:
            names.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return dict(exc=type(exc).__name__, msg=str(exc), init_frame="init " + NAME in names,
                    chained=exc.__cause__ is not None or exc.__context__ is not None,
                    left_in_modules=NAME in sys.modules, sibling_loaded=SIBLING in sys.modules)
    import numpy
    x = numpy.ones((5, 2))
    return dict(exc=None, works=all(type(getattr(mod, f)(x, x, 2)) is tuple for f in FUNCTIONS))

_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
_target, _names = ctypes.c_int(0), []

def capsule(name):
    _names.append(name.encode())  # the capsule keeps only a pointer to its name
    return _new_capsule(ctypes.addressof(_target), _names[-1], None)
"""


def run(script):
    code = PRELUDE + textwrap.dedent(script) + "\nprint(json.dumps(out))\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


SUCCESS = dict(exc=None, works=True)


def test_namespace_after_start_up():
    ns = vars(m)
    assert ns["np"] is np and ns["__test__"] == {}
    assert ns["__builtins__"] is builtins
    assert not hasattr(m, "__pyx_capi__") and "__path__" not in ns
    assert m.__name__ == NAME and m.__package__ == "kestrovane.selection_core"
    assert m.__file__ == m.__spec__.origin and m.__loader__ is m.__spec__.loader
    assert {"np", *FUNCTIONS} <= {k for k in ns if not k.startswith("_")} <= {"np", *FUNCTIONS} | LATER
    title, _, _ = m.__doc__.partition("\n")
    assert "Monte-Carlo Pareto ranking core" in title and title.endswith(".")
    assert m.__doc__ == title + DOC_BODY


def test_repeated_imports_and_reload_return_the_same_module():
    out = run("""
        first = importlib.import_module(NAME)
        funcs = [getattr(first, f) for f in FUNCTIONS]
        first.marker = "kept"
        sentinel = first.np = object()  # a rerun of start-up would rebind np
        out.append(importlib.import_module(NAME) is first)
        out.append(importlib.reload(first) is first)
        del sys.modules[NAME]
        again = importlib.import_module(NAME)
        out.append(again is first and sys.modules[NAME] is first)
        out.append([getattr(again, f) is g for f, g in zip(FUNCTIONS, funcs)])
        out.append([again.marker == "kept", again.np is sentinel])
    """)
    assert out == [True, True, True, [True] * len(FUNCTIONS), [True, True]]


def test_second_module_object_is_refused():
    out = run("""
        import importlib.util
        found = importlib.util.find_spec(NAME)
        a, b = importlib.util.module_from_spec(found), importlib.util.module_from_spec(found)
        found.loader.exec_module(a)
        found.loader.exec_module(a)  # executing the same module again does nothing
        try:
            found.loader.exec_module(b)
        except RuntimeError as exc:
            out.append(str(exc))
        out.append([a is not b, sys.modules[NAME] is a, importlib.import_module(NAME) is a])
        out.append(attempt())
    """)
    assert out == [
        "Module '_mc_rank' has already been imported. Re-initialisation is not supported.",
        [True, True, True], SUCCESS,
    ]


NOT_EXPORTED = f"{SIBLING} does not export expected C function rate_population_inplace"
WRONG = f"C function {SIBLING}.rate_population_inplace has wrong signature (expected {SIGNATURE}, got "
OTHER_PACKAGE = SIGNATURE.replace("10kestrovane", "10kestrovanf")


@pytest.mark.parametrize("setup, exc, msg", [
    pytest.param("stand.__pyx_capi__ = {}", "ImportError", NOT_EXPORTED, id="no-key"),
    pytest.param("stand.__pyx_capi__ = {'rate_population': capsule(SIG)}", "ImportError",
                 NOT_EXPORTED, id="other-key"),
    pytest.param("stand.__pyx_capi__ = [('rate_population_inplace', capsule(SIG))]",
                 "ImportError", NOT_EXPORTED, id="not-a-dict"),
    pytest.param("stand.__pyx_capi__ = {'rate_population_inplace': capsule('int (void)')}",
                 "TypeError", WRONG + "int (void))", id="other-signature"),
    pytest.param(f"stand.__pyx_capi__ = {{'rate_population_inplace': capsule({OTHER_PACKAGE!r})}}",
                 "TypeError", WRONG + OTHER_PACKAGE + ")", id="other-package-word"),
    pytest.param("stand.__pyx_capi__ = {'rate_population_inplace': capsule(SIG + ' ')}",
                 "TypeError", WRONG + SIGNATURE + " )", id="trailing-space"),
    pytest.param("stand.__pyx_capi__ = {'rate_population_inplace': capsule('x' * 600)}",
                 "TypeError", WRONG + "x" * 500 + ")", id="long-name-cut-at-500"),
    pytest.param("pass", "AttributeError", f"module '{SIBLING}' has no attribute '__pyx_capi__'",
                 id="no-capi"),
    pytest.param("sys.modules[SIBLING] = None", "ModuleNotFoundError",
                 f"import of {SIBLING} halted; None in sys.modules", id="not-importable"),
])
def test_rating_import_failures_then_retry(setup, exc, msg):
    out = run(f"""
        SIG = {SIGNATURE!r}
        stand = sys.modules[SIBLING] = types.ModuleType(SIBLING)
        {setup}
        kept = sys.modules[SIBLING]
        out.append(attempt())
        out.append(sys.modules[SIBLING] is kept)
        out.append(attempt())  # the failure repeats: nothing was left half set up
        del sys.modules[SIBLING]
        out.append(attempt())
    """)
    # The failure reaches the caller as raised (nothing chained onto it), and
    # start-up leaves the caller's entry for the sibling as it was.
    failure = dict(exc=exc, msg=msg, init_frame=True, chained=False, left_in_modules=False,
                   sibling_loaded=True)
    assert out == [failure, True, failure, SUCCESS]


@pytest.mark.parametrize("setup, outcome", [
    ("fake = types.ModuleType('m'); fake._ARRAY_API = 'not a capsule'\n"
     "sys.modules['numpy._core._multiarray_umath'] = fake", "fail"),
    ("sys.modules['numpy._core._multiarray_umath'] = types.ModuleType('m')", "fail"),
    # without numpy._core the older module name is used
    ("fake = types.ModuleType('m'); fake._ARRAY_API = real._ARRAY_API\n"
     "sys.modules['numpy._core._multiarray_umath'] = None\n"
     "sys.modules['numpy.core._multiarray_umath'] = fake", "ok"),
    ("fake = types.ModuleType('m'); fake._ARRAY_API = 1\n"
     "sys.modules['numpy._core._multiarray_umath'] = None\n"
     "sys.modules['numpy.core._multiarray_umath'] = fake", "fail"),
])
def test_numpy_interface_table_failure(setup, outcome):
    # NumPy 1.26 serves numpy._core._multiarray_umath from numpy.core.
    script = "real = importlib.import_module('numpy._core._multiarray_umath')\n" + setup + """
out.append(attempt())
sys.modules['numpy._core._multiarray_umath'] = real
sys.modules.pop('numpy.core._multiarray_umath', None)
out.append(attempt())
"""
    first, retry = run(script)
    assert retry == SUCCESS
    if outcome == "ok":
        assert first == SUCCESS
        return
    assert first.pop("msg").startswith("numpy.core.multiarray failed to import")
    assert first == dict(exc="ImportError", init_frame=True, chained=False, left_in_modules=False,
                         sibling_loaded=False)  # stopped before the rating import


@pytest.mark.parametrize("main_setup", [
    "importlib.import_module(NAME)",
    "sys.modules[SIBLING] = types.ModuleType(SIBLING); out.append(attempt()['exc'])",  # failed
])
def test_second_interpreter_is_refused(main_setup):
    out = run(main_setup + """
import re
try:  # Python 3.13 renamed the module; its run_string returns the failure
    import _interpreters as interpreters
except ModuleNotFoundError:
    import _xxsubinterpreters as interpreters
    sub = interpreters.create(isolated=False)
    try:
        interpreters.run_string(sub, "import " + NAME)
    except interpreters.RunFailedError as exc:
        out.append(list(re.fullmatch("<class '(\\w+)'>: (.*)", str(exc), re.S).groups()))
else:
    sub = interpreters.create("legacy")  # shared GIL and allocator, as isolated=False was
    failure = interpreters.run_string(sub, "import " + NAME)
    if failure is not None:
        out.append([failure.type.__name__, failure.msg])
sys.modules.pop(SIBLING, None)
out.append(attempt())
""")
    refused = [["ImportError", INTERPRETER_MSG], SUCCESS]
    assert out[-2:] == refused and out[:-2] in ([], ["AttributeError"])


def test_np_is_looked_up_at_each_use():
    out = run("""
        import numpy
        mod = importlib.import_module(NAME)

        class Spy:
            def __init__(self):
                self.used = set()

            def __getattr__(self, attr):
                self.used.add(attr)
                return getattr(numpy, attr)

        x = numpy.ones((5, 2))
        for f in FUNCTIONS:
            mod.np = spy = Spy()
            getattr(mod, f)(x, x, 2)
            out.append(sorted(spy.used & {"asarray", "empty", "zeros"}))
        del mod.np
        for f in FUNCTIONS:
            try:
                getattr(mod, f)(x, x, 2)
            except NameError as exc:
                out.append(str(exc))
        builtins.np = spy = Spy()  # the builtins are the fallback
        getattr(mod, FUNCTIONS[0])(x, x, 2)
        out.append("asarray" in spy.used)
        del builtins.np
        mod.np = numpy
        out.append(attempt())
    """)
    n = len(FUNCTIONS)
    assert out == ([["asarray", "empty", "zeros"]] * n + ["name 'np' is not defined"] * n
                   + [True, SUCCESS])

"""Parameters declared once (kestrovane._api.parameters): the public
functions, the policies, the command line and the engine refuse the same
values, the engine's bounds are the declarations' own, and the docs state
what is declared."""

import ast
import inspect
import math
import re
from pathlib import Path

import numpy as np
import pytest

import kestrovane
from kestrovane._api import _engine, native
from kestrovane._api import parameters as P
from kestrovane._api import validate as v
from kestrovane._api.bounds import Choice
from kestrovane._api.options import Options
from kestrovane.cli.main import parse_args
from kestrovane.pbt import Population
from kestrovane.pbt.policies import MonteCarloRule, ParetoRule

ROOT = Path(__file__).resolve().parents[1]

MU = np.array([[0.1, 0.9], [0.5, 0.5], [0.9, 0.1]])
S2 = np.full((3, 2), 0.02)


class ReachedTheEngine(Exception):
    pass


@pytest.fixture
def checks_only(monkeypatch):
    """select checks its arguments, then stops where it would start sampling."""
    def stop(*args):
        raise ReachedTheEngine
    monkeypatch.setattr(native._engine, "select_detailed", stop)


def test_the_thread_limit_is_the_engines():
    assert P.THREADS.kind.high == _engine.MAX_THREADS >= 2
    too_many = _engine.MAX_THREADS + 1
    with pytest.raises(ValueError, match=f"threads must be in 1 .. {_engine.MAX_THREADS}; got"):
        _engine.counts(MU, S2, 10, 0.2, 0, 1, 0, too_many, None, 0.005)
    # The engine's limit is what the public function takes: one more is refused first.
    assert kestrovane.counts(MU, S2, n_samples=100, threads=_engine.MAX_THREADS).n_samples == 100
    with pytest.raises(ValueError, match=rf"\[1, {_engine.MAX_THREADS}\]; got {too_many}"):
        kestrovane.counts(MU, S2, n_samples=100, threads=too_many)


# option, argument of select, its bounds, values outside, values at the edges inside
EDGES = [
    ("--samples", "n_samples", P.N_SAMPLES.kind, [0, -5, 2**31], [1, 2**31 - 1]),
    ("--percentile", "percentile", P.PERCENTILE.kind,
     [0.0, -0.1, 1.0000001, math.nan, math.inf], [1e-300, 1.0]),
    ("--seed", "seed", P.SEED.kind, [-1, 2**64], [0, 2**64 - 1]),
    ("--threads", "threads", P.THREADS.kind, [0, -1, _engine.MAX_THREADS + 1],
     [1, _engine.MAX_THREADS]),
]


@pytest.mark.parametrize("option, argument, bounds, outside, inside", EDGES,
                         ids=[e[0] for e in EDGES])
def test_command_line_and_select_refuse_the_same_values(checks_only, capsys, option,
                                                        argument, bounds, outside, inside):
    for value in outside:
        with pytest.raises(SystemExit) as exit_:
            parse_args([option, str(value)])
        assert exit_.value.code == 2
        assert capsys.readouterr().err.endswith(
            f"error: {option} must be in {bounds.span()}, got {value}\n")
        with pytest.raises(ValueError,
                           match=f"^{argument} must be in {re.escape(bounds.interval())}; got"):
            kestrovane.select(MU, S2, **{argument: value})
    for value in inside:
        assert getattr(parse_args([option, str(value)]), option[2:]) == value
        with pytest.raises(ReachedTheEngine):
            kestrovane.select(MU, S2, **{argument: value})


def test_the_engines_bounds_are_the_declarations():
    """The declarations read the engine's bounds; the engine refuses what lies
    just outside them and takes their edges."""
    for name, (low, high, low_open, high_open) in _engine.BOUNDS.items():
        kind = P.PARAMETERS[name].kind
        assert (kind.low, kind.high, kind.low_open, kind.high_open) == (low, high, low_open,
                                                                        high_open)
    for parameter, names in ((P.MODE, _engine.MODES), (P.QUANTILES, _engine.QUANTILES),
                             (P.TIES, _engine.TIES)):
        assert sorted(parameter.kind.options) == sorted(names)
        assert [parameter.kind.code(o) for o in names] == list(range(len(names)))
    good = [10, 0.5, 1, 1, 0, 1, None, 0.005]  # n_samples, percentile, seed, mode_i, ties_i, ...
    for place, outside in ((0, 0), (1, 0.0), (1, math.nan), (3, len(_engine.MODES)),
                           (4, len(_engine.TIES))):
        with pytest.raises(ValueError):
            _engine.counts(MU, S2, *(good[:place] + [outside] + good[place + 1:]))
    edges = [P.N_SAMPLES.kind.low, 1.0, P.SEED.kind.high, len(_engine.MODES) - 1,
             len(_engine.TIES) - 1, P.THREADS.kind.high]
    assert _engine.counts(MU, S2, *edges, None, 0.005)[0].sum() == P.N_SAMPLES.kind.low * 3


def test_wrong_kinds_raise_type_error_and_wrong_values_value_error_everywhere():
    """One exception per kind of mistake: the public functions, the tracker
    and the policies alike."""
    calls = {
        "select": lambda **kw: kestrovane.select(MU, S2, **kw),
        "counts": lambda **kw: kestrovane.counts(MU, S2, **kw),
        "front_chances": lambda **kw: kestrovane.front_chances(MU, S2, **kw),
        "rate": lambda **kw: kestrovane.rate(MU, **kw),
        "Population": lambda **kw: Population(["a", "b"], **kw),
        "MonteCarloRule": lambda **kw: MonteCarloRule(**kw),
        "ParetoRule": lambda **kw: ParetoRule(**kw),
    }
    takes = {"select": "n_samples percentile seed mode quantiles quantiles_budget ties threads",
             "counts": "n_samples percentile seed mode ties threads",
             "front_chances": "n_samples seed", "rate": "mode",
             "Population": "percentile seed", "MonteCarloRule": "n_samples mode",
             "ParetoRule": "mode"}
    wrong_kind = {"n_samples": 10.0, "percentile": "0.2", "seed": 1.5, "mode": 1,
                  "quantiles": None, "quantiles_budget": 2.5, "ties": 0, "threads": 2.0}
    wrong_value = {"n_samples": 0, "percentile": 1.5, "seed": -1, "mode": "rank",
                   "quantiles": "P2", "quantiles_budget": 2**63, "ties": "first", "threads": 0}
    for caller, names in takes.items():
        for name in names.split():
            with pytest.raises(TypeError, match=f"^{name} must be"):
                calls[caller](**{name: wrong_kind[name]})
            with pytest.raises(ValueError, match=f"^{name} must be"):
                calls[caller](**{name: wrong_value[name]})


def test_signatures_and_the_command_line_default_as_declared():
    for function in (kestrovane.select, kestrovane.counts, kestrovane.front_chances,
                     kestrovane.rate):
        for name, param in inspect.signature(function).parameters.items():
            if name in P.PARAMETERS:
                assert param.default == P.PARAMETERS[name].default, (function, name)
    for f in Options.__dataclass_fields__.values():
        assert f.default == P.PARAMETERS[f.name].default, f.name
    args = parse_args([])
    for option, name in (("samples", "n_samples"), ("percentile", "percentile"),
                         ("seed", "seed"), ("mode", "mode"), ("quantiles", "quantiles"),
                         ("ties", "ties"), ("threads", "threads")):
        assert getattr(args, option) == P.PARAMETERS[name].default, option


#: Who takes a declared parameter besides the public functions.
TAKERS = {"MonteCarloRule": MonteCarloRule, "ParetoRule": ParetoRule,
          "Population": Population, "Population.front_chances": Population.front_chances}


def _default_of(owner: str, name: str) -> object:
    if owner == "ParetoPBT":  # Ray is optional: read the adapter's source
        tree = ast.parse((ROOT / "src/kestrovane/integrations/ray_tune.py").read_text())
        init = next(n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef)
                    and n.name == "__init__" and any(a.arg == name for a in n.args.kwonlyargs))
        names = [a.arg for a in init.args.kwonlyargs]
        return ast.literal_eval(init.args.kw_defaults[names.index(name)])
    return inspect.signature(TAKERS[owner]).parameters[name].default


def test_the_defaults_said_to_differ_do_and_say_why():
    differ = set()
    for parameter in P.PARAMETERS.values():
        for other in parameter.elsewhere:
            assert other.value != parameter.default and other.why
            assert _default_of(*other.where.rsplit(".", 1)) == other.value, other.where
            differ.add(other.where)
    # Every other default of a declared parameter is the declared one.
    for owner, taker in TAKERS.items():
        for name, param in inspect.signature(taker).parameters.items():
            if name in P.PARAMETERS and f"{owner}.{name}" not in differ:
                assert param.default == P.PARAMETERS[name].default, (owner, name)


def _docstring_entry(function: object, name: str) -> str:
    """The text of parameter `name` in a NumPy-style docstring."""
    doc = inspect.getdoc(function) or ""
    found = re.search(rf"^(?:\w+, )*{name}(?:, \w+)*:\n((?:    .*\n?|\n)+)", doc, re.M)
    assert found, (function, name)
    return " ".join(found.group(1).split())


def test_the_docs_state_the_declared_bounds_and_choices():
    readme = (ROOT / "README.md").read_text().replace("−", "-")
    for name in ("n_samples", "percentile", "seed", "threads"):
        words = P.PARAMETERS[name].kind.words()
        assert words in _docstring_entry(kestrovane.select, name), name
        assert words in readme, name
    for name in ("mode", "quantiles", "ties"):
        kind = P.PARAMETERS[name].kind
        assert isinstance(kind, Choice)
        entry = _docstring_entry(kestrovane.select, name)
        assert all(f'"{o}"' in entry for o in kind.options), name
        assert f"`--{name} {'|'.join(kind.options)}` ({P.PARAMETERS[name].default})" in readme
    assert f"`n_samples` outside {P.N_SAMPLES.kind.span().replace('2147483647', '2**31 - 1')}" \
        in " ".join(readme.split())
    internals = (ROOT / "docs" / "internals.md").read_text()
    assert f"T threads ({P.THREADS.kind.words()})" in internals
    # The signature in the README, with the declared defaults.
    shown = re.search(r"^select\(mu, sigma2, \*, (.*?)\) -> Selection", readme,
                      re.M | re.S)
    assert shown
    defaults = dict(item.split("=") for item in " ".join(shown.group(1).split()).split(", "))
    assert {k: ast.literal_eval(d) for k, d in defaults.items() if k in P.PARAMETERS} == \
        {k: p.default for k, p in P.PARAMETERS.items() if k in defaults}


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7, 10, 99, 1000, 2**31 - 1])
def test_one_k_for_python_and_the_engine(n):
    """min(N, max(1, ceil(N * percentile))), capped at N, with the product in
    double precision; select and counts choose that many."""
    for percentile in (1e-300, 0.1, 0.2, 0.3, 1 / 3, 0.5, 0.7, 1.0):
        assert v.winner_count(n, percentile) == min(n, max(1, math.ceil(n * percentile)))
    if 0 < n <= 10:
        mu = np.arange(2.0 * n).reshape(n, 2)
        for percentile in (0.1, 0.3, 1.0):
            sel = kestrovane.select(mu, np.full_like(mu, 0.1), n_samples=20,
                                    percentile=percentile)
            assert sel.k == len(sel.losers) == v.winner_count(n, percentile)


def test_options_are_checked_in_order_before_the_population():
    bad = np.array([[math.nan, 0.0]])
    with pytest.raises(ValueError, match="^n_samples must be"):
        kestrovane.select(bad, [[1.0, 1.0]], n_samples=0, mode="rank", ties="first")
    with pytest.raises(ValueError, match="^quantiles must be"):
        kestrovane.select(bad, [[1.0, 1.0]], quantiles="P2", ties="first")
    with pytest.raises(TypeError, match="^progress must be"):
        kestrovane.counts(bad, [[1.0, 1.0]], progress=3)


#: How the command line names a declared parameter; None: it has no option
#: (the exact quantiles' budget is for callers who hold the memory in hand).
OPTION_OF = {"n_samples": "--samples", "quantiles_budget": None}


def test_every_declared_parameter_is_documented_and_reaches_the_command_line(capsys):
    # A parameter added to the declarations without its docs or its option fails here.
    readme = " ".join((ROOT / "README.md").read_text().split())
    shown = re.search(r"select\(mu, sigma2, \*, (.*?)\) -> Selection", readme)
    assert shown
    in_signature = {item.split("=")[0] for item in shown.group(1).split(", ")}
    with pytest.raises(SystemExit):
        parse_args(["--help"])
    help_text = capsys.readouterr().out
    for name in P.PARAMETERS:
        assert _docstring_entry(kestrovane.select, name), name
        assert name in in_signature, name
        option = OPTION_OF.get(name, f"--{name}")
        assert option is None or option in help_text, name

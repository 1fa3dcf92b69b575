"""Every refused argument of select and rate: its exception, its exact message,
and no sampling before it."""

import re
import types

import numpy as np
import pytest

import kestrovane
from kestrovane._api import native

MU = np.array([[0.1, 0.9], [0.5, 0.5], [0.9, 0.1]])
S2 = np.full((3, 2), 0.02)
NAMED = dict(ids=["a", "b", "c"], objectives=["loss", "lat"])


def with_cell(arr, i, j, value):
    out = np.array(arr, dtype=float)
    out[i, j] = value
    return out


def two_bad(arr, value):
    return with_cell(with_cell(arr, 0, 1, value), 2, 0, value)


# (id, arguments of select, exception, exact message)
SELECT_ERRORS = [
    # means
    ("mean-nan", dict(mu=with_cell(MU, 1, 0, np.nan), **NAMED), ValueError,
     "mu of member 'b' (row 1), objective 'loss' (column 0) is NaN"),
    ("mean-inf", dict(mu=with_cell(MU, 2, 1, -np.inf)), ValueError,
     "mu of member 2, objective 1 is infinite (-inf)"),
    ("mean-several", dict(mu=two_bad(MU, np.inf)), ValueError,
     "mu of member 0, objective 1 is infinite (inf) (2 invalid entries in all)"),
    # variances (0 stays allowed)
    ("var-nan", dict(sigma2=with_cell(S2, 0, 0, np.nan)), ValueError,
     "sigma2 of member 0, objective 0 is NaN"),
    ("var-inf", dict(sigma2=with_cell(S2, 1, 1, np.inf), **NAMED), ValueError,
     "sigma2 of member 'b' (row 1), objective 'lat' (column 1) is infinite (inf)"),
    ("var-negative", dict(sigma2=with_cell(S2, 2, 1, -0.5), **NAMED), ValueError,
     "sigma2 of member 'c' (row 2), objective 'lat' (column 1) is negative (-0.5); a variance "
     "must be >= 0"),
    ("var-several", dict(sigma2=two_bad(S2, -1.0)), ValueError,
     "sigma2 of member 0, objective 1 is negative (-1.0); a variance must be >= 0 "
     "(2 invalid entries in all)"),
    # shapes
    ("shape-mismatch", dict(sigma2=np.ones((3, 3))), ValueError,
     "mu and sigma2 must have the same shape, or sigma2 one that broadcasts to mu's (a "
     "scalar, one variance per objective); got (3, 2) and (3, 3)"),
    ("no-objectives", dict(mu=np.zeros((3, 0)), sigma2=np.zeros((3, 0))), ValueError,
     "mu has no objectives (shape (3, 0)); at least one column is needed"),
    ("one-dimensional", dict(mu=[0.1, 0.2, 0.3]), ValueError,
     "mu must be 2-D (N members x M objectives); got shape (3,)"),
    ("ragged", dict(mu=[[0.1, 0.2], [0.3]]), ValueError, "mu is not a rectangular array: "),
    # array kinds
    ("masked", dict(mu=np.ma.masked_array(MU, mask=MU > 0.8)), TypeError,
     "mu is a masked array; fill or drop the masked entries first (their fill values would "
     "otherwise be used)"),
    ("masked-var", dict(sigma2=np.ma.masked_array(S2)), TypeError,
     "sigma2 is a masked array; fill or drop the masked entries first (their fill values "
     "would otherwise be used)"),
    ("complex", dict(mu=MU + 0j), TypeError, "mu must hold real numbers; got dtype complex128"),
    ("strings", dict(sigma2=[["1", "2"]] * 3), TypeError,
     "sigma2 must hold real numbers; got dtype <U1"),
    ("objects", dict(mu=np.array([[0.1, None]] * 3)), TypeError,
     "mu must hold real numbers; got dtype object"),
    # ids
    ("ids-length", dict(ids=["a", "b"]), ValueError,
     "ids has 2 labels but there are 3 members (rows of mu)"),
    ("ids-duplicate", dict(ids=["a", "b", "a"]), ValueError, "duplicate id 'a' at rows 0 and 2"),
    ("ids-equal-numbers", dict(ids=[1, 2, 1.0]), ValueError, "duplicate id 1.0 at rows 0 and 2"),
    ("ids-unhashable", dict(ids=["a", ["x"], "c"]), TypeError,
     "id of row 1 is not hashable: ['x']"),
    ("ids-unhashable-inside", dict(ids=["a", ("x", []), "c"]), TypeError,
     "id of row 1 is not hashable: ('x', [])"),
    ("ids-string", dict(ids="abc"), TypeError,
     "ids must be a sequence of hashable labels, one per member; got str"),
    ("ids-set", dict(ids={"a", "b", "c"}), TypeError,
     "ids must be a sequence of hashable labels, one per member; got set"),
    # objectives and maximize
    ("objectives-length", dict(objectives=["loss"]), ValueError,
     "objectives has 1 names but there are 2 objectives (columns of mu)"),
    ("objectives-duplicate", dict(objectives=["loss", "loss"]), ValueError,
     "duplicate objective name 'loss' at columns 0 and 1"),
    ("objectives-not-str", dict(objectives=["loss", 2]), TypeError,
     "objective name of column 1 must be a str; got 2"),
    ("maximize-length", dict(maximize=[True, False, True]), ValueError,
     "maximize has 3 entries but there are 2 objectives"),
    ("maximize-unknown", dict(maximize=["acc"], objectives=["loss", "lat"]), ValueError,
     "maximize names unknown objective 'acc'; the objectives are 'loss', 'lat'"),
    ("maximize-unnamed", dict(maximize="acc"), ValueError,
     "maximize names objective 'acc' but no objective names were given (pass objectives=...)"),
    ("maximize-ints", dict(maximize=[1, 0]), TypeError,
     "maximize must be None, a bool, one bool per objective or a collection of objective "
     "names; got [1, 0]"),
    ("maximize-mixed", dict(maximize=[True, "lat"], objectives=["loss", "lat"]), TypeError,
     "maximize must be None, a bool, one bool per objective or a collection of objective "
     "names; got [True, 'lat']"),
    # scalars
    ("percentile-nan", dict(percentile=float("nan")), ValueError,
     "percentile must be in (0, 1]; got nan"),
    ("percentile-zero", dict(percentile=0), ValueError, "percentile must be in (0, 1]; got 0.0"),
    ("percentile-above", dict(percentile=1.5), ValueError,
     "percentile must be in (0, 1]; got 1.5"),
    ("percentile-beyond-floats", dict(percentile=2**1024), ValueError,
     f"percentile must be in (0, 1]; got {2**1024}"),
    ("percentile-text", dict(percentile="0.2"), TypeError,
     "percentile must be a real number in (0, 1]; got '0.2'"),
    ("n-samples-zero", dict(n_samples=0), ValueError,
     "n_samples must be in [1, 2147483647]; got 0"),
    ("n-samples-int32", dict(n_samples=2**31), ValueError,
     "n_samples must be in [1, 2147483647]; got 2147483648"),
    ("n-samples-float", dict(n_samples=100.0), TypeError,
     "n_samples must be an integer; got 100.0"),
    ("n-samples-bool", dict(n_samples=True), TypeError, "n_samples must be an integer; got True"),
    ("seed-negative", dict(seed=-1), ValueError, "seed must be in [0, 2**64 - 1]; got -1"),
    ("seed-too-large", dict(seed=2**64), ValueError,
     "seed must be in [0, 2**64 - 1]; got 18446744073709551616"),
    ("budget-too-large", dict(quantiles_budget=2**63), ValueError,
     "quantiles_budget must be in [-9223372036854775808, 9223372036854775807]; got "
     "9223372036854775808"),
    ("mode-unknown", dict(mode="rank"), ValueError, "mode must be 'ranks' or 'values'; got 'rank'"),
    ("mode-code", dict(mode=1), TypeError, "mode must be 'ranks' or 'values'; got 1"),
    ("quantiles-unknown", dict(quantiles="P2"), ValueError,
     "quantiles must be 'auto', 'exact' or 'p2'; got 'P2'"),
    ("ties-unknown", dict(ties="first"), ValueError,
     "ties must be 'random' or 'index'; got 'first'"),
    ("ties-code", dict(ties=0), TypeError, "ties must be 'random' or 'index'; got 0"),
    ("progress-number", dict(progress=3), TypeError,
     "progress must be None, a bool or a callable taking (samples_done, n_samples); got 3"),
]


@pytest.fixture
def no_sampling(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("sampling started")
    monkeypatch.setattr(native, "_engine", types.SimpleNamespace(select_detailed=refuse))


@pytest.mark.parametrize("kwargs,exc,message", [row[1:] for row in SELECT_ERRORS],
                         ids=[row[0] for row in SELECT_ERRORS])
def test_select_refuses_before_sampling(no_sampling, kwargs, exc, message):
    kwargs = dict(kwargs)
    mu, sigma2 = kwargs.pop("mu", MU), kwargs.pop("sigma2", S2)
    calls = []
    kwargs.setdefault("progress", lambda done, total: calls.append(done))
    with pytest.raises(exc) as info:
        kestrovane.select(mu, sigma2, n_samples=kwargs.pop("n_samples", 10), **kwargs)
    assert str(info.value) == message or (message.endswith(": ")
                                          and str(info.value).startswith(message))
    assert calls == []


@pytest.mark.parametrize("kwargs", [
    dict(sigma2=np.zeros((3, 2))),  # exactly known scores
    dict(sigma2=-np.zeros((3, 2))),  # -0.0 is not negative
    dict(percentile=1), dict(n_samples=np.int32(5)), dict(seed=np.uint64(2**64 - 1)),
    dict(maximize=np.bool_(True)), dict(maximize=[], objectives=["loss", "lat"]),
    dict(ids=(("tuple", 1), ("tuple", 2), None)),
    dict(mu=MU.astype(np.float16), sigma2=S2.astype(np.int8)),
])
def test_select_accepts_edge_values(kwargs):
    kwargs = dict(kwargs)
    mu, sigma2 = kwargs.pop("mu", MU), kwargs.pop("sigma2", S2)
    kwargs.setdefault("n_samples", 5)
    assert kestrovane.select(mu, sigma2, **kwargs).n_samples == 5


RATE_ERRORS = [
    ("nan", dict(X=with_cell(MU, 1, 0, np.nan)), ValueError, "X of member 1, objective 0 is NaN"),
    ("named", dict(X=with_cell(MU, 0, 1, np.inf), objectives=["loss", "lat"]), ValueError,
     "X of member 0, objective 'lat' (column 1) is infinite (inf)"),
    ("no-objectives", dict(X=np.zeros((2, 0))), ValueError,
     "X has no objectives (shape (2, 0)); at least one column is needed"),
    ("masked", dict(X=np.ma.masked_array(MU)), TypeError,
     "X is a masked array; fill or drop the masked entries first (their fill values would "
     "otherwise be used)"),
    ("mode", dict(X=MU, mode="value"), ValueError, "mode must be 'ranks' or 'values'; got "
     "'value'"),
    ("maximize", dict(X=MU, maximize=[True]), ValueError,
     "maximize has 1 entries but there are 2 objectives"),
]


@pytest.mark.parametrize("kwargs,exc,message", [row[1:] for row in RATE_ERRORS],
                         ids=[row[0] for row in RATE_ERRORS])
def test_rate_refuses(kwargs, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        kestrovane.rate(**kwargs)

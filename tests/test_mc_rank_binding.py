import ctypes
import functools
import inspect
import math
import re
import warnings
from collections import namedtuple

import numpy as np
import pytest

import kestrovane.selection_core._mc_rank as m

MOD = "kestrovane.selection_core._mc_rank"
REQ = inspect.Parameter.empty
P = namedtuple("P", "name kind default")
RANK_PARAMS = (
    P("mu_obj", "object", REQ), P("sigma2_obj", "object", REQ), P("n_samples", "int32", REQ),
    P("percentile", "double", 0.2), P("seed", "uint64", 0), P("mode_i", "int32", 1),
    P("within_mode_i", "int32", 0),
)
DETAILED_PARAMS = RANK_PARAMS + (
    P("quantiles_mode_i", "int32", 2), P("quantiles_budget", "int64", 2500000),
    P("quality_w_place", "double", 1.0), P("quality_w_front", "double", 1.0),
    P("quality_w_within", "double", 1.0), P("quality_sign", "double", -1.0),
)
COUNTS_DOC = (
    "Accumulate MC win/lose counts and rank sums.\n\n    Parameters\n    ----------\n    mu_obj:\n"
    "        (N,M) float64 means.\n    sigma2_obj:\n        (N,M) float64 variances (>=0 recommended).\n"
    "    n_samples:\n        Monte-Carlo samples.\n    percentile:\n        Fraction for top/bottom "
    "selection per sample; default 0.2.\n    seed:\n        Seed for deterministic RNG.\n    mode_i:\n"
    "        0=values, 1=ranks (recommended for robustness).\n    within_mode_i:\n        0=crowding.\n"
    "\n    Returns\n    -------\n    (win_count, lose_count, rank_sum)\n        win_count/lose_count: "
    "int32 arrays of shape (N,)\n        rank_sum: int64 array of shape (N,) (sum of positions in "
    "global order)\n    "
)
SELECT_DOC = (
    "Compute winners/losers according to MC top/bottom percentiles.\n\n    Returns\n    -------\n"
    "    (winners, losers, win_count, lose_count, rank_sum)\n        winners/losers are int64 arrays "
    "of shape (k,).\n    "
)
DETAILED_DOC = (
    "Monte-Carlo winner/loser selection + per-individual distribution stats.\n\n    Returns\n    "
    "-------\n    winners_i, losers_i, win_count, lose_count, rank_sum, place_stats, front_stats, "
    "within_stats, quality_score\n\n    Each *_stats is a dict with keys: mean, median, std, q25, "
    "q75.\n\n    Notes\n    -----\n    This kernel keeps **constant memory** per individual for "
    "quantile estimates\n    using the P\u00b2 (Jain-Chlamtac) streaming estimator. Mean/std are exact.\n    "
)
Entry = namedtuple("Entry", "name doc params")
ENTRIES = [
    Entry("mc_rank_counts", COUNTS_DOC, RANK_PARAMS),
    Entry("mc_rank_select", SELECT_DOC, RANK_PARAMS),
    Entry("mc_rank_select_detailed", DETAILED_DOC, DETAILED_PARAMS),
]
by_entry = pytest.mark.parametrize("e", ENTRIES, ids=lambda e: e.name)

MU = np.random.default_rng(7).random((10, 3))
S2 = np.full((10, 3), 0.05)
FLAT = [1.0, 2.0, 3.0]  # not 2-D: would fail in the kernel if binding let it through


def c_api(name, *argtypes):
    f = getattr(ctypes.pythonapi, name)
    f.restype, f.argtypes = ctypes.py_object, argtypes
    return f


# the classic call with a keyword dict, and the fast call with a keyword-name tuple
classic_call = c_api("PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object)
vectorcall = c_api("PyObject_Vectorcall", ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                   ctypes.c_size_t, ctypes.py_object)


def fn(e):
    return getattr(m, e.name)


def scalars(e):
    return e.params[2:]


def same(a, b):
    assert type(a) is type(b)
    if isinstance(a, tuple):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y)
    elif isinstance(a, dict):
        assert a.keys() == b.keys()
        for k in a:
            same(a[k], b[k])
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
        assert a.dtype == b.dtype
    else:
        assert a == b or (a != a and b != b)


def raises_exactly(exc, message, f, *args, **kwargs):
    with pytest.raises(exc, match=re.escape(message)) as info:
        f(*args, **kwargs)
    assert str(info.value) == message
    return info


def host_message(call):
    try:
        call()
    except Exception as exc:  # the interpreter's own wording for the same conversion
        return type(exc), str(exc)
    raise AssertionError("expected the host conversion to fail")


def k_of(n, pct=0.2):
    return max(1, math.ceil(n * pct))


def counts_of(result):
    """(win_count, lose_count, rank_sum) out of any entry point's result."""
    return result[:3] if len(result) == 3 else result[2:5]


@by_entry
def test_introspection(e):
    f = fn(e)
    names = tuple(p.name for p in e.params)
    defaults = tuple(p.default for p in e.params[3:])
    assert (f.__name__, f.__qualname__, f.__module__) == (e.name, e.name, MOD)
    assert f.__doc__ == e.doc
    assert f.__defaults__ == defaults
    assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]
    assert f.__kwdefaults__ is None
    code = f.__code__
    assert code.co_argcount == len(names) and code.co_varnames[: len(names)] == names
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    shown = ", ".join(p.name if p.default is REQ else f"{p.name}={p.default!r}" for p in e.params)
    assert str(inspect.signature(f)) == f"({shown})"


@by_entry
def test_call_styles_bind_identically(e):
    f = fn(e)
    base = f(MU, S2, 5)
    defaults = [p.default for p in e.params[3:]]
    kw = {p.name: v for p, v in zip(e.params, [MU, S2, 5, *defaults])}
    class Name(str):
        pass

    for other in (
        f(MU, S2, 5, *defaults), f(**kw), f(MU, sigma2_obj=S2, n_samples=5),
        f(**dict(reversed(kw.items()))), functools.partial(f, MU)(S2, 5),
        classic_call(f, (MU,), {"n_samples": 5, "sigma2_obj": S2}),
        f(MU, S2, **{Name("n_samples"): 5}),
    ):
        same(base, other)
    seeded = f(MU, S2, 5, seed=3)
    same(seeded, f(MU, S2, 5, **{Name("seed"): 3}))
    same(seeded, classic_call(f, (MU, S2, 5), {"seed": 3}))


@by_entry
@pytest.mark.parametrize("extra, kwargs", [(1, {}), (3, {"bogus": 1})])
def test_too_many_positional(e, extra, kwargs):
    n = len(e.params) + extra  # the count is checked before any keyword
    msg = f"{e.name}() takes at most {len(e.params)} positional arguments ({n} given)"
    raises_exactly(TypeError, msg, fn(e), *[MU] * n, **kwargs)


@by_entry
@pytest.mark.parametrize("args, kwargs, given", [
    ((), {}, 0), ((MU,), {}, 1), ((MU, S2), {"seed": 1}, 2),
    ((), {"mu_obj": MU, "sigma2_obj": S2}, 2), ((), {"sigma2_obj": S2, "n_samples": 5}, 0),
    ((MU,), {"n_samples": 5}, 1), ((), {"mu_obj": MU, "n_samples": 5}, 1),
])
def test_missing_required(e, args, kwargs, given):
    msg = f"{e.name}() takes at least 3 positional arguments ({given} given)"
    raises_exactly(TypeError, msg, fn(e), *args, **kwargs)


@by_entry
def test_keyword_messages(e):
    f = fn(e)
    raises_exactly(TypeError, f"{e.name}() got multiple values for keyword argument 'n_samples'",
                   f, MU, S2, 5, n_samples=5)
    raises_exactly(TypeError, f"{e.name}() got multiple values for keyword argument 'mu_obj'",
                   f, MU, sigma2_obj=S2, n_samples=5, mu_obj=MU)
    raises_exactly(TypeError, f"{e.name}() got an unexpected keyword argument 'mu'",
                   f, mu=MU, sigma2_obj=S2, n_samples=5)
    # keywords are checked before the required ones
    raises_exactly(TypeError, f"{e.name}() got an unexpected keyword argument 'Seed'", f, MU, Seed=1)
    argv = (ctypes.py_object * 4)(MU, S2, 5, 1)
    raises_exactly(TypeError, f"{e.name}() keywords must be strings", vectorcall, f, argv, 3, (4,))
    same(vectorcall(f, argv, 3, ("seed",)), f(MU, S2, 5, seed=1))
    with pytest.raises(TypeError, match="keywords must be strings$"):  # refused by the host
        classic_call(f, (MU, S2, 5), {4: 1})


def bad_cases():
    long_long = lambda v: v.to_bytes(8, "little", signed=True)  # noqa: E731
    ulong_long = lambda v: v.to_bytes(8, "little", signed=False)  # noqa: E731
    integer = (TypeError, "an integer is required")
    too_big = (OverflowError, "value too large to convert to int")

    class IndexOnly:
        def __index__(self):
            return 2

    class IntGivesFloat:
        def __int__(self):
            return 2.0

    return {
        "int32": [("3", integer), (IndexOnly(), integer), (None, integer), (2**31, too_big),
                  (-(2**31) - 1, too_big), (np.int64(2**31), too_big),
                  (IntGivesFloat(), (TypeError, "__int__ returned non-int (type float)"))],
        "uint64": [(-1, (OverflowError, "can't convert negative value to unsigned PY_LONG_LONG")),
                   (-1.5, (OverflowError, "can't convert negative value to unsigned PY_LONG_LONG")),
                   (2**64, host_message(lambda: ulong_long(2**64))), ("3", integer)],
        "int64": [(2**63, host_message(lambda: long_long(2**63))), ("3", integer)],
        "double": [("0.5", host_message(lambda: math.sqrt("0.5"))),
                   (None, host_message(lambda: math.sqrt(None)))],
    }


@pytest.mark.parametrize("e, p, value, exc, msg", [
    pytest.param(e, p, v, exc, msg, id=f"{e.name}-{p.name}-{i}")
    for e in ENTRIES for p in scalars(e) for i, (v, (exc, msg)) in enumerate(bad_cases()[p.kind])
])
def test_scalar_conversion_messages(e, p, value, exc, msg):
    # flat lists for both arrays: the scalar is reported before any array problem
    raises_exactly(exc, msg, fn(e), FLAT, FLAT, **{"n_samples": 5, p.name: value})


@by_entry
def test_integer_conversion_values(e):
    f = fn(e)
    k = k_of(len(MU))
    wins = lambda r: int(counts_of(r)[0].sum())  # noqa: E731
    for n in (2.9, np.float64(2.9), np.int16(2), np.uint64(2), 2):
        assert wins(f(MU, S2, n)) == 2 * k
    assert wins(f(MU, S2, True)) == k
    same(f(MU, S2, 4, mode_i=True, within_mode_i=False), f(MU, S2, 4, mode_i=1, within_mode_i=0))
    same(f(MU, S2, 4, 0.2, 2**64 - 1), f(MU, S2, 4, seed=np.uint64(2**64 - 1)))
    same(f(MU, S2, 4, seed=9.99), f(MU, S2, 4, seed=9))
    assert not all((x == y).all() for x, y in zip(counts_of(f(MU, S2, 4, seed=2**63)),
                                                  counts_of(f(MU, S2, 4))))
    same(f(MU, S2, 4, percentile=np.float32(0.5)), f(MU, S2, 4, percentile=0.5))
    same(f(MU, S2, 4, percentile=1), f(MU, S2, 4, percentile=1.0))

    class Sub(int):
        pass

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert wins(f(MU, S2, Sub(3))) == 3 * k  # an int subclass itself is no warning


@by_entry
def test_int_returning_int_subclass(e):
    class Sub(int):
        pass

    class Odd:
        def __int__(self):
            return Sub(3)

    msg = ("__int__ returned non-int (type Sub).  The ability to return an instance of a strict "
           "subclass of int is deprecated, and may be removed in a future version of Python.")
    with pytest.warns(DeprecationWarning, match=re.escape(msg)) as record:
        result = fn(e)(MU, S2, Odd())
    assert [str(w.message) for w in record] == [msg]
    assert int(counts_of(result)[0].sum()) == 3 * k_of(len(MU))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises_exactly(DeprecationWarning, msg, fn(e), FLAT, FLAT, Odd())


class Refused(Exception):
    pass


class Boom:
    """Fails conversion with its own label, to show which parameter was converted first."""

    def __init__(self, label):
        self.label = label

    def __int__(self):
        raise Refused(self.label)

    __float__ = __int__


@pytest.mark.parametrize("e, first", [
    pytest.param(e, i, id=f"{e.name}-{p.name}") for e in ENTRIES for i, p in enumerate(scalars(e))
])
def test_first_bad_scalar_in_order_is_reported(e, first):
    rest = scalars(e)[first:]
    kwargs = {p.name: Boom(p.name) for p in reversed(rest)}
    raises_exactly(Refused, rest[0].name, fn(e), FLAT, FLAT, **{"n_samples": 3, **kwargs})
    raises_exactly(Refused, rest[0].name, fn(e), MU, S2, **{"n_samples": 3, **kwargs})
    raises_exactly(ValueError, "expected a 2D array", fn(e), FLAT, FLAT, 3)  # flat lists are bad


@by_entry
@pytest.mark.parametrize("kwargs, exc, msg", [
    ({"n_samples": -5}, ValueError, "n_samples must be > 0"),
    ({"n_samples": -2.9}, ValueError, "n_samples must be > 0"),
    ({"n_samples": 3, "percentile": float("nan")}, ValueError, "cannot convert float NaN to integer"),
    ({"n_samples": 3, "percentile": float("inf")}, ValueError, "percentile must be in (0,1]"),
])
def test_values_that_pass_binding_reach_the_kernel(e, kwargs, exc, msg):
    raises_exactly(exc, msg, fn(e), MU, S2, **kwargs)


def frame_names(info):
    names, tb = [], info.value.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return [n for n in names if n.startswith("kestrovane.")]


@by_entry
def test_traceback_entries(e):
    f, own = fn(e), f"{MOD}.{e.name}"
    assert frame_names(raises_exactly(TypeError, "an integer is required", f, MU, S2, "x")) == [own]
    info = raises_exactly(TypeError, f"{e.name}() takes at least 3 positional arguments (0 given)", f)
    assert frame_names(info) == [own]
    assert frame_names(raises_exactly(ValueError, "n_samples must be > 0", f, MU, S2, 0)) == [own]
    info = raises_exactly(ValueError, "expected a 2D array", f, MU, FLAT, 3)
    assert frame_names(info) == [own, f"{MOD}._as_contig_f64_2d"]

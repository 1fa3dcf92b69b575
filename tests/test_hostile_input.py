"""Arbitrary arguments: a well-formed result or an ordinary exception, never a
crash, and the caller's arrays untouched."""
import math

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from kestrovane.pareto_core._pareto_rating_cy import rate_population  # noqa: E402
from kestrovane.selection_core import _mc_rank  # noqa: E402
from kestrovane.selection_core._mc_rank import (  # noqa: E402
    mc_rank_counts, mc_rank_select, mc_rank_select_detailed)
from helpers import ASAN, Bad, Boom, canon  # noqa: E402


Sub = type("Sub", (np.ndarray,), {})
NonIntInt = type("NonIntInt", (), {"__int__": lambda self: "3"})
ERRORS = (TypeError, ValueError, OverflowError, MemoryError, Boom)
STATS_KEYS = ["mean", "quantiles_mode_used", "median", "std", "q25", "q75"]
SAME_VALUES = {  # the float64 values of the native array, laid out otherwise
    "fortran": np.asfortranarray, "big_endian": lambda a: a.astype(">f8"),
    "read_only": lambda a: np.broadcast_to(a, a.shape), "subclass": lambda a: a.view(Sub),
    "unaligned_read_only": lambda a: np.frombuffer(
        b"\0" + a.tobytes(), np.float64, offset=1).reshape(a.shape),
    "strided": lambda a: np.repeat(a, 2, axis=0)[::2], "list": lambda a: a.tolist(),
    "matrix": np.asmatrix, "tuple": lambda a: tuple(map(tuple, a))}
CONVERTIBLE = {
    "native": lambda a: a, **SAME_VALUES, "float32": lambda a: a.astype(np.float32),
    "int": lambda a: np.clip(np.nan_to_num(a), -99, 99).astype(np.int16),
    "object": lambda a: a.astype(object), "broadcast": lambda a: np.broadcast_to(a[:1], a.shape)}
HOSTILE = {
    "1d": np.ravel, "3d": lambda a: a[None], "scalar": lambda a: 1.5, "text": lambda a: "abc",
    "none": lambda a: None, "bad_array": lambda a: Bad(), "complex": lambda a: a + 1j,
    "bad_cell": lambda a: np.frompyfunc(lambda _: Bad(), 1, 1)(np.zeros((1, 1))),
    "rows_over_int32": lambda a: np.empty((2**31, 0))}
if not ASAN:
    HOSTILE["unallocatable"] = lambda a: np.empty((2**24, 0))  # n x n dominance matrix: 256 TiB
LAYOUTS = {**CONVERTIBLE, **HOSTILE}


def mostly(valid, hostile):
    """`valid` eleven times in twelve."""
    return st.integers(0, 11).flatmap(lambda i: hostile if i == 0 else valid)


def odd(*extra):
    return st.sampled_from([None, "1", b"1", [1], Bad(), NonIntInt(), *extra])


@st.composite
def array_arg(draw, shape, variance):
    n, m = draw(mostly(st.just(shape), st.just((shape[0] + 1, shape[1]))))
    a = np.array(draw(st.lists(st.floats(-1e6, 1e6), min_size=n * m, max_size=n * m)))
    a = (np.abs(a) if variance else a).reshape(n, m) * draw(st.sampled_from([1.0, 1e-3, 1e3]))
    bad = draw(mostly(st.none(), st.sampled_from([math.nan, math.inf, -math.inf, 1e308, 5e-324])))
    if bad is not None and a.size:
        a.flat[draw(st.integers(0, a.size - 1))] = bad
    return draw(mostly(st.sampled_from(list(CONVERTIBLE)), st.sampled_from(list(HOSTILE)))), a


BAD_INT = st.sampled_from([2**31, -2**31 - 1, 2**64, -2**80, math.nan, math.inf]) | odd()
ANY_FLOAT = st.floats() | st.sampled_from([0, 1, np.float64(0.5), np.int8(1), True])
BAD_FLOAT = st.sampled_from([10**400, -10**400]) | odd()
ARGS = {  # n_samples and the optional parameters, in parameter order
    "n_samples": mostly(st.integers(1, 9) | st.sampled_from([2.9, np.int32(4), True]),
                        st.integers(-2, 0) | BAD_INT | st.just(2**63)),
    "percentile": mostly(st.floats(1e-300, 1.0) | st.sampled_from([0.2, 1, np.float32(0.5)]),
                         ANY_FLOAT | BAD_FLOAT),
    "seed": mostly(st.integers(0, 2**64 - 1) | st.just(2.7), st.integers(-2**65, 2**65) | odd()),
    "mode_i": mostly(st.sampled_from([0, 1, 1.9, np.int64(0)]), st.integers(-3, 3) | BAD_INT),
    "within_mode_i": mostly(st.sampled_from([0, False]), st.integers(-3, 3) | BAD_INT),
    "quantiles_mode_i": mostly(st.integers(-1, 3), st.integers(-2**31, 2**31 - 1) | BAD_INT),
    "quantiles_budget": mostly(st.integers(-10, 80), st.integers(-2**64, 2**64) | odd(1.5)),
    **{f"quality_{w}": mostly(ANY_FLOAT, BAD_FLOAT)
       for w in ("w_place", "w_front", "w_within", "sign")}}
SIZES = {mc_rank_counts: 3, mc_rank_select: 5, mc_rank_select_detailed: 9}


@st.composite
def calls(draw):
    fn = draw(st.sampled_from(list(SIZES)))
    shape = (draw(st.integers(0, 7)), draw(st.integers(0, 3)))
    (mu_layout, mu), (s2_layout, s2) = draw(array_arg(shape, False)), draw(array_arg(shape, True))
    s2_layout = draw(st.sampled_from([mu_layout, s2_layout]))
    names = ["mu_obj", "sigma2_obj", *list(ARGS)[:11 if fn is mc_rank_select_detailed else 5]]
    values = [LAYOUTS[mu_layout](mu), LAYOUTS[s2_layout](s2), *(draw(ARGS[p]) for p in names[2:])]
    given_ = [draw(st.integers(0, 15)) > 0 if i < 3 else draw(st.booleans())  # required: mostly
              for i in range(len(names))]
    n_pos = draw(st.integers(0, len(names)))  # a positional prefix, the rest by keyword
    kwargs = {p: v for p, v, g in zip(names[n_pos:], values[n_pos:], given_[n_pos:]) if g}
    if draw(st.integers(0, 20)) == 0:
        kwargs["unknown"] = 1
    return fn, names, values[:n_pos], kwargs


def check_result(fn, bound, out):
    """Shapes, dtypes and the counting identities of a successful call."""
    n = np.asarray(bound["mu_obj"], dtype=np.float64).shape[0]
    assert type(out) is tuple and len(out) == SIZES[fn]
    win, lose, rank_sum = out[-3:] if fn is mc_rank_counts else out[2:5]
    assert (win.dtype, lose.dtype, rank_sum.dtype) == (np.int32, np.int32, np.int64)
    assert win.shape == lose.shape == rank_sum.shape == (n,)
    if n == 0:
        assert all(a.size == 0 for a in out if isinstance(a, np.ndarray))
        return
    s = type(bound["n_samples"]).__int__(bound["n_samples"])
    k = min(n, max(1, math.ceil(n * float(bound.get("percentile", 0.2)))))
    assert win.sum() == lose.sum() == k * s and rank_sum.sum() == s * n * (n - 1) // 2
    assert win.min() >= 0 and win.max() <= s and lose.min() >= 0 and lose.max() <= s
    if fn is mc_rank_counts:
        return
    for chosen in out[:2]:
        assert chosen.dtype == np.int64 and chosen.shape == (k,)
        assert len(set(chosen.tolist())) == k and 0 <= chosen.min() and chosen.max() < n
    others = np.setdiff1d(np.arange(n), out[0])
    assert others.size == 0 or win[out[0]].min() >= win[others].max()
    if fn is mc_rank_select:
        return
    place, front, within = out[5:8]
    for stats in (place, front, within):
        assert list(stats) == STATS_KEYS and stats["quantiles_mode_used"] in (0, 1)
        for key in ["mean", *STATS_KEYS[2:]]:
            assert stats[key].dtype == np.float64 and stats[key].shape == (n,)
        assert np.all(stats["std"] >= 0)
    assert np.allclose(place["mean"], rank_sum / s, rtol=1e-9, atol=1e-9)
    assert np.all(front["mean"] <= place["mean"] + 1e-9)  # a front id never exceeds the place
    assert np.all(within["mean"] <= place["mean"] + 1e-9)
    assert out[8].dtype == np.float64 and out[8].shape == (n,)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")  # float32
@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(calls())
def test_any_arguments_give_a_result_or_an_ordinary_error(call):
    fn, names, args, kwargs = call
    before = [(o, o.copy(), o.flags.writeable)
              for o in [*args, *kwargs.values()] if isinstance(o, np.ndarray)]
    try:
        out = fn(*args, **kwargs)
    except ERRORS as e:
        hypothesis.event(f"{fn.__name__}: {type(e).__name__}")
        out = None
    for obj, copy, writeable in before:
        assert obj.flags.writeable == writeable
        assert obj.dtype == object or np.array_equal(obj, copy, equal_nan=True)
    if out is not None:
        hypothesis.event(f"{fn.__name__}: result")
        check_result(fn, dict(zip(names, args), **kwargs), out)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("layout", sorted(SAME_VALUES))
def test_layouts_of_the_same_values_give_identical_results(layout):
    rng = np.random.default_rng(17)
    mu, s2 = rng.normal(size=(9, 3)), rng.uniform(0, 0.4, size=(9, 3))
    for fn, kw in [(mc_rank_counts, {"seed": 4}), (mc_rank_select, {"mode_i": 0}),
                   (mc_rank_select_detailed, {"quantiles_mode_i": 1})]:
        want = fn(mu, s2, 25, **kw)
        assert canon(fn(SAME_VALUES[layout](mu), SAME_VALUES[layout](s2), 25, **kw)) == canon(want)
    assert canon(rate_population(SAME_VALUES[layout](mu))) == canon(rate_population(mu))


class NoCopyNumpy:
    def __getattr__(self, name):
        assert name != "ascontiguousarray", "an input refused by its shape was copied first"
        return getattr(np, name)


@pytest.mark.parametrize("shape", [(2**31, 1), (3, 2**31)])
def test_oversize_views_are_refused_by_shape_before_any_copy(shape, monkeypatch):
    view = np.broadcast_to(0.0, shape)  # 8 bytes of data, 16 GiB or more as a C array
    monkeypatch.setattr(_mc_rank, "np", NoCopyNumpy())
    for fn in SIZES:
        with pytest.raises(ValueError, match=r"fewer than 2\*\*31 rows and columns"):
            fn(view, view, 1)

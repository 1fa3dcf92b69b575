"""A short fuzz run over the four Python entry points with a replaced `np`
among the inputs: whatever the replacement does, a call returns a
well-formed result or raises an ordinary exception, and the caller's arrays
keep their values.  Under the ASan/UBSan run of `make test` any stray read
or write stops the process."""
from typing import Any, Callable

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from hostile_numpy import Numpy, handed_back, shared, windows  # noqa: E402

from kestrovane.pareto_core._pareto_rating_cy import rate_population  # noqa: E402
from kestrovane.selection_core import _mc_rank  # noqa: E402

ENTRY_POINTS = {"mc_rank_counts": 3, "mc_rank_select": 5, "mc_rank_select_detailed": 9}


class Boom(Exception):
    pass


def boom(*args: Any, **kwargs: Any) -> Any:
    raise Boom


def altered(make: Callable[..., np.ndarray], change: Callable[[np.ndarray], Any]
            ) -> Callable[..., Any]:
    def new(*args: Any, **kwargs: Any) -> Any:
        return change(make(*args, **kwargs))
    return new


def reshaping(victims: list[np.ndarray], real: Callable[..., Any]) -> Callable[..., Any]:
    """Flattens the caller's arrays in place, then does the real work."""
    def call(*args: Any, **kwargs: Any) -> Any:
        for v in victims:
            if v.flags.c_contiguous and v.ndim:
                v.shape = (v.size,)
        return real(*args, **kwargs)
    return call


F64 = np.dtype(np.float64)
INTS = [np.dtype(np.int64), np.dtype(np.int32)]
ODD_RESULTS: dict[str, Callable[[np.ndarray], Any]] = {
    "0-d": lambda a: np.array(1.0), "float32": lambda a: a.astype(np.float32),
    "fortran": np.asfortranarray, "read_only": lambda a: np.broadcast_to(a, a.shape),
    "list": lambda a: a.tolist(), "strided": lambda a: np.repeat(a, 2, axis=0)[::2],
    "bigger": lambda a: np.zeros((a.size + 1,), a.dtype), "none": lambda a: None}


@st.composite
def numpys(draw: Any, inputs: list[np.ndarray]) -> Any:
    """The module's `np`: NumPy itself, a faithful stand-in, or a hostile one."""
    kind = draw(st.sampled_from(["numpy", "stand_in", "shared", "windows", "inputs_back",
                                 "odd_result", "raises", "reshapes", "ceil"]))
    if kind == "numpy":
        return np
    name = draw(st.sampled_from(["empty", "zeros", "asarray", "ascontiguousarray", "ceil",
                                 "lexsort", "arange", "median", "quantile"]))
    new = draw(st.sampled_from(["empty", "zeros"]))
    ceil = draw(st.sampled_from([2**40, -5, np.nan, "2", None]))
    replaced: dict[str, Callable[..., Any]] = {
        "stand_in": {},
        "shared": {new: shared(*draw(st.sampled_from([[F64], INTS, [F64, *INTS]])))},
        "windows": {new: windows(draw(st.sampled_from([8, 16, 64])))},
        "inputs_back": {"empty": handed_back(inputs)},
        "odd_result": {name: altered(getattr(np, name), ODD_RESULTS[draw(
            st.sampled_from(sorted(ODD_RESULTS)))])},
        "raises": {name: boom},
        "reshapes": {name: reshaping(inputs, getattr(np, name))},
        "ceil": {"ceil": lambda x: ceil},
    }[kind]
    hypothesis.event(f"np: {kind}")
    return Numpy(**replaced)


@st.composite
def populations(draw: Any) -> tuple[np.ndarray, np.ndarray]:
    n, m = draw(st.integers(0, 7)), draw(st.integers(0, 3))
    values = st.lists(st.floats(-1e3, 1e3) | st.sampled_from([np.inf, -np.inf, 0.0]),
                      min_size=n * m, max_size=n * m)
    mu = np.array(draw(values), dtype=np.float64).reshape(n, m)
    sigma2 = np.abs(np.array(draw(values), dtype=np.float64)).reshape(n, m)
    if draw(st.booleans()):
        mu = np.asfortranarray(mu)  # np.ascontiguousarray gets called
    return mu, sigma2


def check_counts(out: tuple[Any, ...], n: int, n_samples: int) -> None:
    win, lose, rank_sum = out[-3:] if len(out) == 3 else out[2:5]
    assert win.shape == lose.shape == rank_sum.shape == (n,)
    assert int(rank_sum.sum()) == n_samples * n * (n - 1) // 2
    assert 0 <= win.min(initial=0) and win.max(initial=0) <= n_samples


def same(a: Any, b: Any) -> bool:
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and bool(np.array_equal(a, b, equal_nan=True))
    return type(a) is type(b) and bool(a == b)


def outcome(call: Callable[[], Any]) -> tuple[Any, Exception | None]:
    """(result, None) or (None, the ordinary exception raised)."""
    try:
        return call(), None
    except Exception as e:  # whatever a replacement raises, or a refusal
        assert not isinstance(e, SystemError), e
        return None, e


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # setting an array's shape
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_entry_points_survive_any_np(monkeypatch: Any, data: Any) -> None:
    name = data.draw(st.sampled_from([*ENTRY_POINTS, "rate_population"]))
    mu, sigma2 = data.draw(populations())
    kept = [(a, a.copy()) for a in (mu, sigma2)]
    if name == "rate_population":
        layout = data.draw(st.sampled_from(["plain", "view", "rows_over_int32", "1d", "3d"]))
        X = {"plain": mu, "view": np.broadcast_to(mu[:1], mu.shape) if len(mu) else mu,
             "rows_over_int32": np.broadcast_to(0.0, (2**31, 2)), "1d": mu.ravel(),
             "3d": mu[None]}[layout]
        mode_i = data.draw(st.sampled_from([0, 1, 2]))
        out, error = outcome(lambda: rate_population(X, mode_i))
        want: tuple[Any, Exception | None] = (None, None)
    else:
        fake = data.draw(numpys([mu, sigma2]))
        n_samples = data.draw(st.integers(1, 12))
        kwargs = {"percentile": data.draw(st.sampled_from([0.2, 0.5, 1.0])),
                  "seed": data.draw(st.integers(0, 2**64 - 1))}
        if name == "mc_rank_select_detailed":
            kwargs["quantiles_mode_i"] = data.draw(st.integers(0, 2))
        fn = getattr(_mc_rank, name)
        faithful = fake is np or not fake.replaced
        want = outcome(lambda: fn(mu, sigma2, n_samples, **kwargs)) if faithful else (None, None)
        with monkeypatch.context() as patch:
            patch.setattr(_mc_rank, "np", fake)
            out, error = outcome(lambda: fn(mu, sigma2, n_samples, **kwargs))
    hypothesis.event(f"{name}: {type(error).__name__ if error else 'result'}")
    for a, copy in kept:
        assert np.array_equal(a.ravel(), copy.ravel(), equal_nan=True)
    if name == "rate_population" or not faithful:
        assert out is None or type(out) is tuple and len(out) == ENTRY_POINTS.get(name, 4)
        return
    # NumPy itself, or a stand-in that only forwards: the same outcome as NumPy.
    assert repr(error) == repr(want[1])
    if out is not None:
        assert type(out) is tuple and len(out) == ENTRY_POINTS[name]
        check_counts(out, len(mu), n_samples)
        assert same(out, want[0])

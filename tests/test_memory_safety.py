"""Callers that turn the module against itself from pure Python (a replaced
`np`, an `__array__` that reshapes another argument, hand-made view records):
an ordinary exception, never a read or write outside an array.  Under the
ASan/UBSan run of `make test` a fault here stops the process."""
import ctypes
from typing import Any, Callable

import numpy as np
import pytest
from hostile_numpy import Numpy, handed_back, shared, windows
from rating_ctypes import SLOTS, OrderKey, Pair, rate_fn, rate_inplace, view, work_arrays

from kestrovane.pareto_core._pareto_rating_cy import rate_population
from kestrovane.selection_core import _mc_rank

FUNCTIONS: list[Callable[..., Any]] = [_mc_rank.mc_rank_counts, _mc_rank.mc_rank_select, _mc_rank.mc_rank_select_detailed]
SHARED = "shares memory with .*; np.empty and np.zeros must return a new array on every call$"


class ReshapesOnConversion:
    """A sigma2 whose conversion makes the already accepted mu 0-d."""

    def __init__(self, victim: np.ndarray) -> None:
        self.victim = victim

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        self.victim.shape = ()
        return np.ones((1, 1))


@pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")
@pytest.mark.parametrize("fn", FUNCTIONS)
def test_mu_made_0d_while_sigma2_converts_is_refused(fn: Callable[..., Any]) -> None:
    mu = np.zeros((1, 1))
    with pytest.raises(ValueError, match="^expected a 2D array$"):
        fn(mu, ReshapesOnConversion(mu), 3)
    assert mu.ndim == 0 and mu.item() == 0.0


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_np_ascontiguousarray_returning_0d_is_refused(fn: Callable[..., Any],
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_mc_rank, "np", Numpy(ascontiguousarray=lambda a: np.array(1.0)))
    fortran = np.asfortranarray(np.ones((2, 2)))  # not C-contiguous: ascontiguousarray runs
    with pytest.raises(ValueError, match="^expected a 2D array$"):
        fn(fortran, fortran, 3)


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("trick,message", [
    ("shared_empty", "^X shares memory with sigma;"),
    ("shared_int64_empty", "^order shares memory with front_id;"),  # then items too
    ("shared_zeros", "^lose_count " + SHARED),
    ("windows_empty", "^X shares memory with sigma;"),
    ("windows_zeros", "^lose_count " + SHARED),
    ("inputs_back", "^sigma shares memory with mu"),
])
def test_np_handing_out_one_buffer_twice_is_refused(fn: Callable[..., Any], trick: str, message: str,
                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    n = 5  # one int64 array is 40 bytes: the overrun the shared buffers used to cause
    mu = np.random.default_rng(1).normal(size=(n, 3))
    sigma2 = np.full((n, 3), 0.25)
    kept = mu.copy(), sigma2.copy()
    replaced = {"shared_empty": {"empty": shared()},
                "shared_int64_empty": {"empty": shared(np.int64)},
                "shared_zeros": {"zeros": shared()},
                "windows_empty": {"empty": windows()},
                "windows_zeros": {"zeros": windows()},
                "inputs_back": {"empty": handed_back([mu, sigma2])}}[trick]
    monkeypatch.setattr(_mc_rank, "np", Numpy(**replaced))
    with pytest.raises(TypeError, match=message):
        fn(mu, sigma2, 20)
    assert np.array_equal(mu, kept[0]) and np.array_equal(sigma2, kept[1])


def test_detailed_accumulators_must_not_share_memory(monkeypatch: pytest.MonkeyPatch) -> None:
    # np.zeros makes only the int32 counts and the float64 moments.
    monkeypatch.setattr(_mc_rank, "np", Numpy(zeros=shared(np.float64)))
    with pytest.raises(TypeError, match="^place_M2 " + SHARED):
        _mc_rank.mc_rank_select_detailed(np.zeros((4, 2)), np.ones((4, 2)), 9)


def test_inputs_may_share_memory_with_each_other() -> None:
    a = np.abs(np.random.default_rng(2).normal(size=(7, 2)))
    for fn in FUNCTIONS:  # only the arrays the kernels write need memory of their own
        assert len(fn(a, a, 5)) > 0
        assert len(fn(a[:6], a[1:], 5)) > 0


def forged_view(shape: tuple[int, int], strides: tuple[int, int], base: np.ndarray) -> Any:
    """A view record claiming `shape` over the memory of `base`."""
    v = view(base)
    v.shape[:2], v.strides[:2] = shape, strides
    return v


@pytest.mark.parametrize("shape", [(2, 2**62 + 1), (1, 2**61), (3, 2**62 + 1)])
def test_view_sizes_that_overflow_are_refused(shape: tuple[int, int]) -> None:
    """(2, 2**62 + 1) cells of 8 bytes: the byte count wraps to 16, which the
    strides (8, 8) match, so an unchecked product let the rating write far
    past the 16-byte blocks behind X and R."""
    n = shape[0]
    x, w = np.zeros((n, 1)), work_arrays(n, 1)  # kept alive across the call
    X, R = forged_view(shape, (8, 8), x), forged_view(shape, (8, 8), w["R"])
    rest = [view(w[name]) for name in SLOTS if name != "R"]
    pairs = w["pairs"].ctypes.data_as(ctypes.POINTER(Pair))
    keys = w["keys"].ctypes.data_as(ctypes.POINTER(OrderKey))
    assert rate_fn()(X, 1, 0, *rest, pairs, keys, R) == -4  # work arrays do not fit
    assert rate_inplace(np.zeros((n, 1)), work_arrays(n, 1)) == 1  # the honest call rates


@pytest.mark.parametrize("shape", [(2**31, 2**24), (2**31 + 5, 2**20)])
def test_rate_population_measures_a_view_before_copying_it(shape: tuple[int, int]) -> None:
    # A copy of these views could never be allocated: a regression shows up
    # as MemoryError instead of the row-count message.
    with pytest.raises(ValueError, match=r"^X has too many rows \(at most 2\*\*31 - 1\)$"):
        rate_population(np.broadcast_to(0.0, shape))

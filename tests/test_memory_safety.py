"""Callers that turn the module against itself from pure Python (a replaced
`np`, an `__array__` that reshapes another argument, hand-made view records):
an ordinary exception, never a read or write outside an array.  Under the
ASan/UBSan run of `make test` a fault here stops the process."""
import ctypes
from typing import Any, Callable

import numpy as np
import pytest
from helpers import canon
from hostile_numpy import Numpy, handed_back, shared, windows
from rating_ctypes import SLOTS, OrderKey, Pair, rate_fn, rate_inplace, view, work_arrays

from kestrovane.pareto_core._pareto_rating_cy import rate_population
from kestrovane.selection_core import _mc_rank

FUNCTIONS: list[Callable[..., Any]] = [_mc_rank.mc_rank_counts, _mc_rank.mc_rank_select, _mc_rank.mc_rank_select_detailed]


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


# What each replacement aliases: only rating work arrays (the results are
# the plain call's), results of np.zeros (counts, means), or every array of
# np.empty, statistics included.
ALIASED = {"shared_empty": "empty", "shared_int64_empty": "work", "shared_f64_zeros": "means",
           "shared_zeros": "zeros", "windows_empty": "empty", "windows_zeros": "zeros",
           "inputs_back": "work"}


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("trick", sorted(ALIASED))
def test_np_handing_out_one_buffer_twice_is_harmless(fn: Callable[..., Any], trick: str,
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    """The engine samples in memory of its own and writes np's arrays only
    with the lock held, after checking them: arrays handed out twice (or the
    caller's own inputs) get the results written last, nothing outside them.
    np.empty's arrays used to be written by the rating: one int64 array is
    40 bytes at n = 5, the overrun the shared buffers caused."""
    n = 5
    mu = np.random.default_rng(1).normal(size=(n, 3))
    sigma2 = np.full((n, 3), 0.25)
    kept = mu.copy(), sigma2.copy()
    want = fn(mu, sigma2, 20)
    replaced = {"shared_empty": {"empty": shared()},
                "shared_int64_empty": {"empty": shared(np.int64)},
                "shared_f64_zeros": {"zeros": shared(np.float64)},
                "shared_zeros": {"zeros": shared()},
                "windows_empty": {"empty": windows()},
                "windows_zeros": {"zeros": windows()},
                "inputs_back": {"empty": handed_back([mu, sigma2])}}[trick]
    monkeypatch.setattr(_mc_rank, "np", Numpy(**replaced))
    got = fn(mu, sigma2, 20)
    assert np.array_equal(mu, kept[0]) and np.array_equal(sigma2, kept[1])
    aliased = ALIASED[trick]
    if aliased == "work" or (aliased in ("empty", "means") and fn is not FUNCTIONS[2]):
        assert canon(got) == canon(want)
    elif aliased == "empty":  # counts from np.zeros, winners and losers from np.lexsort
        assert canon(got[:5]) == canon(want[:5])
    elif aliased == "means":  # the statistics but the means come from the engine's
        assert canon(got[:5]) == canon(want[:5]) and canon(got[8]) == canon(want[8])
        for stats, expected in zip(got[5:8], want[5:8]):
            assert canon({k: v for k, v in stats.items() if k != "mean"}) == \
                canon({k: v for k, v in expected.items() if k != "mean"})
    else:
        assert type(got) is tuple and len(got) == len(want)


def test_inputs_may_share_memory_with_each_other() -> None:
    a = np.abs(np.random.default_rng(2).normal(size=(7, 2)))
    for fn in FUNCTIONS:
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


@pytest.mark.parametrize("kind,culprit,message", [
    # win_count, made read-only by the next np.zeros call
    (np.int32, "zeros", "np.zeros returned .* writable C-contiguous int32"),
    # the place standard deviations, made read-only by the next np.empty call
    (np.float64, "empty", "np.empty returned .* writable C-contiguous float64"),
])
def test_an_array_changed_before_its_results_are_written_is_refused(
        kind: Any, culprit: str, message: str, monkeypatch: pytest.MonkeyPatch) -> None:
    """np's arrays are checked again right before anything is written into
    them: the caller's code ran in between, and a read-only array stays as
    it was."""
    n = 6
    made: list[np.ndarray] = []
    after_sampling = [culprit == "zeros"]  # the std arrays come after np.arange

    def new(real: Callable[..., np.ndarray]) -> Callable[..., np.ndarray]:
        def make(shape: Any, dtype: Any = float) -> np.ndarray:
            a = real(shape, dtype)
            if np.dtype(dtype) == kind and a.shape == (n,) and after_sampling[0]:
                made.append(a)
            return a
        return make

    def arange(*args: Any, **kwargs: Any) -> np.ndarray:
        after_sampling[0] = True
        return np.arange(*args, **kwargs)

    def spoil(real: Callable[..., Any]) -> Callable[..., Any]:
        def call(*args: Any, **kwargs: Any) -> Any:
            if made and made[0].flags.writeable:
                made[0].flags.writeable = False
                made.append(made[0].copy())
            return real(*args, **kwargs)
        return call
    replaced = {culprit: spoil(new(getattr(np, culprit))), "arange": arange}
    monkeypatch.setattr(_mc_rank, "np", Numpy(**replaced))
    with pytest.raises(TypeError, match=message):
        _mc_rank.mc_rank_select_detailed(np.zeros((n, 2)), np.ones((n, 2)), 9)
    assert not made[0].flags.writeable
    assert np.array_equal(made[0], made[1], equal_nan=True)  # as it was when spoilt

"""The public engine takes exact-mode medians and quartiles itself, with the
bits of np.median and np.quantile (linear interpolation): odd and even
counts, one observation, ties, signed zeros, infinities and NaN."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kestrovane._api import _engine


def numpy_quartiles(x: np.ndarray) -> tuple[np.ndarray, ...]:
    with np.errstate(invalid="ignore"):  # inf - inf and NaN, on purpose
        return (np.quantile(x, 0.25, axis=0), np.median(x, axis=0), np.quantile(x, 0.75, axis=0))


def assert_same_bits(x: np.ndarray) -> None:
    for got, want in zip(_engine.quartiles(x), numpy_quartiles(x), strict=True):
        assert got.dtype == np.float64 and got.shape == (x.shape[1],)
        np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))


@pytest.mark.parametrize("rows", range(1, 14))
def test_every_small_count_and_ties(rows: int) -> None:
    g = np.random.default_rng(rows)
    # Columns of few distinct integers (the kernels' observations), of
    # distinct reals, and 20 columns so that the gathering runs ragged.
    assert_same_bits(g.integers(0, 3, size=(rows, 20)).astype(np.float64))
    assert_same_bits(g.normal(size=(rows, 20)))


def test_signed_zeros_infinities_and_nan() -> None:
    z, inf, nan = 0.0, np.inf, np.nan
    columns = [[-z, -z, -z], [-z, -z], [-z], [z, -z, 1.0, 2.0], [-1.0, -z, -z, -z],
               [inf, inf], [-inf, inf], [-inf, 1.0, inf], [1.0, inf, inf, inf], [nan, 1.0],
               [2.0, nan, nan], [1.0, 2.0, nan], [3.0, 1.0, 2.0, nan, 0.0],
               [-inf, -inf, -inf, 5.0, inf]]
    for column in columns:
        assert_same_bits(np.array(column, dtype=np.float64)[:, None])


def test_mixed_signed_zeros_at_the_chosen_rank_compare_equal() -> None:
    # Either zero may stand at a rank that equal values of both signs share
    # (NumPy's partition leaves it open too): the values agree.
    x = np.array([[0.0, -0.0, 0.0, -0.0, 0.0]]).T
    for got, want in zip(_engine.quartiles(x), numpy_quartiles(x), strict=True):
        assert got[0] == want[0] == 0.0


@settings(max_examples=150, deadline=None)
@given(hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, max_side=40),
                  elements=st.floats(allow_nan=False, allow_infinity=False, width=64,
                                     min_value=-1e300, max_value=1e300).map(
                                         lambda v: v if v != 0.0 else 0.0)))
def test_arbitrary_columns(x: np.ndarray) -> None:
    assert_same_bits(np.ascontiguousarray(x))


def test_bad_input_is_refused() -> None:
    with pytest.raises(ValueError, match="at least one row"):
        _engine.quartiles(np.zeros((0, 3)))
    with pytest.raises(ValueError):
        _engine.quartiles(np.zeros(3))

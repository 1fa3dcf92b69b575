"""Arguments at the edges of binding and validation: the sign of an int
subclass's seed, non-string keywords on the classic call path, an empty
population of 2**31 columns, and the `np` an import hook hands out."""
import subprocess
import sys
import textwrap
from types import TracebackType
from typing import Any, Callable, Iterator, NoReturn

import numpy as np
import pytest

from kestrovane.selection_core import _mc_rank

FUNCTIONS: list[Callable[..., Any]] = [_mc_rank.mc_rank_counts, _mc_rank.mc_rank_select, _mc_rank.mc_rank_select_detailed]
MU = np.random.default_rng(5).normal(size=(6, 2))
S2 = np.full((6, 2), 0.3)
NEGATIVE = "^can't convert negative value to unsigned PY_LONG_LONG$"


def counts(out: tuple[Any, ...]) -> list[list[int]]:
    """win_count, lose_count and rank_sum of any entry point's result."""
    arrays = out if len(out) == 3 else out[2:5]
    return [a.tolist() for a in arrays]


def frames(tb: TracebackType | None) -> Iterator[str]:
    while tb is not None:
        yield tb.tb_frame.f_code.co_name
        tb = tb.tb_next


class OpinionatedInt(int):
    """An int whose comparisons are nobody's business but its own."""

    def _refuse(self, other: object) -> NoReturn:
        raise AssertionError("the seed's own comparison was asked")

    __lt__ = __le__ = __gt__ = __ge__ = _refuse


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_seed_sign_comes_from_the_value_not_from_comparisons(fn: Callable[..., Any]) -> None:
    for value in (0, 7, 2**63, 2**64 - 1):
        assert counts(fn(MU, S2, 4, seed=OpinionatedInt(value))) == counts(fn(MU, S2, 4, seed=value))
    for value in (-1, -(2**63), -(2**70)):
        with pytest.raises(OverflowError, match=NEGATIVE):
            fn(MU, S2, 4, seed=OpinionatedInt(value))
    with pytest.raises(OverflowError) as info:  # above 2**64 - 1: the interpreter's own text
        fn(MU, S2, 4, seed=OpinionatedInt(2**64))
    assert "negative" not in str(info.value)


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_classic_call_binds_in_the_same_order_with_the_functions_messages(fn: Any) -> None:
    name = fn.__name__
    strings = rf"^{name}\(\) keywords must be strings$"
    many = (MU, S2, 3, *[0] * 13)
    cases: list[tuple[tuple[Any, ...], dict[Any, Any], str]] = [
             ((MU, S2, 3), {1: 2}, strings),
             ((MU, S2, 3), {"seed": 1, 2: 3}, strings),
             ((MU, S2), {(): 3, "n_samples": 3}, strings),  # before the missing-argument check
             ((MU, S2, 3), {"nope": 1, 2: 3}, rf"^{name}\(\) got an unexpected keyword argument 'nope'$"),
             (many, {1: 2}, rf"^{name}\(\) takes at most {fn.__code__.co_argcount} positional")]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError, match=message) as info:
            fn.__call__(*args, **kwargs)
        assert f"kestrovane.selection_core._mc_rank.{name}" in frames(info.value.__traceback__)
    assert counts(fn.__call__(MU, S2, 3, seed=9)) == counts(fn(MU, S2, 3, seed=9))
    assert counts(fn.__call__(MU, S2, n_samples=3)) == counts(fn(MU, S2, 3))


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("wide", [np.empty((0, 2**31)), np.broadcast_to(0.0, (0, 2**32 + 3))],
                         ids=["array", "view"])
def test_empty_population_returns_before_the_size_guard(fn: Callable[..., Any],
                                                       wide: np.ndarray) -> None:
    want = fn(np.zeros((0, 2)), np.zeros((0, 2)), 0, 5.0)
    got = fn(wide, wide, 0, 5.0)  # nothing else is validated for N = 0
    assert [type(x) for x in got] == [type(x) for x in want]
    for a, b in zip(got, want):
        if isinstance(a, np.ndarray):
            assert a.dtype == b.dtype and a.shape == b.shape == (0,)
    with pytest.raises(ValueError, match="^mu and sigma2 must have the same shape$"):
        fn(wide, np.zeros((0, 2)), 0, 5.0)
    with pytest.raises(ValueError, match=r"fewer than 2\*\*31 rows and columns"):  # N > 0
        fn(np.broadcast_to(0.0, (1, 2**31)), np.broadcast_to(0.0, (1, 2**31)), 1)


IMPORT_HOOK = """
    import builtins, sys, types
    import numpy

    looked_up = []
    proxy = types.ModuleType("numpy")
    def __getattr__(name):
        looked_up.append(name)
        return getattr(numpy, name)
    proxy.__getattr__ = __getattr__

    real_import = builtins.__import__
    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        module = real_import(name, globals, locals, fromlist, level)
        return proxy if (name, fromlist, level) == ("numpy", None, 0) else module
    builtins.__import__ = hook
    from kestrovane.selection_core import _mc_rank
    builtins.__import__ = real_import

    assert _mc_rank.np is proxy, _mc_rank.np
    assert sys.modules["numpy"] is numpy
    _mc_rank.mc_rank_counts(numpy.zeros((3, 2)), numpy.ones((3, 2)), 4)
    assert {"asarray", "empty", "zeros", "ceil"} <= set(looked_up), looked_up
"""


def test_np_is_what_the_import_hook_returns() -> None:
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(IMPORT_HOOK)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr

"""What several test modules share: the populations they draw, an exact image
of a result, the objects that make a call fail, and Ctrl-C pressed mid-call.

Test modules import from here (and from the reference modules), never from one
another."""

import _thread
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pytest
from numpy.typing import NDArray

Array = NDArray[np.float64]

# Under AddressSanitizer freed memory sits in quarantine (RSS says nothing), and
# a request beyond its 1 TiB limit aborts the process (or, allowed to return
# null, is slow): impossible sizes are left to plain builds.
MAPS = Path("/proc/self/maps")
ASAN = MAPS.exists() and "libasan" in MAPS.read_text()


class Boom(Exception):
    pass


class Bad:
    """Fails every conversion: to an int, a float or an array."""

    def __int__(self) -> NoReturn:
        raise Boom

    __float__ = __int__

    def __array__(self, dtype: object = None, copy: object = None) -> NoReturn:
        raise Boom


def canon(obj: object) -> object:
    """Exact image of a result: array types, dtypes, shapes and bytes; dict key order."""
    if isinstance(obj, np.ndarray):
        return (type(obj), obj.dtype.str, obj.shape, obj.tobytes())
    if isinstance(obj, (tuple, dict)):
        items = obj.items() if isinstance(obj, dict) else enumerate(obj)
        return (type(obj), [(k, canon(v)) for k, v in items])
    return (type(obj), repr(obj))


def low_level_shape(run: tuple[object, ...]) -> tuple[object, ...]:
    """The public engine's select_detailed result in the nine-item shape of
    mc_rank_select_detailed (statistics dicts in its key order), for exact
    comparison with `canon`."""
    winners, losers, win, lose, rank_sum, stats, quality, used_p2 = run
    assert isinstance(stats, np.ndarray) and stats.shape[:2] == (3, 5)
    dicts = []
    for rows in stats:
        named = dict(zip(("mean", "std", "median", "q25", "q75"), rows))
        dicts.append({"mean": named["mean"], "quantiles_mode_used": used_p2,
                      **{key: named[key] for key in ("median", "std", "q25", "q75")}})
    return (winners, losers, win, lose, rank_sum, *dicts, quality)


# --- populations ------------------------------------------------------------------

def population(n: int, m: int, seed: int = 0,
               nonpositive: float = 0.3) -> tuple[Array, Array]:
    """Means and variances for the kernels; about `nonpositive` of the variances
    are 0, -0 or -1 (all mean: no noise)."""
    g = np.random.default_rng(seed)
    mu = g.normal(size=(n, m))
    sigma2 = g.uniform(0.05, 2.0, size=(n, m))
    mask = g.random((n, m)) < nonpositive
    sigma2[mask] = g.choice([0.0, -0.0, -1.0], size=mask.sum())
    return mu, sigma2


VALUE_KINDS = ["normal", "grid", "duplicates", "infinite", "huge", "front"]


def values(kind: str, n: int, m: int, rng: np.random.Generator) -> Array:
    """One population's objective values (N x M), as the rating sees a sample."""
    if kind == "normal":
        return rng.normal(size=(n, m))
    if kind == "grid":  # many ties
        return rng.integers(0, 3, size=(n, m)).astype(float)
    if kind == "duplicates":
        return rng.normal(size=(max(n // 4, 1), m))[rng.integers(0, max(n // 4, 1), n)]
    if kind == "infinite":
        X = rng.integers(-2, 3, size=(n, m)).astype(float)
        X[X == 2] = np.inf
        X[X == -2] = -np.inf
        return X
    if kind == "front":  # on a sphere: one large front
        X = np.abs(rng.normal(size=(n, m)))
        norm: Array = np.linalg.norm(X, axis=1, keepdims=True)
        return X / np.maximum(norm, 1e-300)
    if kind == "huge":  # spans overflow a double
        X = rng.uniform(-1, 1, size=(n, m)) * 1.7e308
        mask = rng.random((n, m)) < 0.3
        X[mask] = rng.choice([0.0, 1e-300, -np.finfo(float).max, 5e-324], size=mask.sum())
        return X
    raise AssertionError(kind)


UNCERTAIN_KINDS = ["mixed", "ties", "infinite", "single", "three_objectives", "no_objectives"]


def uncertain(kind: str, rng: np.random.Generator) -> tuple[Array, Array]:
    """Means and variances of a kind, each with its own shape."""
    if kind == "mixed":  # overlapping normals, some fixed entries, several fronts
        mu = values("normal", 9, 2, rng)
        s2 = rng.uniform(0.2, 2.0, size=(9, 2))
        s2[[1, 4], 0] = 0.0
        s2[6, 1] = -1.0
        return mu, s2
    if kind == "ties":  # integer grid, duplicates, mostly no noise
        mu = values("grid", 11, 3, rng)
        return mu, np.where(rng.random((11, 3)) < 0.25, 0.5, 0.0)
    if kind == "infinite":  # infinite variances draw infinite objectives
        mu = values("normal", 8, 2, rng)
        return mu, np.where(rng.random((8, 2)) < 0.3, np.inf, 0.3)
    if kind == "single":
        return np.array([[1.5, -2.0]]), np.array([[1.0, 0.0]])
    if kind == "three_objectives":
        return values("normal", 7, 3, rng) * 0.3, np.full((7, 3), 1.0)
    if kind == "no_objectives":
        return np.zeros((4, 0)), np.zeros((4, 0))
    raise AssertionError(kind)


def interrupted_while_sampling(fn: Callable[..., Any], *args: Any,
                               **kwargs: Any) -> tuple[list[int], int]:
    """Calls fn(*args, progress=report, **kwargs) and, from another thread,
    presses Ctrl-C once a report says sampling is under way; the call must
    raise KeyboardInterrupt.  Returns the samples done at each report and
    how many reports there were when Ctrl-C came."""
    seen: list[int] = []
    pressed: list[int] = []
    sampling = threading.Event()

    def report(done: int, total: int) -> None:
        seen.append(done)
        if done:
            sampling.set()

    def press() -> None:
        sampling.wait()
        pressed.append(len(seen))
        _thread.interrupt_main()
    presser = threading.Thread(target=press, daemon=True)
    presser.start()
    with pytest.raises(KeyboardInterrupt):
        fn(*args, progress=report, **kwargs)
    presser.join()
    return seen, pressed[0]

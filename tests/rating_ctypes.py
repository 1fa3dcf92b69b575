"""Calls the exported rate_population_inplace through its capsule with ctypes,
so tests can hand it work arrays of their own choosing (stale, misshaped...)."""

import ctypes

import numpy as np

from kestrovane.pareto_core import _pareto_rating_cy


class ArrayView(ctypes.Structure):
    """The 208-byte view record, passed by value."""

    _fields_ = [
        ("memview", ctypes.c_void_p),
        ("data", ctypes.c_void_p),  # char* in C; c_void_p keeps ctypes from reading it as text
        ("shape", ctypes.c_int64 * 8),
        ("strides", ctypes.c_int64 * 8),
        ("suboffsets", ctypes.c_int64 * 8),
    ]


class Pair(ctypes.Structure):
    _fields_ = [("val", ctypes.c_double), ("idx", ctypes.c_int32)]


class OrderKey(ctypes.Structure):
    _fields_ = [("front", ctypes.c_int64), ("neg_score", ctypes.c_double), ("idx", ctypes.c_int64)]


assert ctypes.sizeof(ArrayView) == 208
assert ctypes.sizeof(Pair) == 16 and ctypes.sizeof(OrderKey) == 24

RATE_FN = ctypes.CFUNCTYPE(
    ctypes.c_int,
    ArrayView, ctypes.c_int, ctypes.c_int,
    *[ArrayView] * 9,
    ctypes.POINTER(Pair), ctypes.POINTER(OrderKey), ArrayView,
)

# Work slots of the call, in argument order, with dtype and shape for (n, m).
SLOTS = {
    "front_id": (np.int64, lambda n, m: (n,)),
    "within": (np.float64, lambda n, m: (n,)),
    "order": (np.int64, lambda n, m: (n,)),
    "offsets": (np.int64, lambda n, m: (n + 1,)),
    "items": (np.int64, lambda n, m: (n,)),
    "dom": (np.uint8, lambda n, m: (n, n)),
    "n_dom": (np.int32, lambda n, m: (n,)),
    "cur": (np.int32, lambda n, m: (n,)),
    "nxt": (np.int32, lambda n, m: (n,)),
    "R": (np.float64, lambda n, m: (n, m)),
}
# Values no correct run leaves behind; an index among them points far outside.
JUNK = {np.int64: -(2**40) + 7, np.float64: np.nan, np.uint8: 0xA5, np.int32: 0x3FFFFFF1}


def capsule():
    return _pareto_rating_cy.__pyx_capi__["rate_population_inplace"]


def capsule_name(cap=None):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    return get_name(cap if cap is not None else capsule()).decode()


def rate_fn():
    cap = capsule()
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return RATE_FN(get_pointer(cap, capsule_name(cap).encode()))


def view(arr):
    """View record of `arr`; the caller keeps `arr` alive during the call."""
    v = ArrayView()
    v.memview = id(arr)
    v.data = arr.ctypes.data
    for d in range(arr.ndim):
        v.shape[d], v.strides[d], v.suboffsets[d] = arr.shape[d], arr.strides[d], -1
    return v


def work_arrays(n, m):
    """Every work array for an n x m population, filled with junk."""
    w = {name: np.full(shape(n, m), JUNK[dt], dtype=dt) for name, (dt, shape) in SLOTS.items()}
    w["pairs"] = np.full(max(n, 1) * 16, 0xCD, dtype=np.uint8)
    w["keys"] = np.full(max(n, 1) * 24, 0xEF, dtype=np.uint8)
    return w


def rate_inplace(X, w, mode_i=1, within_mode_i=0, fn=None):
    """Runs the exported function on X with work arrays `w`; returns its code."""
    fn = fn or rate_fn()
    pairs = w["pairs"].ctypes.data_as(ctypes.POINTER(Pair)) if w["pairs"] is not None else None
    keys = w["keys"].ctypes.data_as(ctypes.POINTER(OrderKey)) if w["keys"] is not None else None
    views = [view(w[name]) for name in SLOTS if name != "R"]
    return fn(view(X), mode_i, within_mode_i, *views, pairs, keys, view(w["R"]))

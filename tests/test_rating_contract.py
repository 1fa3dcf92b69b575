"""The kernels check what an outside rating hands back before using it: an
order entry outside the population, more fronts than individuals, or a front
id beyond the front count raise ValueError instead of writing out of bounds.

Each case runs in a fresh interpreter whose rating module is a stand-in: a
ctypes callback that runs the real rating, then corrupts its output."""

import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

SCRIPT = r"""
import ctypes, json, sys, types
import numpy as np
sys.path.insert(0, {here!r})
import rating_ctypes as rc

real = rc.rate_fn()
FAULT = {fault!r}

def as_array(v, dtype, n):
    return np.ctypeslib.as_array(ctypes.cast(v.data, ctypes.POINTER(dtype)), shape=(n,))

def stand_in(X, mode_i, within_mode_i, front_id, within, order, offsets, items, dom, n_dom,
             cur, nxt, pairs, keys, R):
    n_fronts = real(X, mode_i, within_mode_i, front_id, within, order, offsets, items, dom,
                    n_dom, cur, nxt, pairs, keys, R)
    n = X.shape[0]
    if FAULT == "order_high":
        as_array(order, ctypes.c_int64, n)[n - 1] = n
    elif FAULT == "order_negative":
        as_array(order, ctypes.c_int64, n)[0] = -1
    elif FAULT == "too_many_fronts":
        return n + 1
    elif FAULT == "front_id":
        as_array(front_id, ctypes.c_int64, n)[:] = n_fronts
    return n_fronts

callback = rc.RATE_FN(stand_in)
name = rc.capsule_name().encode()
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
fake = types.ModuleType("kestrovane.pareto_core._pareto_rating_cy")
fake.__pyx_capi__ = {{"rate_population_inplace": new_capsule(
    ctypes.cast(callback, ctypes.c_void_p), name, None)}}
sys.modules[fake.__name__] = fake

from kestrovane.selection_core import _mc_rank
mu = np.random.default_rng(1).normal(size=(6, 2))
out = {{}}
for f in ("mc_rank_counts", "mc_rank_select", "mc_rank_select_detailed"):
    try:
        getattr(_mc_rank, f)(mu, np.full_like(mu, 0.1), 3)
        out[f] = None
    except ValueError as e:
        out[f] = str(e)
print(json.dumps(out))
"""


def run_with_fault(fault):
    code = SCRIPT.format(here=HERE, fault=fault)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


ALL = ["mc_rank_counts", "mc_rank_select", "mc_rank_select_detailed"]


@pytest.mark.parametrize(
    "fault, message, affected",
    [
        ("none", None, []),
        ("order_high", "pareto_core returned order entry 6 outside the population", ALL),
        ("order_negative", "pareto_core returned order entry -1 outside the population", ALL),
        ("too_many_fronts", "pareto_core returned 7 fronts for fewer individuals", ALL),
        # Only the detailed kernel reads front ids.
        ("front_id", "pareto_core returned front id", ["mc_rank_select_detailed"]),
    ],
)
def test_broken_rating_output_raises(fault, message, affected):
    out = run_with_fault(fault)
    for f in ALL:
        if f in affected:
            assert out[f] is not None and out[f].startswith(message), (f, out[f])
        else:
            assert out[f] is None, (f, out[f])

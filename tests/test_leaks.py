"""Twenty thousand calls through every success and error path leave memory and
reference counts where they were."""
import gc
import sys
import time
import tracemalloc

import numpy as np
import pytest

from kestrovane.pareto_core._pareto_rating_cy import rate_population as rate
from kestrovane.selection_core._mc_rank import (
    mc_rank_counts as counts, mc_rank_select as select, mc_rank_select_detailed as detailed)
from helpers import ASAN, Bad, Boom

MU, S2, BAD = np.random.default_rng(3).random((4, 2)), np.full((4, 2), 0.1), Bad()
NAN_MU, EMPTY = np.where(MU > MU.min(), MU, np.nan), np.zeros((0, 2))
HUGE = np.empty((2**24, 0))  # its n x n dominance matrix would take 256 TiB
WIDE = np.empty((16384, 0))  # exact quantiles of 2**31 - 1 samples would take 256 TiB
T, V, O, M = TypeError, ValueError, OverflowError, MemoryError
CALLS = [  # (function, args, kwargs, expected exception or None)
    (counts, (MU, S2, 3), {}, None), (select, (MU, S2, 3), {"seed": 2**64 - 1}, None),
    (detailed, (MU, S2, 3), {}, None), (detailed, (MU, S2, 7), {"quantiles_mode_i": 1}, None),
    (detailed, (MU.tolist(), S2.T.copy().T, 2), {}, None), (rate, (MU,), {}, None),
    (select, (EMPTY, EMPTY, 3), {}, None), (detailed, (EMPTY, EMPTY, 3), {}, None),
    # binding
    (counts, (MU, S2), {}, T), (select, (MU, S2, 3, 0.2, 0, 1, 0, 9), {}, T),
    (detailed, (MU, S2, 3), {"nope": 1}, T), (counts, (MU, S2, 3), {"n_samples": 3}, T),
    # conversion
    (counts, (MU, S2, "3"), {}, T), (select, (MU, S2, 2**40), {}, O),
    (detailed, (MU, S2, 3), {"seed": -1}, O), (detailed, (MU, S2, 3, .2, 0, 1, 0, 0, 2**70), {}, O),
    (detailed, (MU, S2, 3), {"quality_sign": "x"}, T), (counts, (MU, S2, BAD), {}, Boom),
    (detailed, (MU, S2, 3), {"quality_w_place": BAD}, Boom), (select, (BAD, S2, 3), {}, Boom),
    (counts, ([[1.0, "a"]], [[1.0, 1.0]], 3), {}, V),
    # validation
    (counts, (MU, S2[:3], 3), {}, V), (select, (MU[0], S2[0], 3), {}, V),
    (detailed, (MU, S2, 0), {}, V), (select, (MU, S2, 3), {"percentile": 1.5}, V),
    (counts, (MU, S2, 3), {"percentile": float("nan")}, V),
    # rating
    (counts, (NAN_MU, S2, 3), {}, V), (detailed, (MU, S2, 3), {"mode_i": 5}, V),
    (select, (MU, S2, 3), {"within_mode_i": 1}, V), (rate, (NAN_MU,), {}, V),
    (rate, (MU,), {"mode_i": 3}, V), (rate, ([1.0, 2.0],), {}, V),
] + [  # allocation
    (detailed, (WIDE, WIDE, 2**31 - 1), {"quantiles_mode_i": 0}, M),
    (counts, (HUGE, HUGE, 1), {}, M), (rate, (HUGE,), {}, M),
] * (not ASAN)


def run(calls):
    for fn, args, kwargs, expected in calls:
        try:
            fn(*args, **kwargs)
        except Exception as e:
            if expected is None or not isinstance(e, expected):
                raise
        else:
            assert expected is None, (fn.__name__, args[2:], kwargs)


def rss_bytes():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))


def state(objs):
    gc.collect()
    return (tracemalloc.get_traced_memory()[0], sys.getallocatedblocks(), rss_bytes(),
            [sys.getrefcount(o) for o in objs])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_memory_and_reference_counts_stay_flat():
    # The caller's inputs, np, and the constants behind the defaults (2500000, -1.0, ...).
    objs = [np, MU, S2, NAN_MU, EMPTY, HUGE, WIDE, BAD]
    objs += [x for fn in (counts, select, detailed) for x in (fn.__defaults__, *fn.__defaults__)]
    rounds = 20_000 // len(CALLS)
    tracemalloc.start()  # before the warm-up, so that what NumPy caches is traced then
    try:
        for _ in range(12):  # warm-up until NumPy's caches stop growing (a leak never does)
            blocks = state(objs)[1]
            run(CALLS * 100)
            if state(objs)[1] - blocks < 10:
                break
        before, t0 = state(objs), time.perf_counter()
        run(CALLS * rounds)
        elapsed, after = time.perf_counter() - t0, state(objs)
    finally:
        tracemalloc.stop()
    traced, blocks, rss = (after[i] - before[i] for i in range(3))
    report = (f"{rounds * len(CALLS)} calls in {elapsed:.1f} s: traced {traced:+d} B, "
              f"blocks {blocks:+d}, RSS {rss:+d} B")
    print(report)
    assert [(repr(o)[:30], b, a) for o, b, a in zip(objs, before[3], after[3]) if a != b] == []
    assert traced < 64 << 10, report
    assert blocks < rounds // 2, report  # one object kept per call on one path: +rounds
    assert ASAN or rss < 2 << 20, report

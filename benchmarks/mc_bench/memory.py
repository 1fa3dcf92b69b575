"""Memory, each case in a fresh interpreter (bench_mc.py --child ...), so
that what one call takes is not hidden by what an earlier one left."""

import json
import resource
import subprocess
import sys
import time

from .cells import workload

TM_N = 512  # members of the tracemalloc cases
TM_SAMPLES = (100, 10000)


def vm_hwm_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def vm_peak_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmPeak:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def child_rss(n, m):
    from kestrovane.selection_core._mc_rank import mc_rank_counts
    mu, sigma2 = workload(n, m)
    before = vm_hwm_mb()
    start = time.perf_counter()
    mc_rank_counts(mu, sigma2, 1)
    seconds = time.perf_counter() - start
    return {"before_mb": before, "peak_mb": vm_hwm_mb(), "seconds": seconds,
            "vm_peak_mb": vm_peak_mb(),
            "ru_maxrss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0}


def child_tracemalloc(n, m, samples, qmode):
    import tracemalloc
    from kestrovane.selection_core._mc_rank import mc_rank_select_detailed
    mu, sigma2 = workload(n, m)
    mc_rank_select_detailed(mu, sigma2, 5, 0.2, 0, 1, 0, quantiles_mode_i=qmode)  # warm up
    before = vm_hwm_mb()
    tracemalloc.start()
    tracemalloc.reset_peak()
    res = mc_rank_select_detailed(mu, sigma2, samples, 0.2, 0, 1, 0, quantiles_mode_i=qmode)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return {"traced_peak_mb": peak / 2**20, "hwm_before_mb": before, "hwm_after_mb": vm_hwm_mb(),
            "mode_used": int(res[5]["quantiles_mode_used"])}


def child(args):
    """The --child side: one case, its result as a JSON line."""
    kind, *rest = args
    if kind == "rss":
        print(json.dumps(child_rss(*map(int, rest))))
    else:
        print(json.dumps(child_tracemalloc(*map(int, rest))))


def in_child(script, *args):
    out = subprocess.run([sys.executable, str(script), "--child", *map(str, args)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def baseline_rss():
    code = ("import numpy, kestrovane.selection_core._mc_rank;"
            "print([l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1])")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[-1]) / 1024.0


def memory_checks(script):
    """Every memory case: the interpreter alone, mc_rank_counts at N = 20000,
    and the detailed kernel's tracemalloc peaks (keyed (quantiles mode, samples))."""
    base = baseline_rss()
    rss = in_child(script, "rss", 20000, 3)
    tm = {(q, s): in_child(script, "tm", TM_N, 3, s, q) for q in (1, 0) for s in TM_SAMPLES}
    return base, rss, tm

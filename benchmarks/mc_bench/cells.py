"""The workload cells (N members x M objectives) and the implementations
timed in each: the kernels, the floor and, where asked, the peers."""

import os

import numpy as np

from .timing import Impl, timed, with_lanes

SIZES = (8, 32, 128, 512, 2048)
OBJECTIVES = (1, 2, 3, 5)
QUICK_SIZES = (8, 128, 2048)
QUICK_OBJECTIVES = (2, 3, 5)
LANE_BUILDS = ("baseline", "avx2")  # P² also timed in these; "p2" is the default (widest)
SIGMA2 = 0.3  # variance of every cell; means are standard normal


def workload(n, m, seed=12345):
    rng = np.random.default_rng(seed + 1000 * n + m)
    return rng.normal(size=(n, m)), np.full((n, m), SIGMA2)


def lane_default():
    """The estimators' instruction set this processor runs by default."""
    flags = open("/proc/cpuinfo").read().split() if os.path.exists("/proc/cpuinfo") else []
    if {"avx512f", "avx512vl", "avx512dq"} <= set(flags):
        return "AVX-512"
    return "AVX2" if "avx2" in flags else "baseline (SSE2)"


def kernel_impls(mu, sigma2):
    from kestrovane.selection_core._mc_rank import mc_rank_counts, mc_rank_select_detailed

    def detailed(qmode):
        return lambda k, s: mc_rank_select_detailed(mu, sigma2, k, 0.2, s, 1, 0,
                                                    quantiles_mode_i=qmode)

    impls = [
        Impl("counts", timed(lambda k, s: mc_rank_counts(mu, sigma2, k, 0.2, s, 1))),
        Impl("counts_m0", timed(lambda k, s: mc_rank_counts(mu, sigma2, k, 0.2, s, 0))),
        Impl("exact", timed(detailed(0))),
        Impl("p2", timed(detailed(1))),
    ]
    return impls + [Impl("p2_" + b, with_lanes(b, timed(detailed(1)))) for b in LANE_BUILDS]


def floor_impl(n, m, mu, sigma2, floor_fn):
    sd = np.ascontiguousarray(np.sqrt(sigma2))

    def floor_run(k, seed):  # holds mu and sd alive while the floor reads them
        return floor_fn(n, m, k, seed, mu.ctypes.data, sd.ctypes.data)
    return Impl("floor", floor_run)


def cell_impls(n, m, floor_fn, peers, peer_share):
    """Every implementation of cell (n, m); `peers` None: kernels and floor only."""
    from .peer_runs import peer_impls

    mu, sigma2 = workload(n, m)
    impls = kernel_impls(mu, sigma2)
    impls.insert(4, floor_impl(n, m, mu, sigma2, floor_fn))
    if peers is not None:
        impls += peer_impls(peers, n, mu, sigma2, peer_share)
    return impls

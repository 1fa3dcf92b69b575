"""The peers' runs (benchmarks/peers.py): their implementations of a cell,
one population rated by `rate_population` against `moocore.pareto_rank`, and
the check that the peers compute what the kernels do before any is timed."""

import sys
import time

import numpy as np

from .timing import Impl, timed

BATCH_LIMIT = 1 << 30  # the NumPy batch peer runs only where its batch fits in ~1 GB
BATCH_MIN_SAMPLES = 32  # ... with at least this many samples in one batch


def peer_versions():
    """The peers' versions; exits saying how to install them when one is missing."""
    try:
        import moocore
        import pymoo
    except ImportError as e:
        sys.exit(f"{e}: install the peers with `pip install moocore pymoo` "
                 "(or run with --no-peers)")
    return {"moocore": moocore.__version__, "pymoo": pymoo.__version__}


def peer_impls(peers, n, mu, sigma2, share):
    impls = [
        Impl("moocore", timed(lambda k, s: peers.moocore_job(mu, sigma2, k, 0.2, s, 1)),
             min_samples=3, share=share),
        Impl("pymoo", timed(lambda k, s: peers.pymoo_job(mu, sigma2, k, 0.2, s, 1)),
             min_samples=3, share=share),
    ]
    cap = BATCH_LIMIT // peers.batch_bytes(n, 1)
    if cap >= BATCH_MIN_SAMPLES:
        impls.append(Impl("numpy", timed(lambda k, s: peers.numpy_batch_job(
            mu, sigma2, k, 0.2, s, 1)), min_samples=4, max_samples=cap, share=share))
    return impls


def rate_impls(n, m):
    import moocore
    from kestrovane.pareto_core._pareto_rating_cy import rate_population

    # A pool of distinct populations, cycled, so no input repeats soon enough
    # for the branch predictors to learn it.
    pool_size = int(min(4096, max(64, 16e6 / (n * m * 8))))
    rng = np.random.default_rng(99 + n * 10 + m)
    pool = list(rng.normal(size=(pool_size, n, m)))

    def looped(fn):
        def run(k, seed):
            off = seed % pool_size
            start = time.perf_counter()
            for i in range(off, off + k):
                fn(pool[i % pool_size])
            return time.perf_counter() - start
        return run

    return [
        Impl("rate_m0", looped(lambda X: rate_population(X, 0))),
        Impl("rate_m1", looped(lambda X: rate_population(X, 1))),
        Impl("pareto_rank", looped(moocore.pareto_rank)),
    ]


def validate(peers, log):
    """The peers' orders and counts against the kernels; exits on a failure.
    Returns the lines of the check, for the report."""
    from kestrovane.pareto_core._pareto_rating_cy import rate_population
    from kestrovane.selection_core._mc_rank import mc_rank_counts

    log("validating the peers ...")
    lines = []
    failures = peers.validate(rate_population, mc_rank_counts, log=lines.append)
    for line in lines:
        log(line)
    if failures:
        for f in failures:
            log("FAILED:", f)
        sys.exit("peer validation failed")
    return lines

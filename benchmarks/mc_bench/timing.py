"""Timing: every implementation of a cell in one process, alternating
rounds; a time is the median over rounds of (run time / n_samples), a ratio
the median over rounds of the ratio within one round."""

import os
import statistics
import time


class Impl:
    """One implementation of one cell: run(n_samples, seed) -> elapsed seconds."""

    def __init__(self, name, run, min_samples=1, max_samples=None, share=1.0):
        self.name, self.run = name, run
        self.min_samples, self.max_samples, self.share = min_samples, max_samples, share
        self.n = None
        self.times = []  # seconds per sample, one per round


def timed(fn):
    def run(n, seed):
        start = time.perf_counter()
        fn(n, seed)
        return time.perf_counter() - start
    return run


def with_lanes(build, run):
    """run with the P² estimators in one instruction set (KESTROVANE_P2_LANES;
    a build the processor lacks falls back to the baseline).  The variable is
    set outside the timed part."""
    def wrapped(n, seed):
        os.environ["KESTROVANE_P2_LANES"] = build
        try:
            return run(n, seed)
        finally:
            del os.environ["KESTROVANE_P2_LANES"]
    return wrapped


def calibrate(impl, target):
    """Chooses impl.n so one run takes about `target` seconds."""
    n, seed = impl.min_samples, 1000
    while True:
        if impl.max_samples is not None:
            n = min(n, impl.max_samples)
        t = impl.run(n, seed)
        seed += 1
        if t >= min(0.03, target / 2) or (impl.max_samples is not None and n >= impl.max_samples):
            break
        n *= 4 if t < 0.003 else 2
    per = max(t / n, 1e-9)
    n = max(impl.min_samples, int(round(target * impl.share / per)))
    if impl.max_samples is not None:
        n = min(n, impl.max_samples)
    impl.n = min(n, 2**31 - 1)


def measure(impls, target, repeats):
    for impl in impls:
        calibrate(impl, target)
    for r in range(repeats):
        rot = r % len(impls)
        for impl in impls[rot:] + impls[:rot]:  # alternate, rotating who goes first
            impl.times.append(impl.run(impl.n, 7919 * r + 11) / impl.n)
    return {impl.name: impl for impl in impls}


def med_us(impl):
    return statistics.median(impl.times) * 1e6 if impl and impl.times else None


def ratio(num, den):
    """Median over rounds of num/den measured in the same round."""
    if not num or not den or not num.times or not den.times:
        return None
    return statistics.median(a / b for a, b in zip(num.times, den.times))

"""The private engine checks its own arguments as strictly as the public
layer does: a NaN progress interval used to overflow the pacer's stride
(undefined behaviour), after which progress and Ctrl-C checks stopped."""
import math
import time
from typing import Any

import numpy as np
import pytest

from kestrovane._api import _engine

MU = np.random.default_rng(0).random((6, 2))
S2 = np.full_like(MU, 0.1)
# counts(mu, sigma2, n_samples, percentile, seed, mode_i, ties_i, threads, report, interval)
GOOD: dict[str, Any] = {"n_samples": 50, "percentile": 0.2, "seed": 1, "mode_i": 1, "ties_i": 0,
                        "threads": 1, "report": None, "interval": 0.005}


def counts(**changed: Any) -> Any:
    args = {**GOOD, **changed}
    return _engine.counts(MU, S2, *args.values())


@pytest.mark.parametrize(("name", "value", "message"), [
    ("interval", math.nan, "interval must be finite and > 0; got nan"),
    ("interval", math.inf, "interval must be finite and > 0"),
    ("interval", 0.0, "interval must be finite and > 0"),
    ("interval", -1.0, "interval must be finite and > 0"),
    ("threads", 0, r"threads must be in 1 \.\. 64; got 0"),
    ("threads", 65, r"threads must be in 1 \.\. 64; got 65"),
    ("n_samples", 0, r"n_samples must be in 1 \.\. 2\*\*31 - 1"),
    ("percentile", math.nan, r"percentile must be in \(0, 1\]; got nan"),
    ("percentile", 1.5, r"percentile must be in \(0, 1\]"),
    ("mode_i", 2, "mode_i must be 0 or 1"),
])
def test_bad_arguments_are_refused_before_sampling(name: str, value: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        counts(**{name: value})


def test_bad_quantiles_mode_is_refused() -> None:
    with pytest.raises(ValueError, match="quantiles_mode_i must be 0, 1 or 2; got 3"):
        _engine.select_detailed(MU, S2, 50, 0.2, 1, 1, 3, 100, 0, 1, None, 0.005)


class Enough(Exception):
    pass


@pytest.mark.parametrize("threads", [1, 2])
def test_a_slow_progress_callable_does_not_count_as_sampling_time(threads: int) -> None:
    """A callable taking longer than the interval used to be called after
    every sample: its own time made the samples look slow.  The stretch
    between checkpoints must grow (fourfold at most each time) as if the
    callable took no time; counted in samples, not seconds."""
    done_at: list[int] = []

    def report(done: int, total: int) -> None:
        done_at.append(done)
        if len(done_at) == 12:
            raise Enough
        time.sleep(0.02)  # four intervals: a slow callable
    with pytest.raises(Enough):
        counts(n_samples=2_000_000_000, threads=threads, report=report)
    # 64 samples of six members in 5 ms of sampling: even a sanitized build
    # on a busy machine does that, while the old pacer stayed at one.
    assert max(np.diff(done_at)) >= 64, done_at

"""Monte-Carlo Pareto selection for population-based training under uncertain scores.

    import kestrovane
    sel = kestrovane.select(mu, sigma2, ids=names, objectives=["accuracy", "latency"],
                            maximize=["accuracy"])
    for loser, winner in sel.replacements:
        ...  # copy the winner's weights and hyper-parameters into the loser

`select` draws populations from the per-member Normal scores, rates each by
Pareto dominance and reports winners, losers and an exploit plan by member
id; `rate` rates one population of known scores; `estimate` turns repeated
evaluations into means and variances of the mean.  The low-level kernels
underneath are `kestrovane.selection_core._mc_rank` and
`kestrovane.pareto_core._pareto_rating_cy`.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from kestrovane._api.counts import Counts as Counts
    from kestrovane._api.counts import counts as counts
    from kestrovane._api.estimate import Estimates as Estimates
    from kestrovane._api.estimate import estimate as estimate
    from kestrovane._api.front import FrontChances as FrontChances
    from kestrovane._api.front import front_chances as front_chances
    from kestrovane._api.progress import Progress as Progress
    from kestrovane._api.rate import Rating as Rating
    from kestrovane._api.rate import rate as rate
    from kestrovane._api.select import select as select
    from kestrovane._api.metric_stats import MetricStats as MetricStats
    from kestrovane._api.selection import Selection as Selection

try:  # written by the build (pyproject.toml, tool.scikit-build.generate)
    __version__: str = importlib.import_module("kestrovane._version").__version__
except ImportError:  # run from a source tree
    __version__ = "0+unknown"

__all__ = ["Counts", "Estimates", "FrontChances", "MetricStats", "Progress", "Rating", "Selection",
           "__version__", "counts", "estimate", "front_chances", "rate", "select"]

# The public names load on first use, so that importing a low-level module
# (kestrovane.selection_core._mc_rank) does not also import the public layer.
_LAZY = {
    "counts": "kestrovane._api.counts",
    "Counts": "kestrovane._api.counts",
    "select": "kestrovane._api.select",
    "rate": "kestrovane._api.rate",
    "Rating": "kestrovane._api.rate",
    "estimate": "kestrovane._api.estimate",
    "Estimates": "kestrovane._api.estimate",
    "front_chances": "kestrovane._api.front",
    "FrontChances": "kestrovane._api.front",
    "Selection": "kestrovane._api.selection",
    "MetricStats": "kestrovane._api.metric_stats",
    "Progress": "kestrovane._api.progress",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'kestrovane' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))

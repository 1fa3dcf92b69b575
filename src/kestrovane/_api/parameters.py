"""The parameters of the public functions, each declared once: its kind
(bounds or choices), its default and what it means.

`select`, `counts`, `rate`, `front_chances`, the PBT tracker and its
policies check their arguments with these declarations, the command line
takes its choices, bounds and defaults from them, and tests hold the docs to
them.  The bounds that the native engine checks again are the engine's own
(`_engine.BOUNDS`, `_engine.MODES`, ...; declared in `engine_arguments.hpp`):
they are read from it here, so a bound changes in one place.

`mu`, `sigma2`, `ids`, `objectives` and `maximize` are checked together
(`validate.population`): each depends on the others' shapes.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final, Generic, Literal, TypeVar

from kestrovane._api import _engine
from kestrovane._api.bounds import Choice, IntRange, Kind, RealRange
from kestrovane._api.progress import check_progress

T = TypeVar("T")
K_co = TypeVar("K_co", bound=Kind[Any], covariant=True)

Mode = Literal["ranks", "values"]
Quantiles = Literal["auto", "exact", "p2"]
Ties = Literal["random", "index"]


@dataclass(frozen=True)
class Default:
    """A default that differs from the declared one: where, and why."""

    where: str
    value: object
    why: str


@dataclass(frozen=True)
class Parameter(Generic[K_co]):
    name: str
    kind: K_co
    default: Any
    doc: str
    #: Functions or classes that take the same parameter with another default.
    elsewhere: tuple[Default, ...] = ()

    def check(self: Parameter[Kind[T]], value: object, what: str | None = None) -> T:
        """`value` checked; `what` names it in messages (default: its name)."""
        return self.kind.check(value, self.name if what is None else what)


class _ProgressKind:
    def check(self, value: object, what: str) -> object:
        check_progress(value)
        return value

    def words(self) -> str:
        return "None, a bool or a callable"


N_SAMPLES: Final = Parameter(
    "n_samples", IntRange.of_engine(_engine.BOUNDS["n_samples"]), 10_000,
    "Monte-Carlo samples of one call (the kernels count them in 32 bits).",
    (Default("MonteCarloRule.n_samples", 192,
             "a decision's budget, the PBT lab's choice (docs/benchmarks.md, \"Choosing the "
             "default\"): it decides as well as 2000 at a sixth of the cost, keeping a "
             "decision within 5x the plain rule's time"),))
PERCENTILE: Final = Parameter(
    "percentile", RealRange.of_engine(_engine.BOUNDS["percentile"]), 0.2,
    "The share of members that win and that lose per sample (for the tracker: that are "
    "copied and replaced per round); k = min(N, max(1, ceil(N * percentile))).",
    (Default("ParetoPBT.quantile_fraction", 0.25,
             "Ray's own PopulationBasedTraining default, which the adapter hands both to Ray "
             "and to the tracker as its percentile, so Ray's users keep their share"),))
SEED: Final = Parameter(
    "seed", IntRange.of_engine(_engine.BOUNDS["seed"], high_text="2**64 - 1"), 0,
    "Seed of the random stream; None draws one from fresh entropy, a "
    "numpy.random.Generator one from the generator.",
    (Default("Population.front_chances.seed", None,
             "derived from the population's own seed, so that asking twice gives the same "
             "answer"),))
MODE: Final = Parameter(
    "mode", Choice(("ranks", "values"), _engine.MODES), "ranks",
    "How the crowding inside a front compares an objective: by rank (scale-free) or by "
    "value.",
    (Default("ParetoRule.mode", "values",
             "the plain rule is NSGA-II's order, whose crowding distance takes the values; "
             "the lab compares every policy against it as that baseline"),))
QUANTILES: Final = Parameter(
    "quantiles", Choice(("auto", "exact", "p2"), _engine.QUANTILES), "auto",
    "How the quantiles of place, front and within-front rank are taken.")
QUANTILES_BUDGET: Final = Parameter(
    "quantiles_budget", IntRange.of_engine(_engine.BOUNDS["quantiles_budget"]), 2_500_000,
    "Stored observations (N * n_samples) above which quantiles=\"auto\" switches to P².")
TIES: Final = Parameter(
    "ties", Choice(("random", "index"), _engine.TIES), "random",
    "Who wins a tie in a sample's order: a random member or the lower row.")
THREADS: Final = Parameter(
    "threads", IntRange.of_engine(_engine.BOUNDS["threads"]), None,
    "Threads to sample on; None chooses by the size of the call.")
PROGRESS: Final = Parameter(
    "progress", _ProgressKind(), None,
    "None (a bar on a terminal for long calls), True, False or a callable taking "
    "(samples_done, n_samples).")

#: Every declared parameter by name.
PARAMETERS: Final[Mapping[str, Parameter[Any]]] = {
    p.name: p for p in (N_SAMPLES, PERCENTILE, SEED, MODE, QUANTILES, QUANTILES_BUDGET, TIES,
                        THREADS, PROGRESS)}

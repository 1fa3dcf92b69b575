"""The sampling options of one call of `select` or `counts`, checked once
against their declarations (`parameters.py`) into one record."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any

from kestrovane._api import parameters as P
from kestrovane._api.progress import Progress


@dataclass(frozen=True)
class Options:
    """The checked options, in the order they are checked; every field is a
    declared parameter and defaults as declared."""

    n_samples: int = P.N_SAMPLES.default
    percentile: float = P.PERCENTILE.default
    mode: P.Mode = P.MODE.default
    quantiles: P.Quantiles = P.QUANTILES.default
    ties: P.Ties = P.TIES.default
    quantiles_budget: int = P.QUANTILES_BUDGET.default
    progress: Progress = P.PROGRESS.default

    @classmethod
    def of(cls, arguments: Mapping[str, object]) -> Options:
        """The options among a call's `arguments` (its `locals()`), each
        checked by its declaration, in field order; the others are left as
        declared."""
        checked = {f.name: P.PARAMETERS[f.name].check(arguments[f.name])
                   for f in fields(cls) if f.name in arguments}
        return cls(**checked)

    @property
    def mode_code(self) -> int:
        return P.MODE.kind.code(self.mode)

    @property
    def quantiles_code(self) -> int:
        return P.QUANTILES.kind.code(self.quantiles)

    def settings(self, *names: str) -> dict[str, Any]:
        """The named options, as a result records them."""
        return {name: getattr(self, name) for name in names}

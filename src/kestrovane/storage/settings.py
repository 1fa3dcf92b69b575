"""A stored population's settings: checked as `Population` checks them,
kept as JSON, compared when a store is opened again."""

from __future__ import annotations

import dataclasses
import json
import re
import warnings
from dataclasses import dataclass
from typing import Any

from kestrovane.pbt import MonteCarloRule, ParetoRule, Policy, Population, PolicyPicklingWarning
from kestrovane.storage.errors import StoreError, StoreMismatch


@dataclass(frozen=True)
class Settings:
    objectives: tuple[str, ...]
    maximize: tuple[bool, ...]
    window: int
    min_reports: int
    percentile: float
    seed: int

    def text(self) -> str:
        return json.dumps(dataclasses.asdict(self), sort_keys=True)


def checked(objectives: Any, maximize: Any, window: Any, min_reports: Any, percentile: Any,
            seed: Any, policy: Policy | None) -> tuple[Settings, Policy]:
    """The settings and policy as `Population` takes them, with its checks and
    messages.  The policy is never pickled here, so no pickling warning."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PolicyPicklingWarning)
        pop = Population[Any](objectives, maximize=maximize, window=window,
                              min_reports=min_reports, percentile=percentile, seed=seed,
                              policy=policy)
    return (Settings(pop.objectives, pop.maximize, pop.window, pop.min_reports,
                     pop.percentile, pop.seed), pop.policy)


def read(text: str, shown: str) -> Settings:
    try:
        raw = json.loads(text)
        return Settings(tuple(raw["objectives"]), tuple(raw["maximize"]), raw["window"],
                        raw["min_reports"], raw["percentile"], raw["seed"])
    except (ValueError, KeyError, TypeError):
        raise StoreError(f"the store {shown} holds settings that cannot be read") from None


def compare(stored: Settings, given: Settings, shown: str, *, seed_given: bool) -> None:
    """Raises StoreMismatch naming the first setting that differs."""
    for field in dataclasses.fields(Settings):
        if field.name == "seed" and not seed_given:
            continue
        mine, theirs = getattr(given, field.name), getattr(stored, field.name)
        if mine != theirs:
            raise StoreMismatch(f"the store {shown} holds a population with {field.name} "
                                f"{theirs!r}, not {mine!r}; open it with its own settings "
                                "(StoredPopulation.open(url) reads them) or use another store")


def policy_text(policy: object) -> str:
    """What a store keeps of a policy, to refuse another one: its repr when
    that names its settings (dataclasses, as the shipped policies), else its
    class or function."""
    text = repr(policy)
    if dataclasses.is_dataclass(policy) and not re.search(r" at 0x[0-9a-fA-F]+", text):
        return f"{type(policy).__module__}.{text}"
    kind = policy if callable(policy) and hasattr(policy, "__qualname__") else type(policy)
    return f"{getattr(kind, '__module__', '?')}.{getattr(kind, '__qualname__', '?')}"


def compare_policy(stored: str, given: Policy, shown: str) -> None:
    if policy_text(given) != stored:
        raise StoreMismatch(f"the store {shown} decides with policy {stored}, not "
                            f"{policy_text(given)}; pass the same policy in every worker")


def stored_policy(stored: str) -> Policy:
    """The policy a store names, when it is a shipped one with its defaults;
    else one that refuses to decide until the caller passes the policy."""
    for shipped in (MonteCarloRule(), ParetoRule()):
        if policy_text(shipped) == stored:
            return shipped
    return _Unknown(stored)


@dataclass(frozen=True)
class _Unknown:
    text: str

    def __call__(self, evidence: object, /) -> Any:
        raise StoreError(f"this store decides with policy {self.text}; open it with that "
                         "policy (policy=...) to decide")

"""The lab's baselines; the project's own policies come from
`kestrovane.pbt.policies`, as users get them (named.py names both).  The
baselines: random search (no exploit); random exploit;
the oracle, which sees the true scores; the plain rule on the last report;
stock PBT (truncation on the sum of the objectives of the last report, which
with one objective is what Ray's PBT does); scalarised truncation (on the
sum of standardised window means).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from benchmarks.pbt_lab.simulator import F64
from kestrovane.pbt import streams
from kestrovane.pbt.policies import Evidence, ParetoRule, Policy, Verdict, truncation


def oracle(truth: Callable[[tuple[int, ...]], F64]) -> Policy:
    """The plain rule on the true current scores of the same members."""
    rule = ParetoRule()

    def decide(e: Evidence[Any], /) -> Verdict:
        true = truth(e.ids)
        return rule(Evidence(e.ids, tuple(row[None, :] for row in true), e.member, e.copyable,
                             e.percentile, e.seed))
    return decide


def random_exploit(_truth: object) -> Policy:
    """Replaced with chance k/N by a random other member; upper with chance k/N."""
    def decide(e: Evidence[Any], /) -> Verdict:
        n = len(e.ids)
        rng = streams.choice_rng(e.seed)
        upper = bool(rng.random() < e.k / n)
        others = np.flatnonzero(e.copyable & (np.arange(n) != e.member))
        if upper or rng.random() >= e.k / n or len(others) == 0:
            return Verdict(None, upper)
        return Verdict(int(others[rng.integers(len(others))]), upper)
    return decide


def scalarised(_truth: object) -> Policy:
    def decide(e: Evidence[Any], /) -> Verdict:
        means = e.means()
        sd = means.std(axis=0)
        z = (means - means.mean(axis=0)) / np.where(sd > 0, sd, 1.0)
        return truncation(z.sum(axis=1), e)
    return decide


def search(_truth: object) -> Policy:
    """Random search: every member trains its own configuration to the end."""
    def decide(e: Evidence[Any], /) -> Verdict:
        return Verdict(None, False)
    return decide


def last_report(_truth: object) -> Policy:
    """The plain rule on each member's newest evaluation."""
    rule = ParetoRule()

    def decide(e: Evidence[Any], /) -> Verdict:
        return rule(Evidence(e.ids, tuple(w[-1:] for w in e.windows), e.member, e.copyable,
                             e.percentile, e.seed))
    return decide


def stock(_truth: object) -> Policy:
    def decide(e: Evidence[Any], /) -> Verdict:
        return truncation(np.array([w[-1].sum() for w in e.windows]), e)
    return decide

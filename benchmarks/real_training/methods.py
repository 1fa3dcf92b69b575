"""The methods compared, as exploit policies of `kestrovane.pbt.Population`.

Every PBT method runs in the same tracker with the same window, quantile,
perturbations and decision order; only the policy differs.  Random search
trains the same initial configurations and never exploits.

- `default`: the tracker's default policy (`MonteCarloRule()`);
- `plain`: the plain Pareto rule (non-dominated sorting + crowding) on the
  window means (`ParetoRule()`);
- `last`: the plain Pareto rule on each member's last report only, as
  Ray's PBT judges a trial;
- `stock`: Ray's PBT itself on one number: truncation on the sum of the
  objectives of the last report (on one objective it is `last`, so the
  one-objective task runs `last` alone);
- `oracle`: the plain rule on each member's scores on the whole validation
  split (far less noisy than a report), the headroom any policy could reach;
- `random`: random search.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kestrovane.pbt.policies import (Evidence, MonteCarloRule, ParetoRule, Policy, Verdict,
                                     truncation)

F64 = NDArray[np.float64]
LABELS = {"default": "default policy", "plain": "plain rule (window means)",
          "last": "plain rule, last report", "stock": "stock PBT (sum, last report)",
          "oracle": "oracle (whole validation split)", "random": "random search"}


def methods_of(n_objectives: int) -> tuple[str, ...]:
    pbt = ("default", "plain", "last") + (("stock",) if n_objectives > 1 else ())
    return pbt + ("oracle", "random")


def _last_report(rule: Policy) -> Policy:
    def decide(e: Evidence[Any], /) -> Verdict:
        return rule(Evidence(e.ids, tuple(w[-1:] for w in e.windows), e.member, e.copyable,
                             e.percentile, e.seed))
    return decide


def _stock(e: Evidence[Any], /) -> Verdict:
    return truncation(np.array([w[-1].sum() for w in e.windows]), e)


def policy(method: str, exact: Callable[[], F64]) -> Policy | None:
    """The policy of a method; `exact()` gives the oracle every member's
    current whole-validation scores (rows by member id).  None: no exploits."""
    if method == "default":
        return MonteCarloRule()
    if method == "plain":
        return ParetoRule()
    if method == "last":
        return _last_report(ParetoRule())
    if method == "stock":
        return _stock
    if method == "oracle":
        rule = ParetoRule()

        def oracle(e: Evidence[Any], /) -> Verdict:
            rows = exact()[list(e.ids)]
            return rule(Evidence(e.ids, tuple(r[None, :] for r in rows), e.member, e.copyable,
                                 e.percentile, e.seed))
        return oracle
    if method == "random":
        return None
    raise ValueError(f"unknown method {method!r}")

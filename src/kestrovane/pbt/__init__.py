"""A framework-neutral tracker for asynchronous population-based training.

    from kestrovane.pbt import Population

    pop = Population[str](["accuracy", "latency"], maximize=["accuracy"])
    ...                                   # in each worker, after an evaluation:
    pop.report(name, {"accuracy": acc, "latency": ms}, step=step)
    decision = pop.decide(name)
    if decision.action == "replace":
        ...  # load decision.source's weights and (perturbed) hyper-parameters

`Population` keeps a bounded window of recent evaluations (with their steps
and times) per member and answers each `decide` through its exploit policy,
`MonteCarloRule()` unless another is given, over the members that have
reported often enough.  A policy is any picklable callable from `Evidence`
to `Verdict` (`Policy`); `truncate`, `any_source`, `truncation` and
`exploit_plan` are the pieces the shipped ones are built of, and `streams`
the seeded generators they draw from (docs/policies.md).
"""

from __future__ import annotations

from kestrovane._api.exploit import ExploitPlan, exploit_plan
from kestrovane.pbt import streams
from kestrovane.pbt.interface import (Evidence, Policy, Verdict, any_source, truncate,
                                      truncation)
from kestrovane.pbt.policies import MonteCarloRule, ParetoRule, Tally, window_moments
from kestrovane.pbt.population import (Action, Decision, Population, PolicyPicklingWarning,
                                       Scores)

__all__ = ["Action", "Decision", "Evidence", "ExploitPlan", "MonteCarloRule", "ParetoRule",
           "Policy", "PolicyPicklingWarning", "Population", "Scores", "Tally", "Verdict",
           "any_source", "exploit_plan", "streams", "truncate", "truncation",
           "window_moments"]

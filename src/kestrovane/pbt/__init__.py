"""A framework-neutral tracker for asynchronous population-based training.

    from kestrovane.pbt import Population

    pop = Population[str](["accuracy", "latency"], maximize=["accuracy"])
    ...                                   # in each worker, after an evaluation:
    pop.report(name, {"accuracy": acc, "latency": ms})
    decision = pop.decide(name)
    if decision.action == "replace":
        ...  # load decision.source's weights and (perturbed) hyper-parameters

`Population` keeps a bounded window of recent evaluations per member and
answers each `decide` with `kestrovane.select` over the members that have
reported often enough.
"""

from __future__ import annotations

from kestrovane.pbt.population import Action, Decision, Population, Scores

__all__ = ["Action", "Decision", "Population", "Scores"]

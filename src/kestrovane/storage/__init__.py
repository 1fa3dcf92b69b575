"""The PBT tracker's state in a database shared by worker processes and hosts.

    from kestrovane.storage import StoredPopulation

    pop = StoredPopulation[str]("sqlite:///pbt.db", ["loss", "accuracy"],
                                maximize=["accuracy"], seed=7)
    pop.report(name, {"loss": loss, "accuracy": acc}, step=step)
    decision = pop.decide(name)

`StoredPopulation` has `Population`'s methods over a store named by a URL:
``sqlite:///path`` (the standard library; processes of one host) or
``postgresql://user@host/db`` (the ``postgres`` extra, psycopg 3; several
hosts).  Every change is one transaction, and a decision is the in-memory
`Population`'s own, made on the state read in that transaction, so the same
reports and decisions in the same order decide the same.
"""

from __future__ import annotations

from kestrovane.storage.errors import StoreError, StoreMismatch
from kestrovane.storage.stored import StoredPopulation

__all__ = ["StoreError", "StoreMismatch", "StoredPopulation"]

"""With --top K every list of members kestrovane-select prints is cut to K
names, whatever the population; without it nothing is cut."""

import json

import numpy as np
import pytest

import kestrovane
from kestrovane.cli.main import _json_lines
from kestrovane.cli.population_file import PopulationFile
from kestrovane.cli.table import summarise, table_lines


# A percentile over one half makes most winners losers too: the kept list is long.
@pytest.mark.parametrize("n, percentile", [(200, 0.2), (200, 0.9), (100_000, 0.2)])
def test_top_bounds_every_line_and_every_list(n, percentile):
    rng = np.random.default_rng(n)
    ids = [f"member-{i:06d}-" + "x" * 60 for i in range(n)]  # wider than the id column
    pop = PopulationFile(ids, ["a", "b"], rng.random((n, 2)), np.full((n, 2), 0.01))
    sel = kestrovane.select(pop.mu, pop.sigma2, n_samples=5, percentile=percentile, ids=ids)
    kept = set(sel.winners) & set(sel.losers)
    for top in (1, 3):
        summary = summarise(pop, sel, top)
        lines = list(table_lines(summary, top))
        assert max(map(len, lines)) <= 200 + 41 * top  # the legend is 160
        # rows, winners, losers, the plan's pairs and the kept: at most 6 K names
        assert sum(line.count("member-") for line in lines) <= 6 * top
        assert lines[1].endswith(f" ... and {sel.k - top} more")
        if len(kept) > top:
            assert lines[-3].endswith(f" ... and {len(kept) - top} more")
        doc = json.loads("\n".join(_json_lines(summary)))
        assert doc["winners"] == list(sel.winners[:top]) and doc["both_count"] == len(kept)
        assert max(len(doc[key]) for key in ("losers", "both", "replacements",
                                             "individuals")) <= top
    full = summarise(pop, sel, None)
    assert list(table_lines(full, None))[1] == "winners: " + " ".join(sel.winners)
    assert len(full["individuals"]) == n and set(full["both"]) == kept

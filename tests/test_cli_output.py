"""What kestrovane-select prints: with --top K every list of members is cut
to K names whatever the population; without it, every name is printed."""

import json

import numpy as np
import pytest

import kestrovane
from kestrovane.cli.main import _json_lines, main
from kestrovane.cli.population_file import PopulationFile
from kestrovane.cli.table import summarise, table_lines


def population(n: int) -> PopulationFile:
    rng = np.random.default_rng(n)
    ids = [f"member-{i:06d}-" + "x" * 60 for i in range(n)]  # longer than the id column
    return PopulationFile(ids, ["a", "b"], rng.random((n, 2)), np.full((n, 2), 0.01))


# A percentile over one half makes most winners losers too: the kept list is long.
@pytest.mark.parametrize("n, percentile", [(200, 0.2), (200, 0.9), (100_000, 0.2)])
def test_top_bounds_every_line_and_every_list(n, percentile):
    pop = population(n)
    sel = kestrovane.select(pop.mu, pop.sigma2, n_samples=5, percentile=percentile,
                            ids=pop.ids, objectives=pop.objectives, progress=False)
    kept = sorted(set(sel.winners) & set(sel.losers))
    assert (len(kept) > 3) == (percentile > 0.5)
    for top in (1, 3):
        summary = summarise(pop, sel, top)
        lines = list(table_lines(summary, top))
        assert max(map(len, lines)) <= 200 + 41 * top  # the legend is 160
        # rows, winners, losers, the plan's pairs and the kept: at most 6 names each K
        assert sum(line.count("member-") for line in lines) <= 6 * top
        assert lines[1].endswith(f" ... and {sel.k - top} more")
        assert lines[2].endswith(f" ... and {sel.k - top} more")
        plan_left = sel.k - len(kept) - min(top, len(sel.replacements))
        assert (f"  ... {plan_left} more (--top {top})" in lines) == (plan_left > 0)
        if len(kept) > top:
            assert lines[-3].endswith(f" ... and {len(kept) - top} more")
        doc = json.loads("\n".join(_json_lines(summary)))
        assert doc["winners"] == list(sel.winners[:top]) and doc["both_count"] == len(kept)
        for key in ("winners", "losers", "both", "replacements", "individuals"):
            assert len(doc[key]) <= top, key
    if n == 200:  # without --top nothing is cut
        full = summarise(pop, sel, None)
        lines = list(table_lines(full, None))
        assert lines[1] == "winners: " + " ".join(sel.winners)
        assert len(full["individuals"]) == n and sorted(full["both"]) == kept
        assert full["replacements"] == [list(p) for p in sel.replacements]


def test_top_through_the_command_line(tmp_path, capsys):
    pop = population(200)
    path = tmp_path / "p.json"
    path.write_text(json.dumps({"mu": pop.mu.tolist(), "sigma2": pop.sigma2.tolist(),
                                "ids": pop.ids}))
    assert main([str(path), "--samples", "20", "--top", "3"]) == 0
    out = capsys.readouterr().out
    assert max(map(len, out.splitlines())) <= 300
    assert out.count("member-") <= 18 and "winners: " in out and "... and 37 more" in out
    assert main([str(path), "--samples", "20"]) == 0
    assert len(capsys.readouterr().out.splitlines()[1].split()) == 41  # "winners:" + k

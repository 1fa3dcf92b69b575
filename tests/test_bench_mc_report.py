"""bench_mc.py's report from known timings: the ratios are medians of
per-round ratios, missing implementations show as dashes, and each goal
line says met or NOT met by its own threshold."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

from mc_bench import tables, targets  # noqa: E402
from mc_bench.timing import Impl, ratio  # noqa: E402


def impl(name, *times):
    out = Impl(name, run=None)
    out.times = list(times)
    return out


def cell(counts, floor, p2, **others):
    names = {"counts": counts, "floor": floor, "p2": p2, **others}
    return {name: impl(name, *times) for name, times in names.items()}


def test_ratios_pair_rounds_and_goals_follow_their_thresholds():
    # Round by round counts / floor is 1.2, 1.6, 1.4: the median of ratios is
    # 1.4, not the ratio of the medians (2.5e-6 / 2e-6 = 1.25).
    results = {(128, 3): cell((1.2e-6, 3.2e-6, 2.8e-6), (1e-6, 2e-6, 2e-6),
                              (1.2e-6, 3.2e-6, 2.8e-6), moocore=(48e-6, 96e-6, 84e-6)),
               (2048, 2): cell((3e-6,), (1e-6,), (6e-6,))}
    assert ratio(results[128, 3]["counts"], results[128, 3]["floor"]) == 1.4
    lines = "\n".join(targets.section(results, {}, (50.0, {"peak_mb": 60.0}, {
        (q, s): {"traced_peak_mb": 1.0} for q in (0, 1) for s in (100, 10000)})))
    assert "counts N=128, M=3 vs floor: **1.40×** (goal ≤ 1.5×: met)" in lines
    assert "counts N=128, M=3 vs moocore+NumPy: **30.0×** faster (goal ≥ 30×: met)" in lines
    assert "pymoo" not in lines  # not run: no line rather than a made-up one
    assert "counts N=2048, M=2 vs floor: **3.00×** (goal ≤ 2×: NOT met)" in lines
    assert "worst **2.00×** at N=2048, M=2 (goal ≤ 1.3×: NOT met everywhere; " \
        "met in 1/2 cells: 128×3)" in lines
    assert "**60.0 MB** (interpreter + NumPy alone: 50.0 MB) (goal < 100 MB: met)" in lines
    times = tables.times_section(results, [(128, 3)])[-1].splitlines()[-1]
    assert times == "| 128 | 3 | 2.80 | – | – | 2.80 | 2.00 | 84.0 | – | – |"


def test_numbers_keep_their_widths():
    assert [tables.fmt_us(x) for x in (None, 0.1234, 12.34, 123.4, 12345.6)] == \
        ["–", "0.12", "12.3", "123", "12,346"]
    assert [tables.fmt_x(x) for x in (0.5, 12.34, 1234.5)] == ["0.50×", "12.3×", "1,234×"]
    assert tables.fmt_x(31.25, 1) == "31.2×"

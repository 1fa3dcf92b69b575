"""The goals the report checks, one line each: met or NOT met."""

import statistics

from .memory import TM_SAMPLES
from .tables import fmt_x, p2_growth, verdict
from .timing import ratio


def _cell_ratio(results, n, m, a, b):
    return ratio(results[n, m].get(a), results[n, m].get(b))


def against_peers_and_floor(results):
    if (128, 3) not in results:
        return []
    lines = []
    for peer, label in (("moocore", "moocore+NumPy"), ("pymoo", "pymoo")):
        x = _cell_ratio(results, 128, 3, peer, "counts")
        if x is not None:
            lines.append(f"- counts N=128, M=3 vs {label}: **{fmt_x(x, 1)}** faster "
                         f"(goal ≥ 30×: {verdict(x >= 30)})")
    x = _cell_ratio(results, 128, 3, "counts", "floor")
    lines.append(f"- counts N=128, M=3 vs floor: **{fmt_x(x)}** "
                 f"(goal ≤ 1.5×: {verdict(x <= 1.5)}); mode_i=0: "
                 f"{fmt_x(_cell_ratio(results, 128, 3, 'counts_m0', 'floor'))}")
    return lines


def large_against_floor(results):
    return [f"- counts N=2048, M={m} vs floor: **{fmt_x(x)}** (goal ≤ 2×: "
            f"{verdict(x <= 2)}); mode_i=0: "
            f"{fmt_x(_cell_ratio(results, 2048, m, 'counts_m0', 'floor'))}"
            for m in (2, 5) if (2048, m) in results
            for x in [_cell_ratio(results, 2048, m, "counts", "floor")]]


def rating(rate_results):
    lines = []
    for m in (2, 3, 5):
        r = rate_results.get((2048, m))
        if r:
            x1 = ratio(r["pareto_rank"], r["rate_m1"])
            x0 = ratio(r["pareto_rank"], r["rate_m0"])
            lines.append(f"- rate_population vs moocore.pareto_rank, N=2048, M={m}: "
                         f"**{fmt_x(x1)}** (mode_i=1), **{fmt_x(x0)}** (mode_i=0) "
                         f"(goal > 1×: {verdict(min(x0, x1) > 1)})")
    return lines


def p2_against_counts(results):
    # The goal covers N >= 128 (below, fixed costs per sample dominate).
    p2 = {nm: ratio(r["p2"], r["counts"]) for nm, r in results.items() if nm[0] >= 128}
    if not p2:
        return []
    worst = max(p2, key=p2.get)
    at = p2.get((128, 3))
    met = sorted(nm for nm, v in p2.items() if v <= 1.3)
    return [f"- detailed P² vs counts, N ≥ 128: {fmt_x(at) if at else '–'} at N=128, M=3; "
            f"median over cells {fmt_x(statistics.median(p2.values()))}; worst "
            f"**{fmt_x(p2[worst])}** at N={worst[0]}, M={worst[1]} (goal ≤ 1.3×: "
            f"{verdict(p2[worst] <= 1.3)} everywhere; met in {len(met)}/{len(p2)} cells"
            + (": " + ", ".join(f"{n}×{m}" for n, m in met) if met else "") + ")"]


def memory(base, rss, tm):
    low, high = TM_SAMPLES
    return [f"- peak RSS, `mc_rank_counts` N=20000, M=3, one sample: **{rss['peak_mb']:.1f} MB** "
            f"(interpreter + NumPy alone: {base:.1f} MB) (goal < 100 MB: "
            f"{verdict(rss['peak_mb'] < 100)})",
            f"- detailed P² memory does not grow with n_samples (N=512): tracemalloc peak "
            f"{tm[1, low]['traced_peak_mb']:.2f} MB at 100 samples vs "
            f"{tm[1, high]['traced_peak_mb']:.2f} MB at 10000 "
            f"({verdict(p2_growth(tm) <= 1.05)}; exact mode: "
            f"{tm[0, low]['traced_peak_mb']:.2f} → {tm[0, high]['traced_peak_mb']:.2f} MB)"]


def section(results, rate_results, memory_results):
    lines = (against_peers_and_floor(results) + large_against_floor(results)
             + rating(rate_results) + p2_against_counts(results) + memory(*memory_results))
    return ["\n### Targets\n", "\n".join(lines)]

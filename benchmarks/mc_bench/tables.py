"""The report's tables, in markdown: number formats and one function a section."""

from .cells import LANE_BUILDS, lane_default
from .memory import TM_N, TM_SAMPLES
from .timing import med_us, ratio

PEERS = ("moocore", "pymoo", "numpy")


def _number(x, digits, suffix, commas_from):
    if x is None:
        return "–"
    if x >= commas_from:
        return f"{x:,.0f}{suffix}"
    if x >= 100:
        return f"{x:.0f}{suffix}"
    if x >= 10:
        return f"{x:.1f}{suffix}"
    return f"{x:.{digits}f}{suffix}"


def fmt_us(x):
    return _number(x, 2, "", 1000)


def fmt_x(x, digits=2):
    return _number(x, digits, "×", 100)


def table(header, rows, align=None):
    align = align or ["---:"] * len(header)
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def verdict(ok):
    return "met" if ok else "NOT met"


def times_section(results, cells):
    rows = [[str(n), str(m)] + [fmt_us(med_us(results[n, m].get(k))) for k in
            ("counts", "counts_m0", "exact", "p2", "floor", *PEERS)] for n, m in cells]
    return ["### Time per sample, µs (median of rounds)\n",
            "`counts` = `mc_rank_counts` (mode_i=1), `counts m0` = mode_i=0, `detailed exact` / "
            "`detailed P²` = `mc_rank_select_detailed` with quantiles_mode_i 0 / 1 (mode_i=1), "
            "`floor` = draws + one sort per objective (C++), peers do the mode_i=1 job; "
            "– = not run (NumPy batch: (S, N, N) batch over ~1 GB).\n",
            table(["N", "M", "counts", "counts m0", "detailed exact", "detailed P²", "floor",
                   "moocore+NumPy", "pymoo", "NumPy batch"], rows)]


def _ratio_row(r):
    c = r.get("counts")
    return ([fmt_x(ratio(r.get(k), c), 1) for k in PEERS]
            + [fmt_x(ratio(c, r.get("floor"))), fmt_x(ratio(r.get("counts_m0"), r.get("floor"))),
               fmt_x(ratio(r.get("p2"), c)), fmt_x(ratio(r.get("exact"), c))])


def ratios_section(results, cells):
    rows = [[str(n), str(m)] + _ratio_row(results[n, m]) for n, m in cells]
    return ["\n### Ratios (median of per-round ratios)\n",
            "Speed-up = peer time / `counts` time (higher is better); "
            "`/ floor` = kernel time / floor time; `P² / counts` and `exact / counts` = "
            "detailed kernel time / `counts` time (lower is better).\n",
            table(["N", "M", "vs moocore", "vs pymoo", "vs NumPy batch", "counts / floor",
                   "counts m0 / floor", "P² / counts", "exact / counts"], rows)]


def lanes_section(results, cells):
    def row(r):
        return ([fmt_x(ratio(r.get("p2_" + b), r.get("counts"))) for b in LANE_BUILDS]
                + [fmt_x(ratio(r.get("p2"), r.get("counts")))])
    return ["\n### P² / counts by the estimators' instruction set\n",
            f"The same `detailed P²` call with `KESTROVANE_P2_LANES` set (default = the widest "
            f"this processor runs: {lane_default()}); every build gives the same bits. "
            "Median of per-round ratios to `counts`.\n",
            table(["N", "M"] + [f"P² {b} / counts" for b in LANE_BUILDS] + ["P² default / counts"],
                  [[str(n), str(m)] + row(results[n, m]) for n, m in cells])]


def rate_section(rate_results, cells):
    rows = []
    for n, m in cells:
        r = rate_results[n, m]
        rows.append([str(n), str(m), fmt_us(med_us(r["rate_m0"])), fmt_us(med_us(r["rate_m1"])),
                     fmt_us(med_us(r["pareto_rank"])),
                     fmt_x(ratio(r["pareto_rank"], r["rate_m0"])),
                     fmt_x(ratio(r["pareto_rank"], r["rate_m1"]))])
    return ["\n### One population: `rate_population` vs `moocore.pareto_rank`, µs per call\n",
            "Fresh input every call (a pool of pre-drawn populations, cycled). "
            "`rate_population` returns fronts, crowding and the global order; "
            "`pareto_rank` only the fronts. Speed-up = pareto_rank time / rate_population time.\n",
            table(["N", "M", "rate_population m0", "rate_population m1", "pareto_rank",
                   "speed-up m0", "speed-up m1"], rows)]


def p2_growth(tm):
    return tm[1, TM_SAMPLES[1]]["traced_peak_mb"] / max(tm[1, TM_SAMPLES[0]]["traced_peak_mb"],
                                                         1e-9)


def memory_section(base, rss, tm):
    traced = [[f"`mc_rank_select_detailed` {'P²' if q else 'exact'} N={TM_N} M=3, {s} samples: "
               f"tracemalloc peak / RSS growth during the call",
               f"{tm[q, s]['traced_peak_mb']:.2f} MB / "
               f"{tm[q, s]['hwm_after_mb'] - tm[q, s]['hwm_before_mb']:.1f} MB"]
              for q in (1, 0) for s in TM_SAMPLES]
    return ["\n### Memory\n", table(
        ["check", "value"],
        [["interpreter + NumPy + kestrovane, peak RSS", f"{base:.1f} MB"],
         ["`mc_rank_counts` N=20000 M=3, 1 sample: peak RSS (VmHWM) of the process",
          f"{rss['peak_mb']:.1f} MB"],
         ["… of which after the inputs exist, before the call", f"{rss['before_mb']:.1f} MB"],
         ["… time of that call", f"{rss['seconds'] * 1e3:.0f} ms"],
         ["… peak virtual size (VmPeak; reserved, mostly never touched)",
          f"{rss['vm_peak_mb']:.0f} MB"],
         *traced,
         ["P² peak at 10000 samples / at 100 samples", f"{p2_growth(tm):.2f}×"]],
        align=[":---", "---:"])]

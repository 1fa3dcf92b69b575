"""Deliberate faults, one per branch of the numeric code: each must make a test fail.

For every fault the source tree is synchronised into build/mutate/tree, the
fault (an exact text replacement that must match once) is applied, the
extensions (or the C++ tests) are rebuilt incrementally there and the tests
that cover the branch run against that build.  Prints a table; exits 1 if a
fault survived, did not apply or did not build, 2 if the unmutated tree
fails its own tests.

    python tools/mutate.py [--list] [--only NAME ...]
"""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, replace
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCRATCH = ROOT / "build" / "mutate"
TREE = SCRATCH / "tree"
SITE = SCRATCH / "site"
PY_BUILD = SCRATCH / "build-py"
CPP_BUILD = SCRATCH / "build-cpp"
COPIED = ("CMakeLists.txt", "cmake", "src", "tests", "README.md", "docs")  # docs: tests read them
TIMEOUT = 600  # seconds for one test run: a fault may make a loop endless

RATING = ["test_rating.py", "test_rating_branches.py"]
LOOP = ["test_counting.py", "test_selection.py", "test_detailed.py"]
DETAILED = ["test_detailed.py"]
THREADS = ["test_public_threads.py"]
CTEST = "ctest"  # stands for the C++ tests of the numeric headers

PARETO = "src/kestrovane/pareto_core/"
KERNELS = "src/kestrovane/selection_core/kernels/"
P2 = "src/kestrovane/selection_core/quantiles/p2_quantile.hpp"
P2_LANES = "src/kestrovane/selection_core/quantiles/p2_lanes.hpp"
P2_WIDE = "src/kestrovane/selection_core/quantiles/p2_lanes_avx512.hpp"
P2_AVX2 = "src/kestrovane/selection_core/quantiles/p2_lanes_avx2.hpp"
RANDOM = "src/kestrovane/selection_core/random/xoshiro256ss.hpp"
TIE_SHUFFLE = "src/kestrovane/selection_core/random/tie_shuffle.hpp"
TIES = ["test_public_ties.py"]
ENGINE_ARGUMENTS = "src/kestrovane/_api/engine_arguments.hpp"
ARGUMENTS = ["test_engine_arguments.py", "test_declared_bounds.py"]


@dataclass(frozen=True)
class Fault:
    name: str
    path: str
    search: str
    replace: str
    tests: tuple[str, ...]


FAULTS = [
    # Front search.
    Fault("one objective: ties split fronts", PARETO + "nondominated_sort.hpp",
          "pts.v[order[j - 1]] < pts.v[order[j]]) ++f;",
          "pts.v[order[j - 1]] <= pts.v[order[j]]) ++f;", tuple(RATING)),
    Fault("two objectives: equal second value not dominated", PARETO + "nondominated_sort.hpp",
          "if (n_fronts > 0 && *base <= p1) ++f;",
          "if (n_fronts > 0 && *base < p1) ++f;", tuple(RATING)),
    Fault("bit sets: runs of equal values split", PARETO + "nondominated_sort.hpp",
          ": pts.row(ord[end])[k] == v));", ": pts.row(ord[end])[k] < v));", tuple(RATING)),
    Fault("bit sets: runs of equal ranks split", PARETO + "nondominated_sort.hpp",
          "ranks ? ranks[k * n + ord[end]] == j :", "ranks ? ranks[k * n + ord[end]] < j :",
          tuple(RATING)),
    Fault("bit sets, whole rows: last word dropped", PARETO + "nondominated_sort.hpp",
          "stride <= kWholeRowWords ? stride :", "stride <= kWholeRowWords ? stride - 1 :",
          tuple(RATING)),
    Fault("bit sets, cut rows: last partial word dropped", PARETO + "nondominated_sort.hpp",
          "? stride : (P + 63) >> 6;", "? stride : P >> 6;", tuple(RATING)),
    Fault("bit sets: search skips the partial word", PARETO + "nondominated_sort.hpp",
          "const std::int64_t w = (P + 63) >> 6;\n", "const std::int64_t w = P >> 6;\n",
          tuple(RATING)),
    Fault("bit sets: copies searched like other points", PARETO + "nondominated_sort.hpp",
          "if (P > 0 && std::equal(rp, rp + m, pts.row(sorted[P - 1]))) {", "if (false) {",
          tuple(RATING)),
    Fault("staircases: everyone in one front", PARETO + "rating.hpp",
          "n_fronts = fronts_3d(pts, w.lex_order, a.front_id, w.stair_start, w.stair_size,\n"
          "                                 w.stair_cap, w.stair_pool);",
          "std::fill(a.front_id, a.front_id + n, 0);\n            n_fronts = 1;", tuple(RATING)),
    Fault("staircases: long ones miss equal values", PARETO + "nondominated_sort.hpp",
          "std::upper_bound(a, a + size[f], p1)", "std::lower_bound(a, a + size[f], p1)",
          tuple(RATING)),
    Fault("staircases: short ones miss equal values", PARETO + "nondominated_sort.hpp",
          "c += a[t] <= p1;", "c += a[t] < p1;", tuple(RATING)),
    Fault("staircases: growth loses the tail", PARETO + "nondominated_sort.hpp",
          "std::copy(a + k, a + s, na + i + 1);\n            std::copy(b + k, b + s, nb + i + 1);\n",
          "", tuple(RATING)),
    Fault("staircases: last step kept though dominated", PARETO + "nondominated_sort.hpp",
          "while (k < s && b[k] >= p2) ++k;", "while (k + 1 < s && b[k] >= p2) ++k;",
          tuple(RATING)),
    # Objective orders and radix sorts.
    Fault("objective order below the radix size: index ties reversed",
          PARETO + "objective_orders.hpp",
          "a.val < b.val || (a.val == b.val && a.idx < b.idx)",
          "a.val < b.val || (a.val == b.val && a.idx > b.idx)", tuple(RATING)),
    Fault("min ranks: ties ranked one by one", PARETO + "objective_orders.hpp",
          "if (j > 0 && pts.row(order[j - 1])[k] < pts.row(order[j])[k])",
          "if (j > 0 && pts.row(order[j - 1])[k] <= pts.row(order[j])[k])", tuple(RATING)),
    Fault("lexicographic order: ties in objective 0 left unsorted", PARETO + "objective_orders.hpp",
          "if (end - begin > 1) std::sort(sorted + begin, sorted + end, rest_less);", "",
          tuple(RATING)),
    Fault("radix: keys equal in the top bits left unrefined", PARETO + "radix_order.hpp",
          "if (shift == 0) return;", "return;", tuple(RATING)),
    Fault("radix: all-equal keys reversed", PARETO + "radix_order.hpp",
          "for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::int32_t>(i);",
          "for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::int32_t>(n - 1 - i);",
          tuple(RATING)),
    # Crowding and the global order.
    Fault("crowding: fronts of three scored as extremes only", PARETO + "crowding.hpp",
          "if (offsets[f + 1] - offsets[f] > 2) {", "if (offsets[f + 1] - offsets[f] > 3) {",
          tuple(RATING)),
    Fault("crowding: overflowing span not halved", PARETO + "crowding.hpp",
          "range = hi * 0.5 - lo * 0.5;", "range = hi - lo;", tuple(RATING)),
    Fault("crowding: equal extremes not skipped", PARETO + "crowding.hpp",
          "if (!(std::isfinite(lo) && std::isfinite(hi)) || lo == hi) return;",
          "if (!(std::isfinite(lo) && std::isfinite(hi))) return;", tuple(RATING)),
    Fault("global order below the radix size: index ties reversed", PARETO + "crowding.hpp",
          "(a.neg_score == b.neg_score && a.idx < b.idx)",
          "(a.neg_score == b.neg_score && a.idx > b.idx)", tuple(RATING)),
    Fault("global order by radix: fronts not kept stable", PARETO + "crowding.hpp",
          "const std::int64_t i = items[pos[j]];", "const std::int64_t i = items[pos[n - 1 - j]];",
          tuple(RATING)),
    # Sampling loop and kernels.
    Fault("sampling loop: zero deviation still draws", KERNELS + "numeric/sampling_loop.hpp",
          "X[c] = sd == 0.0 ? mu[c] : mu[c] + sd * _xoshiro_randn(rng);",
          "X[c] = mu[c] + sd * _xoshiro_randn(rng);", tuple(LOOP)),
    Fault("sampling loop: one loser too few", KERNELS + "numeric/sampling_loop.hpp",
          "if (pos >= lose_from)", "if (pos > lose_from)", tuple(LOOP)),
    Fault("sampling loop: places counted from 1", KERNELS + "numeric/sampling_loop.hpp",
          "counts.rank_sum[idx] += pos;", "counts.rank_sum[idx] += pos + 1;", tuple(LOOP)),
    Fault("sampling loop: order entry N let through", KERNELS + "numeric/sampling_loop.hpp",
          "if (static_cast<std::uint64_t>(entry) >= static_cast<std::uint64_t>(n))",
          "if (static_cast<std::uint64_t>(entry) > static_cast<std::uint64_t>(n))",
          ("test_rating_contract.py",)),
    Fault("selection: losers' rank-sum tie-break inverted", KERNELS + "selection_kernel.hpp",
          "lexsort3(idx, neg_rank.get(), neg_lose.get())",
          "lexsort3(idx, rank_sum, neg_lose.get())", tuple(LOOP)),
    Fault("low-level: last value of every copy into np's arrays dropped", KERNELS + "numpy_calls.hpp",
          "std::copy(from, from + d0 * (d1 < 0 ? 1 : d1), to);",
          "std::copy(from, from + d0 * (d1 < 0 ? 1 : d1) - 1, to);", tuple(LOOP)),
    Fault("low-level: stored observations not copied for np.median", KERNELS + "accumulator_arrays.hpp",
          "if (!buf[m].fill(engine.view.buf[m])) return false;", "",
          tuple(DETAILED)),
    Fault("low-level: quality from the place means only", KERNELS + "detailed_result.hpp",
          "quality_scores(raw.mean[0], raw.mean[1], raw.mean[2],",
          "quality_scores(raw.mean[0], raw.mean[0], raw.mean[0],", tuple(DETAILED)),
    # Accumulators.
    Fault("accumulators: Welford update uses the old mean twice", KERNELS + "numeric/metric_accumulators.hpp",
          "M2[t] = M2[t] + delta * (x[t] - mean[t]);",
          "M2[t] = M2[t] + delta * delta;", (CTEST, *DETAILED)),
    Fault("accumulators: budget reached counts as exceeded", KERNELS + "numeric/metric_accumulators.hpp",
          "(budget <= 0 || stored > budget)", "(budget <= 0 || stored >= budget)",
          tuple(DETAILED)),
    Fault("accumulators: P² started from unsorted samples", KERNELS + "numeric/metric_accumulators.hpp",
          "                _sort5(tmp);\n", "", (CTEST, *DETAILED)),
    Fault("accumulators: sample standard deviation", KERNELS + "numeric/metric_accumulators.hpp",
          "out[i] = std::sqrt(M2[i] / count);", "out[i] = std::sqrt(M2[i] / (count - 1.0));",
          tuple(DETAILED)),
    Fault("accumulators: P² markers 2 and 3 tested before marker 1 moves", KERNELS + "numeric/metric_accumulators.hpp",
          "        move<Lanes, 1>(base, moving, size, desired, count);\n"
          "        test_and_move<Lanes, 2>(base, blocks, apart, moving, size, desired, count);\n",
          "        test_and_move<Lanes, 2>(base, blocks, apart, moving, size, desired, count);\n"
          "        move<Lanes, 1>(base, moving, size, desired, count);\n", (CTEST, *DETAILED)),
    Fault("accumulators: P² lanes of the last block of a chunk skipped", KERNELS + "numeric/metric_accumulators.hpp",
          "blocks = (len + kP2Lanes - 1) / kP2Lanes;", "blocks = len / kP2Lanes;",
          (CTEST, *DETAILED)),
    Fault("accumulators: front estimators not restored when the streams part", KERNELS + "numeric/metric_accumulators.hpp",
          "apart = ((1u << kQuantiles) - 1) << kFrontSets;\n            else\n",
          "apart = ((1u << kQuantiles) - 1) << kFrontSets;\n            if (false)\n", (CTEST, *DETAILED)),
    Fault("accumulators: mirror kept while one lane's front differs", KERNELS + "numeric/metric_accumulators.hpp",
          "for (int l = 0; l < kP2Lanes; ++l) same &= a[l] == b[l];",
          "for (int l = 0; l < 1; ++l) same &= a[l] == b[l];", (CTEST,)),
    Fault("accumulators: front mirrors place whatever the first observations", KERNELS + "numeric/metric_accumulators.hpp",
          "if (std::memcmp(front, block, kMetricDoubles * sizeof(double)) == 0)", "if (true)",
          (CTEST, *DETAILED)),
    # P²: the reference (C++ tests), then the side-by-side form the kernel runs.
    Fault("P²: marker moves only past a full step", P2,
          "const bool up = d >= 1.0 &&", "const bool up = d > 1.0 &&", (CTEST, *DETAILED)),
    Fault("P²: parabola accepted on a neighbour's height", P2,
          "if (!(q[i - 1] < qhat && qhat < q[i + 1])) {",
          "if (!(q[i - 1] <= qhat && qhat <= q[i + 1])) {", (CTEST, *DETAILED)),
    Fault("P²: equal values counted in the cell below", P2,
          "while (k < 3 && !(x < q[k + 1])) ++k;", "while (k < 3 && x > q[k + 1]) ++k;",
          (CTEST, *DETAILED)),
    Fault("P² lanes: equal values counted in the cell below", P2_LANES,
          "const M up2 = up1 | (inner & (xl < load<V>(at + p2_q(2))));",
          "const M up2 = up1 | (inner & (xl <= load<V>(at + p2_q(2))));", (CTEST, *DETAILED)),
    Fault("P² lanes: the maximum not replaced", P2_LANES,
          "store(at + p2_q(4), select(top, xl, q4));", "store(at + p2_q(4), q4);",
          (CTEST, *DETAILED)),
    Fault("P² lanes: the minimum not replaced", P2_LANES,
          "select(below, xl, q0)", "q0", (CTEST, *DETAILED)),
    Fault("P² lanes: marker 1 moves only past a full step", P2_LANES,
          "((d >= one) & (n2 - n1 > one))", "((d > one) & (n2 - n1 > one))", (CTEST, *DETAILED)),
    Fault("P² lanes: markers 2 and 3 move down only past a full step", P2_LANES,
          "((d <= -one) & (below - here < -one))", "((d < -one) & (below - here < -one))",
          (CTEST, *DETAILED)),
    Fault("P² lanes: top marker's gap from a stale count", P2_LANES,
          "const V above = I == 3 ? splat<V>(n) : load<V>(at + p2_n(I + 1));",
          "const V above = I == 3 ? splat<V>(n - 1.0) : load<V>(at + p2_n(I + 1));",
          (CTEST, *DETAILED)),
    Fault("P² lanes: parabola accepted on a neighbour's height", P2_LANES,
          "const M inside = Duo{qm, qhat} < Duo{qhat, qp};",
          "const M inside = Duo{qm, qhat} <= Duo{qhat, qp};", (CTEST, *DETAILED)),
    Fault("P² lanes: linear step towards the wrong neighbour", P2_LANES,
          "select(up, Duo{qp, np}, Duo{qm, nm})", "select(up, Duo{qm, nm}, Duo{qp, np})",
          (CTEST, *DETAILED)),
    Fault("P² lanes: desired position of marker 3 a step behind", P2_LANES,
          "case 3: eighths = 24 + 2 * p8 + u * (4 + p8 / 2); break;",
          "case 3: eighths = 24 + 2 * p8 + (u - 1) * (4 + p8 / 2); break;", (CTEST, *DETAILED)),
    Fault("P² lanes: -0.0 heights taken as flat", P2_LANES,
          "flat &= (xl - xl == V{}) & (bits_x != minus_zero);", "flat &= (xl - xl == V{});",
          (CTEST,)),
    Fault("P² lanes: infinite heights taken as flat", P2_LANES,
          "flat &= (xl - xl == V{}) & (bits_x != minus_zero);", "flat &= (bits_x != minus_zero);",
          (CTEST,)),
    Fault("P² lanes: a flat set's marker moves only past a full step", P2_LANES,
          "const DuoMask up = (d >= one) & (pos[i + 1] - pos[i] > one);",
          "const DuoMask up = (d > one) & (pos[i + 1] - pos[i] > one);", (CTEST, *DETAILED)),
    # The same lanes with AVX-512 (the tests take both paths where it runs).
    Fault("P² wide lanes: equal values counted in the cell below", P2_WIDE,
          "xl, row(set + p2_q(2)), _CMP_LT_OQ)", "xl, row(set + p2_q(2)), _CMP_LE_OQ)",
          (CTEST, *DETAILED)),
    Fault("P² wide lanes: the maximum not replaced", P2_WIDE,
          "_mm512_mask_storeu_pd(set + p2_q(4), top, xl);", "", (CTEST, *DETAILED)),
    Fault("P² wide lanes: markers move down only past a full step", P2_WIDE,
          "_mm512_cmp_pd_mask(d, minus_one, _CMP_LE_OQ)",
          "_mm512_cmp_pd_mask(d, minus_one, _CMP_LT_OQ)", (CTEST, *DETAILED)),
    Fault("P² wide lanes: -0.0 heights taken as flat", P2_WIDE,
          "ok &= _mm512_cmpneq_epi64_mask(bits_x, _mm512_castpd_si512(splat(-0.0)));", "",
          (CTEST,)),
    Fault("P² wide lists: the last mover left out", P2_WIDE,
          "*size += __builtin_popcount(mask);", "*size += __builtin_popcount(mask & (mask - 1));",
          (CTEST, *DETAILED)),
    Fault("P² wide moves: a list's ragged tail loses a lane", P2_WIDE,
          "(1u << left) - 1u", "(1u << (left - 1)) - 1u", (CTEST, *DETAILED)),
    Fault("P² wide moves: every move goes the wrong way", P2_WIDE,
          "_mm512_mask_blend_pd(up, minus_one, one)", "_mm512_mask_blend_pd(up, one, minus_one)",
          (CTEST, *DETAILED)),
    Fault("P² wide moves: the linear step never taken", P2_WIDE,
          "if (linear) {", "if (false) {", (CTEST, *DETAILED)),
    # The predictions both wide builds take from p2_lanes.hpp.
    Fault("P² wide moves: the parabola's lower term leans the wrong way", P2_LANES,
          "const V b = (np - ni - dd) * (qi - qm) / (ni - nm);",
          "const V b = (np - ni + dd) * (qi - qm) / (ni - nm);", (CTEST, *DETAILED)),
    Fault("P² wide moves: a linear step down goes up", P2_LANES,
          "qhat = qi + (q_next - qi) * dd / (n_next - ni);",
          "qhat = qi + (q_next - qi) / (n_next - ni);", (CTEST, *DETAILED)),
    # And with AVX2, which only the C++ tests reach on a processor with AVX-512.
    Fault("P² AVX2 lanes: equal values counted in the cell below", P2_AVX2,
          "lt(xl, row(at + p2_q(2)))", "_mm256_cmp_pd(xl, row(at + p2_q(2)), _CMP_LE_OQ)",
          (CTEST,)),
    Fault("P² AVX2 lanes: the second half of a set not tested", P2_AVX2,
          "mask |= bits(moves(want, one, n1, n2)) << l;",
          "mask |= l ? 0u : bits(moves(want, one, n1, n2));", (CTEST,)),
    Fault("P² AVX2 lanes: infinite heights taken as flat", P2_AVX2,
          "_mm256_sub_pd(xl, xl), _mm256_setzero_pd(), _CMP_EQ_OQ)",
          "xl, xl, _CMP_EQ_OQ)", (CTEST,)),
    Fault("P² AVX2 moves: a list's last lanes not stored", P2_AVX2,
          "for (std::int32_t k = 0; k < count; ++k) {", "for (std::int32_t k = 0; k + 1 < count; ++k) {",
          (CTEST,)),
    Fault("P² AVX2 moves: the linear step towards the wrong neighbour", P2_AVX2,
          "_mm256_blendv_pd(qm, qp, up)", "_mm256_blendv_pd(qp, qm, up)", (CTEST,)),
    Fault("generator: rotation puts the wrapped bits one place off", RANDOM,
          "return (x << k) | (x >> (64 - k));", "return (x << k) | (x >> (63 - k));", (CTEST,)),
    Fault("generator: spare normal repeats the cosine half", RANDOM,
          "rng->spare = r * s;", "rng->spare = r * c;", (CTEST,)),
    # One call over several threads.
    Fault("threads: a skip of normals takes one raw step per pair", RANDOM,
          "step < count / 2 * 2; ++step", "step < count / 2; ++step", (CTEST, *THREADS)),
    Fault("threads: the last thread's counts are not summed", KERNELS + "threaded_calls.hpp",
          "    for (int t = 0; t < threads; ++t) {\n        const Counts c",
          "    for (int t = 0; t + 1 < threads; ++t) {\n        const Counts c", tuple(THREADS)),
    Fault("threads: P² started for the first chunk only", KERNELS + "numeric/detailed_observers.hpp",
          "acc.init_p2_range(members.begin, members.end)",
          "acc.init_p2_range(members.begin, std::min(members.end, members.begin + kChunk))",
          (*DETAILED, *THREADS)),
    # The public engine's own statistics (same bits as the low-level module).
    Fault("engine: winners' rank-sum tie-break inverted", KERNELS + "numeric/member_order.hpp",
          "first_by_count(win_count, rank_sum, true, n, k, rows);",
          "first_by_count(win_count, rank_sum, false, n, k, rows);", (*THREADS, *TIES)),
    Fault("engine: equal counts and rank sums by the higher row", KERNELS + "numeric/member_order.hpp",
          "        return a < b;", "        return a > b;", (*THREADS, *TIES)),
    Fault("engine: k rounded down", KERNELS + "numeric/owned_population.hpp",
          "std::ceil(static_cast<double>(n) * percentile)",
          "std::floor(static_cast<double>(n) * percentile)", tuple(THREADS)),
    Fault("engine: quantile interpolated from the upper side at g < 0.5 too", KERNELS + "numeric/exact_quantiles.hpp",
          "return g >= 0.5 ? b - diff * (1.0 - g) : a + diff * g;",
          "return g >= 0.0 ? b - diff * (1.0 - g) : a + diff * g;",
          ("test_engine_quartiles.py", *THREADS)),
    Fault("engine: even median from the lower middle value twice", KERNELS + "numeric/exact_quantiles.hpp",
          "const double b = *std::min_element(v + half, v + count);",
          "const double b = a;", ("test_engine_quartiles.py", *THREADS)),
    Fault("engine: median's sum not started from +0", KERNELS + "numeric/exact_quantiles.hpp",
          "return ((0.0 + a) + b) / 2.0;", "return (a + b) / 2.0;", ("test_engine_quartiles.py",)),
    Fault("engine: columns gathered one short", KERNELS + "numeric/exact_quantiles.hpp",
          "const std::int64_t width = std::min(kGathered, n - i0);",
          "const std::int64_t width = std::min(kGathered - 1, n - i0);",
          ("test_engine_quartiles.py", *THREADS)),
    Fault("engine: a column with NaN interpolated", KERNELS + "numeric/exact_quantiles.hpp",
          "if (std::any_of(column, column + rows, [](double x) { return std::isnan(x); })) {",
          "if (false) {", ("test_engine_quartiles.py",)),
    # The random tie order of the public layer.
    Fault("ties: counted by rating row, not by member", KERNELS + "numeric/sampling_loop.hpp",
          "const std::int32_t idx = ties.member_of(row);", "const std::int32_t idx = row;",
          tuple(TIES)),
    Fault("ties: observations recorded by rating row", KERNELS + "numeric/detailed_observers.hpp",
          "const std::int64_t cell = rows.at(s, idx);", "const std::int64_t cell = rows.at(s, row);",
          tuple(TIES)),
    Fault("ties: biased shuffle (cyclic permutations only)", TIE_SHUFFLE,
          "tie_bounded(&state, static_cast<std::uint32_t>(i) + 1)",
          "tie_bounded(&state, static_cast<std::uint32_t>(i))", (CTEST, *TIES)),
    # The engine's arguments, read against their declared bounds.
    Fault("engine arguments: the lower bound of a signed integer excluded", ENGINE_ARGUMENTS,
          "return v >= b.low && (v < 0 || static_cast<std::uint64_t>(v) <= b.high);",
          "return v > b.low && (v < 0 || static_cast<std::uint64_t>(v) <= b.high);",
          tuple(ARGUMENTS)),
    # (An unsigned argument's upper bound is the type's own, so dropping it is no fault.)
    Fault("engine arguments: the upper bound of a signed integer excluded", ENGINE_ARGUMENTS,
          "return v >= b.low && (v < 0 || static_cast<std::uint64_t>(v) <= b.high);",
          "return v >= b.low && (v < 0 || static_cast<std::uint64_t>(v) < b.high);",
          tuple(ARGUMENTS)),
    Fault("engine arguments: an open lower end of a real taken", ENGINE_ARGUMENTS,
          "const bool above = b.low_open ? x > b.low : x >= b.low;",
          "const bool above = x >= b.low;", tuple(ARGUMENTS)),
    Fault("engine arguments: a later argument read after a failed one", ENGINE_ARGUMENTS,
          "    double real(const RealBound& b) {\n        if (!ok_) return 0.0;",
          "    double real(const RealBound& b) {", tuple(ARGUMENTS)),
    Fault("engine arguments: a bound exported open at the wrong end", ENGINE_ARGUMENTS,
          "kPercentile.low_open ? Py_True : Py_False,\n                                                  kPercentile.high_open",
          "kPercentile.high_open ? Py_True : Py_False,\n                                                  kPercentile.low_open",
          tuple(ARGUMENTS)),
]


def run(cmd: list[str], cwd: Path, env: dict[str, str] | None = None,
        timeout: float | None = None) -> tuple[int, str]:
    """Exit status (-1 on timeout) and combined output; the whole process
    group is ended on timeout, so spawned workers go too."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return -1, out
    return proc.returncode, out


def source_files(top: Path) -> set[Path]:
    """The files of COPIED below `top`, relative to it."""
    found = set()
    for name in COPIED:
        base = top / name
        for path in [base] if base.is_file() else base.rglob("*"):
            rel = path.relative_to(top)
            if path.is_file() and not {"__pycache__", ".hypothesis"} & set(rel.parts) \
                    and path.suffix not in (".so", ".pyc"):
                found.add(rel)
    return found


def sync_tree() -> None:
    """Makes TREE a copy of the sources.  Only files whose content differs
    are written, with a fresh time stamp, so the builds stay incremental and
    never keep objects of an earlier fault."""
    wanted = source_files(ROOT)
    for rel in source_files(TREE) - wanted:
        (TREE / rel).unlink()
    for rel in wanted:
        data = (ROOT / rel).read_bytes()
        dst = TREE / rel
        if not dst.exists() or dst.read_bytes() != data:
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.write_bytes(data)


def apply(fault: Fault) -> bool:
    """Applies the fault to TREE; False if its text is not found exactly once."""
    target = TREE / fault.path
    text = target.read_text()
    if text.count(fault.search) != 1:
        return False
    target.write_text(text.replace(fault.search, fault.replace))
    return True


def build(python: str) -> tuple[bool, str]:
    """Rebuilds the extensions into SITE and the C++ tests."""
    steps = [
        ["cmake", "-S", str(TREE), "-B", str(PY_BUILD), "-DCMAKE_BUILD_TYPE=Release",
         f"-DPython_EXECUTABLE={python}"],
        ["cmake", "--build", str(PY_BUILD), "-j", "2"],
        ["cmake", "--install", str(PY_BUILD), "--prefix", str(SITE)],
        ["cmake", "-S", str(TREE / "tests" / "cpp"), "-B", str(CPP_BUILD),
         "-DCMAKE_BUILD_TYPE=Release"],
        ["cmake", "--build", str(CPP_BUILD), "-j", "2"],
    ]
    for cmd in steps:
        code, out = run(cmd, ROOT)
        if code != 0:
            return False, out
    # The Python half of the package beside the freshly built extensions.
    package = TREE / "src" / "kestrovane"
    for path in package.rglob("*"):
        if path.is_file() and path.suffix not in (".cpp", ".hpp") and "__pycache__" not in path.parts:
            dst = SITE / "kestrovane" / path.relative_to(package)
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, dst)
    return True, ""


def run_tests(python: str, tests: tuple[str, ...]) -> tuple[bool, str]:
    """(True, output) if every selected test passed, else (False, what failed)."""
    env = dict(os.environ, PYTHONPATH=str(SITE), PYTHONDONTWRITEBYTECODE="1")
    outputs = []
    if CTEST in tests:
        code, out = run(["ctest", "--test-dir", str(CPP_BUILD), "--output-on-failure"], ROOT,
                        timeout=TIMEOUT)
        if code != 0:
            failed = [line.split()[2] for line in out.splitlines() if line.endswith("(Failed)")]
            return False, "timeout" if code < 0 else " ".join(failed) or "ctest"
        outputs.append(out)
    files = [t for t in tests if t != CTEST]
    if files:
        code, out = run([python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *files],
                        TREE / "tests", env=env, timeout=TIMEOUT)
        if code != 0:
            failed = [line.split()[1] for line in out.splitlines()
                      if line.startswith(("FAILED ", "ERROR "))]
            return False, "timeout" if code < 0 else " ".join(failed) or f"pytest exit {code}"
        outputs.append(out)
    return True, "".join(outputs)


def check_site(python: str) -> None:
    """The tests must import the scratch build, not an installed package."""
    env = dict(os.environ, PYTHONPATH=str(SITE))
    code, out = run([python, "-c", "import kestrovane.pareto_core._pareto_rating_cy as a, "
                     "kestrovane.selection_core._mc_rank as b; print(a.__file__, b.__file__)"],
                    ROOT, env=env)
    if code != 0 or out.count(str(SITE)) != 2:
        sys.exit(f"the scratch build is not the one imported:\n{out}")


def main() -> int:
    parser = argparse.ArgumentParser(description="Deliberate faults that the tests must catch.")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    parser.add_argument("--only", nargs="*", default=None, help="faults whose name contains TEXT")
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter with NumPy, pytest and hypothesis")
    parser.add_argument("--tests", nargs="+", default=None,
                        help="run these test files (or 'ctest') for every fault instead")
    args = parser.parse_args()
    faults = [f for f in FAULTS
              if args.only is None or any(o in f.name for o in args.only)]
    if args.tests:
        faults = [replace(f, tests=tuple(args.tests)) for f in faults]
    if args.list:
        for f in faults:
            print(f"{f.name:58} {f.path}")
        return 0

    sync_tree()
    ok, out = build(args.python)
    if not ok:
        print(out)
        print("the unmutated tree does not build")
        return 2
    check_site(args.python)
    selected = tuple(sorted({t for f in faults for t in f.tests}))
    ok, out = run_tests(args.python, selected)
    if not ok:
        print(out)
        print("the unmutated tree fails its tests")
        return 2

    rows: list[tuple[str, str, str]] = []
    for fault in faults:
        start = time.monotonic()
        caught_by = ""
        sync_tree()
        if not apply(fault):
            verdict = "NOT APPLIED"
        else:
            built, out = build(args.python)
            if not built:
                verdict = "BUILD FAILED"
                print(out[-3000:])
            else:
                passed, out = run_tests(args.python, fault.tests)
                verdict = "SURVIVED" if passed else "killed"
                caught_by = "" if passed else out
        rows.append((fault.name, verdict, caught_by))
        print(f"{verdict:12} {time.monotonic() - start:6.1f} s  {fault.name}", flush=True)
    sync_tree()  # leave the scratch tree as the sources are

    width = max(len(r[0]) for r in rows)
    print(f"\n{'fault':{width}}  {'result':11}  first failing test")
    for name, verdict, caught_by in rows:
        print(f"{name:{width}}  {verdict:11}  {caught_by}")
    bad = [r for r in rows if r[1] != "killed"]
    print(f"\n{len(rows) - len(bad)} of {len(rows)} faults killed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

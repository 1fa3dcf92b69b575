"""Pure-Python reference of mc_rank_select_detailed for a non-empty population.

Sampling and rating come from reference_loop (its generator and the real
rating module); everything downstream of the rating - place / front /
within-front rank per position, Welford moments, exact buffers, the P²
estimators, the mode choice and the result assembly - is re-done here with
plain Python floats (IEEE doubles, the same operations in the same order as
the kernel is meant to use), so its output can be compared bit for bit.
"""

import math

import numpy as np

from reference_loop import iter_samples, winners_per_sample

METRICS = ("place", "front", "within")
QUANTILE_P = (0.25, 0.5, 0.75)
WARMUP = 5  # samples buffered before the estimators start


# ---------------------------------------------------------------- P² pieces
def _sort5(a):
    """Straight insertion sort of a[0..4] in place; equal values keep order."""
    for i in range(1, 5):
        key = a[i]
        j = i - 1
        while j >= 0 and a[j] > key:
            a[j + 1] = a[j]
            j -= 1
        a[j + 1] = key


def _p2_init(q, npos, ndes, p, s0, s1, s2, s3, s4):
    q[:] = [s0, s1, s2, s3, s4]
    npos[:] = [1, 2, 3, 4, 5]
    ndes[:] = [1.0, 1.0 + 2.0 * p, 1.0 + 4.0 * p, 3.0 + 2.0 * p, 5.0]


def _p2_update(q, npos, ndes, p, x):
    if x < q[0]:
        q[0] = x
        k = 0
    elif x >= q[4]:
        q[4] = x
        k = 3
    else:
        k = next(i for i in range(4) if q[i] <= x < q[i + 1])
    for j in range(k + 1, 5):
        npos[j] += 1
    ndes[1] += p * 0.5
    ndes[2] += p
    ndes[3] += (1.0 + p) * 0.5
    ndes[4] += 1.0
    for i in (1, 2, 3):
        d = ndes[i] - float(npos[i])
        if d >= 1.0 and npos[i + 1] - npos[i] > 1:
            di = 1
        elif d <= -1.0 and npos[i - 1] - npos[i] < -1:
            di = -1
        else:
            continue
        nm, ni, nn, dd = float(npos[i - 1]), float(npos[i]), float(npos[i + 1]), float(di)
        a = ((ni - nm + dd) * (q[i + 1] - q[i])) / (nn - ni)
        b = ((nn - ni - dd) * (q[i] - q[i - 1])) / (ni - nm)
        f = dd / (nn - nm)
        qhat = q[i] + f * (a + b)
        if not (q[i - 1] < qhat < q[i + 1]):
            qhat = q[i] + ((q[i + di] - q[i]) * dd) / float(npos[i + di] - npos[i])
        q[i] = qhat
        npos[i] += di


# ------------------------------------------------------------- accumulators
def choose_mode(quantiles_mode_i, n_samples, n, budget):
    """(use_p2, s_init) from the mode table."""
    if quantiles_mode_i == 0:
        use_p2 = False
    elif quantiles_mode_i == 1:
        use_p2 = n_samples >= WARMUP
    else:
        use_p2 = n_samples >= WARMUP and (budget <= 0 or n * n_samples > budget)
    return use_p2, (WARMUP if use_p2 else n_samples)


class Accumulators:
    def __init__(self, n, n_samples, quantiles_mode_i, budget):
        self.n = n
        self.use_p2, self.s_init = choose_mode(quantiles_mode_i, n_samples, n, budget)
        self.mean = {m: [0.0] * n for m in METRICS}
        self.M2 = {m: [0.0] * n for m in METRICS}
        self.buf = {m: [[None] * n for _ in range(self.s_init)] for m in METRICS}
        # p2[metric][j][i] = (q, npos, ndes) of individual i for QUANTILE_P[j]
        self.p2 = {m: [[([0.0] * 5, [0] * 5, [0.0] * 5) for _ in range(n)] for _ in QUANTILE_P]
                   for m in METRICS} if self.use_p2 else None

    def record(self, idx, s, n_d, xs):
        for m, x in zip(METRICS, xs):
            mean, M2 = self.mean[m], self.M2[m]
            delta = x - mean[idx]
            mean[idx] = mean[idx] + delta / n_d
            M2[idx] = M2[idx] + delta * (x - mean[idx])
        if s < self.s_init:
            for m, x in zip(METRICS, xs):
                self.buf[m][s][idx] = x
        elif self.use_p2:
            for m, x in zip(METRICS, xs):
                for j, p in enumerate(QUANTILE_P):
                    _p2_update(*self.p2[m][j][idx], p, x)

    def init_p2(self):
        for i in range(self.n):
            for m in METRICS:
                tmp = [self.buf[m][s][i] for s in range(WARMUP)]
                _sort5(tmp)
                for j, p in enumerate(QUANTILE_P):
                    _p2_init(*self.p2[m][j][i], p, *tmp)


# ------------------------------------------------------------------- kernel
def reference_detailed(mu, sigma2, n_samples, percentile=0.2, seed=0, mode_i=1, within_mode_i=0,
                       quantiles_mode_i=2, quantiles_budget=2500000, quality_w_place=1.0,
                       quality_w_front=1.0, quality_w_within=1.0, quality_sign=-1.0):
    """The nine-item result for N >= 1 and valid n_samples / percentile.

    Besides the result, returns the per-sample observations
    {metric: list of per-sample lists} for direct checks.
    """
    n = np.asarray(mu).shape[0]
    assert n >= 1 and n_samples >= 1
    k = winners_per_sample(n, percentile)
    acc = Accumulators(n, n_samples, quantiles_mode_i, quantiles_budget)
    win, lose, ranks = [0] * n, [0] * n, [0] * n
    seen = {m: [] for m in METRICS}
    for sample in iter_samples(mu, sigma2, n_samples, seed, mode_i, within_mode_i):
        s = sample.s
        front_counts = [0] * sample.n_fronts
        n_d = float(s + 1)
        rows = {m: [None] * n for m in METRICS}
        for pos, idx in enumerate(int(i) for i in sample.order):
            if pos < k:
                win[idx] += 1
            if pos >= n - k:
                lose[idx] += 1
            ranks[idx] += pos
            fid = int(sample.front_id[idx])
            within_rank = front_counts[fid]
            front_counts[fid] = within_rank + 1
            xs = (float(pos), float(fid), float(within_rank))
            for m, x in zip(METRICS, xs):
                rows[m][idx] = x
            acc.record(idx, s, n_d, xs)
        for m in METRICS:
            seen[m].append(rows[m])
        if s == WARMUP - 1 and acc.use_p2:
            acc.init_p2()
    return assemble(n, n_samples, k, win, lose, ranks, acc, quality_w_place, quality_w_front,
                    quality_w_within, quality_sign), seen


def assemble(n, n_samples, k, win, lose, ranks, acc, w_place, w_front, w_within, sign):
    win_count = np.array(win, dtype=np.int32)
    lose_count = np.array(lose, dtype=np.int32)
    rank_sum = np.array(ranks, dtype=np.int64)
    idx_arr = np.arange(n, dtype=np.int64)
    winners = np.lexsort((idx_arr, rank_sum, -win_count))[:k].astype(np.int64, copy=False)
    losers = np.lexsort((idx_arr, -rank_sum, -lose_count))[:k].astype(np.int64, copy=False)

    count = float(n_samples)
    stats = []
    for m in METRICS:
        std = np.array([math.sqrt(v / count) for v in acc.M2[m]], dtype=np.float64)
        if acc.use_p2:
            q25, med, q75 = (np.array([acc.p2[m][j][i][0][2] for i in range(n)], dtype=np.float64)
                             for j in range(3))
        else:
            buf = np.array(acc.buf[m], dtype=np.float64).reshape(acc.s_init, n)
            med = np.median(buf, axis=0)
            q25 = np.quantile(buf, 0.25, axis=0)
            q75 = np.quantile(buf, 0.75, axis=0)
        stats.append({
            "mean": np.array(acc.mean[m], dtype=np.float64),
            "quantiles_mode_used": 1 if acc.use_p2 else 0,
            "median": np.asarray(med, dtype=np.float64),
            "std": std,
            "q25": np.asarray(q25, dtype=np.float64),
            "q75": np.asarray(q75, dtype=np.float64),
        })
    pm, fm, wm = (acc.mean[m] for m in METRICS)
    quality = np.array([((w_place * pm[i] + w_front * fm[i]) + w_within * wm[i]) * sign
                        for i in range(n)], dtype=np.float64)
    return (winners, losers, win_count, lose_count, rank_sum, *stats, quality)

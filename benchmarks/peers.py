"""The Monte-Carlo selection job written the way a user of another tool would.

Every peer does the same job as ``mc_rank_counts``: draw ``n_samples``
populations X = mu + sqrt(sigma2) * z, rank each one (non-dominated fronts,
minimisation; crowding distance inside each front; global order front
ascending, crowding descending, index ascending), and count per individual the
samples in which it is among the first k (wins) and the last k (losses) of the
order, and the sum of its 0-based places.  ``mode_i=1`` computes the crowding
on each objective's ranks instead of the raw values, as the kernel does.

Peers (NumPy's ``default_rng`` for the draws, so they can't match the kernel
bit for bit; peers with the same seed match one another):

* ``moocore_job``   -- ``moocore.pareto_rank`` per sample (compiled C, fronts
  only) + crowding distance in NumPy, vectorised over all fronts at once.
* ``pymoo_job``     -- pymoo 0.6's ``NonDominatedSorting().do(F,
  return_rank=True)`` + ``calc_crowding_distance`` on each front.  (pymoo 0.6.2
  itself calls ``moocore.pareto_rank`` inside ``NonDominatedSorting``.)
* ``numpy_batch_job`` -- pure NumPy: all samples of a batch ranked at once,
  dominance broadcast over an (S, N, N) array, fronts peeled by batched
  matrix-vector products, crowding vectorised over samples and fronts.

Conventions, and where the peers differ from ``rate_population``:

* Ranks for ``mode_i=1`` are ``argsort(argsort(X))`` (ordinal); the kernel
  uses "min" ranks.  They are equal whenever a column has no ties, which holds
  with probability one for Normal draws with positive variance.
* ``moocore_job`` and ``numpy_batch_job`` compute the crowding with the same
  arithmetic as the package (per objective, in index order, add
  (next - prev) / (max - min) to a score starting at 0; each objective's
  extremes add +inf; a front of one or two members scores +inf), so their
  orders equal ``rate_population``'s exactly.
* pymoo's ``calc_crowding_distance`` adds (x - prev)/range + (next - x)/range
  and divides the sum by M.  Dividing by M doesn't change the order, but the
  split sum rounds differently, so two members whose scores are exactly equal
  in the package (common with ``mode_i=1``, where values are integer ranks)
  can come out a rounding error apart and swap places.  It also scores a
  one-member front 0 instead of +inf (no effect on the order) and gives a
  constant objective's extremes 0 instead of +inf (never happens with
  continuous draws).  ``validate`` accepts exactly these swaps.
"""

import numpy as np

try:
    import moocore
except ImportError:  # pragma: no cover - reported by the suite
    moocore = None
try:
    from pymoo.operators.survival.rank_and_crowding.metrics import calc_crowding_distance
    from pymoo.util.nds.non_dominated_sorting import NonDominatedSorting
except ImportError:  # pragma: no cover - reported by the suite
    NonDominatedSorting = None
    calc_crowding_distance = None


def winners_per_sample(n, percentile):
    return min(n, max(1, int(np.ceil(n * percentile))))


def ordinal_ranks(X, axis=0):
    """Per-objective ranks (0 = smallest) as float64; equal to "min" ranks without ties."""
    return np.argsort(np.argsort(X, axis=axis, kind="stable"), axis=axis, kind="stable").astype(
        np.float64)


# --- one population ---------------------------------------------------------

def crowding_numpy(V, front):
    """Crowding score of every row of V inside its front, package arithmetic."""
    n, m = V.shape
    score = np.zeros(n)
    if n == 0 or m == 0:
        return score
    pos = np.arange(n)
    with np.errstate(divide="ignore", invalid="ignore"):
        for k in range(m):
            idx = np.lexsort((V[:, k], front))  # by front, then value, then index
            fs = front[idx]
            vs = V[idx, k]
            first = np.ones(n, bool)
            first[1:] = fs[1:] != fs[:-1]
            last = np.ones(n, bool)
            last[:-1] = fs[1:] != fs[:-1]
            start = np.maximum.accumulate(np.where(first, pos, 0))
            end = np.minimum.accumulate(np.where(last, pos, n - 1)[::-1])[::-1]
            span = vs[end] - vs[start]
            contrib = np.zeros(n)
            inner = ~(first | last) & (span != 0)
            j = pos[inner]
            contrib[j] = (vs[j + 1] - vs[j - 1]) / span[j]
            contrib[first | last] = np.inf
            score[idx] += contrib
    return score


def order_moocore(X, mode_i=1):
    front = moocore.pareto_rank(X)
    V = ordinal_ranks(X) if mode_i == 1 else X
    score = crowding_numpy(V, front)
    return np.lexsort((-score, front))  # stable: index ascending on ties


def order_pymoo(X, mode_i=1):
    fronts, front = NonDominatedSorting().do(X, return_rank=True)
    V = ordinal_ranks(X) if mode_i == 1 else X
    score = np.empty(X.shape[0])
    for members in fronts:
        score[members] = calc_crowding_distance(V[members])
    return np.lexsort((-score, front))


# --- the Monte-Carlo job, one sample at a time ------------------------------

def _mc_job(order_fn, mu, sigma2, n_samples, percentile, seed, mode_i):
    n, m = mu.shape
    k = winners_per_sample(n, percentile)
    sd = np.sqrt(np.maximum(sigma2, 0.0))
    rng = np.random.default_rng(seed)
    win = np.zeros(n, np.int32)
    lose = np.zeros(n, np.int32)
    rank_sum = np.zeros(n, np.int64)
    places = np.arange(n)
    for _ in range(n_samples):
        X = mu + sd * rng.standard_normal((n, m))
        order = order_fn(X, mode_i)
        win[order[:k]] += 1
        lose[order[n - k:]] += 1
        rank_sum[order] += places
    return win, lose, rank_sum


def moocore_job(mu, sigma2, n_samples, percentile=0.2, seed=0, mode_i=1):
    return _mc_job(order_moocore, mu, sigma2, n_samples, percentile, seed, mode_i)


def pymoo_job(mu, sigma2, n_samples, percentile=0.2, seed=0, mode_i=1):
    return _mc_job(order_pymoo, mu, sigma2, n_samples, percentile, seed, mode_i)


# --- pure NumPy, all samples of a batch at once -----------------------------

BATCH_BYTES_PER_PAIR = 10  # bool dominance + float32 copy + comparison temporaries


def batch_bytes(n, n_samples):
    return BATCH_BYTES_PER_PAIR * n * n * n_samples


def batch_orders(X, mode_i=1):
    """Global orders of a batch X of shape (S, N, M): (S, N) int64."""
    S, n, m = X.shape
    # i dominates j: no worse everywhere, better somewhere.
    no_worse = np.ones((S, n, n), bool)
    better = np.zeros((S, n, n), bool)
    for k in range(m):
        a = X[:, :, None, k]
        b = X[:, None, :, k]
        no_worse &= a <= b
        better |= a < b
    dom = no_worse & better
    del no_worse, better
    n_dom = dom.sum(axis=1, dtype=np.int32).astype(np.float32)  # (S, N) dominators of j
    domf = dom.astype(np.float32)
    del dom
    front = np.full((S, n), -1, np.int64)
    f = 0
    while True:
        cur = (n_dom == 0) & (front < 0)
        if not cur.any():
            break
        front[cur] = f
        n_dom[cur] = -1.0  # never current again
        n_dom -= (cur.astype(np.float32)[:, None, :] @ domf)[:, 0, :]
        f += 1
    del domf
    V = ordinal_ranks(X, axis=1) if mode_i == 1 else X
    score = np.zeros((S, n))
    pos = np.broadcast_to(np.arange(n), (S, n))
    tmp = np.empty((S, n))
    with np.errstate(divide="ignore", invalid="ignore"):
        for k in range(m):
            idx = np.lexsort((V[:, :, k], front), axis=-1)
            fs = np.take_along_axis(front, idx, axis=1)
            vs = np.take_along_axis(V[:, :, k], idx, axis=1)
            first = np.ones((S, n), bool)
            first[:, 1:] = fs[:, 1:] != fs[:, :-1]
            last = np.ones((S, n), bool)
            last[:, :-1] = fs[:, 1:] != fs[:, :-1]
            start = np.maximum.accumulate(np.where(first, pos, 0), axis=1)
            end = np.minimum.accumulate(np.where(last, pos, n - 1)[:, ::-1], axis=1)[:, ::-1]
            span = np.take_along_axis(vs, end, axis=1) - np.take_along_axis(vs, start, axis=1)
            contrib = np.zeros((S, n))
            if n > 2:
                inner = np.zeros((S, n), bool)
                inner[:, 1:-1] = True
                inner &= ~(first | last) & (span != 0)
                d = np.zeros((S, n))
                d[:, 1:-1] = (vs[:, 2:] - vs[:, :-2])
                contrib[inner] = d[inner] / span[inner]
            contrib[first | last] = np.inf
            np.put_along_axis(tmp, idx, contrib, axis=1)
            score += tmp
    return np.lexsort((-score, front), axis=-1)


def numpy_batch_job(mu, sigma2, n_samples, percentile=0.2, seed=0, mode_i=1):
    """All n_samples populations drawn and ranked in one batch."""
    n, m = mu.shape
    k = winners_per_sample(n, percentile)
    sd = np.sqrt(np.maximum(sigma2, 0.0))
    rng = np.random.default_rng(seed)
    X = mu + sd * rng.standard_normal((n_samples, n, m))
    order = batch_orders(X, mode_i)
    win = np.bincount(order[:, :k].ravel(), minlength=n).astype(np.int32)
    lose = np.bincount(order[:, n - k:].ravel(), minlength=n).astype(np.int32)
    place = np.empty_like(order)
    np.put_along_axis(place, order, np.broadcast_to(np.arange(n), order.shape), axis=1)
    return win, lose, place.sum(axis=0, dtype=np.int64)


# --- validation --------------------------------------------------------------

def _near_tie_swaps_only(order, ref_order, ref_front, ref_score):
    """True when order differs from ref_order only among members of one front
    whose reference crowding scores agree to a rounding error."""
    if not np.array_equal(ref_front[order], ref_front[ref_order]):
        return False
    s, r = ref_score[order], ref_score[ref_order]
    with np.errstate(invalid="ignore"):
        same = (s == r) | (np.abs(s - r) <= 1e-9 * np.maximum(np.abs(r), 1.0))
    return bool(np.all(same))


def validate(rate_population, mc_rank_counts, seed=7, log=print):
    """Checks every peer's per-sample order against rate_population and the
    peers' Monte-Carlo counts against one another and (statistically) against
    the kernel.  Returns a list of failure messages (empty: all good)."""
    failures = []
    rng = np.random.default_rng(seed)
    cases = [(n, m) for n in (8, 32, 128) for m in (1, 2, 3, 5)]
    stats = {"moocore": [0, 0], "pymoo": [0, 0, 0], "numpy-batch": [0, 0]}
    for mode_i in (0, 1):
        for n, m in cases:
            Xs = rng.normal(size=(4, n, m))
            batch = batch_orders(Xs, mode_i)
            for s in range(Xs.shape[0]):
                X = Xs[s]
                n_fr, ref_front, ref_score, ref_order = rate_population(X, mode_i)
                ref_order = np.asarray(ref_order)
                for name, order in (("moocore", order_moocore(X, mode_i)),
                                    ("numpy-batch", batch[s])):
                    stats[name][1] += 1
                    if np.array_equal(order, ref_order):
                        stats[name][0] += 1
                    else:
                        failures.append(f"{name} order differs from rate_population "
                                        f"(N={n} M={m} mode_i={mode_i})")
                order = order_pymoo(X, mode_i)
                stats["pymoo"][2] += 1
                if np.array_equal(order, ref_order):
                    stats["pymoo"][0] += 1
                elif _near_tie_swaps_only(order, ref_order, np.asarray(ref_front),
                                          np.asarray(ref_score)):
                    stats["pymoo"][1] += 1
                else:
                    failures.append(f"pymoo order differs beyond crowding rounding "
                                    f"(N={n} M={m} mode_i={mode_i})")
    log(f"  per-sample orders vs rate_population, {len(cases)} shapes x 4 draws x 2 modes:")
    log(f"    moocore + NumPy crowding: {stats['moocore'][0]}/{stats['moocore'][1]} identical")
    log(f"    NumPy batch:              {stats['numpy-batch'][0]}/{stats['numpy-batch'][1]} identical")
    log(f"    pymoo:                    {stats['pymoo'][0]}/{stats['pymoo'][2]} identical, "
        f"{stats['pymoo'][1]} differ only by swapping crowding ties (rounding)")

    # Monte-Carlo counts: the peers share the NumPy draws, so moocore and the
    # batch version agree exactly; pymoo up to tie swaps; the kernel (own RNG)
    # agrees statistically.
    n, m, samples = 24, 3, 4000
    mu = rng.normal(size=(n, m))
    sigma2 = np.full((n, m), 0.3)
    for mode_i in (0, 1):
        a = moocore_job(mu, sigma2, samples, seed=3, mode_i=mode_i)
        b = numpy_batch_job(mu, sigma2, samples, seed=3, mode_i=mode_i)
        c = pymoo_job(mu, sigma2, samples, seed=3, mode_i=mode_i)
        kern = mc_rank_counts(mu, sigma2, samples, 0.2, 3, mode_i)
        if not all(np.array_equal(x, y) for x, y in zip(a, b)):
            failures.append(f"moocore and NumPy-batch counts differ (mode_i={mode_i})")
        dev_pymoo = max(int(np.abs(x.astype(np.int64) - y).max()) for x, y in zip(a[:2], c[:2]))
        # Win/lose frequencies: binomial, so allow 5 standard errors.
        worst = 0.0
        for x, y in zip(a[:2], kern[:2]):
            p = (x + y) / (2.0 * samples)
            se = np.sqrt(np.maximum(p * (1 - p), 1.0 / samples) * 2.0 / samples)
            worst = max(worst, float(np.max(np.abs(x - y) / samples / se)))
        mean_place_gap = float(np.max(np.abs(a[2] - kern[2].astype(np.int64)))) / samples
        log(f"  MC counts N={n} M={m} {samples} samples mode_i={mode_i}: moocore == NumPy batch: "
            f"{all(np.array_equal(x, y) for x, y in zip(a, b))}; pymoo max |count diff| "
            f"{dev_pymoo}; kernel vs peers worst win/lose gap {worst:.1f} s.e., "
            f"worst mean-place gap {mean_place_gap:.2f}")
        if dev_pymoo > samples // 100:
            failures.append(f"pymoo counts far from moocore's (mode_i={mode_i})")
        if worst > 5.0:
            failures.append(f"kernel win/lose frequencies disagree with the peers (mode_i={mode_i})")
    return failures

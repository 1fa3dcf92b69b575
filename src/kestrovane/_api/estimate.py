"""`kestrovane.estimate`: means and variances of the mean from repeated evaluations."""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrovane._api import validate as v

F64 = NDArray[np.float64]


def _moments(block: F64, first_member: int) -> tuple[NDArray[np.intp], F64, F64]:
    """Per member and objective of an (n, K, M) block with NaN for missing
    values: the count, the mean and the sum of squared deviations."""
    bad = np.isinf(block)
    if bad.any():
        i, r, j = (int(a[0]) for a in np.nonzero(bad))
        raise ValueError(f"evaluation {r} of member {first_member + i}, objective {j} is "
                         f"infinite ({float(block[i, r, j])!r})")
    missing = np.isnan(block)
    count = np.count_nonzero(~missing, axis=1)
    empty = count == 0
    if empty.any():
        i, j = (int(a[0]) for a in np.nonzero(empty))
        if empty[i].all():
            raise ValueError(f"member {first_member + i} has no evaluations")
        raise ValueError(f"member {first_member + i} has no evaluation of objective {j}")
    mean = np.where(missing, 0.0, block).sum(axis=1) / count
    dev = np.where(missing, 0.0, block - mean[:, None, :])
    return count, mean, (dev * dev).sum(axis=1)


def _ragged(evaluations: object) -> tuple[NDArray[np.intp], F64, F64]:
    if (isinstance(evaluations, (str, bytes, Mapping))
            or not isinstance(evaluations, Collection)):
        raise TypeError("evaluations must be an (N, K, M) array or a sequence of per-member "
                        f"(k, M) arrays; got {type(evaluations).__name__}")
    parts: list[tuple[NDArray[np.intp], F64, F64]] = []
    for i, member in enumerate(evaluations):
        what = f"evaluations of member {i}"
        arr = v.real_array(member, what)
        if arr.ndim != 2:
            raise ValueError(f"{what} must be 2-D (k evaluations x M objectives); got shape "
                             f"{arr.shape}")
        v.require_objectives(arr, what)
        if parts and arr.shape[1] != parts[0][1].shape[1]:
            raise ValueError(f"{what} have {arr.shape[1]} objectives but those of member 0 "
                             f"have {parts[0][1].shape[1]}")
        parts.append(_moments(arr[None], i))
    if not parts:
        raise ValueError("evaluations holds no members")
    count, mean, ss = (np.concatenate(p) for p in zip(*parts))
    return count, mean, ss


def estimate(evaluations: ArrayLike | Sequence[ArrayLike], *,
             maximize: v.Maximize = None,
             objectives: Sequence[str] | None = None) -> tuple[F64, F64]:
    """Means and variances of the means from repeated evaluations, for `select`.

    Parameters
    ----------
    evaluations:
        Either a sequence with one (k_i, M) array per member (k_i evaluations
        of M objectives; members may have different k_i; a 1-D object array
        of such arrays too), or one (N, K, M) array.  NaN marks a missing
        value in both forms.
    maximize:
        As for `kestrovane.select`.  The returned means of maximised objectives
        are negated exactly, ready to be minimised: do not pass `maximize`
        again to `select` with them.
    objectives:
        One distinct name per objective, needed when `maximize` names them.

    Returns
    -------
    (mu, sigma2)
        (N, M) float64 arrays.  `mu` is the mean of each member's values of an
        objective; `sigma2` the variance of that mean: the sample variance
        (divisor k - 1) divided by the number k of values.  A member with a
        single value of an objective gets the pooled within-member variance
        of that objective (the squared deviations of every member with two or
        more values, divided by their degrees of freedom), divided by 1.

    Raises
    ------
    ValueError
        A member without any value of an objective (named); an infinite
        value; an objective with a single-value member but no member with two
        or more values, whose noise cannot be estimated; inconsistent shapes.
    TypeError
        Masked, complex, text or object input.
    """
    if isinstance(evaluations, np.ndarray) and not (evaluations.dtype == object
                                                    and evaluations.ndim == 1):
        block = v.real_array(evaluations, "evaluations")
        if block.ndim != 3:
            raise ValueError("evaluations as one array must be 3-D (N members x K evaluations "
                             f"x M objectives); got shape {block.shape}")
        if block.shape[2] == 0:
            raise ValueError(f"evaluations has no objectives (shape {block.shape}); at least "
                             "one is needed")
        count, mean, ss = _moments(block, 0)
    else:
        count, mean, ss = _ragged(evaluations)
    n_objectives = mean.shape[1]
    names = v.objective_names(objectives, n_objectives)
    flags = v.maximized(maximize, n_objectives, names)

    repeated = count >= 2
    dof = np.where(repeated, count - 1, 0).sum(axis=0)
    pooled = np.where(repeated, ss, 0.0).sum(axis=0) / np.maximum(dof, 1)
    single = ~repeated
    for j in np.flatnonzero(single.any(axis=0) & (dof == 0)).tolist():
        i = int(np.flatnonzero(single[:, j])[0])
        label = v.Labels(None, names).objective(j)
        raise ValueError(f"cannot estimate the noise of {label}: member {i} has a single "
                         "evaluation of it and no member has two or more")
    sample_var = ss / np.maximum(count - 1, 1)
    sigma2 = np.where(repeated, sample_var / count, pooled[None, :])
    return v.minimised(mean, flags), np.ascontiguousarray(sigma2, dtype=np.float64)

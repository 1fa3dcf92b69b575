"""`kestrovane.estimate`: means and variances of the mean from repeated evaluations."""

from __future__ import annotations

from collections.abc import Collection, Hashable, Mapping, Sequence
from typing import Any, Generic, NoReturn, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrovane._api import validate as v
from kestrovane._api.labelled import unlabelled

F64 = NDArray[np.float64]
IdT = TypeVar("IdT", bound=Hashable)


class Estimates(tuple[F64, F64], Generic[IdT]):
    """What `kestrovane.estimate` returns: the means, the variances of the
    means, and who and what they describe; immutable (the arrays are
    read-only copies).

    `select` and `counts` take it in place of `mu` (with `sigma2` omitted),
    and take the directions and labels from it, so that a maximised
    objective cannot be flipped twice.  It also unpacks as before:
    ``mu, sigma2 = kestrovane.estimate(...)``.

    mu:
        (N, M) means with the maximised objectives negated exactly (every
        column is to be minimised), as `select` samples them.
    sigma2:
        (N, M) variances of those means (not of single scores).
    ids:
        One label per member, or None (rows 0..N-1, or the `ids` given to
        `select`).
    objectives:
        The objective names, or None.
    maximize:
        One flag per objective: True where the mean was negated.
    """

    ids: tuple[IdT, ...] | None
    objectives: tuple[str, ...] | None
    maximize: tuple[bool, ...]

    def __new__(cls, mu: F64, sigma2: F64, ids: Sequence[IdT] | None = None,
                objectives: Sequence[str] | None = None,
                maximize: Sequence[bool] | None = None) -> Estimates[IdT]:
        mu_arr = v.table(mu, "mu")
        sigma2_arr = v.table(sigma2, "sigma2")
        if mu_arr.shape != sigma2_arr.shape:
            raise ValueError(f"mu and sigma2 must have the same shape; got {mu_arr.shape} "
                             f"and {sigma2_arr.shape}")
        n, m = mu_arr.shape
        # Copies, read-only: neither the caller's arrays nor writes through
        # est.mu can change an Estimates after the fact.
        self = super().__new__(cls, (_frozen_copy(mu_arr), _frozen_copy(sigma2_arr)))
        put = object.__setattr__
        put(self, "ids", None if ids is None else v.member_ids(ids, n))
        put(self, "objectives", v.objective_names(objectives, m))
        flags = (False,) * m if maximize is None else tuple(maximize)
        usage = f"maximize must hold one bool per objective ({m}); got {maximize!r}"
        if not all(isinstance(f, (bool, np.bool_)) for f in flags):
            raise TypeError(usage)
        if len(flags) != m:
            raise ValueError(usage)
        put(self, "maximize", tuple(bool(f) for f in flags))
        return self

    @property
    def mu(self) -> F64:
        return self[0]

    @property
    def sigma2(self) -> F64:
        return self[1]

    @property
    def means(self) -> F64:
        """The means in the objectives' own directions (maximised ones not negated)."""
        return v.minimised(self.mu, self.maximize)

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError(f"Estimates is immutable; cannot set {name!r}")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"Estimates is immutable; cannot delete {name!r}")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Estimates):
            return NotImplemented
        return (np.array_equal(self.mu, other.mu) and np.array_equal(self.sigma2, other.sigma2)
                and self.ids == other.ids and self.objectives == other.objectives
                and self.maximize == other.maximize)

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[Estimates[IdT]], tuple[object, ...]]:
        return (type(self), (self.mu, self.sigma2, self.ids, self.objectives, self.maximize))

    def __repr__(self) -> str:
        return (f"Estimates(mu={self.mu!r}, sigma2={self.sigma2!r}, ids={self.ids!r}, "
                f"objectives={self.objectives!r}, maximize={self.maximize!r})")


def _frozen_copy(arr: F64) -> F64:
    out = np.array(arr, dtype=np.float64, copy=True)
    out.setflags(write=False)
    return out


def _moments(block: F64, first_member: int) -> tuple[NDArray[np.intp], F64, F64, F64]:
    """Per member and objective of an (n, K, M) block with NaN for missing
    values: the count, the mean, and the sum of squared deviations divided
    by scale**2, and that scale.

    Each member's values of an objective are divided by a power of two near
    their largest magnitude (exactly), so that neither the sum of values nor
    the squares overflow where the results are finite; for other inputs
    the results are those of the plain formulas, bit for bit."""
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
    values = np.where(missing, 0.0, block)
    scale = np.ldexp(1.0, np.frexp(np.abs(values).max(axis=1))[1] - 1)
    values /= scale[:, None, :]
    mean = values.sum(axis=1) / count
    dev = np.where(missing, 0.0, values - mean[:, None, :])
    return count, mean * scale, (dev * dev).sum(axis=1), scale


def _ragged(evaluations: object) -> tuple[NDArray[np.intp], F64, F64, F64]:
    if (isinstance(evaluations, (str, bytes, Mapping))
            or not isinstance(evaluations, Collection)):
        raise TypeError("evaluations must be an (N, K, M) array or a sequence of per-member "
                        f"(k, M) arrays; got {type(evaluations).__name__}")
    parts: list[tuple[NDArray[np.intp], F64, F64, F64]] = []
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
    count, mean, ss, scale = (np.concatenate(p) for p in zip(*parts))
    return count, mean, ss, scale


@overload
def estimate(evaluations: ArrayLike | Sequence[ArrayLike], *, maximize: v.Maximize = None,
             objectives: Sequence[str] | None = None, ids: None = None) -> Estimates[int]: ...


@overload
def estimate(evaluations: ArrayLike | Sequence[ArrayLike], *, maximize: v.Maximize = None,
             objectives: Sequence[str] | None = None,
             ids: Sequence[IdT]) -> Estimates[IdT]: ...


def estimate(evaluations: ArrayLike | Sequence[ArrayLike], *,
             maximize: v.Maximize = None,
             objectives: Sequence[str] | None = None,
             ids: Sequence[Any] | None = None) -> Estimates[Any]:
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
        are negated exactly, ready to be minimised.  Pass the result itself
        to `select` (``select(est)``): it carries the directions, and
        `select` refuses `maximize` with it.
    objectives:
        One distinct name per objective, needed when `maximize` names them.
    ids:
        One distinct hashable label per member, carried to `select`.

    Returns
    -------
    Estimates
        Unpacks as ``mu, sigma2``, (N, M) float64 arrays.  `mu` is the mean of each member's values of an
        objective; `sigma2` the variance of that mean: the sample variance
        (divisor k - 1) divided by the number k of values.  A member with a
        single value of an objective gets the pooled within-member variance
        of that objective (the squared deviations of every member with two or
        more values, divided by their degrees of freedom), divided by 1.
        Values are scaled by powers of two while summing, so means and
        variances near the float range do not overflow.

    Raises
    ------
    ValueError
        A member without any value of an objective (named); an infinite
        value; a variance of the mean too large for a float (named); an objective with a single-value member but no member with two
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
        count, mean, ss, scale = _moments(block, 0)
    else:
        count, mean, ss, scale = _ragged(evaluations)
    n_objectives = mean.shape[1]
    names = v.objective_names(objectives, n_objectives, "the evaluations")
    flags = v.maximized(maximize, n_objectives, names)
    member_ids = v.member_ids(ids, mean.shape[0])

    repeated = count >= 2
    dof = np.where(repeated, count - 1, 0).sum(axis=0)
    # The squared deviations are ss * scale**2; pooled over members on the
    # largest scale, and every product taken one power of two at a time.
    top = np.where(repeated, scale, 0.0).max(axis=0)
    top = np.where(top > 0.0, top, 1.0)
    relative = np.where(repeated, scale / top, 0.0)  # <= 1
    with np.errstate(over="ignore"):  # used only for single values; refused below then
        pooled = (ss * relative * relative).sum(axis=0) / np.maximum(dof, 1) * top * top
    single = ~repeated
    for j in np.flatnonzero(single.any(axis=0) & (dof == 0)).tolist():
        i = int(np.flatnonzero(single[:, j])[0])
        label = v.Labels(None, names).objective(j)
        raise ValueError(f"cannot estimate the noise of {label}: member {i} has a single "
                         "evaluation of it and no member has two or more")
    sample_var = ss / np.maximum(count - 1, 1)
    with np.errstate(over="ignore"):  # a variance beyond the float range is refused below
        sigma2 = np.where(repeated, sample_var / count * scale * scale, pooled[None, :])
    overflow = np.isinf(sigma2)
    if overflow.any():
        i, j = (int(a[0]) for a in np.nonzero(overflow))
        cell = v.Labels(None if ids is None else member_ids, names).cell(i, j)
        raise ValueError(f"the variance of the mean of {cell} is too large for a float; "
                         "rescale the objective")
    return Estimates(v.minimised(mean, flags), np.ascontiguousarray(sigma2, dtype=np.float64),
                     None if ids is None else member_ids, names, flags)


def population(mu: object, sigma2: object, ids: object, objectives: object,
               maximize: object) -> v.CheckedInput:
    """`validate.population` for `select` and `counts`, which also take an
    `Estimates` in place of `mu` (with `sigma2` omitted): its directions and
    labels are used, and giving them again is an error."""
    if not isinstance(mu, Estimates):
        if sigma2 is None:
            raise TypeError("sigma2 is missing; it may be omitted only when mu is the "
                            "Estimates that kestrovane.estimate returns")
        return v.population(*unlabelled(mu, sigma2, ids, objectives), maximize)
    if sigma2 is not None:
        raise TypeError("sigma2 must be omitted when mu is an Estimates (it carries the "
                        "variances of the means)")
    if maximize is not None:
        raise TypeError("maximize must not be given with an Estimates: its means are already "
                        "minimised (maximised objectives negated); pass maximize to "
                        "kestrovane.estimate instead")
    for name, given, carried in (("ids", ids, mu.ids), ("objectives", objectives,
                                                        mu.objectives)):
        if given is not None and carried is not None:
            raise TypeError(f"{name} must not be given with an Estimates that carries them")
    pop = v.population(mu.mu, mu.sigma2, mu.ids if ids is None else ids,
                       mu.objectives if objectives is None else objectives, None)
    return v.CheckedInput(pop.mu, pop.sigma2, pop.ids, pop.objectives, mu.maximize)

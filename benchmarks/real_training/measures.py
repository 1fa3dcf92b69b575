"""What a run is judged by, on the test split no scheduler saw.

Each measure is a number where higher is better, so that every difference
reads the same way: the test hypervolume (reference point: the uninformed
predictor's losses) for two objectives; for one (a squared error), the peak
signal-to-noise ratio -10 log10(error) in decibels.

- `chosen`: the members a user would keep, chosen on the whole validation
  split (its non-dominated members; for one objective its best member);
- `population`: every member of the final population (the hypervolume of
  all; for one objective the best test error among them, which no user
  could pick without the test split).

`kept` scores the members a user keeps by the tracker's noisy windows
alone (no validation split): the front of the window means, the same
number of members by the last reports, or the same number most likely on
the true first front (`Population.front_chances`).
"""

from __future__ import annotations

import math
from typing import Any

import moocore
import numpy as np
from numpy.typing import NDArray

from kestrovane import rate

from benchmarks.hypervolume import hypervolume as volume
from benchmarks.real_training.tasks import tasks

F64 = NDArray[np.float64]


def hypervolume(rows: F64, reference: tuple[float, ...]) -> float:
    """The hypervolume of minimised rows as a share of the box between zero
    and the reference point."""
    ref = np.asarray(reference)
    return volume(rows, ref) / float(np.prod(ref))


def chosen_rows(val: F64, test: F64) -> F64:
    keep = [int(np.argmin(val[:, 0]))] if val.shape[1] == 1 else moocore.is_nondominated(val)
    rows: F64 = test[keep]
    return rows


def measure(record: dict[str, Any], name: str) -> float:
    val, test = np.array(record["val"]), np.array(record["test"])
    rows = chosen_rows(val, test) if name == "chosen" else test
    if rows.shape[1] == 1:
        return -10.0 * math.log10(float(rows.min()))
    return hypervolume(rows, tasks()[record["task"]].reference)


KEEPERS = ("means", "last", "chances")


def kept_rows(record: dict[str, Any], keeper: str) -> list[int]:
    """The members `keeper` keeps by the final windows: as many as the front
    of the window means holds."""
    windows = [np.array(w) for w in record["windows"]]
    means = np.array([w.mean(axis=0) for w in windows])
    size = 1 if means.shape[1] == 1 else int(moocore.is_nondominated(means).sum())
    if keeper == "means":
        return [int(i) for i in rate(means).order[:size]]
    if keeper == "last":
        return [int(i) for i in rate(np.array([w[-1] for w in windows])).order[:size]]
    order = np.argsort(-np.array(record["p_front"]), kind="stable")[:size]
    return [int(record["front_ids"][i]) for i in order]


def kept_measure(record: dict[str, Any], keeper: str) -> float:
    """The measure of the test scores of the members `keeper` keeps."""
    rows = np.array(record["test"])[kept_rows(record, keeper)]
    if rows.shape[1] == 1:
        return -10.0 * math.log10(float(rows.min()))
    return hypervolume(rows, tasks()[record["task"]].reference)

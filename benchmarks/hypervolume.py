"""The benchmarks' one hypervolume: the volume that minimised points dominate
below a reference point, by moocore (exact slicing where it is missing).

With one objective it is the reference minus the best point, so that the lab's
one-objective runs read as a share of [0, reference] like the others.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

try:
    import moocore
except ImportError:  # the slicing below serves small cases
    moocore = None

F64 = NDArray[np.float64]


def hypervolume(points: F64, ref: F64) -> float:
    """Volume dominated by the rows of `points` (every objective minimised)
    and bounded by `ref`; points not below `ref` in every objective add nothing."""
    ref = np.asarray(ref, dtype=float)
    inside = np.asarray(points, dtype=float)
    inside = inside[(inside < ref).all(axis=1)]
    if len(inside) == 0:
        return 0.0
    if inside.shape[1] == 1:
        return float(ref[0] - inside.min())
    if moocore is not None:
        return float(moocore.hypervolume(inside, ref=ref))
    return _sliced(inside, ref)


def hypervolume_percent(points: F64, ref: F64) -> float:
    """`hypervolume` in % of the box between the origin and `ref`."""
    return 100.0 * hypervolume(points, ref) / float(np.prod(ref))


def _sliced(pts: F64, ref: F64) -> float:
    """Exact, by slices along the last objective: for a few dozen points."""
    if pts.shape[1] == 1:
        return float(ref[0] - pts[:, 0].min())
    pts = pts[np.argsort(pts[:, -1], kind="stable")]
    upper = np.append(pts[1:, -1], ref[-1])
    return sum(_sliced(pts[:i + 1, :-1], ref[:-1]) * (upper[i] - pts[i, -1])
               for i in range(len(pts)) if upper[i] > pts[i, -1])

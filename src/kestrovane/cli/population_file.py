"""Reading a population of uncertain scores from CSV, NPZ or JSON.

Every format gives, per individual, an id and, per objective, the mean and
the variance of its score (all objectives minimised).  Problems are reported
as PopulationFileError with one line naming the file and the place in it.
"""

from __future__ import annotations

import csv
import json
import math
import os
from dataclasses import dataclass

import numpy as np


class PopulationFileError(ValueError):
    """A population file that cannot be used, with the place of the problem."""


@dataclass
class Population:
    ids: list[str]
    objectives: list[str]
    mu: np.ndarray  # (N, M) float64
    sigma2: np.ndarray  # (N, M) float64


def read_population(path: str) -> Population:
    """Reads `path` by its extension: .csv, .npz or .json."""
    ext = os.path.splitext(path)[1].lower()
    readers = {".csv": _read_csv, ".npz": _read_npz, ".json": _read_json}
    if ext not in readers:
        raise PopulationFileError(f"{path}: unknown file type {ext or '(none)'!r}; "
                                  "expected .csv, .npz or .json")
    try:
        return readers[ext](path)
    except OSError as e:
        raise PopulationFileError(f"{path}: {e.strerror or e}") from None


def _number(text: str, where: str, *, spread: str | None = None) -> float:
    try:
        value = float(text)
    except (TypeError, ValueError):
        raise PopulationFileError(f"{where}: not a number: {text!r}") from None
    if math.isnan(value):
        raise PopulationFileError(f"{where}: NaN is not a score")
    if spread is not None and not value >= 0:
        raise PopulationFileError(f"{where}: {spread} must be >= 0, got {text!r}")
    if spread is not None and math.isinf(value):
        raise PopulationFileError(f"{where}: {spread} must be finite, got {text!r}")
    return value


def _check_unique(ids: list[str], where) -> None:
    seen: dict[str, int] = {}
    for i, name in enumerate(ids):
        if name in seen:
            raise PopulationFileError(f"{where(i)}: duplicate id {name!r}")
        seen[name] = i


def _read_csv(path: str) -> Population:
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if not rows:
        raise PopulationFileError(f"{path}: empty file; expected a header row")
    header = [h.strip() for h in rows[0]]
    objectives = [h[3:] for h in header if h.startswith("mu_")]
    if not objectives:
        raise PopulationFileError(f"{path}: row 1: no 'mu_<name>' column")
    columns: list[tuple[int, int, bool]] = []  # (mu column, spread column, is sd)
    for name in objectives:
        var_col = f"var_{name}" in header
        sd_col = f"sd_{name}" in header
        if var_col == sd_col:
            raise PopulationFileError(
                f"{path}: row 1: objective {name!r} needs exactly one of "
                f"'var_{name}' or 'sd_{name}'")
        spread = f"var_{name}" if var_col else f"sd_{name}"
        columns.append((header.index(f"mu_{name}"), header.index(spread), sd_col))
    id_col = header.index("id") if "id" in header else None
    ids, mu, sigma2 = [], [], []
    for r, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue  # blank line
        if len(row) != len(header):
            raise PopulationFileError(
                f"{path}: row {r}: {len(row)} fields, the header has {len(header)}")
        ids.append(row[id_col].strip() if id_col is not None else str(len(ids)))
        mu_row, var_row = [], []
        for mu_c, spread_c, is_sd in columns:
            mu_row.append(_number(row[mu_c], f"{path}: row {r}, column {header[mu_c]!r}"))
            s = _number(row[spread_c], f"{path}: row {r}, column {header[spread_c]!r}",
                        spread="a standard deviation" if is_sd else "a variance")
            var_row.append(s * s if is_sd else s)
        mu.append(mu_row)
        sigma2.append(var_row)
    data_rows = [r for r, row in enumerate(rows[1:], start=2) if any(c.strip() for c in row)]
    _check_unique(ids, lambda i: f"{path}: row {data_rows[i]}, column 'id'")
    m = len(objectives)
    return Population(ids, objectives, np.array(mu, dtype=np.float64).reshape(-1, m),
                      np.array(sigma2, dtype=np.float64).reshape(-1, m))


def _matrix(value, name: str, path: str, *, spread: str | None = None) -> np.ndarray:
    """A 2-D float64 matrix, checked cell by cell for a precise message."""
    if not isinstance(value, list) or not all(isinstance(row, list) for row in value):
        raise PopulationFileError(f"{path}: {name}: expected a list of rows")
    widths = {len(row) for row in value}
    if len(widths) > 1:
        raise PopulationFileError(f"{path}: {name}: rows have different lengths {sorted(widths)}")
    for i, row in enumerate(value):
        for j, cell in enumerate(row):
            if isinstance(cell, bool) or not isinstance(cell, (int, float)):
                raise PopulationFileError(f"{path}: {name}[{i}][{j}]: not a number: {cell!r}")
            _number(cell, f"{path}: {name}[{i}][{j}]", spread=spread)
    return np.array(value, dtype=np.float64).reshape(len(value), widths.pop() if widths else 0)


def _read_json(path: str) -> Population:
    with open(path, encoding="utf-8") as f:
        try:
            doc = json.load(f)
        except json.JSONDecodeError as e:
            raise PopulationFileError(f"{path}: line {e.lineno}, column {e.colno}: {e.msg}") \
                from None
    if not isinstance(doc, dict) or "mu" not in doc:
        raise PopulationFileError(f"{path}: expected an object with 'mu' and 'sigma2' (or 'sd')")
    if ("sigma2" in doc) == ("sd" in doc):
        raise PopulationFileError(f"{path}: give exactly one of 'sigma2' or 'sd'")
    mu = _matrix(doc["mu"], "mu", path)
    if "sigma2" in doc:
        sigma2 = _matrix(doc["sigma2"], "sigma2", path, spread="a variance")
    else:
        sigma2 = _matrix(doc["sd"], "sd", path, spread="a standard deviation") ** 2
    if mu.shape != sigma2.shape:
        raise PopulationFileError(f"{path}: mu is {mu.shape[0]}x{mu.shape[1]} but the spread "
                                  f"is {sigma2.shape[0]}x{sigma2.shape[1]}")
    ids = _names(doc.get("ids"), mu.shape[0], "ids", path)
    objectives = _names(doc.get("objectives"), mu.shape[1], "objectives", path)
    _check_unique(ids, lambda i: f"{path}: ids[{i}]")
    return Population(ids, objectives, mu, sigma2)


def _names(value, count: int, name: str, path: str) -> list[str]:
    if value is None:
        return [str(i) for i in range(count)]
    if not isinstance(value, list) or len(value) != count:
        raise PopulationFileError(f"{path}: {name}: expected a list of {count} names")
    return [str(v) for v in value]


def _read_npz(path: str) -> Population:
    try:
        archive = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, OSError) as e:
        if isinstance(e, OSError) and e.errno is not None:
            raise
        raise PopulationFileError(f"{path}: not a readable .npz archive") from None
    with archive:
        for key in ("mu", "sigma2"):
            if key not in archive.files:
                raise PopulationFileError(f"{path}: missing array {key!r} "
                                          f"(found {', '.join(archive.files) or 'none'})")
        arrays = {}
        for key in ("mu", "sigma2"):
            try:
                a = np.asarray(archive[key], dtype=np.float64)
            except (TypeError, ValueError):
                raise PopulationFileError(f"{path}: {key}: not a numeric array") from None
            if a.ndim != 2:
                raise PopulationFileError(f"{path}: {key}: expected 2 dimensions, got {a.ndim}")
            arrays[key] = a
        names = {key: [str(v) for v in archive[key]] if key in archive.files else None
                 for key in ("ids", "objectives")}
    mu, sigma2 = arrays["mu"], arrays["sigma2"]
    if mu.shape != sigma2.shape:
        raise PopulationFileError(f"{path}: mu has shape {mu.shape}, sigma2 {sigma2.shape}")
    for key, a in (("mu", mu), ("sigma2", sigma2)):
        for (i, j), value in np.ndenumerate(a):
            _number(value, f"{path}: {key}[{i}][{j}]",
                    spread="a variance" if key == "sigma2" else None)
    ids = _names(names["ids"], mu.shape[0], "ids", path)
    objectives = _names(names["objectives"], mu.shape[1], "objectives", path)
    _check_unique(ids, lambda i: f"{path}: ids[{i}]")
    return Population(ids, objectives, mu, sigma2)

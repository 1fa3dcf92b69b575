"""Reading a population of uncertain scores from CSV, NPZ or JSON.

Every format gives, per member, an id and, per objective, the mean and the
variance of its score.  Means must be finite; variances (and standard
deviations) finite and >= 0, and a standard deviation whose square
overflows is refused like an infinite variance.  Every problem is reported as
PopulationFileError with one line naming the file and the place in it (row
and column, or key and index).
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
import re
import zipfile
import zlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

F64 = NDArray[np.float64]

FORMATS = ("csv", "json", "npz")
#: What a CSV header may hold, for messages.
CSV_FORMS = ("'id' (optional, once), and per objective 'mu_<name>' with exactly one of "
             "'var_<name>' or 'sd_<name>'")


class PopulationFileError(ValueError):
    """A population file that cannot be used, with the place of the problem."""


@dataclass
class PopulationFile:
    """A population as the command line reads it from a file (or the built-in
    example): ids, objective names, and per member and objective the mean
    and the variance."""

    ids: list[str]
    objectives: list[str]
    mu: F64  # (N, M) float64, as in the file (nothing negated)
    sigma2: F64  # (N, M) float64


def file_format(path: str, fmt: str | None) -> str:
    """The format to read `path` with: `fmt` when given, else its extension."""
    if fmt is not None:
        return fmt
    ext = os.path.splitext(path)[1].lower()
    if ext[1:] not in FORMATS:
        raise PopulationFileError(f"{path}: unknown file type {ext or '(none)'!r}; "
                                  "expected .csv, .npz or .json (or give --format)")
    return ext[1:]


# Zip archives (an .npz is one) start with a local file header, or with the
# end record when empty; a single array saved by np.save with this magic.
_ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
_NPY_MAGIC = b"\x93NUMPY"
_BOM = b"\xef\xbb\xbf"
_NOT_BLANK = re.compile(rb"[^ \t\r\n\f\v]")


def is_blank(data: bytes) -> bool:
    """Whether `data` holds nothing but white space (and a byte-order mark)."""
    return _NOT_BLANK.search(data, len(_BOM) if data.startswith(_BOM) else 0) is None


def content_format(path: str, data: bytes) -> str:
    """The format of bytes without a file name (standard input), told from
    the content: a zip archive is npz, text whose first non-blank character
    is '{' or '[' is json, any other text csv.  A CSV header cannot start
    with either bracket unless its unknown columns are ignored; --format
    then decides."""
    if data[:4] in _ZIP_MAGICS:
        return "npz"
    if data.startswith(_NPY_MAGIC):
        raise PopulationFileError(f"{path}: a single NumPy array (.npy); a population is an "
                                  ".npz archive with arrays 'mu' and 'sigma2'")
    first = _NOT_BLANK.search(data, len(_BOM) if data.startswith(_BOM) else 0)
    if first is not None and data[first.start():first.start() + 1] in (b"{", b"["):
        return "json"
    return "csv"


def read_population(path: str, fmt: str | None = None, *, ignore_extra_columns: bool = False,
                    data: bytes | None = None) -> PopulationFile:
    """Reads `path` in format `fmt` (by default from its extension).

    With `data` the bytes are taken from there and `path` only names them in
    messages (standard input).
    """
    kind = file_format(path, fmt)
    try:
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as e:
        raise PopulationFileError(f"{path}: {e.strerror or e}") from None
    except MemoryError:
        raise PopulationFileError(f"{path}: too large to read into memory") from None
    if kind == "csv":
        return _read_csv(path, data, ignore_extra_columns)
    if kind == "json":
        return _read_json(path, data)
    return _read_npz(path, data)


# -- shared checks -------------------------------------------------------------


def _first(bad: NDArray[np.bool_]) -> tuple[int, int] | None:
    flagged = np.flatnonzero(bad)
    if flagged.size == 0:
        return None
    i, j = divmod(int(flagged[0]), bad.shape[1])
    return i, j


def _check_means(mu: F64, cell: Callable[[str, int, int], str]) -> None:
    found = _first(~np.isfinite(mu))
    if found is not None:
        i, j = found
        what = "NaN is not a score" if math.isnan(mu[i, j]) else \
            f"a mean must be finite, got {float(mu[i, j])!r}"
        raise PopulationFileError(f"{cell('mu', i, j)}: {what}")


def _variances(spread: F64, kind: str, cell: Callable[[str, int, int], str]) -> F64:
    """The variances from checked spreads: variances, or standard deviations
    when `kind` is "sd" (whose squares must not overflow)."""
    noun = "a standard deviation" if kind == "sd" else "a variance"
    found = _first(~(spread >= 0.0))
    if found is not None:
        i, j = found
        what = "NaN is not a score" if math.isnan(spread[i, j]) else \
            f"{noun} must be >= 0, got {float(spread[i, j])!r}"
        raise PopulationFileError(f"{cell(kind, i, j)}: {what}")
    found = _first(np.isinf(spread))
    if found is not None:
        i, j = found
        raise PopulationFileError(f"{cell(kind, i, j)}: {noun} must be finite, "
                                  f"got {float(spread[i, j])!r}")
    if kind != "sd":
        return spread
    with np.errstate(over="ignore"):
        sigma2 = spread * spread
    found = _first(np.isinf(sigma2))
    if found is not None:
        i, j = found
        raise PopulationFileError(f"{cell(kind, i, j)}: the standard deviation "
                                  f"{float(spread[i, j])!r} squares to an infinite variance")
    return sigma2


def _check_unique(names: Sequence[str], where: Callable[[int], str], what: str) -> None:
    """Distinct names that are valid text (JSON escapes and NumPy strings can
    hold lone surrogates, which no output can encode)."""
    seen: dict[str, int] = {}
    for i, name in enumerate(names):
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise PopulationFileError(f"{where(i)}: {what} {ascii(name)} is not valid "
                                      "Unicode text (a lone surrogate)") from None
        if seen.setdefault(name, i) != i:
            raise PopulationFileError(f"{where(i)}: duplicate {what} {name!r}")


def _check_shape(path: str, n: int, m: int) -> None:
    if m == 0:
        raise PopulationFileError(f"{path}: no objectives (the scores have 0 columns); at "
                                  "least one is needed")
    if n == 0:
        raise PopulationFileError(f"{path}: no members")


def _text(path: str, data: bytes) -> str:
    """UTF-8 text without the byte-order mark that spreadsheet programs write."""
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise PopulationFileError(
            f"{path}: line {line}: not UTF-8 text (byte 0x{data[e.start]:02x}); save the "
            "file as UTF-8") from None


# -- CSV -----------------------------------------------------------------------


def _csv_columns(path: str, header: list[str],
                 ignore_extra: bool) -> tuple[list[str], list[int], list[int], int | None]:
    """Objective names, their mean and spread columns and the id column from
    the header row."""
    first: dict[str, int] = {}
    for c, name in enumerate(header):
        if first.setdefault(name, c) != c:
            raise PopulationFileError(f"{path}: row 1: duplicate column {name!r} (columns "
                                      f"{first[name] + 1} and {c + 1})")
    means = {h[3:]: c for c, h in enumerate(header) if h.startswith("mu_") and len(h) > 3}
    if not means:
        raise PopulationFileError(f"{path}: row 1: no 'mu_<name>' column; accepted are "
                                  f"{CSV_FORMS}")
    spreads: dict[str, tuple[str, int]] = {}
    for c, h in enumerate(header):
        for prefix in ("var_", "sd_"):
            name = h[len(prefix):]
            if not (h.startswith(prefix) and name):
                continue
            if name not in means:
                raise PopulationFileError(f"{path}: row 1: column {h!r} has no matching "
                                          f"'mu_{name}' column")
            if name in spreads:
                raise PopulationFileError(f"{path}: row 1: objective {name!r} needs exactly "
                                          f"one of 'var_{name}' or 'sd_{name}'")
            spreads[name] = (prefix[:-1], c)
    known = set(first) & ({"id"} | {f"mu_{n}" for n in means}
                          | {f"{kind}_{n}" for n, (kind, _) in spreads.items()})
    if not ignore_extra:
        for c, h in enumerate(header):
            if h not in known:
                raise PopulationFileError(
                    f"{path}: row 1: unknown column {h!r} (column {c + 1}); accepted are "
                    f"{CSV_FORMS} (--ignore-extra-columns skips others)")
    objectives = list(means)
    for name in objectives:
        if name not in spreads:
            raise PopulationFileError(f"{path}: row 1: objective {name!r} needs exactly one "
                                      f"of 'var_{name}' or 'sd_{name}'")
    return (objectives, [means[n] for n in objectives], [spreads[n][1] for n in objectives],
            first.get("id"))


def _csv_numbers(path: str, cells: list[str], rows: list[int], column: str) -> F64:
    try:
        return np.array([float(c) for c in cells], dtype=np.float64)
    except ValueError:
        pass
    for r, c in zip(rows, cells):
        try:
            float(c)
        except ValueError:
            raise PopulationFileError(f"{path}: row {r}, column {column!r}: not a number: "
                                      f"{c!r}") from None
    raise AssertionError("unreachable")  # pragma: no cover


def _read_csv(path: str, data: bytes, ignore_extra: bool) -> PopulationFile:
    reader = csv.reader(io.StringIO(_text(path, data), newline=""))
    try:
        records = list(reader)
    except csv.Error as e:
        raise PopulationFileError(f"{path}: row {reader.line_num}: {e}") from None
    if not records:
        raise PopulationFileError(f"{path}: empty file; expected a header row")
    header = [h.strip() for h in records[0]]
    objectives, mu_cols, spread_cols, id_col = _csv_columns(path, header, ignore_extra)
    body: list[list[str]] = []
    rows: list[int] = []
    for r, record in enumerate(records[1:], start=2):
        if not any(cell.strip() for cell in record):
            continue  # blank line
        if len(record) != len(header):
            raise PopulationFileError(
                f"{path}: row {r}: {len(record)} fields, the header has {len(header)}")
        body.append(record)
        rows.append(r)
    n, m = len(body), len(objectives)
    if n == 0:
        raise PopulationFileError(f"{path}: no members (only a header row)")
    ids = [rec[id_col].strip() for rec in body] if id_col is not None else \
        [str(i) for i in range(n)]
    if id_col is not None:
        _check_unique(ids, lambda i: f"{path}: row {rows[i]}, column 'id'", "id")
    mu = np.empty((n, m))
    spread = np.empty((n, m))
    for j in range(m):
        for target, c in ((mu, mu_cols[j]), (spread, spread_cols[j])):
            target[:, j] = _csv_numbers(path, [rec[c] for rec in body], rows, header[c])

    def cell(key: str, i: int, j: int) -> str:
        return f"{path}: row {rows[i]}, column {header[key_cols[key][j]]!r}"

    key_cols = {"mu": mu_cols, "spread": spread_cols}
    _check_means(mu, cell)
    sigma2 = np.empty_like(spread)
    for j in range(m):  # var_ and sd_ columns may be mixed
        kind = "sd" if header[spread_cols[j]].startswith("sd_") else "var"

        def column_cell(_key: str, i: int, _j: int, j: int = j) -> str:
            return cell("spread", i, j)

        sigma2[:, j:j + 1] = _variances(spread[:, j:j + 1], kind, column_cell)
    return PopulationFile(ids, objectives, mu, sigma2)


# -- JSON ----------------------------------------------------------------------


def _json_matrix(value: object, key: str, path: str) -> F64:
    """A 2-D float64 matrix from a list of rows of numbers, every cell checked."""
    if not isinstance(value, list) or not all(isinstance(row, list) for row in value):
        raise PopulationFileError(f"{path}: {key}: expected a list of rows")
    rows: list[list[object]] = value
    widths = {len(row) for row in rows}
    if len(widths) > 1:
        raise PopulationFileError(f"{path}: {key}: rows have different lengths "
                                  f"{sorted(widths)}")
    width = widths.pop() if widths else 0
    out = np.empty((len(rows), width))
    for i, row in enumerate(rows):
        for j, cell in enumerate(row):
            if type(cell) is float:
                out[i, j] = cell
                continue
            if isinstance(cell, bool) or not isinstance(cell, (int, float)):
                raise PopulationFileError(f"{path}: {key}[{i}][{j}]: not a number: "
                                          f"{_short(cell)}")
            try:
                out[i, j] = float(cell)
            except OverflowError:
                raise PopulationFileError(f"{path}: {key}[{i}][{j}]: the number is too large "
                                          "for a float") from None
    return out


def _short(value: object, limit: int = 40) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _json_names(value: object, count: int, key: str, path: str) -> list[str]:
    if value is None:
        return [str(i) for i in range(count)]
    if not isinstance(value, list) or len(value) != count:
        raise PopulationFileError(f"{path}: {key}: expected a list of {count} names")
    names: list[str] = []
    for i, v in enumerate(value):
        if isinstance(v, str):
            names.append(v)
        elif isinstance(v, (int, float)) and not isinstance(v, bool) and key == "ids":
            names.append(str(v))
        else:
            kind = "a string or a number" if key == "ids" else "a string"
            raise PopulationFileError(f"{path}: {key}[{i}]: expected {kind}, got {_short(v)}")
    return names


# A population nests three deep (object, matrix, row).  Deeper documents are
# refused by this fixed bound rather than by the interpreter's recursion
# limit, which differs between Python versions (3.13's parser goes far deeper).
_JSON_MAX_DEPTH = 64


def _nested_too_deeply(doc: object) -> bool:
    """Whether lists and objects nest more than _JSON_MAX_DEPTH deep (without
    recursion; the parser makes plain lists and dicts)."""
    stack: list[tuple[list[Any], int]] = [([doc], 1)]  # containers, one depth each
    while stack:
        values, depth = stack.pop()
        for value in values:
            if type(value) is dict:
                value = list(value.values())
            elif type(value) is not list:
                continue
            inner = [c for c in value if type(c) is list or type(c) is dict]
            if inner:
                if depth == _JSON_MAX_DEPTH:
                    return True
                stack.append((inner, depth + 1))
    return False


def _read_json(path: str, data: bytes) -> PopulationFile:
    text = _text(path, data)
    too_deep = PopulationFileError(f"{path}: nested too deeply to be a population")
    try:
        doc = json.loads(text)
    except json.JSONDecodeError as e:
        raise PopulationFileError(f"{path}: line {e.lineno}, column {e.colno}: {e.msg}") \
            from None
    except RecursionError:
        raise too_deep from None
    except ValueError as e:  # an integer literal of thousands of digits
        raise PopulationFileError(f"{path}: {e}") from None
    if _nested_too_deeply(doc):
        raise too_deep
    if not isinstance(doc, dict) or "mu" not in doc:
        raise PopulationFileError(f"{path}: expected an object with 'mu' and 'sigma2' (or 'sd')")
    if ("sigma2" in doc) == ("sd" in doc):
        raise PopulationFileError(f"{path}: give exactly one of 'sigma2' or 'sd'")
    spread_key = "sigma2" if "sigma2" in doc else "sd"
    mu = _json_matrix(doc["mu"], "mu", path)
    spread = _json_matrix(doc[spread_key], spread_key, path)
    if mu.shape != spread.shape:
        raise PopulationFileError(f"{path}: mu is {mu.shape[0]}x{mu.shape[1]} but the spread "
                                  f"is {spread.shape[0]}x{spread.shape[1]}")
    _check_shape(path, *mu.shape)
    ids = _json_names(doc.get("ids"), mu.shape[0], "ids", path)
    objectives = _json_names(doc.get("objectives"), mu.shape[1], "objectives", path)
    _check_unique(ids, lambda i: f"{path}: ids[{i}]", "id")
    _check_unique(objectives, lambda j: f"{path}: objectives[{j}]", "objective")

    def cell(key: str, i: int, j: int) -> str:
        return f"{path}: {key if key == 'mu' else spread_key}[{i}][{j}]"

    _check_means(mu, cell)
    sigma2 = _variances(spread, spread_key, cell)
    return PopulationFile(ids, objectives, mu, sigma2)


# -- NPZ -----------------------------------------------------------------------

# What a broken archive or member can raise from NumPy and the zip reader.
_ARCHIVE_ERRORS = (ValueError, OSError, EOFError, KeyError, zipfile.BadZipFile,
                   zlib.error, NotImplementedError, UnicodeDecodeError, TypeError,
                   MemoryError, OverflowError, RuntimeError)


def _npz_array(archive: Any, key: str, path: str) -> NDArray[Any]:
    """One member of an open NpzFile (typed loosely: its stubs differ between
    NumPy versions)."""
    try:
        value: object = archive[key]
    except _ARCHIVE_ERRORS as e:
        reason = "it holds Python objects" if "allow_pickle" in str(e) else \
            f"{type(e).__name__}: {_short(str(e), 80)}"
        raise PopulationFileError(f"{path}: {key}: cannot read the array ({reason})") \
            from None
    if not isinstance(value, np.ndarray):  # a zip member that is not a .npy file
        raise PopulationFileError(f"{path}: {key}: not a NumPy array")
    return value


def _npz_matrix(archive: Any, key: str, path: str) -> F64:
    a = _npz_array(archive, key, path)
    if a.dtype.kind not in "iuf":
        raise PopulationFileError(f"{path}: {key}: not a numeric array (dtype {a.dtype})")
    if a.ndim != 2:
        raise PopulationFileError(f"{path}: {key}: expected 2 dimensions, got {a.ndim}")
    return np.array(a, dtype=np.float64)


def _npz_names(archive: Any, files: list[str], key: str, count: int,
               path: str) -> list[str]:
    if key not in files:
        return [str(i) for i in range(count)]
    a = _npz_array(archive, key, path)
    if a.ndim != 1 or a.shape[0] != count:
        raise PopulationFileError(f"{path}: {key}: expected a 1-D array of {count} names, "
                                  f"got shape {a.shape}")
    if a.dtype.kind == "U" or (a.dtype.kind in "iu" and key == "ids"):
        return [str(v) for v in a.tolist()]
    if a.dtype.kind == "S":
        try:
            return [v.decode("utf-8") for v in a.tolist()]
        except UnicodeDecodeError:
            raise PopulationFileError(f"{path}: {key}: names are not UTF-8 text") from None
    kind = "strings or integers" if key == "ids" else "strings"
    raise PopulationFileError(f"{path}: {key}: expected {kind}, got dtype {a.dtype}")


def _read_npz(path: str, data: bytes) -> PopulationFile:
    if not data.startswith(b"PK"):
        raise PopulationFileError(f"{path}: not a readable .npz archive (not a zip file)")
    try:
        archive = np.load(io.BytesIO(data), allow_pickle=False)
    except _ARCHIVE_ERRORS:
        raise PopulationFileError(f"{path}: not a readable .npz archive") from None
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise PopulationFileError(f"{path}: not a readable .npz archive")
    with archive:
        files = list(archive.files)
        for key in ("mu", "sigma2"):
            if key not in files:
                raise PopulationFileError(f"{path}: missing array {key!r} "
                                          f"(found {', '.join(files) or 'none'})")
        mu = _npz_matrix(archive, "mu", path)
        sigma2 = _npz_matrix(archive, "sigma2", path)
        if mu.shape != sigma2.shape:
            raise PopulationFileError(f"{path}: mu has shape {mu.shape}, sigma2 "
                                      f"{sigma2.shape}")
        _check_shape(path, *mu.shape)
        ids = _npz_names(archive, files, "ids", mu.shape[0], path)
        objectives = _npz_names(archive, files, "objectives", mu.shape[1], path)
    _check_unique(ids, lambda i: f"{path}: ids[{i}]", "id")
    _check_unique(objectives, lambda j: f"{path}: objectives[{j}]", "objective")
    def cell(key: str, i: int, j: int) -> str:
        return f"{path}: {key}[{i}][{j}]"

    _check_means(mu, cell)
    sigma2 = _variances(sigma2, "sigma2", cell)
    return PopulationFile(ids, objectives, mu, sigma2)

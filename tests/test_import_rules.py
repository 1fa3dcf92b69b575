"""Every import between the Python packages of kestrovane follows the table
"Python packages: who may import what" of docs/architecture.md, read from
the document itself, so the rule is written once."""

from __future__ import annotations

import ast
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "kestrovane"
DOC = ROOT / "docs" / "architecture.md"
SECTION = "## Python packages: who may import what"


@dataclass(frozen=True)
class Row:
    files: tuple[str, ...]
    allowed: tuple[str, ...]
    why: str

    def __str__(self) -> str:
        return (f"{', '.join(self.files)} may import only {', '.join(self.allowed)} "
                f"({self.why})")


def rules(doc: str) -> list[Row]:
    """The rows of the table in the section `SECTION` of `doc`."""
    assert SECTION in doc, f"docs/architecture.md has no section {SECTION!r}"
    body = doc.split(SECTION, 1)[1].split("\n## ", 1)[0]
    rows = []
    for line in body.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if not line.startswith("|") or len(cells) != 3 or set(cells[0]) <= set("-"):
            continue
        files, allowed = (tuple(re.findall(r"`([^`]+)`", c)) for c in cells[:2])
        if files and allowed:
            rows.append(Row(files, allowed, cells[2]))
    assert len(rows) >= 5, "the import table of docs/architecture.md could not be read"
    return rows


def is_module(dotted: str) -> bool:
    """Whether `kestrovane.<dotted>` is a module or package of the source tree."""
    path = PACKAGE.joinpath(*dotted.split("."))
    return path.is_dir() or path.with_suffix(".py").exists() or path.with_suffix(".pyi").exists()


def public_names() -> set[str]:
    tree = ast.parse((PACKAGE / "__init__.py").read_text())
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "__all__"
                                                for t in node.targets):
            return set(ast.literal_eval(node.value))
    raise AssertionError("kestrovane/__init__.py has no __all__")


def imports(source: str, relpath: str):
    """(line, module, name) of every import of kestrovane in a file: `name` is
    None when a whole module is imported."""
    package = ["kestrovane", *relpath.split("/")[:-1]]
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield node.lineno, alias.name, None
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parent = package[:len(package) - node.level + 1]
                base = ".".join(parent + ([base] if base else []))
            for alias in node.names:
                inner = f"{base}.{alias.name}"
                if inner.startswith("kestrovane.") and is_module(inner.split(".", 1)[1]):
                    yield node.lineno, inner, None
                else:
                    yield node.lineno, base, alias.name
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
              and node.func.attr == "import_module" and node.args
              and isinstance(node.args[0], ast.Constant)
              and isinstance(node.args[0].value, str)):
            yield node.lineno, node.args[0].value, None


def permits(entry: str, module: str, name: str | None, public: set[str]) -> bool:
    if entry == "kestrovane":
        return module == "kestrovane" and (name is None or name in public)
    parent, _, last = entry.rpartition(".")
    if parent and is_module(parent) and not is_module(entry):  # `module.name`
        return module == f"kestrovane.{parent}" and name == last
    full = f"kestrovane.{entry}"
    return module == full or module.startswith(full + ".")


def row_of(relpath: str, table: list[Row]) -> Row | None:
    """The row of the longest entry that names the file or a folder holding it."""
    matches = [(len(f), row) for row in table for f in row.files
               if relpath == f or (f.endswith("/") and relpath.startswith(f))]
    return max(matches, key=lambda m: m[0])[1] if matches else None


def violations(relpath: str, source: str, table: list[Row], public: set[str]) -> list[str]:
    row = row_of(relpath, table)
    if row is None:
        return [f"{relpath}: no row of the import table in docs/architecture.md covers it"]
    found = []
    for line, module, name in imports(source, relpath):
        if module != "kestrovane" and not module.startswith("kestrovane."):
            continue
        if not any(permits(entry, module, name, public) for entry in row.allowed):
            what = module if name is None else f"{name} from {module}"
            found.append(f"{relpath}:{line}: imports {what}, but {row}")
    return found


TABLE = rules(DOC.read_text())
PUBLIC = public_names()


def test_every_module_keeps_the_import_table():
    files = sorted(p for p in PACKAGE.rglob("*") if p.suffix in (".py", ".pyi"))
    assert len(files) > 30
    found = [v for path in files
             for v in violations(path.relative_to(PACKAGE).as_posix(), path.read_text(),
                                 TABLE, PUBLIC)]
    assert not found, "imports against docs/architecture.md:\n" + "\n".join(found)


@pytest.mark.parametrize("relpath, source, allowed", [
    ("pbt/x.py", "from kestrovane import Selection, select", True),
    ("pbt/x.py", "from kestrovane import Evidence", False),  # not a public name
    ("pbt/x.py", "from kestrovane import _api", False),
    ("pbt/x.py", "from kestrovane._api.native import run_counts", True),
    ("pbt/x.py", "from kestrovane._api.native import run_detailed", False),
    ("pbt/x.py", "from kestrovane._api import validate as v", True),
    ("cli/x.py", "from ..pbt import Population", False),  # relative imports resolve
    ("_api/x.py", "def f():\n    from kestrovane import select", False),
    ("_api/x.py", "import importlib\nimportlib.import_module('kestrovane.pbt')", False),
    ("selection_core/x.py", "import kestrovane.cli.main", False),
    ("selection_core/__main__.py", "from kestrovane.cli.main import main", True),
    ("integrations/x.py", "from kestrovane.pbt.policies import Policy", True),
])
def test_the_check_reads_imports_as_the_table_means_them(relpath, source, allowed):
    found = violations(relpath, source, TABLE, PUBLIC)
    assert (found == []) is allowed, found
    if found:  # file, line and the row broken
        last_line = len(source.splitlines())
        assert re.match(rf"{re.escape(relpath)}:{last_line}: imports .* but .* may import only ",
                        found[0]), found[0]


def test_a_file_outside_every_row_is_reported():
    assert violations("tools/x.py", "import numpy", TABLE, PUBLIC) == [
        "tools/x.py: no row of the import table in docs/architecture.md covers it"]

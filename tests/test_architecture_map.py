"""The folder map of docs/architecture.md ("The house") names every file of
src/kestrovane, one line each, and no file that is gone: a map that lists a
deleted header, or misses a new module, sends the reader to the wrong place."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOC = ROOT / "docs" / "architecture.md"
PACKAGE = ROOT / "src" / "kestrovane"
#: Written by the build (pyproject.toml), so not in the source tree.
GENERATED = {"_version.py"}
SKIPPED_DIRS = {"__pycache__"}


def map_paths(text: str) -> dict[str, int]:
    """The files the map names, relative to src/kestrovane/, with their line
    in the map.  A line's first word is a folder (ending in "/") or a file;
    its indentation places it in the last folder above it that is indented
    less."""
    house = text.split("## The house", 1)[1]
    block = house.split("```", 2)[1]
    lines = block.splitlines()[1:]
    assert lines and lines[0].startswith("src/kestrovane/"), "the map starts at src/kestrovane/"
    folders: list[tuple[int, str]] = []
    files: dict[str, int] = {}
    for number, line in enumerate(lines[1:], start=2):
        found = re.match(r"( *)(\S+)", line)
        if not found:
            continue
        indent, word = len(found.group(1)), found.group(2)
        while folders and folders[-1][0] >= indent:
            folders.pop()
        path = "".join(f for _, f in folders) + word
        if word.endswith("/"):
            folders.append((indent, word))
        else:
            assert path not in files, f"{path} has two lines in the map"
            files[path] = number
    return files


def package_files() -> set[str]:
    return {p.relative_to(PACKAGE).as_posix() for p in PACKAGE.rglob("*")
            if p.is_file() and not SKIPPED_DIRS & set(p.parts) and p.suffix != ".so"}


def test_the_map_names_every_file_and_only_files_that_exist() -> None:
    named = map_paths(DOC.read_text())
    missing = sorted(package_files() - named.keys())
    gone = sorted(f"{path} (line {line} of the map)" for path, line in named.items()
                  if path not in GENERATED and not (PACKAGE / path).is_file())
    assert not missing, "files without a line in docs/architecture.md: " + ", ".join(missing)
    assert not gone, "the map of docs/architecture.md names files that are gone: " + \
        ", ".join(gone)


def test_the_reader_places_lines_by_their_indentation() -> None:
    text = ("## The house\n\n```\nsrc/kestrovane/\n  a.py   one\n  sub/   a folder\n"
            "    b.hpp  two\n    deeper/\n      c.cpp\n  d.py\n```\n")
    assert map_paths(text) == {"a.py": 2, "sub/b.hpp": 4, "sub/deeper/c.cpp": 6, "d.py": 7}

"""Every ```python block of README.md runs and prints something, and every
link and image of README.md is absolute and points into the repository.

Each block runs in a fresh namespace, unless its first line is
``# continues the previous block``.  A block whose paragraph says that
`tests/test_ray_tune.py` runs it is left to that test.  A block that imports
an optional package that is not installed (pandas in the environments
without the extras) is skipped, with the blocks that continue it.

The README is also the package's long description on the package index,
where relative links break: every link must be absolute and under the
repository URL declared in pyproject.toml's [project.urls].
"""

import ast
import contextlib
import importlib.util
import io
import re
import tomllib
from pathlib import Path
from urllib.parse import urlsplit

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
CONTINUES = "# continues the previous block"
RUN_ELSEWHERE = "`tests/test_ray_tune.py` runs this block"


def blocks():
    text = README.read_text()
    found = []
    for match in re.finditer(r"```python\n(.*?)```", text, re.S):
        before = text[max(0, match.start() - 300):match.start()]
        line = text.count("\n", 0, match.start()) + 1
        found.append((line, match.group(1), RUN_ELSEWHERE in before))
    return found


def test_readme_has_python_blocks():
    assert len(blocks()) >= 4


def missing_imports(code):
    """The top-level packages a block imports that are not installed."""
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names.add(node.module.split(".")[0])
    return sorted(n for n in names if importlib.util.find_spec(n) is None)


def test_every_block_runs_and_prints(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    ran = 0
    skipping = False
    for line, code, elsewhere in blocks():
        if elsewhere:
            continue
        if not code.startswith(CONTINUES):
            namespace = {"__name__": "__main__"}
            skipping = bool(missing_imports(code))
        if skipping:
            continue
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"README.md, block at line {line}", "exec"), namespace)
        assert out.getvalue().strip(), f"the block at line {line} of README.md prints nothing"
        ran += 1
    assert ran >= 3


# -- links ---------------------------------------------------------------------

def declared_base():
    """The repository URL of pyproject.toml's [project.urls] `Source`."""
    with open(ROOT / "pyproject.toml", "rb") as f:
        urls = tomllib.load(f)["project"]["urls"]
    return urls["Source"].rstrip("/"), urls


def link_targets(text):
    """(line, target) of every markdown link and image, reference definition,
    autolink and HTML href/src, outside fenced code blocks."""
    found = []
    in_fence = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            in_fence = not in_fence
            continue
        if in_fence:
            continue
        code_free = re.sub(r"`[^`]*`", "", line)
        patterns = (r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)",
                    r"^\s*\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)",
                    r"<(https?://[^>\s]+)>",
                    r"(?:href|src)\s*=\s*[\"']([^\"']+)[\"']")
        for pattern in patterns:
            found += [(number, m.group(1)) for m in re.finditer(pattern, code_free)]
    return found


def repository_path(url, base):
    """The path inside the repository that a URL under `base` points at, and
    whether it must be a directory; None for a URL outside the repository."""
    owner_repo = urlsplit(base).path.strip("/")
    blob, tree = f"{base}/blob/main/", f"{base}/tree/main/"
    raw = f"https://raw.githubusercontent.com/{owner_repo}/main/"
    for prefix, is_dir in ((blob, False), (tree, True), (raw, False)):
        if url.startswith(prefix):
            return url[len(prefix):].split("#")[0].split("?")[0], is_dir
    return None


def test_link_finder_sees_every_kind_of_link():
    text = ('[a](x.md) ![b](docs/p.png "t") `[c](ignored.md)`\n'
            '[d]: other.md\n<https://example.org/e>\n<img src="f.png">\n'
            '```\n[g](in-a-fence.md)\n```\n')
    assert [t for _, t in link_targets(text)] == [
        "x.md", "docs/p.png", "other.md", "https://example.org/e", "f.png"]


def test_the_repository_url_is_declared_once():
    base, urls = declared_base()
    assert re.fullmatch(r"https://github\.com/[\w.-]+/[\w.-]+", base), base
    assert urls["Documentation"] == f"{base}/tree/main/docs"
    assert (ROOT / "docs").is_dir()


def test_every_readme_link_is_absolute_and_points_at_a_file_of_the_repository():
    base, _ = declared_base()
    targets = link_targets(README.read_text())
    assert len(targets) >= 5, "README.md links to its benchmarks and docs"
    bad = []
    for line, url in targets:
        where = repository_path(url, base)
        if where is None:
            bad.append(f"line {line}: {url} is not an absolute URL under {base}")
            continue
        path, is_dir = where
        target = ROOT / path
        if not path or not (target.is_dir() if is_dir else target.is_file()):
            bad.append(f"line {line}: {url} names {path!r}, which the repository lacks")
    assert not bad, "README.md links that break on the package index:\n" + "\n".join(bad)


def test_images_come_from_raw_files():
    base, _ = declared_base()
    owner_repo = urlsplit(base).path.strip("/")
    images = re.findall(r"!\[[^\]]*\]\(([^)\s]+)", README.read_text())
    assert images, "README.md shows its pictures"
    for url in images:
        assert url.startswith(f"https://raw.githubusercontent.com/{owner_repo}/main/"), url

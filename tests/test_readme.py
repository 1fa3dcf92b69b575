"""Every ```python block of README.md runs and prints something.

Each block runs in a fresh namespace, unless its first line is
``# continues the previous block``.  A block whose paragraph says that
`tests/test_ray_tune.py` runs it is left to that test.
"""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
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


def test_every_block_runs_and_prints(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    ran = 0
    for line, code, elsewhere in blocks():
        if elsewhere:
            continue
        if not code.startswith(CONTINUES):
            namespace = {"__name__": "__main__"}
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"README.md, block at line {line}", "exec"), namespace)
        assert out.getvalue().strip(), f"the block at line {line} of README.md prints nothing"
        ran += 1
    assert ran >= 3

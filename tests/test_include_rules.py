"""One engine: the low-level module samples through the public engine's
kernels, and the engine's translation unit never reaches the low-level
module's glue, which calls NumPy through a replaceable `np`."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
KERNELS = "kestrovane/selection_core/kernels/"
LOW_LEVEL_GLUE = {KERNELS + name for name in (
    "numpy_calls.hpp", "population.hpp", "rating_work.hpp",
    "accumulator_arrays.hpp", "counting_kernel.hpp", "selection_kernel.hpp",
    "detailed_kernel.hpp", "detailed_result.hpp")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def reached(start: str) -> dict[str, str]:
    """Every project header `start` includes, directly or not, with the file
    that includes it first."""
    seen: dict[str, str] = {}
    todo = [start]
    while todo:
        current = todo.pop()
        for header in INCLUDE.findall((SRC / current).read_text()):
            if header not in seen and (SRC / header).exists():
                seen[header] = current
                todo.append(header)
    return seen


def test_the_engine_never_includes_the_low_level_glue() -> None:
    seen = reached("kestrovane/_api/_engine.cpp")
    assert KERNELS + "engine_boundary.hpp" in seen  # the walk works
    bad = sorted(f"{h} (from {seen[h]})" for h in LOW_LEVEL_GLUE & seen.keys())
    assert not bad, "the engine reaches _mc_rank's glue: " + ", ".join(bad)


def test_the_low_level_module_samples_through_the_engine() -> None:
    seen = reached("kestrovane/selection_core/_mc_rank.cpp")
    for kernel in ("threaded_counting.hpp", "threaded_detailed.hpp"):
        assert KERNELS + kernel in seen, f"_mc_rank does not reach {kernel}"


def test_numeric_headers_include_only_numeric_code() -> None:
    free = ("kestrovane/selection_core/kernels/numeric/", "kestrovane/selection_core/random/",
            "kestrovane/selection_core/quantiles/", "kestrovane/_native/rating_")
    for path in SRC.glob("kestrovane/selection_core/kernels/numeric/*.hpp"):
        for header in INCLUDE.findall(path.read_text()):
            assert header.startswith(free), f"{path.name} includes {header}"

"""The floor: a C++ loop (benchmarks/floor/floor.cpp) that only draws the
N*M deviates with the package's generator and sorts each objective once,
built into build/floor/ when its source is newer."""

import ctypes
import os
import shutil
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parents[1]
ROOT = HERE.parent
FLOOR_SRC = HERE / "floor" / "floor.cpp"
FLOOR_DIR = ROOT / "build" / "floor"
FLOOR_FLAGS = ["-std=c++17", "-O3", "-ffp-contract=off", "-fno-math-errno", "-Wall", "-Wextra"]
RNG_HEADER = ROOT / "src" / "kestrovane" / "selection_core" / "random" / "xoshiro256ss.hpp"


def build_floor():
    """Builds build/floor/floor (program) and libfloor.so (same source)."""
    FLOOR_DIR.mkdir(parents=True, exist_ok=True)
    exe, lib = FLOOR_DIR / "floor", FLOOR_DIR / "libfloor.so"
    newest = max(FLOOR_SRC.stat().st_mtime, RNG_HEADER.stat().st_mtime)
    cxx = os.environ.get("CXX") or shutil.which("g++") or "c++"
    inc = ["-I", str(ROOT / "src")]
    if not exe.exists() or exe.stat().st_mtime < newest:
        subprocess.run([cxx, *FLOOR_FLAGS, *inc, str(FLOOR_SRC), "-o", str(exe)], check=True)
    if not lib.exists() or lib.stat().st_mtime < newest:
        subprocess.run([cxx, *FLOOR_FLAGS, "-fPIC", "-shared", "-DFLOOR_NO_MAIN", *inc,
                        str(FLOOR_SRC), "-o", str(lib)], check=True)
    fn = ctypes.CDLL(str(lib)).floor_run
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_uint64,
                   ctypes.c_void_p, ctypes.c_void_p]
    return exe, fn


def standalone_line(exe):
    """The standalone program's own line, a cross-check of the in-process library."""
    return subprocess.run([str(exe), "128", "3", "20000"], check=True,
                          capture_output=True, text=True).stdout.strip()

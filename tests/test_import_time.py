"""`import kestrovane` stays light: the version comes from a module the build
writes, not from importlib.metadata (most of the former 57-111 ms)."""
import subprocess
import sys
from importlib import metadata


def test_import_reads_no_metadata_and_knows_its_version():
    probe = ("import sys, kestrovane; print(kestrovane.__version__); "
             "print(sorted(m for m in sys.modules if m.startswith('importlib.metadata')))")
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert out == [metadata.version("kestrovane"), "[]"]

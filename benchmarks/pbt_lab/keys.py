"""What a kept run is keyed by: a digest of everything its figures depend on.

Four parts, each a digest of its own, so that a stale run can say which
changed:

- world: the family's parameters (every class attribute but its
  description) and the source of its class, of the classes it builds on and
  of what families.py shares between families (another family's class is
  not part of it);
- settings: the run's design (seed, M, N, window, share, decision interval,
  reports needed, the simulated time it is given) and the policy's label
  and settings (`named.py`);
- simulator: the source of simulator.py and of the one hypervolume, and the
  moocore version that computes it;
- package: the package's version and its sources (but for the command line,
  Ray and the stores, which the lab never imports).
"""

from __future__ import annotations

import ast
import functools
import hashlib
import inspect
import json
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

from benchmarks.pbt_lab import families as families_module
from benchmarks.pbt_lab.design import design
from benchmarks.pbt_lab.families import FAMILIES, Family
from benchmarks.pbt_lab.named import resolve

ROOT = Path(__file__).resolve().parents[2]
SIMULATOR_SOURCES = ("benchmarks/pbt_lab/simulator.py", "benchmarks/hypervolume.py")
PACKAGE_SUFFIXES = (".py", ".hpp", ".cpp", ".h")
#: Parts of the package the lab never imports: the command line, Ray and the stores.
UNUSED_PACKAGES = ("cli", "integrations", "storage")
PARTS = ("world", "settings", "simulator", "package")


def digest(obj: Any) -> str:
    """A short digest of text, bytes or anything JSON writes."""
    data = obj if isinstance(obj, bytes) else \
        (obj if isinstance(obj, str) else json.dumps(obj, sort_keys=True, default=repr)).encode()
    return hashlib.sha256(data).hexdigest()[:16]


def package_digest(root: Path = ROOT) -> str:
    import kestrovane

    h = hashlib.sha256(kestrovane.__version__.encode())
    package = root / "src" / "kestrovane"
    files = sorted(p for p in package.rglob("*")
                   if p.suffix in PACKAGE_SUFFIXES and p.is_file()
                   and p.relative_to(package).parts[0] not in UNUSED_PACKAGES)
    for path in files:
        h.update(str(path.relative_to(root)).encode())
        h.update(path.read_bytes())
    return h.hexdigest()[:16]


def simulator_digest(root: Path = ROOT) -> str:
    try:
        from moocore import __version__ as moocore_version
    except ImportError:  # the slicing fallback: other bits, so other keys
        moocore_version = None
    return digest({"moocore": moocore_version,
                   "sources": {name: digest((root / name).read_bytes())
                               for name in SIMULATOR_SOURCES}})


def world(family: Family) -> dict[str, Any]:
    """The family's parameters and the digest of the source that defines it."""
    kind = type(family)
    names = {n for k in kind.__mro__ for n in vars(k) if not n.startswith("__")}
    parameters = {n: getattr(family, n) for n in sorted(names)
                  if n != "description" and not callable(getattr(family, n))
                  and not isinstance(getattr(kind, n, None), property)}
    return {"name": family.name, "parameters": parameters, "source": digest(_source(kind))}


def _source(kind: type) -> str:
    """families.py without its docstring, the registry and other families' classes."""
    text = inspect.getsource(families_module)
    own = {k.__name__ for k in kind.__mro__}
    others = {type(f).__name__ for f in FAMILIES.values()} - own
    kept = []
    for node in ast.parse(text).body[1:]:
        if isinstance(node, ast.ClassDef) and node.name in others:
            continue
        if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", "") == "FAMILIES":
            continue
        kept.append(ast.get_source_segment(text, node) or "")
    return "\n".join(kept)


@dataclass(frozen=True)
class Keys:
    """The keys of runs under one simulator and package."""

    simulator: str
    package: str

    @classmethod
    def current(cls) -> Keys:
        return cls(simulator_digest(), package_digest())

    def parts(self, policy: str, family: str, seed: int) -> dict[str, str]:
        return {"world": _world_digest(family),
                "settings": _settings_digest(policy, family, seed),
                "simulator": self.simulator, "package": self.package}

    def key(self, policy: str, family: str, seed: int) -> str:
        return key_of(self.parts(policy, family, seed))


def key_of(parts: dict[str, str]) -> str:
    return digest([parts[p] for p in PARTS])


@functools.cache
def _world_digest(family: str) -> str:
    return digest(world(FAMILIES[family]))


@functools.cache
def _settings_digest(policy: str, family: str, seed: int) -> str:
    d = design(family, seed)
    return digest({"seed": seed, "design": asdict(d), "budget": FAMILIES[family].horizon,
                   "policy": policy, "policy_settings": resolve(policy).settings})

"""A policy by the name the lab's command line and reports give it: a label
of the lab ("plain", "default", "mc:<options>", ...) or `module:attribute`,
an attribute that is a policy or a zero-argument factory of one.

Each comes with its settings, what the kept runs are keyed by: a policy of
the package by its class and fields (its code is in the package's digest),
anything else also by a digest of the source it is defined in.
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
import importlib
import inspect
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from benchmarks.pbt_lab import policies as lab
from benchmarks.pbt_lab.simulator import PolicyFactory
from kestrovane.pbt.policies import MonteCarloRule, ParetoRule, Policy

#: The lab's own baselines: each gets the run's truth (only the oracle uses it).
BASELINES: dict[str, PolicyFactory] = {
    "oracle": lab.oracle,
    "random": lab.random_exploit,
    "scalarised": lab.scalarised,
    "search": lab.search,
    "last": lab.last_report,
    "stock": lab.stock,
}


class PolicyError(ValueError):
    """A name that gives no policy; the message says why, on one line."""


@dataclass(frozen=True)
class Named:
    label: str               # the name, as reports show it
    build: PolicyFactory     # a fresh policy for each run
    settings: dict[str, Any]  # what the kept runs are keyed by


def parse_options(text: str) -> dict[str, Any]:
    """"n_samples=500,source=sample" -> {"n_samples": 500, "source": "sample"}."""
    out: dict[str, Any] = {}
    for item in filter(None, text.split(",")):
        key, sep, value = item.partition("=")
        if not sep:
            raise PolicyError(f"option {item!r} is not name=value")
        out[key] = None if value == "None" else _number_or_text(value)
    return out


def _number_or_text(value: str) -> Any:
    for kind in (int, float):
        try:
            return kind(value)
        except ValueError:
            pass
    return value


@functools.cache
def resolve(name: str) -> Named:
    """The policy `name` stands for; PolicyError if it stands for none."""
    if name in ("plain", "default") or name.startswith(("mc:", "pareto:")):
        made = _package_rule(name)
        return Named(name, lambda _truth: made, _fields(made))
    if name in BASELINES:
        build = BASELINES[name]
        return Named(name, build, {"baseline": name, "source": _digest(inspect.getsource(build))})
    if ":" in name:
        return _imported(name)
    raise PolicyError(f"unknown policy {name!r}: a label of the lab (plain, default, "
                      f"{', '.join(BASELINES)}, mc:<options>, pareto:<options>) "
                      "or module:attribute")


def _package_rule(name: str) -> Policy:
    kind, _, options = name.partition(":")
    try:
        if kind in ("plain", "pareto"):
            return ParetoRule(**parse_options(options))
        return MonteCarloRule(**parse_options(options))
    except (TypeError, ValueError) as exc:  # an option it lacks, a value out of range
        raise PolicyError(f"{name}: {exc}") from None


def _imported(name: str) -> Named:
    module_name, _, attribute = name.partition(":")
    try:
        module = importlib.import_module(module_name)
    except Exception as exc:  # whatever the import raised, the user sees it on one line
        raise PolicyError(f"{name}: cannot import {module_name!r}: {_said(exc)}") from None
    try:
        obj = functools.reduce(getattr, attribute.split("."), module)
    except AttributeError:
        raise PolicyError(f"{name}: module {module_name!r} has no attribute "
                          f"{attribute!r}") from None
    make = _maker(name, obj)
    settings = _fields(make())
    settings["module_source"] = _digest(_source_of(module))
    return Named(name, lambda _truth: make(), settings)


def _maker(name: str, obj: object) -> Callable[[], Policy]:
    """A zero-argument factory is called for each run; a policy is used as it is."""
    if _takes(obj, 1):
        return lambda: obj  # type: ignore[return-value]
    if _takes(obj, 0):
        try:
            made = obj()  # type: ignore[operator]
        except Exception as exc:
            raise PolicyError(f"{name}: the factory raised {_said(exc)}") from None
        if _takes(made, 1):
            return obj  # type: ignore[return-value]
        raise PolicyError(f"{name}: the factory returned {type(made).__name__}, not a "
                          "policy (a callable of one Evidence returning a Verdict)")
    raise PolicyError(f"{name}: a {type(obj).__name__} is not a policy (a callable of one "
                      "Evidence returning a Verdict) nor a zero-argument factory of one")


def _said(exc: Exception) -> str:
    """An exception on one line, as the lab's error reports it."""
    return f"{type(exc).__name__}: {' '.join(str(exc).split())}"


def _takes(obj: object, count: int) -> bool:
    """Whether `obj` can be called with `count` positional arguments (and
    nothing else is required); a class counts by its constructor."""
    if not callable(obj):
        return False
    try:
        inspect.signature(obj).bind(*range(count))
    except (TypeError, ValueError):
        return False
    return not (count == 1 and inspect.isclass(obj))


def _fields(made: object) -> dict[str, Any]:
    kind = made if inspect.isfunction(made) else type(made)
    out: dict[str, Any] = {"type": f"{kind.__module__}.{kind.__qualname__}"}
    if dataclasses.is_dataclass(made):
        out["fields"] = repr(made)
    return out


def _source_of(module: object) -> str:
    try:
        return inspect.getsource(module)  # type: ignore[arg-type]
    except (OSError, TypeError):  # no source to read: its name must do
        return getattr(module, "__name__", "")


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()[:16]

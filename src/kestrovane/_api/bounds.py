"""What a parameter's value may be: whole numbers in a range, real numbers in
a range, or one of a few names; each kind checks a value and says what it
allows, in the public functions' messages, the command line's and the docs'.

Every check raises TypeError for the wrong kind of object (bools are not
numbers here) and ValueError for a value of the right kind outside the
bounds or choices; messages name the argument.
"""

from __future__ import annotations

import numbers
from collections.abc import Collection, Mapping
from dataclasses import dataclass, field
from typing import Any, Final, Protocol, Self, TypeVar

import numpy as np

INT32_MAX: Final = 2**31 - 1
INT64_MIN: Final = -(2**63)
INT64_MAX: Final = 2**63 - 1
UINT64_MAX: Final = 2**64 - 1

T_co = TypeVar("T_co", covariant=True)


class Kind(Protocol[T_co]):
    def check(self, value: object, what: str) -> T_co: ...

    def words(self) -> str:
        """What the kind allows, as the docs write it: "1 to 2**31 - 1", "(0, 1]"."""
        ...


def is_bool(value: object) -> bool:
    return isinstance(value, (bool, np.bool_))


def alternatives(options: Collection[str]) -> str:
    quoted = [repr(o) for o in options]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " or " + quoted[-1]


def _number_text(x: float) -> str:
    return str(x) if isinstance(x, int) else f"{x:g}"


def _doc_number(x: float) -> str:
    """As the docs write a number: 2**31 - 1 rather than its digits."""
    if isinstance(x, int) and x >= 2**16 and (x + 1) & x == 0:
        return f"2**{(x + 1).bit_length() - 1} - 1"
    return _number_text(x)


@dataclass(frozen=True)
class _Range:
    low: float
    high: float
    #: The range excludes `low`, as (0, 1] does.
    low_open: bool = False
    #: The range excludes `high`, as [0, inf) does.
    high_open: bool = False
    #: How `high` is written in messages, e.g. "2**64 - 1" instead of its digits.
    high_text: str = ""

    def __contains__(self, value: float) -> bool:
        above = self.low < value if self.low_open else self.low <= value
        below = value < self.high if self.high_open else value <= self.high
        return above and below  # False for NaN

    def interval(self) -> str:
        """The range as the Python functions' messages write it: "[1, 64]", "(0, 1]"."""
        high = self.high_text or _number_text(self.high)
        return (f"{'(' if self.low_open else '['}{_number_text(self.low)}, {high}"
                f"{')' if self.high_open else ']'}")

    def span(self) -> str:
        """The range as the command line writes it: "1 .. 64", "(0, 1]"."""
        if self.low_open or self.high_open:
            return self.interval()
        return f"{_number_text(self.low)} .. {self.high_text or _number_text(self.high)}"

    def words(self) -> str:
        if self.low_open or self.high_open:
            return self.interval()
        return f"{_doc_number(self.low)} to {_doc_number(self.high)}"

    @classmethod
    def of_engine(cls, bounds: tuple[Any, Any, bool, bool], high_text: str = "") -> Self:
        """A range from the engine's (low, high, low_open, high_open)."""
        low, high, low_open, high_open = bounds
        return cls(low, high, low_open, high_open, high_text)


@dataclass(frozen=True)
class IntRange(_Range):
    """Whole numbers from `low` to `high`, both included."""

    low: int
    high: int

    def check(self, value: object, what: str) -> int:
        """`value` as an int: TypeError for anything but an integer (bools
        too), ValueError outside the range."""
        if is_bool(value) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{what} must be an integer; got {value!r}")
        v = int(value)
        if v not in self:
            raise ValueError(f"{what} must be in {self.interval()}; got {v}")
        return v


@dataclass(frozen=True)
class RealRange(_Range):
    """Real numbers from `low` to `high` (an open end excluded)."""

    def check(self, value: object, what: str) -> float:
        """`value` as a float: TypeError for anything but a real number (bools
        too), ValueError outside the range (NaN, and integers beyond the
        float range, too)."""
        if is_bool(value) or not isinstance(value, numbers.Real):
            raise TypeError(f"{what} must be a real number in {self.interval()}; "
                            f"got {value!r}")
        try:
            v = float(value)
        except OverflowError:
            raise ValueError(f"{what} must be in {self.interval()}; got {value!r}") from None
        if v not in self:
            raise ValueError(f"{what} must be in {self.interval()}; got {v!r}")
        return v


@dataclass(frozen=True)
class Choice:
    """One of `options` (a str), listed in messages in this order.  `coded`
    names the native codes in code order (the engine's MODES, ...) for an
    option the kernels take as an integer."""

    options: tuple[str, ...]
    coded: tuple[str, ...] = ()
    codes: Mapping[str, int] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        if self.coded and set(self.coded) != set(self.options):
            raise RuntimeError(f"the native codes name {self.coded}, the options are "
                               f"{self.options}")
        object.__setattr__(self, "codes", {o: self.coded.index(o) for o in self.options}
                           if self.coded else {})

    def check(self, value: object, what: str) -> str:
        """`value` as a plain str: TypeError for anything but a str,
        ValueError for a str that is not an option."""
        if not isinstance(value, str):
            raise TypeError(f"{what} must be {alternatives(self.options)}; got {value!r}")
        if value not in self.options:
            raise ValueError(f"{what} must be {alternatives(self.options)}; got {value!r}")
        return str(value)

    def code(self, value: str) -> int:
        return self.codes[value]

    def words(self) -> str:
        return alternatives(self.options)

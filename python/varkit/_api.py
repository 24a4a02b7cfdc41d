"""Name-based conveniences over _varkit: look up, read, write, describe,
walk and decode variables."""

from __future__ import annotations

import errno
from collections.abc import Iterator
from typing import TypeAlias

import _varkit

from . import _host
from ._records import (
    LOADAVG,
    NUMERIC,
    TIMEVAL,
    LoadAvg,
    Timeval,
    Value,
    parse_loadavg,
    parse_timeval,
    type_name,
)

#: What decode() gives: a variable's value, with the timeval and loadavg
#: records turned into Timeval and LoadAvg.
Decoded: TypeAlias = Value | Timeval | LoadAvg

#: What set() takes.
NewValue: TypeAlias = int | str | bytes | bytearray


class UnknownNameError(LookupError):
    """No variable or subtree of the MIB has this name."""

    def __init__(self, name: str) -> None:
        super().__init__(f"unknown variable {name!r}")
        self.name = name


class NotAVariableError(LookupError):
    """The name is a subtree of the MIB, not one variable."""

    def __init__(self, name: str) -> None:
        super().__init__(f"{name!r} is a subtree, not a variable")
        self.name = name


def find(name: str) -> list[_varkit.Sysctl]:
    """The variable called `name`, or those of the subtree it names."""
    if not name or "\0" in name:
        raise UnknownNameError(name)
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # the kernel's names are UTF-8
        raise UnknownNameError(name) from None
    objs = _varkit.filter(name)
    if not objs:
        raise UnknownNameError(name)
    return objs


def _is_leaf(name: str, objs: list[_varkit.Sysctl]) -> bool:
    # A leaf named directly comes back alone; a subtree lists what lies
    # below it, even when that is a single variable.
    below = name.rstrip(".") + "."
    return len(objs) == 1 and not objs[0].name.startswith(below)


def lookup(name: str) -> _varkit.Sysctl:
    """The variable called `name`.

    Raises UnknownNameError, or NotAVariableError for a subtree.
    """
    objs = find(name)
    if not _is_leaf(name, objs):
        raise NotAVariableError(name)
    return objs[0]


def get(name: str) -> Value:
    """The value of the variable called `name`, read from the kernel."""
    return lookup(name).value


def describe(name: str) -> str:
    """The kernel's description of the variable; "" if it keeps none."""
    try:
        return lookup(name).description
    except OSError as e:
        if e.errno == errno.ENOENT:
            return ""
        raise OSError(e.errno, e.strerror, name) from None


def walk(prefix: str = "", writable: bool | None = None) -> Iterator[_varkit.Sysctl]:
    """The variables under `prefix` (the whole MIB when empty), in OID order.

    With `writable` True or False only the writable or read-only ones.  The
    walk is made at once: an unknown prefix raises UnknownNameError here.
    """
    objs = find(prefix) if prefix else _varkit.filter()
    return iter([o for o in objs if writable is None or o.writable is writable])


def encode(obj: _varkit.Sysctl, value: NewValue) -> int | str | bytearray:
    """`value` checked against the variable's type, ready for assignment.

    Raises TypeError for a value of the wrong kind, OverflowError for a
    number the type cannot hold, ValueError for text the kernel cannot take.
    """
    code = obj.type
    kind = type_name(code)
    if code in NUMERIC:
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(
                f"{obj.name}: expected an int for this {kind} variable, "
                f"not {type(value).__name__}"
            )
        _, lo, hi = NUMERIC[code]
        if not lo <= value <= hi:
            raise OverflowError(
                f"{obj.name}: {value} is out of range for this {kind} "
                f"variable ({lo} to {hi})"
            )
        return int(value)
    if code == _varkit.CTLTYPE_STRING:
        if not isinstance(value, str):
            raise TypeError(
                f"{obj.name}: expected a str for this string variable, "
                f"not {type(value).__name__}"
            )
        if "\0" in value:
            raise ValueError(f"{obj.name}: text with a NUL character")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{obj.name}: text that UTF-8 cannot encode") from None
        return str(value)
    if code == _varkit.CTLTYPE_OPAQUE:
        if not isinstance(value, (bytes, bytearray)):
            raise TypeError(
                f"{obj.name}: expected bytes for this opaque variable, "
                f"not {type(value).__name__}"
            )
        return bytearray(value)
    raise TypeError(f"{obj.name}: a variable of type {kind} cannot be set")


def assign(obj: _varkit.Sysctl, value: NewValue) -> None:
    """Writes `value` to the variable behind `obj` (see encode())."""
    if not obj.writable:
        raise PermissionError(errno.EPERM, "read-only variable", obj.name)
    staged = encode(obj, value)
    try:
        obj.value = staged
    except OSError as e:
        raise OSError(e.errno, e.strerror, obj.name) from None
    except TypeError as e:  # a refusal _varkit words itself
        raise TypeError(f"{obj.name}: {e}") from None


def set(name: str, value: NewValue) -> None:
    """Writes `value` to the variable called `name`.

    Numbers go to numeric variables, str to string ones, bytes to opaque
    ones.  Raises PermissionError for a read-only variable, TypeError,
    OverflowError or ValueError for a value the variable cannot take (no
    call is made), and OSError when the kernel refuses the write.
    """
    assign(lookup(name), value)


def decode(obj: _varkit.Sysctl | str) -> Decoded:
    """The value of a variable (or of the variable called `obj`) with the
    "S,timeval" record as a Timeval and "S,loadavg" as a LoadAvg; other
    values as _varkit gives them (the clock record is already a dict).
    """
    if isinstance(obj, str):
        obj = lookup(obj)
    value = obj.value
    if isinstance(value, bytearray) and obj.type == _varkit.CTLTYPE_OPAQUE:
        fmt = _host.format_of(obj)
        record: Decoded = None
        if fmt == TIMEVAL:
            record = parse_timeval(value)
        elif fmt == LOADAVG:
            record = parse_loadavg(value)
        if record is not None:
            return record
    return value

"""The kernel's records and type codes as Python values.

Pure data handling, no kernel call: the names of the type codes, the
default format string of each, and the layouts of the records that come
back as opaque bytes ("S,timeval", "S,loadavg") or as a dict
("S,clockinfo").  Everything is in the host's byte order, as the kernel
hands it out.
"""

from __future__ import annotations

import datetime as _dt
import struct
from collections.abc import Mapping
from typing import NamedTuple, TypeAlias

from _varkit import (
    CTLTYPE_INT,
    CTLTYPE_LONG,
    CTLTYPE_NODE,
    CTLTYPE_OPAQUE,
    CTLTYPE_S64,
    CTLTYPE_STRING,
    CTLTYPE_U64,
    CTLTYPE_UINT,
    CTLTYPE_ULONG,
)

#: What a variable's value can be, as _varkit decodes it: an int (one
#: element), a list of ints (several, or none), text, the clock record as a
#: dict, the bytes of anything else (or of a numeric reply shorter than one
#: element), and None for an interior node.
Value: TypeAlias = int | str | list[int] | dict[str, int] | bytearray | None

# Type code -> (name printed for it, format string the kernel gives it).
TYPES: dict[int, tuple[str, str]] = {
    CTLTYPE_NODE: ("node", "N"),
    CTLTYPE_INT: ("integer", "I"),
    CTLTYPE_STRING: ("string", "A"),
    CTLTYPE_S64: ("int64_t", "Q"),
    CTLTYPE_OPAQUE: ("opaque", ""),
    CTLTYPE_UINT: ("unsigned integer", "IU"),
    CTLTYPE_LONG: ("long integer", "L"),
    CTLTYPE_ULONG: ("unsigned long", "LU"),
    CTLTYPE_U64: ("uint64_t", "QU"),
}

# Numeric type code -> (struct code of one element, lowest, highest value).
NUMERIC: dict[int, tuple[str, int, int]] = {
    CTLTYPE_INT: ("i", -(2**31), 2**31 - 1),
    CTLTYPE_UINT: ("I", 0, 2**32 - 1),
    CTLTYPE_LONG: ("q", -(2**63), 2**63 - 1),
    CTLTYPE_S64: ("q", -(2**63), 2**63 - 1),
    CTLTYPE_ULONG: ("Q", 0, 2**64 - 1),
    CTLTYPE_U64: ("Q", 0, 2**64 - 1),
}

TIMEVAL = "S,timeval"
LOADAVG = "S,loadavg"
CLOCKINFO = "S,clockinfo"

# The fixed-point scale the kernel's load averages use.
LOAD_FSCALE = 2048


def type_name(code: int) -> str:
    """The name of a type code, as -t prints it."""
    entry = TYPES.get(code)
    return entry[0] if entry else f"type {code}"


def default_format(code: int) -> str:
    """The format string a kernel gives a variable of this type code."""
    entry = TYPES.get(code)
    return entry[1] if entry else ""


class Timeval(NamedTuple):
    """A "S,timeval" record: seconds and microseconds since the epoch."""

    sec: int
    usec: int

    def to_datetime(self) -> _dt.datetime:
        """The moment as an aware datetime in UTC."""
        epoch = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
        return epoch + _dt.timedelta(seconds=self.sec, microseconds=self.usec)


class LoadAvg(NamedTuple):
    """A "S,loadavg" record: the load averages over 1, 5 and 15 minutes."""

    load1: float
    load5: float
    load15: float


# Layouts by length: 64-bit hosts first, then 32-bit ones.
_TIMEVAL_LAYOUTS = {16: "=qq", 8: "=ii"}
_LOADAVG_LAYOUTS = {24: "=3I4xq", 16: "=3Ii"}
_CLOCKINFO_LAYOUT = "=5i"  # hz, tick, spare, stathz, profhz


def parse_timeval(data: bytes | bytearray) -> Timeval | None:
    """The record in `data`, or None if it has no timeval's length."""
    layout = _TIMEVAL_LAYOUTS.get(len(data))
    if layout is None:
        return None
    sec, usec = struct.unpack(layout, data)
    return Timeval(sec, usec)


def parse_loadavg(data: bytes | bytearray) -> LoadAvg | None:
    """The record in `data`, or None if it is not a usable loadavg."""
    layout = _LOADAVG_LAYOUTS.get(len(data))
    if layout is None:
        return None
    a, b, c, fscale = struct.unpack(layout, data)
    if fscale <= 0:
        return None
    return LoadAvg(a / fscale, b / fscale, c / fscale)


def pack_timeval(tv: Timeval) -> bytes:
    return struct.pack("=qq", tv.sec, tv.usec)


def pack_loadavg(la: LoadAvg) -> bytes:
    fixed = (round(x * LOAD_FSCALE) for x in la)
    return struct.pack("=3I4xq", *fixed, LOAD_FSCALE)


def pack_clockinfo(clock: Mapping[str, int]) -> bytes:
    """The clock record's bytes; _varkit keeps no spare field: it packs as 0."""
    return struct.pack(
        _CLOCKINFO_LAYOUT,
        clock["hz"],
        clock["tick"],
        0,
        clock["stathz"],
        clock["profhz"],
    )


def pack_numbers(code: int, values: int | list[int]) -> bytes:
    """Numbers as a variable of a numeric type code holds them."""
    elem = NUMERIC[code][0]
    items = [values] if isinstance(values, int) else values
    return struct.pack(f"={len(items)}{elem}", *items)

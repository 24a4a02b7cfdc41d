"""The emulated MIB as a test double for code that reads kernel state.

On a host without sysctl(3) (Linux), varkit's MIB provider can serve an
emulated, FreeBSD-like MIB in place of the host's live one.  Code under test
that reads the MIB through varkit or _varkit then sees whatever the test put
there, fails where the test injected a fault, and leaves a log of every call
it made::

    from varkit.testing import emulated_mib

    def test_reports_the_os(mib):                # the pytest fixture ...
        mib.add_variable("kern.ostype", [1, 1], "Plan B")
        assert my_code.os_name() == "Plan B"

    with emulated_mib() as mib:                  # ... or the context manager
        mib.inject(errno.EPERM, oid=[1, 1])
        ...

The tree is process-wide: tests that use it must not run in parallel
threads of one process.  On leaving, the tree served before comes back
(the /proc/sys view with its root, or the emulated default tree: the
provider keeps no copy of other emulated contents).
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import NamedTuple

import _varkit

from . import _host
from ._records import (
    CLOCKINFO,
    LOADAVG,
    NUMERIC,
    TIMEVAL,
    LoadAvg,
    Timeval,
    default_format,
    pack_clockinfo,
    pack_loadavg,
    pack_numbers,
    pack_timeval,
)

try:
    import _varkit_mib
except ImportError as e:  # pragma: no cover - FreeBSD
    raise ImportError(
        "varkit.testing needs varkit's MIB provider, which is built only on "
        "hosts whose C library has no sysctl(3)"
    ) from e

CTLFLAG_RD = _varkit_mib.CTLFLAG_RD
CTLFLAG_WR = _varkit_mib.CTLFLAG_WR
CTLFLAG_TUN = _varkit_mib.CTLFLAG_TUN
CTLFLAG_SKIP = _varkit_mib.CTLFLAG_SKIP

#: What add_variable() can encode.
Encodable = (
    int | str | bytes | bytearray | list[int] | Timeval | LoadAvg | Mapping[str, int]
)


class Call(NamedTuple):
    """One call the provider served."""

    oid: tuple[int, ...]  # as sent: (0, query, ...) for an internal query
    offered: int | None  # the buffer size offered for the value, if any
    new: bytes | None  # the bytes written, if any
    errno: int  # 0 on success


def _encode(value: Encodable, code: int | None) -> tuple[int, str, bytes]:
    """(type code, format, bytes) of a value, the type code inferred if None."""
    if isinstance(value, bool):
        raise TypeError("a bool is not a kernel value: give an int")
    if isinstance(value, Timeval):
        return _varkit.CTLTYPE_OPAQUE, TIMEVAL, pack_timeval(value)
    if isinstance(value, LoadAvg):
        return _varkit.CTLTYPE_OPAQUE, LOADAVG, pack_loadavg(value)
    if isinstance(value, Mapping):
        return _varkit.CTLTYPE_OPAQUE, CLOCKINFO, pack_clockinfo(value)
    if isinstance(value, (bytes, bytearray)):
        return code or _varkit.CTLTYPE_OPAQUE, "", bytes(value)
    if isinstance(value, str):
        if code not in (None, _varkit.CTLTYPE_STRING):
            raise TypeError("text makes a string variable")
        return _varkit.CTLTYPE_STRING, "A", value.encode()
    code = code or _varkit.CTLTYPE_INT
    if code not in NUMERIC:
        raise TypeError(f"numbers make a numeric variable, not type code {code}")
    return code, default_format(code), pack_numbers(code, value)


class EmulatedMIB:
    """Typed access to the emulated MIB that the provider serves."""

    def add(
        self,
        name: str,
        oid: Sequence[int],
        kind: int,
        fmt: str = "",
        value: bytes | None = None,
        description: str | None = None,
    ) -> None:
        """Adds a node: `kind` is the type code with its CTLFLAG_ flags,
        `value` the bytes the kernel hands out.  Missing ancestors are made
        as interior nodes."""
        _varkit_mib.add(name, list(oid), kind, fmt, value, description)

    def add_variable(
        self,
        name: str,
        oid: Sequence[int],
        value: Encodable,
        *,
        type: int | None = None,
        fmt: str | None = None,
        writable: bool = False,
        tuneable: bool = False,
        skip: bool = False,
        description: str | None = None,
    ) -> None:
        """Adds a variable holding `value`, encoded as the kernel would:

        an int or a list of ints makes an integer variable (or one of the
        numeric `type` given), a str a string, bytes an opaque variable, a
        Timeval, LoadAvg or clock dict the matching "S,..." record.  A
        variable already at `oid` is replaced.
        """
        code, form, raw = _encode(value, type)
        try:
            held = _varkit_mib.get(list(oid))
        except KeyError:
            held = None
        if held is not None:  # a variable (an interior node holds None)
            _varkit_mib.remove(list(oid))
        kind = code | CTLFLAG_RD
        kind |= CTLFLAG_WR if writable else 0
        kind |= CTLFLAG_TUN if tuneable else 0
        kind |= CTLFLAG_SKIP if skip else 0
        self.add(name, oid, kind, form if fmt is None else fmt, raw, description)

    def set(self, oid: Sequence[int], value: bytes) -> None:
        """Replaces the bytes of the node at `oid` (KeyError if none)."""
        _varkit_mib.set(list(oid), value)

    def get(self, oid: Sequence[int]) -> bytes | None:
        """The bytes of the node at `oid`, None for an interior node."""
        return _varkit_mib.get(list(oid))

    def remove(self, oid: Sequence[int]) -> None:
        """Removes the node at `oid` and everything below it."""
        _varkit_mib.remove(list(oid))

    def inject(
        self,
        err: int,
        *,
        oid: Sequence[int] | None = None,
        query: int | None = None,
        times: int = 1,
        size: int | None = None,
    ) -> None:
        """Makes the next `times` matching calls fail with errno `err`.

        Without `query` a fault matches reads and writes of the variable at
        `oid` (any variable if None); with it, the kernel's internal query of
        that number (1 name, 2 next, 3 name to OID, 4 format, 5 description)
        about `oid`.  `size` is left in the caller's length.
        """
        _varkit_mib.inject(
            err,
            oid=None if oid is None else list(oid),
            query=query,
            times=times,
            size=size,
        )

    def calls(self) -> list[Call]:
        """Every call served since the log was last cleared, in order."""
        return [Call(*c) for c in _varkit_mib.calls()]

    def clear_calls(self) -> None:
        _varkit_mib.clear_calls()

    def reset(self) -> None:
        """Empties the tree, drops all faults and clears the call log."""
        _varkit_mib.reset()

    def load_default(self) -> None:
        """reset(), then loads the default tree."""
        _varkit_mib.load_default()


@contextmanager
def emulated_mib(*, default: bool = True) -> Iterator[EmulatedMIB]:
    """Serves a fresh emulated MIB for the length of the block.

    The tree holds the default tree (or nothing, with `default` False), no
    fault is pending and the call log is empty.  On leaving, the tree
    served before comes back, as a fresh process finds it.
    """
    before = _host.active_tree()
    _host.serve_emulated(default=default)
    try:
        yield EmulatedMIB()
    finally:
        _host.restore(before)

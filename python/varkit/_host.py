"""What differs from host to host, kept in one place.

_varkit keeps a variable's format string to itself.  Here it is asked for
again with the kernel's format query (0, 4, OID...): on hosts without
sysctl(3) in the C library through the MIB provider _varkit_mib, on
FreeBSD through the C library's sysctl(3).  When neither answers, the
format follows from the type code.

This module also knows which tree the provider serves (the emulated MIB, or
the live view of a /proc/sys directory) and switches between them.
"""

from __future__ import annotations

import ctypes
import sys
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import _varkit

from ._records import CLOCKINFO, default_format

_QUERY = (0, 4)  # CTL_SYSCTL, CTL_SYSCTL_OIDFMT
_REPLY_MAX = 1024
_KIND_INVALID = 0xFFFFFFFF
DEFAULT_PROCFS_ROOT = "/proc/sys"

provider: ModuleType | None
try:
    import _varkit_mib
except ImportError:  # FreeBSD: the kernel itself serves the MIB
    provider = None
else:
    provider = _varkit_mib


def _libc_sysctl() -> Any:
    """The C library's sysctl(3), on FreeBSD; None elsewhere."""
    if not sys.platform.startswith("freebsd"):
        return None
    try:
        fn = ctypes.CDLL(None, use_errno=True).sysctl
    except (OSError, AttributeError):
        return None
    fn.argtypes = [
        ctypes.POINTER(ctypes.c_int),
        ctypes.c_uint,
        ctypes.c_void_p,
        ctypes.POINTER(ctypes.c_size_t),
        ctypes.c_void_p,
        ctypes.c_size_t,
    ]
    fn.restype = ctypes.c_int
    return fn


_libc = _libc_sysctl() if provider is None else None


def _ask(query: tuple[int, ...]) -> bytes | None:
    """One read of an internal query, or None if it failed."""
    if provider is not None:
        try:
            data, _size = _varkit_mib.sysctl(query, _REPLY_MAX)
        except (OSError, ValueError):
            return None
        return data
    if _libc is not None:
        name = (ctypes.c_int * len(query))(*query)
        buf = ctypes.create_string_buffer(_REPLY_MAX)
        size = ctypes.c_size_t(_REPLY_MAX)
        if _libc(name, len(query), buf, ctypes.byref(size), None, 0) != 0:
            return None
        return buf.raw[: min(size.value, _REPLY_MAX)]
    return None


def format_of(obj: _varkit.Sysctl) -> str:
    """The format string of a variable from filter(), e.g. "I", "S,timeval"."""
    try:
        oid = tuple(int(c) for c in obj.oid)
    except (AttributeError, TypeError, ValueError):
        oid = None
    if oid is not None and 0 < len(oid) <= 22:
        reply = _ask(_QUERY + oid)
        if reply is not None and len(reply) >= 4:
            kind = int.from_bytes(reply[:4], sys.byteorder)
            if kind != _KIND_INVALID:
                return reply[4:].split(b"\0", 1)[0].decode("utf-8", "replace")
    if obj.type == _varkit.CTLTYPE_OPAQUE:
        try:
            if isinstance(obj.value, dict):
                return CLOCKINFO
        except OSError:
            pass
    return default_format(obj.type)


# -- which tree the provider serves ------------------------------------


class NoProviderError(RuntimeError):
    """The host's kernel serves the MIB: there is no tree to choose."""


@dataclass(frozen=True)
class Tree:
    """A tree the provider can serve: "emulated", or "procfs" at `root`."""

    kind: str
    root: str | None = None


def require_provider() -> ModuleType:
    if provider is None:
        raise NoProviderError(
            "this host's kernel serves the MIB itself: there is no MIB "
            "provider to choose a tree from"
        )
    return provider


def active_tree() -> Tree:
    """The tree being served now."""
    mib = require_provider()
    kind = mib.active()
    if kind == "procfs":
        # The provider tells its root; one that cannot is taken to serve
        # the real /proc/sys.
        root = getattr(mib, "procfs_root", None)
        return Tree(
            "procfs", (root() if root is not None else None) or DEFAULT_PROCFS_ROOT
        )
    return Tree(str(kind))


def serve_emulated(*, default: bool = True) -> None:
    """Serve the emulated MIB, emptied, or holding the default tree."""
    mib = require_provider()
    mib.use_emulated()
    if default:
        mib.load_default()
    else:
        mib.reset()


def serve_procfs(root: str = DEFAULT_PROCFS_ROOT) -> None:
    """Serve the live view of the /proc/sys directory `root`."""
    mib = require_provider()
    use_procfs = getattr(mib, "use_procfs", None)
    if use_procfs is None:
        raise NoProviderError("this MIB provider has no /proc/sys view")
    use_procfs(root=root)


def restore(tree: Tree) -> None:
    """Serve `tree` again, as a fresh process would find it: the emulated
    MIB holds the default tree, no fault is pending, the call log is empty.
    """
    mib = require_provider()
    mib.load_default()
    if tree.kind == "procfs":
        serve_procfs(tree.root or DEFAULT_PROCFS_ROOT)
    else:
        mib.use_emulated()

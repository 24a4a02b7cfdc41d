"""The varkit command: print and set the kernel's named state variables."""

from __future__ import annotations

import argparse
import errno
import io
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import _varkit

from . import _api, _host
from ._records import (
    CLOCKINFO,
    LOADAVG,
    NUMERIC,
    TIMEVAL,
    Value,
    pack_clockinfo,
    parse_loadavg,
    parse_timeval,
    type_name,
)

USAGE = """\
varkit [-deiNnqRTtWx] [--json] [--emulated | --procfs-root DIR]
              name[=value] ...
       varkit [-deNnqRTtWx] [--json] [--emulated | --procfs-root DIR] -a"""

DESCRIPTION = """\
Print or set the kernel's named state variables, the sysctl MIB.

Each name prints its variable, or every variable below it when it names a
subtree.  name=value sets the variable: the value is read as an integer for
the numeric types (decimal, or 0x hex) and as text for strings; the change
is printed as "name: old -> new"."""

EPILOG = """\
Values print as the kernel's types call for: arrays space-separated, the
clock record as { hz = ..., tick = ..., profhz = ..., stathz = ... }, a
timeval as { sec = ..., usec = ... } followed by its date, the load
averages as { 1min 5min 15min }, and other opaque values as
Format:FMT Length:N Dump:0x... (the first 16 bytes, or all of them with -x).

--json prints one JSON document instead: a list of objects with name, oid,
type, format, writable, tuneable and value (bytes in hex), description with
-d, and old for a variable set; -n, -N, -e, -t and -x do not apply to it.

Where the C library has no sysctl(3) (Linux), the MIB comes from varkit's
provider: by default the host's live MIB (the /proc/sys view when /proc/sys
is readable).  --emulated serves the emulated, FreeBSD-like default tree and
--procfs-root DIR a view of another directory laid out like /proc/sys (for
tests); neither is available on FreeBSD.

Exit status: 0 when everything succeeded, 1 when anything failed, 2 for a
usage error."""


_FLAGS = [
    (0, "-a", "all", "print every variable"),
    (0, "-d", "descr", "print descriptions, not values"),
    (0, "-e", "equals", "print name=value"),
    (0, "-i", "ignore", "ignore unknown names"),
    (1, "-N", "names_only", "print names only"),
    (1, "-n", "values_only", "print values only"),
    (0, "-q", "quiet", "do not report errors"),
    (2, "-R", "readonly", "only read-only variables"),
    (0, "-T", "tunable", "only tunable variables"),
    (0, "-t", "types", "print each variable's type"),
    (2, "-W", "writable", "only writable variables"),
    (0, "-x", "hexdump", "print opaque values as hex"),
]


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="varkit",
        usage=USAGE,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    # -N/-n and -R/-W exclude each other.
    groups = [p, p.add_mutually_exclusive_group(), p.add_mutually_exclusive_group()]
    for group, flag, dest, text in _FLAGS:
        groups[group].add_argument(flag, dest=dest, action="store_true", help=text)
    p.add_argument("--json", action="store_true", help="print one JSON document")
    tree = p.add_mutually_exclusive_group()
    tree.add_argument(
        "--emulated", action="store_true", help="serve the emulated default tree"
    )
    tree.add_argument(
        "--procfs-root",
        metavar="DIR",
        help="serve the /proc/sys view of DIR",
    )
    p.add_argument("names", nargs="*", metavar="name[=value]", help=argparse.SUPPRESS)
    return p


class _Run:
    """One run of the command: its options, output and outcome."""

    def __init__(self, opts: argparse.Namespace, out: TextIO, err: TextIO) -> None:
        self.o = opts
        self.out = out
        self.err = err
        self.failed = False
        self.document: list[dict[str, Any]] = []

    # -- reporting -----------------------------------------------------

    def fail(self, message: str) -> None:
        self.failed = True
        if not self.o.quiet:
            print(f"varkit: {message}", file=self.err)

    def line(self, text: str) -> None:
        print(text, file=self.out)

    # -- what to show --------------------------------------------------

    def selected(self, obj: _varkit.Sysctl) -> bool:
        o = self.o
        if o.writable and not obj.writable:
            return False
        if o.readonly and obj.writable:
            return False
        return not (o.tunable and not obj.tuneable)

    def read(self, obj: _varkit.Sysctl) -> tuple[bool, Value]:
        try:
            return True, obj.value
        except OSError as e:
            self.fail(f"{obj.name}: {_reason(e)}")
            return False, None

    def description(self, obj: _varkit.Sysctl) -> str | None:
        try:
            return obj.description
        except OSError as e:
            if e.errno == errno.ENOENT:
                return ""  # the kernel keeps none
            self.fail(f"{obj.name}: description: {_reason(e)}")
            return None

    def show(self, obj: _varkit.Sysctl) -> None:
        if not self.selected(obj):
            return
        o = self.o
        if o.json:
            ok, value = self.read(obj)
            if not ok:
                return
            item = _json_item(obj, value)
            if o.descr:
                descr = self.description(obj)
                if descr is None:
                    return
                item["description"] = descr
            self.document.append(item)
            return
        head = obj.name
        if o.types:
            head += f": {type_name(obj.type)}"
        if o.names_only:
            self.line(head)
            return
        if o.descr:
            text = self.description(obj)
            if text is None:
                return
        else:
            ok, value = self.read(obj)
            if not ok:
                return
            text = render(value, obj, hexdump=o.hexdump)
        if o.values_only:
            self.line(f"{type_name(obj.type)}: {text}" if o.types else text)
        else:
            self.line(f"{head}{'=' if o.equals else ': '}{text}")

    def show_name(self, name: str) -> None:
        try:
            objs = _api.find(name)
        except _api.UnknownNameError:
            if not self.o.ignore:
                self.fail(f"{name}: unknown variable")
            return
        except OSError as e:
            self.fail(f"{name}: {_reason(e)}")
            return
        for obj in objs:
            self.show(obj)

    def show_all(self) -> None:
        try:
            objs = _varkit.filter()
        except OSError as e:
            self.fail(f"cannot list the MIB: {_reason(e)}")
            return
        for obj in objs:
            self.show(obj)

    # -- writing -------------------------------------------------------

    def write(self, name: str, text: str) -> None:
        try:
            obj = _api.lookup(name)
        except _api.UnknownNameError:
            if not self.o.ignore:
                self.fail(f"{name}: unknown variable")
            return
        except _api.NotAVariableError:
            self.fail(f"{name}: a subtree, not a variable: cannot be set")
            return
        except OSError as e:
            self.fail(f"{name}: {_reason(e)}")
            return
        ok, old = self.read(obj)
        if not ok:
            return
        try:
            _api.assign(obj, parse(obj, text))
        except OSError as e:
            self.fail(f"{name}: {_reason(e)}")
            return
        except (TypeError, ValueError, ArithmeticError) as e:
            self.fail(str(e))  # worded with the name
            return
        try:
            fresh = _api.lookup(name)
            new = fresh.value
        except (LookupError, OSError) as e:
            self.fail(f"{name}: reading back: {_reason(e)}")
            return
        o = self.o
        if o.json:
            item = _json_item(fresh, new)
            item["old"] = _jsonable(old)
            self.document.append(item)
            return
        change = f"{render(old, obj, hexdump=o.hexdump)} -> "
        change += render(new, fresh, hexdump=o.hexdump)
        if o.names_only:
            self.line(obj.name)
        elif o.values_only:
            self.line(change)
        else:
            self.line(f"{obj.name}{'=' if o.equals else ': '}{change}")

    # -- the whole run ---------------------------------------------------

    def __call__(self) -> int:
        o = self.o
        if o.all:
            self.show_all()
        for arg in o.names:
            name, eq, text = arg.partition("=")
            if eq:
                self.write(name, text)
            else:
                self.show_name(name)
        if o.json:
            # One object a line: easy to read, and to grep.
            items = ",\n".join(f"  {json.dumps(item)}" for item in self.document)
            self.out.write(f"[\n{items}\n]\n" if items else "[]\n")
        return 1 if self.failed else 0


def _reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e)


def parse(obj: _varkit.Sysctl, text: str) -> int | str:
    """The text of name=value as a value of the variable's type."""
    if obj.type in NUMERIC:
        s = text.strip()
        for base in (0, 10):  # 10 takes the leading zeros that 0 refuses
            try:
                return int(s, base)
            except ValueError:
                pass
        raise ValueError(f"{obj.name}: invalid integer {text!r}")
    if obj.type == _varkit.CTLTYPE_STRING:
        return text
    kind = "opaque" if obj.type == _varkit.CTLTYPE_OPAQUE else type_name(obj.type)
    raise ValueError(f"{obj.name}: {kind} values cannot be set from the command line")


def _dump(fmt: str, data: bytes, whole: bool) -> str:
    shown = data if whole or len(data) <= 16 else data[:16]
    more = "" if len(shown) == len(data) else "..."
    return f"Format:{fmt} Length:{len(data)} Dump:0x{shown.hex()}{more}"


def render(value: Value, obj: _varkit.Sysctl, *, hexdump: bool = False) -> str:
    """A value as the command prints it."""

    def fmt() -> str:
        return _host.format_of(obj)

    return _render(value, fmt, hexdump)


def _render(value: Value, fmt: Callable[[], str], hexdump: bool) -> str:
    if value is None:
        return ""
    if isinstance(value, dict):
        if hexdump:
            return _dump(CLOCKINFO, pack_clockinfo(value), True)
        return "{ " + ", ".join(f"{k} = {v}" for k, v in value.items()) + " }"
    if isinstance(value, list):
        return " ".join(str(v) for v in value)
    if isinstance(value, (int, str)):
        return str(value)
    data = bytes(value)
    form = fmt()
    if not hexdump:
        if form == TIMEVAL and (tv := parse_timeval(data)) is not None:
            text = f"{{ sec = {tv.sec}, usec = {tv.usec} }}"
            try:
                return f"{text} {time.ctime(tv.sec)}"
            except (OverflowError, ValueError, OSError):
                return text
        if form == LOADAVG and (la := parse_loadavg(data)) is not None:
            return "{ " + " ".join(f"{x:.2f}" for x in la) + " }"
    return _dump(form, data, hexdump)


def _jsonable(value: Value) -> Any:
    if isinstance(value, bytearray):
        return value.hex()
    return value


def _json_item(obj: _varkit.Sysctl, value: Value) -> dict[str, Any]:
    return {
        "name": obj.name,
        "oid": list(obj.oid),
        "type": type_name(obj.type),
        "format": _host.format_of(obj),
        "writable": bool(obj.writable),
        "tuneable": bool(obj.tuneable),
        "value": _jsonable(value),
    }


def _choose_tree(opts: argparse.Namespace) -> None:
    if opts.emulated:
        _host.serve_emulated(default=True)
    elif opts.procfs_root is not None:
        root = opts.procfs_root
        if not os.path.isdir(root):
            raise _host.NoProviderError(f"{root}: not a directory")
        try:
            _host.serve_procfs(os.path.abspath(root))
        except OSError as e:
            raise _host.NoProviderError(f"{root}: {_reason(e)}") from None


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: sys.argv[1:]); returns the
    exit status."""
    parser = _parser()
    try:
        opts = parser.parse_intermixed_args(argv)
        if opts.all and opts.names:
            parser.error("-a takes no names")
        if not opts.all and not opts.names:
            parser.error("name a variable, or list them all with -a")
    except SystemExit as e:  # -h, or a usage error already reported
        return e.code if isinstance(e.code, int) else 2
    try:
        _choose_tree(opts)
    except (_host.NoProviderError, ValueError) as e:
        print(f"varkit: {_reason(e)}", file=sys.stderr)
        return 2
    out = sys.stdout
    for stream in (out, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            # Undecodable bytes (from the kernel, or a name given on the
            # command line) go out as those bytes.
            stream.reconfigure(errors="surrogateescape")
    try:
        status = _Run(opts, out, sys.stderr)()
        out.flush()
    except BrokenPipeError:
        # The reader went away (varkit -a | head): stop quietly, and keep
        # the interpreter's final flush from complaining about it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
        return 1
    except KeyboardInterrupt:
        return 130
    return status

"""Every kind of bad input given to _varkit, and the error each one gets.

ROWS is the table of docs/reliability.md ("Bad input"): each row is one
parametrized case, and test_docs_table_matches checks that the document
shows exactly these rows.  Print the table with

    PYTHONPATH=build/dev:python python3 tests/test_bad_input.py
"""

import errno
from collections.abc import Callable
from pathlib import Path
from typing import Any, NamedTuple

import _varkit
import pytest
from _varkit import Sysctl

RD, WR = 0x80000000, 0x40000000
INT, STRING, S64, OPAQUE, UINT, LONG, ULONG, U64 = 2, 3, 4, 5, 6, 7, 8, 9
DEEP = "d" + ".d" * 23  # 24 components
DEEP_OID = [7] + [1] * 23


@pytest.fixture
def tree(emu):
    emu.add("t.int", [1, 1], RD | WR | INT, "I", b"\1\0\0\0", "an int")
    emu.add("t.str", [1, 2], RD | WR | STRING, "A", b"text", "a string")
    emu.add("t.opq", [1, 3], RD | WR | OPAQUE, "S,x", b"\1\2", "opaque")
    emu.add("t.u64", [1, 4], RD | WR | U64, "QU", b"\0" * 8, "u64")
    emu.add("t.ro", [1, 5], RD | INT, "I", b"\0" * 4, "read only")
    emu.add("t.bin", [1, 6], RD | STRING, "A", b"ab\xffc", "not UTF-8")
    emu.add("t.short", [1, 7], RD | U64, "QU", b"\1\2\3", "3 bytes")
    emu.add(DEEP, DEEP_OID, RD | INT, "I", b"\0" * 4, "deepest")
    emu.add("k.badkind", [2, 1], 0xFFFFFFFF, "I", b"\0" * 4)
    emu.add("k.longfmt", [2, 2], RD | INT, "F" * 1100, b"\0" * 4)
    emu.add("n" * 1100, [4], RD | INT, "I", b"\0" * 4)
    emu.clear_calls()
    return emu


def obj(name):
    [o] = _varkit.filter(name)
    return o


def write(name, value):
    o = obj(name)
    o.value = value


def hand(**kwargs):
    """A hand-made object, then a write of 5 through it."""
    o = Sysctl("x", **kwargs)
    o.value = 5


class Index:
    def __index__(self):
        return 7


class IntSub(int):
    pass


class StrSub(str):
    pass


class ByteSub(bytearray):
    pass


class ListSub(list):
    pass


class Row(NamedTuple):
    area: str
    what: str  # the bad input, as the table shows it
    attempt: Callable[[Any], Any]
    outcome: Any  # an exception class, (class, errno or message), or Gives
    fault: dict | None = None  # a kernel fault injected before the attempt

    def shown(self):
        o = self.outcome
        if isinstance(o, Gives):
            return f"returns {o.text}"
        if isinstance(o, tuple):
            cls, detail = o
            if isinstance(detail, int):
                return f"{cls.__name__} ({errno.errorcode[detail]})"
            return f'{cls.__name__}: "{detail}"'
        return o.__name__


class Gives(NamedTuple):
    text: str
    check: Callable[[Any], bool]


def gives(text, check):
    return Gives(text, check)


EIO, EACCES, ENOENT, ENOMEM, EPERM = (
    errno.EIO,
    errno.EACCES,
    errno.ENOENT,
    errno.ENOMEM,
    errno.EPERM,
)
INVALID = (TypeError, "Invalid type")

ROWS = [
    # filter(): the name and the flags
    Row(
        "filter",
        "name not a str (bytes, int)",
        lambda t: _varkit.filter(b"t"),
        TypeError,
    ),
    Row(
        "filter", "name with a NUL byte", lambda t: _varkit.filter("t\0int"), ValueError
    ),
    Row(
        "filter",
        "name with a lone surrogate",
        lambda t: _varkit.filter("t.\udcff"),
        UnicodeEncodeError,
    ),
    Row(
        "filter",
        "unknown, empty-component or 1 MB name",
        lambda t: _varkit.filter("t..int") + _varkit.filter("x" * 10**6),
        gives("[]", lambda r: r == []),
    ),
    Row(
        "filter",
        "name of 25+ components",
        lambda t: _varkit.filter(".".join(["t"] * 30)),
        gives("[]", lambda r: r == []),
    ),
    Row(
        "filter",
        "writable neither True nor False (1, 'yes', object())",
        lambda t: _varkit.filter("t", writable=object()),
        gives("the whole subtree", lambda r: len(r) == 7),
    ),
    Row(
        "filter",
        "unknown keyword, third argument",
        lambda t: _varkit.filter("t", True, 1),
        TypeError,
    ),
    Row(
        "filter",
        "24-component variable named directly",
        lambda t: _varkit.filter(DEEP),
        (OSError, errno.EINVAL),
    ),
    Row(
        "filter",
        "23+-component variable met by a walk",
        lambda t: _varkit.filter("d"),
        (OSError, ENOMEM),
    ),
    Row(
        "filter",
        "kind word 0xFFFFFFFF",
        lambda t: _varkit.filter("k.badkind"),
        (OSError, EIO),
    ),
    Row(
        "filter",
        "format string over 1 KB",
        lambda t: _varkit.filter("k.longfmt"),
        (OSError, ENOMEM),
    ),
    Row(
        "filter",
        "dotted name over 1 KB",
        lambda t: _varkit.filter("n" * 1100),
        (OSError, ENOMEM),
    ),
    # the constructor and re-initialisation
    Row("Sysctl()", "no name", lambda t: Sysctl(), TypeError),
    Row("Sysctl()", "8 positional arguments", lambda t: Sysctl(*range(8)), TypeError),
    Row("Sysctl()", "unknown keyword", lambda t: Sysctl("x", bogus=1), TypeError),
    Row(
        "Sysctl()",
        "type not an int (str, float)",
        lambda t: Sysctl("x", type=1.5),
        TypeError,
    ),
    Row(
        "Sysctl()",
        "type out of 32 bits (-1, 2**64 + 3)",
        lambda t: (Sysctl("x", type=-1).type, Sysctl("x", type=2**64 + 3).type),
        gives("the low 32 bits", lambda r: r == (2**32 - 1, 3)),
    ),
    Row(
        "Sysctl()",
        "type with __index__",
        lambda t: Sysctl("x", type=Index()).type,
        gives("its index", lambda r: r == 7),
    ),
    Row(
        "Sysctl()",
        "any object as name, flags, oid",
        lambda t: Sysctl(object(), oid="x", writable=None).oid,
        gives("stored as given", lambda r: r == "x"),
    ),
    Row(
        "Sysctl()",
        "__init__ refused late (unknown keyword)",
        lambda t: Sysctl("x").__init__("y", type=3, bogus=1),
        TypeError,
    ),
    # writing a value of the wrong kind
    Row(
        "write",
        "bool, float or str to a number",
        lambda t: write("t.int", True),
        INVALID,
    ),
    Row(
        "write",
        "int subclass to a number",
        lambda t: write("t.int", IntSub(1)),
        INVALID,
    ),
    Row("write", "bytes or int to a string", lambda t: write("t.str", b"x"), INVALID),
    Row(
        "write",
        "str subclass to a string",
        lambda t: write("t.str", StrSub("x")),
        INVALID,
    ),
    Row(
        "write",
        "lone surrogate in a string",
        lambda t: write("t.str", "a\ud800"),
        INVALID,
    ),
    Row(
        "write",
        "NUL in a string",
        lambda t: (write("t.str", "ab\0cd"), t.get([1, 2]))[1],
        gives("the text up to the NUL is written", lambda r: r == b"ab"),
    ),
    Row(
        "write",
        "bytes, str or memoryview to an opaque",
        lambda t: write("t.opq", memoryview(b"x")),
        INVALID,
    ),
    Row(
        "write",
        "bytearray subclass to an opaque",
        lambda t: (write("t.opq", ByteSub(b"ok")), t.get([1, 3]))[1],
        gives("written", lambda r: r == b"ok"),
    ),
    Row(
        "write",
        "int above the type's range (2**63 to a 32-bit int)",
        lambda t: write("t.int", 2**63),
        OverflowError,
    ),
    Row(
        "write",
        "int below the range (-1 - 2**63 to an unsigned)",
        lambda t: write("t.u64", -(2**63) - 1),
        OverflowError,
    ),
    Row(
        "write",
        "2**64 to an unsigned 64-bit",
        lambda t: write("t.u64", 2**64),
        OverflowError,
    ),
    Row("write", "del value", lambda t: delattr(obj("t.int"), "value"), TypeError),
    Row(
        "write",
        "writable is False",
        lambda t: hand(type=INT, writable=False, oid=[1, 1]),
        (TypeError, "Sysctl is not writable"),
    ),
    Row(
        "write",
        "read-only variable (writable not False: the kernel refuses)",
        lambda t: hand(type=INT, oid=[1, 5]),
        (OSError, EPERM),
    ),
    # the oid of hand-made objects
    Row(
        "oid",
        "missing, tuple or str",
        lambda t: hand(type=INT, oid=(1, 1)),
        (TypeError, "Sysctl oid must be a list of ints"),
    ),
    Row(
        "oid", "component not an int", lambda t: hand(type=INT, oid=[1, 1.0]), TypeError
    ),
    Row(
        "oid",
        "component out of 32 bits",
        lambda t: hand(type=INT, oid=[1, 2**31]),
        OverflowError,
    ),
    Row("oid", "25 components", lambda t: hand(type=INT, oid=[1] * 25), TypeError),
    Row("oid", "empty list", lambda t: hand(type=INT, oid=[]), (OSError, errno.EINVAL)),
    Row(
        "oid",
        "list subclass, bool components",
        lambda t: (hand(type=INT, oid=ListSub([True, 1])), t.get([1, 1]))[1],
        gives("written", lambda r: r == b"\5\0\0\0"),
    ),
    Row(
        "hand-made",
        "never initialised: repr",
        lambda t: repr(Sysctl.__new__(Sysctl)),
        gives("'<Sysctl: (no name)>'", lambda r: r == "<Sysctl: (no name)>"),
    ),
    Row(
        "hand-made",
        "never initialised: name",
        lambda t: Sysctl.__new__(Sysctl).name,
        AttributeError,
    ),
    Row(
        "hand-made",
        "no OID: value read",
        lambda t: Sysctl("x", type=INT).value,
        (OSError, errno.EINVAL),
    ),
    Row(
        "hand-made",
        "no OID: description",
        lambda t: Sysctl("x").description,
        (OSError, ENOENT),
    ),
    Row(
        "hand-made",
        "repr of a name that is a 2-tuple",
        lambda t: repr(Sysctl(("a", "b"))),
        TypeError,
    ),
    # replies of the kernel that are not what the type says
    Row(
        "reply",
        "string not UTF-8",
        lambda t: obj("t.bin").value,
        gives("surrogate escapes", lambda r: r == "ab\udcffc"),
    ),
    Row(
        "reply",
        "number shorter than one element",
        lambda t: obj("t.short").value,
        gives("the bytes (bytearray)", lambda r: r == bytearray(b"\1\2\3")),
    ),
    # faults of the kernel at every call
    Row(
        "fault",
        "walk step (next query) fails",
        lambda t: _varkit.filter("t"),
        (OSError, EIO),
        {"query": 7},
    ),
    Row(
        "fault",
        "walk step answers ENOENT",
        lambda t: _varkit.filter("t"),
        gives("the list so far", lambda r: r == []),
        {"query": 7, "err": ENOENT},
    ),
    Row(
        "fault",
        "name lookup fails",
        lambda t: _varkit.filter("t"),
        gives("[]", lambda r: r == []),
        {"query": 3},
    ),
    Row(
        "fault",
        "format query fails",
        lambda t: _varkit.filter("t"),
        (OSError, EIO),
        {"query": 4},
    ),
    Row(
        "fault",
        "format query of the named prefix fails",
        lambda t: _varkit.filter("t"),
        (OSError, EACCES),
        {"query": 4, "oid": [1], "err": EACCES},
    ),
    Row(
        "fault",
        "name query fails",
        lambda t: _varkit.filter("t"),
        (OSError, EIO),
        {"query": 1},
    ),
    Row(
        "fault",
        "value size probe fails",
        lambda t: obj("t.int").value,
        gives("the value (the fetch decides)", lambda r: r == 1),
        {"oid": [1, 1]},
    ),
    Row(
        "fault",
        "value probe and fetch fail",
        lambda t: obj("t.int").value,
        (OSError, EIO),
        {"oid": [1, 1], "times": 2},
    ),
    Row(
        "fault",
        "probe and fetch fail with errno 0",
        lambda t: obj("t.int").value,
        gives("the value (retried as for ENOMEM)", lambda r: r == 1),
        {"oid": [1, 1], "times": 2, "err": 0},
    ),
    Row(
        "fault",
        "fetch answers ENOMEM for ever",
        lambda t: obj("t.int").value,
        (OSError, ENOMEM),
        {"oid": [1, 1], "times": 10**6, "err": ENOMEM},
    ),
    Row(
        "fault",
        "probe reports 2**62 bytes",
        lambda t: obj("t.int").value,
        (OSError, ENOMEM),
        {"oid": [1, 1], "err": 0, "size": 2**62},
    ),
    Row(
        "fault",
        "read answers EISDIR",
        lambda t: obj("t.int").value,
        gives("None", lambda r: r is None),
        {"oid": [1, 1], "times": 2, "err": errno.EISDIR},
    ),
    Row(
        "fault",
        "write answers ENOMEM",
        lambda t: write("t.int", 2),
        (TypeError, "Type is unknown to this program"),
        {"oid": [1, 1], "err": ENOMEM},
    ),
    Row(
        "fault",
        "write answers ENOTDIR",
        lambda t: write("t.int", 2),
        TypeError,
        {"oid": [1, 1], "err": errno.ENOTDIR},
    ),
    Row(
        "fault",
        "write answers EOPNOTSUPP",
        lambda t: write("t.int", 2),
        (TypeError, "Value is not available"),
        {"oid": [1, 1], "err": errno.EOPNOTSUPP},
    ),
    Row(
        "fault",
        "write answers another errno",
        lambda t: write("t.int", 2),
        (OSError, EPERM),
        {"oid": [1, 1], "err": EPERM},
    ),
    Row(
        "fault",
        "write fails with errno 0",
        lambda t: write("t.int", 2),
        (OSError, EIO),
        {"oid": [1, 1], "err": 0},
    ),
    Row(
        "fault",
        "description lookup fails",
        lambda t: obj("t.int").description,
        (OSError, EIO),
        {"query": 5, "times": 2},
    ),
    Row(
        "fault",
        "description answers ENOMEM for ever",
        lambda t: obj("t.int").description,
        (OSError, ENOMEM),
        {"query": 5, "times": 10**6, "err": ENOMEM},
    ),
]


@pytest.mark.parametrize("row", ROWS, ids=[f"{r.area}: {r.what}" for r in ROWS])
def test_bad_input(tree, row):
    if row.fault is not None:
        fault = dict(row.fault)
        tree.inject(fault.pop("err", EIO), **fault)
    o = row.outcome
    if isinstance(o, Gives):
        assert o.check(row.attempt(tree))
        return
    cls, detail = o if isinstance(o, tuple) else (o, None)
    with pytest.raises(cls) as e:
        row.attempt(tree)
    if isinstance(detail, int):
        assert e.value.errno == detail
    elif detail is not None:
        assert str(e.value) == detail
    # no call made for input refused before the kernel is asked: the
    # refused write leaves the variable as it was
    assert tree.get([1, 1]) == b"\1\0\0\0"


def markdown_table():
    lines = ["| area | bad input | what it gets |", "| --- | --- | --- |"]
    for r in ROWS:
        what = r.what.replace("|", "\\|")
        lines.append(f"| {r.area} | {what} | {r.shown()} |")
    return "\n".join(lines)


def test_docs_table_matches():
    doc = Path(__file__).resolve().parent.parent / "docs" / "reliability.md"
    text = doc.read_text()
    assert markdown_table() in text, (
        "docs/reliability.md is out of step with ROWS: paste the output of "
        "python3 tests/test_bad_input.py"
    )


if __name__ == "__main__":
    print(markdown_table())

"""The varkit package's name-based helpers, on the emulated MIB."""

import datetime
import errno
import struct

import _varkit
import pytest
import varkit
from varkit.testing import emulated_mib


@pytest.fixture
def tree():
    with emulated_mib() as mib:
        yield mib


def writes(mib):
    return [c for c in mib.calls() if c.new is not None and c.oid[0] != 0]


def test_reexports():
    assert varkit.Sysctl is _varkit.Sysctl
    assert varkit.filter is _varkit.filter
    constants = {k: v for k, v in vars(_varkit).items() if k.startswith("CTLTYPE")}
    assert {k: getattr(varkit, k) for k in constants} == constants
    assert set(varkit.__all__) <= set(dir(varkit))


@pytest.mark.parametrize(
    "name, value",
    [
        ("kern.ostype", "FreeBSD"),
        ("kern.maxfiles", 262144),
        ("kern.hostid", 0x5CA1AB1E),
        ("kern.sched.runq_len", [0, 1, 0, 2]),
        ("kern.clockrate", {"hz": 100, "tick": 10000, "profhz": 8128, "stathz": 128}),
    ],
)
def test_get(tree, name, value):
    assert varkit.get(name) == value


@pytest.mark.parametrize(
    "name, exc",
    [
        ("kern.nosuch", varkit.UnknownNameError),
        ("nosuch", varkit.UnknownNameError),
        ("", varkit.UnknownNameError),
        ("kern\0ostype", varkit.UnknownNameError),
        ("kern.\udcff", varkit.UnknownNameError),
        ("kern", varkit.NotAVariableError),
        ("kern.sched", varkit.NotAVariableError),
        ("t.one", varkit.NotAVariableError),  # a subtree of one variable
    ],
)
@pytest.mark.parametrize("helper", [varkit.get, varkit.lookup, varkit.describe])
def test_names_that_are_not_variables(tree, helper, name, exc):
    tree.add_variable("t.one.x", [9, 1, 1], 5)
    with pytest.raises(exc) as e:
        helper(name)
    assert isinstance(e.value, LookupError)
    assert repr(name) in str(e.value)
    assert e.value.name == name


@pytest.mark.parametrize(
    "name, value, raw",
    [
        ("kern.maxfiles", 1000, struct.pack("=i", 1000)),
        ("kern.maxfiles", -(2**31), struct.pack("=i", -(2**31))),
        ("kern.hostid", 2**32 - 1, b"\xff" * 4),
        ("kern.maxvnodes", -5, struct.pack("=q", -5)),
        ("kern.ipc.maxsockbuf", 2**64 - 1, b"\xff" * 8),
        ("kern.hostname", "box", b"box"),
        ("kern.hostname", "", b""),
        ("t.blob", b"\0\1", b"\0\1"),
        ("t.blob", bytearray(b"\2"), b"\2"),
    ],
)
def test_set(tree, name, value, raw):
    tree.add_variable("t.blob", [9, 1], b"", writable=True)
    tree.clear_calls()
    varkit.set(name, value)
    [call] = writes(tree)
    assert call.new == raw
    assert varkit.get(name) == value


@pytest.mark.parametrize(
    "name, value, exc, words",
    [
        ("kern.ostype", "x", PermissionError, "read-only variable"),
        ("kern.maxfiles", "5", TypeError, "expected an int"),
        ("kern.maxfiles", True, TypeError, "not bool"),
        ("kern.maxfiles", 5.0, TypeError, "not float"),
        ("kern.maxfiles", 2**31, OverflowError, "out of range"),
        ("kern.maxfiles", 2**32 + 5, OverflowError, "out of range"),
        ("kern.hostid", -1, OverflowError, "out of range"),
        ("kern.ipc.maxsockbuf", 2**64, OverflowError, "out of range"),
        ("kern.maxvnodes", 2**63, OverflowError, "out of range"),
        ("kern.hostname", b"box", TypeError, "expected a str"),
        ("kern.hostname", "a\0b", ValueError, "NUL"),
        ("kern.hostname", "\ud800", ValueError, "UTF-8"),
        ("t.blob", "text", TypeError, "expected bytes"),
    ],
)
def test_set_refuses_before_any_call(tree, name, value, exc, words):
    tree.add_variable("t.blob", [9, 1], b"", writable=True)
    tree.clear_calls()
    with pytest.raises(exc, match=words) as e:
        varkit.set(name, value)
    assert name in str(e.value)
    assert writes(tree) == []


@pytest.mark.parametrize(
    "err, exc, words",
    [
        (errno.EPERM, PermissionError, "kern.maxfiles"),
        (errno.EINVAL, OSError, "kern.maxfiles"),
        (errno.ENOTDIR, TypeError, "kern.maxfiles: Specification is incomplete"),
    ],
)
def test_set_refused_by_the_kernel(tree, err, exc, words):
    tree.inject(err, oid=[1, 7])
    with pytest.raises(exc, match=words) as e:
        varkit.set("kern.maxfiles", 5)
    if isinstance(e.value, OSError):
        assert (e.value.errno, e.value.filename) == (err, "kern.maxfiles")
    assert varkit.get("kern.maxfiles") == 262144


def test_describe(tree):
    tree.add_variable("t.none", [9, 1], 1)
    assert varkit.describe("kern.ostype") == "Operating system type"
    assert varkit.describe("t.none") == ""
    tree.inject(errno.EPERM, query=5)
    tree.inject(errno.EACCES, query=5)
    with pytest.raises(PermissionError) as e:
        varkit.describe("kern.ostype")
    assert (e.value.errno, e.value.filename) == (errno.EACCES, "kern.ostype")


@pytest.mark.parametrize(
    "prefix, writable, names",
    [
        (
            "kern.sched",
            None,
            ["kern.sched.name", "kern.sched.quantum", "kern.sched.runq_len"],
        ),
        ("kern.sched", True, ["kern.sched.quantum"]),
        ("kern.sched", False, ["kern.sched.name", "kern.sched.runq_len"]),
        ("kern.ostype", None, ["kern.ostype"]),
        # unlike filter(), a leaf named directly is selected like any other
        ("kern.ostype", True, []),
    ],
)
def test_walk(tree, prefix, writable, names):
    assert [o.name for o in varkit.walk(prefix, writable=writable)] == names


def test_walk_of_everything_skips_like_filter(tree):
    assert [o.name for o in varkit.walk()] == [o.name for o in _varkit.filter()]
    everything = [o.name for o in varkit.walk("kern")]
    assert "kern.hidden_secret" in everything
    assert "kern.hidden_secret" not in [o.name for o in varkit.walk()]


def test_walk_fails_at_the_call_not_the_first_step(tree):
    with pytest.raises(varkit.UnknownNameError):
        varkit.walk("nosuch")


BOOT = varkit.Timeval(1700000000, 250000)
NO_SCALE = struct.pack("=3I4xq", 1, 2, 3, 0)


@pytest.mark.parametrize(
    "value, fmt, expected",
    [
        (BOOT, None, BOOT),
        (struct.pack("=ii", 5, 6), "S,timeval", varkit.Timeval(5, 6)),
        (b"\1\2\3", "S,timeval", bytearray(b"\1\2\3")),
        (
            struct.pack("=3I4xq", 1024, 2048, 3072, 2048),
            "S,loadavg",
            varkit.LoadAvg(0.5, 1.0, 1.5),
        ),
        (struct.pack("=3Ii", 1, 2, 3, 4), "S,loadavg", varkit.LoadAvg(0.25, 0.5, 0.75)),
        (NO_SCALE, "S,loadavg", bytearray(NO_SCALE)),
        (b"\1\2\3", "S,odd", bytearray(b"\1\2\3")),
        (7, None, 7),
    ],
)
def test_decode(tree, value, fmt, expected):
    tree.add_variable("t.v", [9, 1], value, fmt=fmt)
    for arg in ["t.v", *varkit.filter("t.v")]:
        got = varkit.decode(arg)
        assert got == expected and type(got) is type(expected)


def test_decode_of_the_default_records(tree):
    boot = varkit.decode("kern.boottime")
    assert isinstance(boot, varkit.Timeval)
    assert boot.to_datetime() < datetime.datetime.now(datetime.timezone.utc)
    assert isinstance(varkit.decode("vm.loadavg"), varkit.LoadAvg)
    assert varkit.decode("kern.clockrate") == varkit.get("kern.clockrate")


def test_timeval_to_datetime():
    assert BOOT.to_datetime() == datetime.datetime(
        2023, 11, 14, 22, 13, 20, 250000, tzinfo=datetime.timezone.utc
    )

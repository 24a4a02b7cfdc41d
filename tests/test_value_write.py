import errno
import struct

import _varkit
import pytest

RD = 0x80000000
WR = 0x40000000


def variable(emu, kind, value=b"\0" * 8, oid=(1, 1)):
    name = "t" + ".v" * (len(oid) - 1)
    emu.add(name, list(oid), RD | WR | kind, "", value, "d")
    [obj] = _varkit.filter(name)
    emu.clear_calls()
    return obj


def sent(emu):
    """The new bytes of the one write the kernel received."""
    [(oid, offered, new, err)] = emu.calls()
    assert offered is None and err == 0
    return oid, new


class MyBytearray(bytearray):
    pass


@pytest.mark.parametrize(
    "kind, value, raw",
    [
        (2, 5, struct.pack("=i", 5)),
        (2, -1, b"\xff" * 4),
        (2, 4294967295, b"\xff" * 4),
        (6, 4294967295, b"\xff" * 4),
        (6, -1, b"\xff" * 4),
        (2, 2**32 + 5, struct.pack("=i", 5)),
        (2, 2**63 - 1, b"\xff" * 4),
        (2, -(2**63), b"\0" * 4),
        (7, -2, struct.pack("=q", -2)),
        (4, 2**63 - 1, struct.pack("=q", 2**63 - 1)),
        (8, 2**64 - 1, b"\xff" * 8),
        (9, 2**63, struct.pack("=Q", 2**63)),
        (9, -1, b"\xff" * 8),
        (3, "text", b"text"),
        (3, "abc\0def", b"abc"),
        (3, "", b""),
        (3, "h\u00e9", "h\u00e9".encode()),
        (5, bytearray(b"\0\1\2"), b"\0\1\2"),
        (5, bytearray(), b""),
        (5, MyBytearray(b"sub"), b"sub"),
    ],
)
def test_encoding(emu, kind, value, raw):
    obj = variable(emu, kind)
    obj.value = value
    assert sent(emu) == ((1, 1), raw)
    assert obj.value is value


@pytest.mark.parametrize(
    "kind, value",
    [
        (2, True),
        (2, 1.0),
        (2, "1"),
        (7, None),
        (9, False),
        (3, b"bytes"),
        (3, 5),
        (3, "lone \ud800 surrogate"),
        (5, b"bytes"),
        (5, "str"),
        (5, memoryview(b"x")),
    ],
)
def test_invalid_type(emu, kind, value):
    obj = variable(emu, kind)
    with pytest.raises(TypeError, match="^Invalid type$"):
        obj.value = value
    assert emu.calls() == []


@pytest.mark.parametrize(
    "kind, value",
    [
        (2, 2**63),
        (6, -(2**63) - 1),
        (7, 2**63),
        (4, 2**64),
        (8, 2**64),
        (9, -(2**63) - 1),
        (9, 2**100),
    ],
)
def test_out_of_range_ints(emu, kind, value):
    obj = variable(emu, kind)
    before = obj.value
    emu.clear_calls()
    with pytest.raises(OverflowError):
        obj.value = value
    assert emu.calls() == []
    assert obj.value is before


@pytest.mark.parametrize("writable", [False])
@pytest.mark.parametrize("value", [5, "x", None, bytearray()])
def test_not_writable_comes_first(emu, writable, value):
    obj = _varkit.Sysctl("x", writable=writable, type=2, oid=[1, 1])
    with pytest.raises(TypeError, match="^Sysctl is not writable$"):
        obj.value = value
    with pytest.raises(TypeError, match="^Sysctl is not writable$"):
        del obj.value
    assert emu.calls() == []


@pytest.mark.parametrize("writable", [None, True, 0, "no"])
def test_any_other_writable_lets_the_write_go(emu, writable):
    emu.add("t.v", [1, 2], RD | WR | 2, "I", b"\0" * 4)
    obj = _varkit.Sysctl("x", writable=writable, oid=[1, 2], type=2)
    obj.value = 3
    assert sent(emu) == ((1, 2), struct.pack("=i", 3))


def test_hand_made_object_writes_to_its_oid_list(emu):
    emu.add("t.v", [1, 2], RD | WR | 2, "I", b"\0" * 4)
    obj = _varkit.Sysctl("anything", oid=[1, 2], type=2)
    obj.value = 9
    assert sent(emu) == ((1, 2), struct.pack("=i", 9))
    assert emu.get([1, 2]) == struct.pack("=i", 9)
    assert obj.value == 9


@pytest.mark.parametrize("code", [0, 1, 10, 15, 16, 2**32 - 1])
@pytest.mark.parametrize("value", [None, 5, "s", object()])
def test_codes_outside_2_to_9_cache_without_a_call(emu, code, value):
    obj = _varkit.Sysctl("x", type=code, oid=[1, 1])
    obj.value = value
    assert obj.value is value
    assert emu.calls() == []


def test_delete_is_refused(emu):
    obj = variable(emu, 2)
    before = obj.value
    with pytest.raises(TypeError):
        del obj.value
    assert obj.value is before
    odd = _varkit.Sysctl("x", type=12, value=1)
    with pytest.raises(TypeError):
        del odd.value
    assert odd.value == 1


@pytest.mark.parametrize(
    "oid, exc",
    [
        (None, TypeError),
        ((1, 1), TypeError),
        ("1.1", TypeError),
        ([1, "1"], TypeError),
        ([1, 1.0], TypeError),
        ([1, 2**31], OverflowError),
        ([1, -(2**31) - 1], OverflowError),
        ([1] * 25, TypeError),
    ],
)
def test_bad_oid_field(emu, oid, exc):
    kwargs = {} if oid is None else {"oid": oid}
    obj = _varkit.Sysctl("x", type=2, value=1, **kwargs)
    with pytest.raises(exc):
        obj.value = 5
    assert emu.calls() == []
    assert obj.value == 1


def test_oid_extremes_are_sent(emu):
    obj = _varkit.Sysctl("x", type=2, oid=[2**31 - 1, -(2**31)])
    with pytest.raises(OSError):
        obj.value = 1
    assert emu.calls()[0][0] == (2**31 - 1, -(2**31))


@pytest.mark.parametrize(
    "err, exc, message",
    [
        (errno.ENOMEM, TypeError, "Type is unknown to this program"),
        (errno.ENOTDIR, TypeError, "Specification is incomplete"),
        (errno.EOPNOTSUPP, TypeError, "Value is not available"),
        (errno.EPERM, OSError, None),
        (errno.EINVAL, OSError, None),
        (0, OSError, None),
    ],
)
def test_kernel_refusals(emu, err, exc, message):
    obj = variable(emu, 2, b"\1\0\0\0")
    cached = obj.value
    emu.inject(err, oid=[1, 1])
    emu.clear_calls()
    with pytest.raises(exc) as e:
        obj.value = 7
    if message is not None:
        assert str(e.value) == message
        assert type(e.value) is TypeError
    else:
        assert e.value.errno == (err or errno.EIO)
    assert obj.value is cached
    assert emu.get([1, 1]) == b"\1\0\0\0"


def test_read_only_variable_refused_by_the_kernel(emu):
    emu.add("t.v", [1, 1], RD | 2, "I", b"\0" * 4)
    obj = _varkit.Sysctl("t.v", oid=[1, 1], type=2)
    with pytest.raises(OSError) as e:
        obj.value = 1
    assert e.value.errno == errno.EPERM


def test_string_write_round_trips_through_the_kernel(emu):
    obj = variable(emu, 3, b"old")
    obj.value = "new name"
    assert emu.get([1, 1]) == b"new name"
    [fresh] = _varkit.filter("t.v")
    assert fresh.value == "new name"

import errno
import struct
import threading

import _varkit
import pytest

RD = 0x80000000
WR = 0x40000000


def leaf(emu, kind, value, fmt="", oid=(1, 1), name=None):
    """Adds one variable and returns its Sysctl object from filter()."""
    name = name or "t" + ".v" * (len(oid) - 1)
    emu.add(name, list(oid), RD | WR | kind, fmt, value, "d")
    # listed by a walk of its parent, so that a type-1 node with a value
    # (listed as a variable) is found too
    [obj] = _varkit.filter(name.rsplit(".", 1)[0])
    emu.clear_calls()
    return obj


@pytest.mark.parametrize(
    "kind, raw, expected",
    [
        (2, struct.pack("=i", -7), -7),
        (2, struct.pack("=ii", 1, -2), [1, -2]),
        (2, struct.pack("=i", 9) + b"\1\2", [9]),
        (2, struct.pack("=iii", 1, 2, 3) + b"\1", [1, 2, 3]),
        (6, b"\xff" * 4, 2**32 - 1),
        (6, b"\xff" * 8, [2**32 - 1] * 2),
        (7, b"\xff" * 8, -1),
        (7, struct.pack("=qq", 2**62, -3), [2**62, -3]),
        (8, b"\xff" * 8, 2**64 - 1),
        (9, b"\xff" * 8, 2**64 - 1),
        (4, b"\xff" * 8, -1),
        (4, struct.pack("=q", -(2**63)), -(2**63)),
        (4, b"\xff" * 12, [-1]),
        (3, b"hello", "hello"),
        (3, b"abc\0def", "abc"),
        (3, b"", ""),
        (3, "h\u00e9".encode(), "h\u00e9"),
        (3, b"bad\xff", "bad\udcff"),
        (5, b"\1\2\3", bytearray(b"\1\2\3")),
        (5, b"", bytearray()),
        (0, b"\1\2", bytearray(b"\1\2")),
        (1, b"\1\2", bytearray(b"\1\2")),
        (10, b"\0", bytearray(b"\0")),
        (15, b"xyz", bytearray(b"xyz")),
    ],
)
def test_decoding(emu, kind, raw, expected):
    obj = leaf(emu, kind, raw)
    got = obj.value
    assert got == expected
    assert type(got) is type(expected)
    if isinstance(expected, list):
        assert all(type(x) is int for x in got)


@pytest.mark.parametrize(
    "kind, raw, expected",
    [
        (2, b"", []),
        (4, b"", []),
        (2, b"\1\2", bytearray(b"\1\2")),
        (7, b"\1\2\3\4", bytearray(b"\1\2\3\4")),
        (9, b"\xff" * 7, bytearray(b"\xff" * 7)),
    ],
)
def test_numeric_reply_shorter_than_one_element(emu, kind, raw, expected):
    got = leaf(emu, kind, raw).value
    assert got == expected and type(got) is type(expected)


CLOCK = struct.pack("=5i", 100, 10000, 0, 128, 8128)


def test_clockinfo_dict_in_key_order(emu):
    value = leaf(emu, 5, CLOCK, "S,clockinfo").value
    assert list(value.items()) == [
        ("hz", 100),
        ("tick", 10000),
        ("profhz", 8128),
        ("stathz", 128),
    ]


@pytest.mark.parametrize(
    "fmt, raw, expected",
    [
        ("S,clockinfo", CLOCK[:19], bytearray(CLOCK[:19])),
        ("S,clockinfo", b"", bytearray()),
        ("S,timeval", CLOCK, bytearray(CLOCK)),
        ("S,clockinfoX", CLOCK, bytearray(CLOCK)),
    ],
)
def test_opaque_other_than_a_whole_clock_record(emu, fmt, raw, expected):
    assert leaf(emu, 5, raw, fmt).value == expected


def test_default_tree_clockrate(default_tree):
    [obj] = _varkit.filter("kern.clockrate")
    assert list(obj.value) == ["hz", "tick", "profhz", "stathz"]


def test_interior_node_reads_none_and_caches_it(emu):
    obj = leaf(emu, 2, b"\0\0\0\0", name="t.n")
    # the variable becomes an interior node: its read fails with EISDIR
    emu.remove([1, 1])
    emu.add("t.n.x", [1, 1, 1], RD | 2, "I", b"\0\0\0\0")
    emu.clear_calls()
    assert obj.value is None
    assert obj.value is None
    assert [c[0] for c in emu.calls()] == [(1, 1)]


def test_cache(emu):
    obj = leaf(emu, 2, struct.pack("=ii", 1, 2))
    first = obj.value
    assert obj.value is first
    assert [c[:2] for c in emu.calls()] == [((1, 1), None), ((1, 1), 8)]
    first.append(3)
    assert obj.value == [1, 2, 3]
    assert len(emu.calls()) == 2


def test_value_given_to_constructor_makes_no_call(emu):
    assert _varkit.Sysctl("x", value=5).value == 5
    assert emu.calls() == []


def test_hand_made_object_reads_the_kernel_answer(emu):
    with pytest.raises(OSError) as e:
        _varkit.Sysctl("x", oid=[1, 1], type=2).value
    assert e.value.errno == errno.EINVAL
    assert emu.calls()[0][0] == ()


@pytest.mark.parametrize("err", [errno.EPERM, errno.EACCES, errno.EIO])
def test_fetch_refusal_is_os_error_and_not_cached(emu, err):
    obj = leaf(emu, 2, b"\5\0\0\0")
    emu.inject(err, oid=[1, 1], times=2)
    with pytest.raises(OSError) as e:
        obj.value
    assert e.value.errno == err
    assert e.value.strerror  # the platform's message
    assert obj.value == 5


def test_failed_probe_leaves_the_decision_to_the_fetch(emu):
    obj = leaf(emu, 2, b"\5\0\0\0")
    emu.inject(errno.EIO, oid=[1, 1])
    assert obj.value == 5
    assert [c[1:] for c in emu.calls()] == [
        (None, None, errno.EIO),
        (0, None, errno.ENOMEM),
        (64, None, 0),
    ]


def test_value_that_grows_after_the_probe(emu):
    obj = leaf(emu, 3, b"short")
    emu.set([1, 1], b"a much longer value than before")
    # A value that outgrows every offer: the kernel refuses with ENOMEM and
    # leaves in the size only what it delivered (6 bytes, all of the first
    # offer).  The probe and the first two fetches meet the fault.
    emu.inject(errno.ENOMEM, oid=[1, 1], size=6, times=3)
    assert obj.value == "a much longer value than before"
    offers = [c[1] for c in emu.calls()]
    assert offers[0] is None
    assert all(b > a for a, b in zip(offers[1:], offers[2:], strict=False))


def test_growth_rule_gives_up(emu):
    obj = leaf(emu, 3, b"x")
    emu.inject(errno.ENOMEM, oid=[1, 1], times=10**6)
    with pytest.raises(OSError) as e:
        obj.value
    assert e.value.errno == errno.ENOMEM
    assert len(emu.calls()) < 100


def test_enomem_reporting_a_larger_size_is_followed(emu):
    obj = leaf(emu, 3, b"x" * 100)
    emu.inject(0, oid=[1, 1], size=5)  # a probe that reports 5
    emu.inject(errno.ENOMEM, oid=[1, 1], size=101)
    assert obj.value == "x" * 100
    assert [c[1] for c in emu.calls()] == [None, 5, 101]


def test_threads_reading_one_fresh_object(emu):
    obj = leaf(emu, 2, struct.pack("=4i", 1, 2, 3, 4))
    results = []
    barrier = threading.Barrier(8)

    def read():
        barrier.wait()
        results.append(obj.value)

    threads = [threading.Thread(target=read) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8
    assert all(r is results[0] for r in results)
    assert obj.value is results[0]

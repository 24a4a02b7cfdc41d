"""The emulated MIB of _varkit_mib, driven through its raw calls."""

import ctypes
import errno
import os
import struct
import threading
import time

import _varkit_mib as mib
import pytest

RD, WR = mib.CTLFLAG_RD, mib.CTLFLAG_WR
TUN, SKIP = mib.CTLFLAG_TUN, mib.CTLFLAG_SKIP
NODE, INT, STRING = mib.CTLTYPE_NODE, mib.CTLTYPE_INT, mib.CTLTYPE_STRING
OPAQUE, LONG, ULONG = mib.CTLTYPE_OPAQUE, mib.CTLTYPE_LONG, mib.CTLTYPE_ULONG
ENOENT, ENOMEM, EINVAL = errno.ENOENT, errno.ENOMEM, errno.EINVAL
EISDIR, EPERM, EIO = errno.EISDIR, errno.EPERM, errno.EIO


def ints(*values):
    return struct.pack(f"{len(values)}i", *values)


def fmt_reply(kind, fmt):
    return struct.pack("I", kind) + fmt.encode() + b"\0"


def answer(m, oid, new=None, oldlen=4096):
    """The bytes a call delivers, or the errno it fails with."""
    try:
        return m.sysctl(oid, oldlen, new)[0]
    except OSError as e:
        return e.errno


def walk(m, q, start=(), within=()):
    """Every OID a walk with query q visits after start, inside `within`."""
    oids, oid = [], list(start)
    while True:
        reply = answer(m, [0, q, *oid])
        if reply == ENOENT:
            return oids
        oid = list(struct.unpack(f"{len(reply) // 4}i", reply))
        if oid[: len(within)] != list(within):
            return oids
        oids.append(oid)


@pytest.fixture
def tree(emu):
    """A small tree with a skipped variable, a skipped subtree, a node with a
    value, a node without a description and a negative component."""
    emu.add("kern", [1], NODE | RD, "N", description="Kernel")
    emu.add("kern.ostype", [1, 1], STRING | RD, "A", b"TestOS", "OS type")
    emu.add("kern.maxfiles", [1, 2], INT | RD | WR, "I", ints(100), "Files")
    emu.add("kern.hidden", [1, 3], INT | RD | SKIP, "I", ints(7), "Hidden")
    emu.add("kern.priv", [1, 4], NODE | RD | SKIP, "N", description="Priv")
    emu.add("kern.priv.key", [1, 4, 1], STRING | RD, "A", b"k", "Key")
    emu.add("kern.proc", [1, 5], NODE | RD, "I", ints(1), "Node with a value")
    emu.add("kern.proc.all", [1, 5, 1], OPAQUE | RD, "S,proc", b"\1\2", "All")
    emu.add("kern.hostname", [1, 6], STRING | RD | WR, "A", b"h", "Host")
    emu.add("neg.x", [-3, 2], INT | RD, "I", ints(5))
    emu.clear_calls()
    return emu


WALK_ALL = [[-3, 2], [1, 1], [1, 2], [1, 3], [1, 4, 1], [1, 5], [1, 5, 1], [1, 6]]
WALK_LISTED = [[-3, 2], [1, 1], [1, 2], [1, 5], [1, 5, 1], [1, 6]]


@pytest.mark.parametrize("oid", [[], [1], [0], list(range(1, 26))])
def test_bad_name_length_is_einval(tree, oid):
    assert answer(tree, oid) == EINVAL


@pytest.mark.parametrize(
    "oid, reply",
    [
        ([1, 1], b"TestOS\0"),
        ([1, 5], ints(1)),  # a node with a value reads like a variable
        ([1, 4], EISDIR),
        ([1, 9], ENOENT),
        ([1, 1, 1], ENOENT),  # below a leaf
        ([2, 1], ENOENT),
        ([0, 6], ENOENT),  # query numbers nobody serves
        ([0, 0, 1], ENOENT),
    ],
)
def test_read(tree, oid, reply):
    assert answer(tree, oid) == reply


@pytest.mark.parametrize(
    "target, name",
    [
        ([], ""),
        ([1], "kern"),
        ([1, 1], "kern.ostype"),
        ([6, 7], "hw.pagesize"),
        ([1, 99], "kern.99"),
        ([99, 3], "99.3"),
        ([1, 1, 5], "kern.ostype.5"),
        ([1, -2], "kern.-2"),
    ],
)
def test_name_query(default_tree, target, name):
    assert answer(default_tree, [0, 1, *target]) == name.encode() + b"\0"


@pytest.mark.parametrize(
    "q, start, nxt",
    [
        (2, [], [-3, 2]),  # signed order: -3 before 1
        (2, [1], [1, 1]),
        (2, [1, 0], [1, 1]),  # the start need not exist
        (2, [1, 1, 7], [1, 2]),  # nor be a node
        (2, [1, 2], [1, 5]),  # skipped variable and subtree passed over
        (7, [1, 2], [1, 3]),
        (7, [1, 3], [1, 4, 1]),
        (2, [1, 4], [1, 5]),  # from a skipped node: its subtree is passed
        (2, [1, 4, 0], [1, 5]),
        (2, [1, 5], [1, 5, 1]),  # a node with a value, then its children
        (7, [1, 6], None),
        (2, [2**31 - 1], None),
    ],
)
def test_next_query(tree, q, start, nxt):
    reply = answer(tree, [0, q, *start])
    assert reply == (ENOENT if nxt is None else ints(*nxt))


@pytest.mark.parametrize("q, oids", [(2, WALK_LISTED), (7, WALK_ALL)])
def test_walk_visits_each_variable_once(tree, q, oids):
    assert walk(tree, q) == oids


def test_walk_follows_tree_changes(tree):
    tree.set([-3], ints(1))  # a node given a value becomes a variable
    tree.set([1, 4], ints(1))  # ... but a skipped one stays unlisted
    tree.remove([1, 5])
    tree.add("kern.new", [1, 9], INT | RD, "I", ints(0))
    assert walk(tree, 2) == [[-3], [-3, 2], [1, 1], [1, 2], [1, 6], [1, 9]]
    assert walk(tree, 7) == [
        [-3],
        [-3, 2],
        [1, 1],
        [1, 2],
        [1, 3],
        [1, 4],
        [1, 4, 1],
        [1, 6],
        [1, 9],
    ]
    tree.remove([1])
    assert walk(tree, 7) == [[-3], [-3, 2]]


@pytest.mark.parametrize(
    "target, reply",
    [
        ([1], fmt_reply(NODE | RD, "N")),
        ([1, 1], fmt_reply(STRING | RD, "A")),
        ([1, 2], fmt_reply(INT | RD | WR, "I")),
        ([1, 4], fmt_reply(NODE | RD | SKIP, "N")),
        ([1, 5], fmt_reply(NODE | RD, "I")),
        ([-3], fmt_reply(NODE | RD, "N")),
        ([], ENOENT),
        ([9], ENOENT),
        ([1, 1, 1], ENOENT),
    ],
)
def test_format_query(tree, target, reply):
    assert answer(tree, [0, 4, *target]) == reply


@pytest.mark.parametrize(
    "target, reply",
    [
        ([1], b"Kernel\0"),
        ([1, 1], b"OS type\0"),
        ([-3, 2], ENOENT),  # added without one
        ([-3], ENOENT),
        ([9], ENOENT),
        ([], ENOENT),
    ],
)
def test_description_query(tree, target, reply):
    assert answer(tree, [0, 5, *target]) == reply


@pytest.mark.parametrize(
    "name, oid",
    [
        ("kern.ostype", [1, 1]),
        ("kern", [1]),
        ("neg.x", [-3, 2]),
        ("kern.priv.key", [1, 4, 1]),
        ("kern.nope", ENOENT),
        ("", ENOENT),
        ("kern..ostype", ENOENT),
        ("kern.", ENOENT),
        (".kern", ENOENT),
        ("kern.ostype.x", ENOENT),
        ("1.1", ENOENT),
    ],
)
def test_nametomib(tree, name, oid):
    via_query = answer(tree, [0, 3], new=name.encode())
    if oid == ENOENT:
        with pytest.raises(OSError) as e:
            tree.nametomib(name)
        assert e.value.errno == ENOENT and via_query == ENOENT
    else:
        assert tree.nametomib(name) == oid and via_query == ints(*oid)


@pytest.mark.parametrize(
    "oid, new, reply",
    [
        ([1, 1], None, b"TestOS\0"),
        ([1, 5], None, ints(1)),
        ([0, 1, 1, 1], None, b"kern.ostype\0"),
        ([0, 2, 1, 1], None, ints(1, 2)),
        ([0, 4, 1, 1], None, fmt_reply(STRING | RD, "A")),
        ([0, 5, 1, 1], None, b"OS type\0"),
        ([0, 3], b"kern.ostype", ints(1, 1)),
    ],
)
def test_short_buffer_keeps_delivered_count(tree, oid, new, reply):
    assert tree.sysctl(oid, None, new) == (None, len(reply))
    assert tree.sysctl(oid, len(reply) + 8, new) == (reply, len(reply))
    for short in (len(reply) - 1, 1):
        with pytest.raises(OSError) as e:
            tree.sysctl(oid, short, new)
        assert e.value.errno == ENOMEM
        assert (e.value.size, e.value.data) == (short, reply[:short])


@pytest.mark.parametrize(
    "oid, new, err, stored",
    [
        ([1, 4], ints(1), EISDIR, None),  # before the permission check
        ([1, 1], b"new", EPERM, b"TestOS"),
        ([1, 2], b"\5\0\0", EINVAL, ints(100)),
        ([1, 2], ints(5), 0, ints(5)),
        ([1, 2], ints(5, 6), 0, ints(5, 6)),
        ([1, 6], b"new-host", 0, b"new-host"),
        ([1, 6], b"", 0, b""),
    ],
)
def test_write(tree, oid, new, err, stored):
    assert answer(tree, oid, new=new, oldlen=None) == (err or None)
    assert tree.get(oid) == stored


def test_string_is_delivered_with_nul_added(tree):
    tree.sysctl([1, 6], None, b"abc")
    assert (tree.get([1, 6]), answer(tree, [1, 6])) == (b"abc", b"abc\0")


def test_write_delivers_old_value_first(tree):
    assert tree.sysctl([1, 2], 4, ints(9)) == (ints(100), 4)
    assert answer(tree, [1, 2], new=ints(8), oldlen=3) == ENOMEM
    assert tree.get([1, 2]) == ints(9)  # a failed copy-out writes nothing


def test_fault_fires_given_times(tree):
    tree.inject(EIO, oid=[1, 1], times=2)
    replies = [answer(tree, oid) for oid in ([1, 2], [1, 1], [1, 1], [1, 1])]
    assert replies == [ints(100), EIO, EIO, b"TestOS\0"]


@pytest.mark.parametrize(
    "oldlen, size, left",
    [
        (64, None, 64),
        (64, 3, 3),
        (64, 1000, 1000),
        (None, 5, 5),
    ],
)
def test_fault_size_and_nothing_delivered(tree, oldlen, size, left):
    tree.inject(EIO, oid=[1, 1], size=size)
    with pytest.raises(OSError) as e:
        tree.sysctl([1, 1], oldlen)
    assert e.value.size == left
    assert e.value.data == (None if oldlen is None else bytes(min(left, 64)))


def test_faults_match_in_injection_order(tree):
    tree.inject(EIO, oid=[1, 1])
    tree.inject(EPERM)  # any plain access
    tree.inject(errno.EBUSY, query=2)  # any walk step
    tree.inject(errno.EAGAIN, query=1, oid=[1, 2])
    oids = [[1, 2], [1, 1], [1, 1], [0, 1, 1, 1], [0, 1, 1, 2], [0, 2, 1], [0, 2, 1]]
    assert [answer(tree, oid) for oid in oids] == [
        EPERM,
        EIO,
        b"TestOS\0",
        b"kern.ostype\0",
        errno.EAGAIN,
        errno.EBUSY,
        ints(1, 1),
    ]
    tree.inject(EPERM)
    tree.inject(EIO, oid=[1, 1])
    assert [answer(tree, [1, 1]) for _ in range(3)] == [EPERM, EIO, b"TestOS\0"]


def test_nametomib_is_faulted_as_query_3(tree):
    tree.inject(EIO)  # plain: not for nametomib
    tree.inject(ENOMEM, query=3, oid=[7, 7])  # the OID plays no part
    tree.inject(ENOENT, query=3)
    with pytest.raises(OSError) as e:
        tree.nametomib("kern")
    assert e.value.errno == ENOMEM
    assert answer(tree, [0, 3], new=b"kern") == ENOENT
    assert tree.nametomib("kern") == [1]
    assert answer(tree, [1, 1]) == EIO


def test_fault_with_errno_zero_still_fails(tree):
    tree.inject(0, oid=[1, 1])
    with pytest.raises(OSError) as e:
        tree.sysctl([1, 1], 64)
    assert e.value.errno == 0
    assert tree.calls() == [((1, 1), 64, None, 0)]


def test_reset_drops_faults_and_log(default_tree):
    default_tree.inject(EIO, times=5)
    assert answer(default_tree, [1, 1]) == EIO
    default_tree.load_default()
    assert default_tree.calls() == []
    assert answer(default_tree, [1, 1]) == b"FreeBSD\0"


def test_call_log(tree):
    tree.sysctl([1, 1])
    tree.sysctl([1, 1], 64)
    tree.sysctl([1, 2], None, ints(7))
    assert answer(tree, [1, 1], oldlen=2) == ENOMEM
    assert answer(tree, [1]) == EINVAL
    tree.nametomib("kern.ostype")
    tree.sysctl([0, 4, 1], 32)
    assert tree.calls() == [
        ((1, 1), None, None, 0),
        ((1, 1), 64, None, 0),
        ((1, 2), None, ints(7), 0),
        ((1, 1), 2, None, ENOMEM),
        ((1,), 4096, None, EINVAL),
        ((0, 3), 96, b"kern.ostype", 0),
        ((0, 4, 1), 32, None, 0),
    ]
    tree.clear_calls()
    tree.set_logging(False)
    try:
        tree.sysctl([1, 1], 64)
    finally:
        tree.set_logging(True)
    assert tree.calls() == []


DEFAULT_LAYOUT = [
    ("kern", [1], NODE | RD, "N"),
    ("kern.ostype", [1, 1], STRING | RD, "A"),
    ("kern.osrelease", [1, 2], STRING | RD, "A"),
    ("kern.osrevision", [1, 3], INT | RD, "I"),
    ("kern.maxproc", [1, 6], INT | RD | TUN, "I"),
    ("kern.maxfiles", [1, 7], INT | RD | WR | TUN, "I"),
    ("kern.hostname", [1, 10], STRING | RD | WR, "A"),
    ("kern.clockrate", [1, 12], OPAQUE | RD, "S,clockinfo"),
    ("kern.boottime", [1, 21], OPAQUE | RD, "S,timeval"),
    ("vm", [2], NODE | RD, "N"),
    ("vm.loadavg", [2, 2], OPAQUE | RD, "S,loadavg"),
    ("hw", [6], NODE | RD, "N"),
    ("hw.machine", [6, 1], STRING | RD, "A"),
    ("hw.ncpu", [6, 3], INT | RD, "I"),
    ("hw.physmem", [6, 5], ULONG | RD, "LU"),
    ("hw.pagesize", [6, 7], INT | RD, "I"),
]


@pytest.mark.parametrize("name, oid, kind, fmt", DEFAULT_LAYOUT)
def test_default_tree_layout(default_tree, name, oid, kind, fmt):
    assert default_tree.nametomib(name) == oid
    assert answer(default_tree, [0, 1, *oid]) == name.encode() + b"\0"
    assert answer(default_tree, [0, 4, *oid]) == fmt_reply(kind, fmt)


@pytest.mark.parametrize(
    "name, value",
    [
        ("kern.ostype", b"FreeBSD\0"),
        ("hw.machine", b"amd64\0"),
        ("hw.pagesize", ints(4096)),
        ("hw.ncpu", ints(os.sysconf("SC_NPROCESSORS_ONLN"))),
        (
            "hw.physmem",
            struct.pack("Q", os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")),
        ),
        ("kern.clockrate", ints(100, 10000, 0, 128, 8128)),
    ],
)
def test_default_tree_values(default_tree, name, value):
    assert answer(default_tree, default_tree.nametomib(name)) == value


def test_default_tree_structures(default_tree):
    sec, usec = struct.unpack("qq", answer(default_tree, [1, 21]))
    assert 0 < sec <= time.time() and 0 <= usec < 1000000
    loadavg = answer(default_tree, [2, 2])
    assert len(loadavg) == 24 and struct.unpack_from("q", loadavg, 16) == (2048,)


def test_default_tree_walk(default_tree):
    every, listed = walk(default_tree, 7), walk(default_tree, 2)
    hidden = [oid for oid in every if oid not in listed]
    assert hidden and listed == [oid for oid in every if oid in listed]
    fmts, arrays = set(), []
    for oid in every:
        assert isinstance(answer(default_tree, [0, 5, *oid]), bytes)
        reply = answer(default_tree, [0, 4, *oid])
        kind, fmt = struct.unpack_from("I", reply)[0], reply[4:-1].decode()
        assert bool(kind & SKIP) == (oid in hidden)
        assert kind & RD and kind & 0xF != NODE
        fmts.add(fmt if not fmt.startswith("S,") else "S")
        if fmt == "I" and len(answer(default_tree, oid)) > 4:
            arrays.append(oid)
    assert {"I", "IU", "L", "LU", "Q", "QU", "A", "S"} <= fmts
    assert arrays


def test_add_fills_in_an_automatic_ancestor(emu):
    emu.add("kern.ostype", [1, 1], STRING | RD, "A", b"x")
    assert answer(emu, [0, 4, 1]) == fmt_reply(NODE | RD, "N")
    emu.add("kern", [1], NODE | RD | SKIP, "N", description="Kernel")
    assert answer(emu, [0, 5, 1]) == b"Kernel\0"
    assert walk(emu, 2) == [] and walk(emu, 7) == [[1, 1]]
    with pytest.raises(ValueError):
        emu.add("kern", [1], NODE | RD)
    emu.add("a.b", [5, 1], INT | RD)
    with pytest.raises(ValueError):  # it has children: it stays a node
        emu.add("a", [5], INT | RD)


INT32_TOO_BIG = 2**31


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda m: m.add("a.b", [5], INT), ValueError),
        (lambda m: m.add("a", [5, 1], INT), ValueError),
        (lambda m: m.add("a..b", [5, 1, 2], INT), ValueError),
        (lambda m: m.add("a", [], INT), ValueError),
        (lambda m: m.add(".".join("a" * 25), [1] * 25, INT), ValueError),
        (lambda m: m.add("a", [INT32_TOO_BIG], INT), ValueError),
        (lambda m: m.add("a", [0], INT), ValueError),
        (lambda m: m.add("a", [5], -1), ValueError),
        (lambda m: m.add("kern.ostype", [1, 1], INT), ValueError),
        (lambda m: m.add("kern.ostype", [1, 9], INT), ValueError),
        (lambda m: m.add("core.x", [1, 9], INT), ValueError),
        (lambda m: m.add("kern.ostype.x", [1, 1, 1], INT), ValueError),
        (lambda m: m.add("a", [5], INT, value="text"), TypeError),
        (lambda m: m.add("a", ["5"], INT), TypeError),
        (lambda m: m.add("a", "5", INT), TypeError),
        (lambda m: m.add(bytearray(b"a"), [5], INT), TypeError),
        (lambda m: m.add("a", [5], "int"), TypeError),
        (lambda m: m.add("a", [5], INT, description=3), TypeError),
        (lambda m: m.set([9], b""), LookupError),
        (lambda m: m.set([1, 1], "text"), TypeError),
        (lambda m: m.get([9]), LookupError),
        (lambda m: m.get(None), TypeError),
        (lambda m: m.remove([1, 9]), LookupError),
        (lambda m: m.inject("EIO"), TypeError),
        (lambda m: m.inject(EIO, [1, 1]), TypeError),
        (lambda m: m.inject(EIO, oid="1.1"), TypeError),
        (lambda m: m.inject(EIO, times=0), ValueError),
        (lambda m: m.inject(EIO, size=-1), ValueError),
        (lambda m: m.sysctl("1.1"), TypeError),
        (lambda m: m.sysctl([1, 1], -1), ValueError),
        (lambda m: m.sysctl([1, 1], None, "x"), TypeError),
        (lambda m: m.nametomib(5), TypeError),
        (lambda m: m.nametomib("ke\0rn"), ValueError),
    ],
)
def test_control_argument_errors(tree, call, exc):
    before = walk(tree, 7)
    with pytest.raises(exc):
        call(tree)
    assert walk(tree, 7) == before
    assert answer(tree, [1, 1]) == b"TestOS\0"  # no fault was left behind


def test_c_interface_in_capsule(default_tree):
    sysctl_t = ctypes.CFUNCTYPE(
        ctypes.c_int,
        ctypes.POINTER(ctypes.c_int),
        ctypes.c_uint,
        ctypes.c_void_p,
        ctypes.POINTER(ctypes.c_size_t),
        ctypes.c_void_p,
        ctypes.c_size_t,
        use_errno=True,
    )
    nametomib_t = ctypes.CFUNCTYPE(
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.POINTER(ctypes.c_int),
        ctypes.POINTER(ctypes.c_size_t),
        use_errno=True,
    )

    class Api(ctypes.Structure):
        _fields_ = [
            ("version", ctypes.c_uint),
            ("sysctl", sysctl_t),
            ("nametomib", nametomib_t),
        ]

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api = Api.from_address(get_pointer(mib._api, b"_varkit_mib._api"))
    assert api.version == 1

    oid, size = (ctypes.c_int * 24)(), ctypes.c_size_t(1)
    assert api.nametomib(b"kern.ostype", oid, ctypes.byref(size)) == -1
    assert (ctypes.get_errno(), size.value, oid[0]) == (ENOMEM, 1, 1)
    size.value = 24
    assert api.nametomib(b"kern.ostype", oid, ctypes.byref(size)) == 0
    assert oid[: size.value] == [1, 1]

    buf, n = ctypes.create_string_buffer(64), ctypes.c_size_t(64)
    assert api.sysctl(oid, 2, buf, ctypes.byref(n), None, 0) == 0
    assert buf.raw[: n.value] == b"FreeBSD\0"
    missing = (ctypes.c_int * 2)(1, 99)
    assert api.sysctl(missing, 2, buf, ctypes.byref(n), None, 0) == -1
    assert ctypes.get_errno() == ENOENT


def test_concurrent_reads_writes_and_walks(emu):
    longs = [bytes([i]) * 8 for i in range(1, 9)]
    strings = [bytes([65 + i]) * (1 + 16384 * i) for i in range(6)]
    emu.add("t.long", [100, 1], LONG | RD | WR, "L", longs[0], "long")
    emu.add("t.str", [100, 2], STRING | RD | WR, "A", strings[0], "string")
    for i in range(3, 40):
        emu.add(f"t.v{i}", [100, i], INT | RD, "I", ints(i), "int")
    base = walk(emu, 2, [100], within=[100])
    with_extra = sorted(base + [[100, 50]])
    emu.clear_calls()

    rounds, errors, made = 1000, [], []
    barrier = threading.Barrier(5)

    def run(body):
        def thread():
            count = 0
            try:
                barrier.wait()
                count = body()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
            made.append(count)

        return threading.Thread(target=thread)

    def writer(k):
        for i in range(rounds):
            emu.sysctl([100, 1], None, longs[(i + k) % len(longs)])
            emu.sysctl([100, 2], None, strings[(i + k) % len(strings)])
        return 2 * rounds

    def reader():
        for _ in range(rounds):
            assert emu.sysctl([100, 1], 8)[0] in longs
            data = emu.sysctl([100, 2], 1 << 17)[0]
            assert data[-1:] == b"\0" and data[:-1] in strings
        return 2 * rounds

    def walker():
        count = 0
        for _ in range(rounds // 30):
            seen = walk(emu, 2, [100], within=[100])
            assert seen in (base, with_extra)
            count += len(seen) + 1
        return count

    def reshaper():
        for _ in range(rounds // 3):
            emu.add("t.extra", [100, 50], INT | RD, "I", ints(0), "extra")
            emu.remove([100, 50])
        return 0

    threads = [
        run(lambda: writer(0)),
        run(lambda: writer(3)),
        run(reader),
        run(walker),
        run(reshaper),
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(emu.calls()) == sum(made)


def test_call_log_keeps_the_newest_records(emu):
    # A process that never reads the log must not grow without bound.
    emu.add("t.v", [1, 1], 0x80000002, "I", b"\0\0\0\0")
    emu.clear_calls()
    emu.nametomib("t.v")
    for _ in range(100_000):
        emu.sysctl([1, 1])
    emu.sysctl([1, 1], 4)
    log = emu.calls()
    assert len(log) == 100_000
    assert log[0][0] == (1, 1)  # the name lookup fell off the front
    assert log[-1][:2] == ((1, 1), 4)

import errno

import _varkit
import pytest

RD = 0x80000000
WR = 0x40000000
TUN = 0x00080000
SKIP = 0x01000000
INT, STRING, NODE = 2, 3, 1


@pytest.fixture
def tree(emu):
    """A small tree: a, with a skipped variable and a skipped subtree; b."""
    emu.add("a.x", [1, 1], RD | WR | INT, "I", b"\1\0\0\0", "x")
    emu.add("a.ro", [1, 2], RD | TUN | STRING, "A", b"text", "ro")
    emu.add("a.hidden", [1, 3], RD | SKIP | INT, "I", b"\0\0\0\0", "h")
    emu.add("a.sub.y", [1, 4, 1], RD | WR | INT, "I", b"\0\0\0\0", "y")
    emu.add("a.sub.z", [1, 4, 2], RD | STRING, "A", b"z", "z")
    emu.add("a.hsub", [1, 5], RD | SKIP | NODE, "N")
    emu.add("a.hsub.w", [1, 5, 1], RD | INT, "I", b"\0\0\0\0", "w")
    emu.add("b.v", [2, 1], RD | WR | INT, "I", b"\0\0\0\0", "v")
    emu.add("neg.v", [-1, 7], RD | INT, "I", b"\0\0\0\0", "before kern")
    emu.clear_calls()
    return emu


def names(objs):
    return [o.name for o in objs]


VISIBLE = ["a.x", "a.ro", "a.sub.y", "a.sub.z", "b.v"]
ALL = ["a.x", "a.ro", "a.hidden", "a.sub.y", "a.sub.z", "a.hsub.w", "b.v"]


@pytest.mark.parametrize(
    "args, expected",
    [
        ({}, VISIBLE),
        ({"mib": None}, VISIBLE),
        ({"mib": ""}, ALL),
        ({"mib": "\n"}, ALL),
        ({"mib": "\nwhatever"}, ALL),
        ({"mib": "a"}, ALL[:-1]),
        ({"mib": "a.sub"}, ["a.sub.y", "a.sub.z"]),
        ({"mib": "a.hsub"}, ["a.hsub.w"]),
        ({"mib": "a.x"}, ["a.x"]),
        ({"mib": "a.hidden"}, ["a.hidden"]),
        ({"mib": "a.x", "writable": True}, ["a.x"]),
        ({"mib": "a.ro", "writable": True}, ["a.ro"]),
        ({"mib": "nosuch"}, []),
        ({"mib": "a.nosuch"}, []),
        ({"writable": True}, ["a.x", "a.sub.y", "b.v"]),
        ({"writable": False}, ["a.ro", "a.sub.z"]),
        ({"mib": "a", "writable": False}, ["a.ro", "a.hidden", "a.sub.z", "a.hsub.w"]),
        ({"writable": 1}, VISIBLE),
        ({"writable": 0}, VISIBLE),
        ({"writable": "yes"}, VISIBLE),
        ({"writable": None}, VISIBLE),
    ],
)
def test_walks(tree, args, expected):
    assert names(_varkit.filter(**args)) == expected


def test_positional_arguments(tree):
    assert names(_varkit.filter("a.sub", False)) == ["a.sub.z"]


@pytest.mark.parametrize(
    "args, query, start",
    [
        ({}, 2, (1,)),
        ({"mib": ""}, 7, (1,)),
        ({"mib": "a.sub"}, 7, (1, 4)),
    ],
)
def test_walk_queries(tree, args, query, start):
    _varkit.filter(**args)
    nexts = [c for c in tree.calls() if c[0][:2] in ((0, 2), (0, 7))]
    assert nexts[0][0] == (0, query) + start
    assert {c[0][1] for c in nexts} == {query}
    assert {c[1] for c in nexts} == {88}


def test_leaf_named_directly_makes_no_walk(tree):
    [obj] = _varkit.filter("a.ro", True)
    oids = [c[0] for c in tree.calls()]
    assert oids == [(0, 3), (0, 4, 1, 2), (0, 1, 1, 2)]
    assert obj.oid == [1, 2]


def test_walk_leaving_the_subtree_stops(tree):
    _varkit.filter("a.sub")
    nexts = [c[0] for c in tree.calls() if c[0][:2] == (0, 7)]
    # the third step answers a.hsub.w, outside a.sub: no format query for it
    assert nexts == [(0, 7, 1, 4), (0, 7, 1, 4, 1), (0, 7, 1, 4, 2)]
    fmts = [c[0] for c in tree.calls() if c[0][:2] == (0, 4)]
    assert (0, 4, 1, 5, 1) not in fmts


@pytest.mark.parametrize("code", [0, 10, 11, 12, 13, 14, 15])
def test_other_type_codes_named_directly_are_leaves(emu, code):
    emu.add("a.odd", [1, 1], RD | code, "X", b"\1\2")
    emu.add("a.odd2", [1, 2], RD | INT, "I", b"\0\0\0\0")
    [obj] = _varkit.filter("a.odd")
    assert (obj.name, obj.type, obj.oid) == ("a.odd", code, [1, 1])


def test_factory_fields(emu):
    emu.add("neg.x", [-5, -2147483648], RD | WR | TUN | 6, "IU", b"\0" * 4, "d")
    emu.add("neg.y", [-5, 3], RD | 4, "Q", b"\0" * 8, "d")
    emu.add("kern.z", [1, 2147483647], RD | 8, "LU", b"\0" * 8, "d")
    emu.clear_calls()
    objs = _varkit.filter("")
    assert [(o.name, o.oid, o.type, o.writable, o.tuneable) for o in objs] == [
        ("kern.z", [1, 2147483647], 8, False, False),
    ]
    objs = _varkit.filter("neg")
    got = [(o.name, o.oid, o.type, o.writable, o.tuneable) for o in objs]
    assert got == [
        ("neg.x", [-5, -2147483648], 6, True, True),
        ("neg.y", [-5, 3], 4, False, False),
    ]
    for o in objs:
        assert type(o.writable) is bool and type(o.tuneable) is bool
        assert all(type(c) is int for c in o.oid)
    # neither value nor description was fetched
    assert all(c[0][:2] in ((0, 1), (0, 3), (0, 4), (0, 7)) for c in emu.calls())


def test_objects_read_through_their_own_oid(emu):
    emu.add("a.x", [1, 1], RD | WR | INT, "I", b"\x07\0\0\0", "x")
    [obj] = _varkit.filter("a.x")
    emu.clear_calls()
    assert obj.value == 7
    assert [c[0] for c in emu.calls()] == [(1, 1), (1, 1)]


def test_deep_oid_ends_walk_with_enomem(emu):
    emu.add("d" + ".d" * 22, list(range(1, 24)), RD | INT, "I", b"\0\0\0\0")
    with pytest.raises(OSError) as e:
        _varkit.filter()
    assert e.value.errno == errno.ENOMEM


def test_deep_interior_node(emu):
    # The kernel refuses a query OID longer than 24 ints, so the format of a
    # 23-component node cannot be asked: nothing is walked.
    emu.add("d" + ".d" * 23, list(range(1, 25)), RD | INT, "I", b"\0\0\0\0")
    emu.clear_calls()
    with pytest.raises(OSError) as e:
        _varkit.filter("d" + ".d" * 22)
    assert e.value.errno == errno.EINVAL
    assert not [c for c in emu.calls() if c[0][:2] == (0, 7)]


@pytest.mark.parametrize(
    "fault, err",
    [
        ({"query": 2}, errno.EIO),
        ({"query": 4}, errno.EACCES),
        ({"query": 1}, errno.EPERM),
    ],
)
def test_kernel_failures_drop_the_list(tree, fault, err):
    tree.inject(err, **fault)
    with pytest.raises(OSError) as e:
        _varkit.filter()
    assert e.value.errno == err


def test_failing_name_lookup_returns_empty_list(tree):
    tree.inject(errno.EIO, query=3)
    assert _varkit.filter("a") == []


def test_format_refused_for_named_prefix(tree):
    tree.inject(errno.EACCES, query=4, oid=[1])
    with pytest.raises(OSError) as e:
        _varkit.filter("a")
    assert e.value.errno == errno.EACCES


@pytest.mark.parametrize("mib", ["a", ""])
def test_invalid_kind_word_is_an_error_never_success(emu, mib):
    emu.add("a.bad", [1, 1], 0xFFFFFFFF, "I", b"\0\0\0\0")
    with pytest.raises(OSError) as e:
        _varkit.filter(mib)
    assert e.value.errno == errno.EIO


@pytest.mark.parametrize(
    "args, kwargs",
    [((5,), {}), (("a\0b",), {}), ((), {"bogus": 1}), (("a", 1, 2), {})],
)
def test_bad_arguments(args, kwargs):
    with pytest.raises((TypeError, ValueError)):
        _varkit.filter(*args, **kwargs)


def test_name_that_is_not_utf8_raises_and_drops_the_list(emu):
    emu.add("a.x", [1, 1], RD | INT, "I", b"\0\0\0\0")
    emu.add(b"a.\xff", [1, 2], RD | INT, "I", b"\0\0\0\0")
    with pytest.raises(UnicodeDecodeError):
        _varkit.filter()
    with pytest.raises(UnicodeDecodeError):
        _varkit.filter("a")

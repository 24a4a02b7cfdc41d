"""The oid attribute of objects made by filter(): a list of ints made from
the object's own OID when first asked for, and from then on the same list."""

import _varkit
import pytest
from _varkit import Sysctl

RD = 0x80000000
WR = 0x40000000
INT = 2


@pytest.fixture
def objs(emu):
    emu.add("a.x", [1, 300], RD | WR | INT, "I", b"\1\0\0\0")
    emu.add("a.y", [1, 301], RD | INT, "I", b"\2\0\0\0")
    emu.clear_calls()
    return _varkit.filter("a")


def test_oid_is_one_list_per_object(objs):
    x, y = objs
    assert x.oid == [1, 300] and y.oid == [1, 301]
    assert type(x.oid) is list and x.oid is x.oid
    assert x.oid is not y.oid


def test_oid_asks_the_kernel_nothing(emu, objs):
    emu.clear_calls()
    [o.oid for o in objs]
    assert emu.calls() == []


@pytest.mark.parametrize(
    "attempt", [lambda o: setattr(o, "oid", [1]), lambda o: delattr(o, "oid")]
)
def test_oid_is_read_only(objs, attempt):
    with pytest.raises(AttributeError, match="^readonly attribute$"):
        attempt(objs[0])
    assert objs[0].oid == [1, 300]


def test_unset_oid_reads_as_missing_attribute():
    s = Sysctl("only")
    with pytest.raises(
        AttributeError, match="^'Sysctl' object has no attribute 'oid'$"
    ):
        s.oid
    assert not hasattr(s, "oid")


def test_write_before_oid_was_read_goes_to_the_own_oid(emu, objs):
    x = objs[0]
    x.value = 9
    assert emu.get([1, 300]) == b"\x09\0\0\0"
    assert x.oid == [1, 300]


def test_write_follows_a_changed_oid_list(emu, objs):
    x = objs[0]
    x.oid[1] = 302
    emu.add("a.z", [1, 302], RD | WR | INT, "I", b"\0\0\0\0")
    x.value = 5
    assert emu.get([1, 302]) == b"\x05\0\0\0"
    assert emu.get([1, 300]) == b"\1\0\0\0"


def test_reinit_keeps_or_replaces_the_oid(objs):
    x = objs[0]
    x.__init__("renamed")
    assert x.oid == [1, 300]
    x.__init__("again", oid=[7])
    assert x.oid == [7]

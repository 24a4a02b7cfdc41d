import weakref

import pytest
from _varkit import Sysctl


def test_type_identity():
    assert repr(Sysctl) == "<class 'Sysctl'>"
    assert Sysctl.__module__ == "builtins"
    assert Sysctl.__doc__ == "Sysctl objects"
    docs = {
        "name": "name",
        "writable": "Can be written",
        "tuneable": "Tuneable",
        "oid": "OID MIB",
        "type": "Data type of sysctl",
        "value": "sysctl value",
        "description": "sysctl description",
    }
    assert {k: getattr(Sysctl, k).__doc__ for k in docs} == docs


@pytest.mark.parametrize(
    "attempt",
    [
        lambda: type("Sub", (Sysctl,), {}),
        lambda: weakref.ref(Sysctl("a")),
        lambda: setattr(Sysctl, "x", 1),
        lambda: Sysctl(),
        lambda: Sysctl("a", 1, 2, 3, 4, 5, 6, 7),
        lambda: Sysctl("a", type="7"),
        lambda: Sysctl("a", bogus=1),
    ],
    ids=[
        "subclass",
        "weakref",
        "type-attr",
        "no-name",
        "too-many",
        "type-str",
        "unknown-kw",
    ],
)
def test_refused_with_type_error(attempt):
    with pytest.raises(TypeError):
        attempt()


def test_constructor_stores_objects_unexamined():
    oid = [1, 2]
    s = Sysctl("n", 5, "d", "yes", None, oid, 3)
    assert (s.name, s.value, s.description, s.writable, s.tuneable) == (
        "n",
        5,
        "d",
        "yes",
        None,
    )
    assert s.oid is oid
    assert s.type == 3
    k = Sysctl(name=("t",), oid="x", type=2)
    assert k.name == ("t",) and k.oid == "x" and k.type == 2


@pytest.mark.parametrize(
    "given, stored",
    [(-1, 4294967295), (2**32 + 7, 7), (0, 0), (2**32 - 1, 2**32 - 1)],
)
def test_type_keeps_low_32_bits(given, stored):
    assert Sysctl("a", type=given).type == stored


def test_unset_members():
    s = Sysctl("only")
    for attr in ("writable", "tuneable", "oid"):
        with pytest.raises(AttributeError):
            getattr(s, attr)
    assert s.type == 0
    assert not hasattr(s, "__dict__")


@pytest.mark.parametrize(
    "attr", ["name", "writable", "tuneable", "oid", "type", "description", "other"]
)
def test_attributes_other_than_value_are_read_only(attr):
    s = Sysctl("a", description="d", writable=True)
    with pytest.raises(AttributeError):
        setattr(s, attr, 1)


def test_reinit_replaces_only_what_is_given():
    s = Sysctl("a", 1, "d", True, False, [1], 4)
    s.__init__("b")
    assert (s.name, s.value, s.description, s.writable, s.tuneable, s.oid, s.type) == (
        "b",
        1,
        "d",
        True,
        False,
        [1],
        4,
    )
    s.__init__("c", type=9, oid=[2])
    assert (s.name, s.oid, s.type) == ("c", [2], 9)


def test_reinit_refused_late_has_changed_type_only():
    s = Sysctl("old", type=2)
    with pytest.raises(TypeError):
        s.__init__("new", type=7, bogus=1)
    assert s.name == "old" and s.type == 7
    with pytest.raises(TypeError):
        s.__init__("new", "v", type=8, value="v2")  # given twice
    assert s.name == "old" and s.type == 8
    with pytest.raises(TypeError):
        s.__init__(type=5)  # no name: refused before type is touched
    assert s.type == 8


def test_reinit_releases_replaced_objects():
    class Marker:
        pass

    m = Marker()
    r = weakref.ref(m)
    s = Sysctl(m, m, m, m, m, m)
    del m
    s.__init__("a", 1, 2, 3, 4, 5)
    assert r() is None


@pytest.mark.parametrize(
    "name, text",
    [
        ("kern.ostype", "<Sysctl: kern.ostype>"),
        (("a",), "<Sysctl: a>"),
        (5, "<Sysctl: 5>"),
        ([1, 2], "<Sysctl: [1, 2]>"),
    ],
)
def test_repr(name, text):
    assert repr(Sysctl(name)) == text


def test_repr_failures_and_unset_name():
    with pytest.raises(TypeError):
        repr(Sysctl(("a", "b")))
    assert repr(Sysctl.__new__(Sysctl)) == "<Sysctl: (no name)>"


def test_repr_reentrant():
    class Name:
        def __init__(self, inner):
            self.inner = inner

        def __str__(self):
            return repr(self.inner)

    inner = Sysctl("inner")
    assert repr(Sysctl(Name(inner))) == "<Sysctl: <Sysctl: inner>>"


def test_value_and_description_from_constructor_make_no_call(emu):
    d = "the text"
    s = Sysctl("a", value=5, description=d, oid=[1, 1], type=2)
    assert s.value == 5
    assert s.description is d
    assert emu.calls() == []

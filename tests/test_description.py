import errno

import _varkit
import pytest

RD = 0x80000000


def leaf(emu, description):
    emu.add("t.v", [1, 1], RD | 2, "I", b"\0" * 4, description)
    [obj] = _varkit.filter("t.v")
    emu.clear_calls()
    return obj


@pytest.mark.parametrize(
    "text", ["Maximum number of files", "", "x" * 5000, "caf\u00e9"]
)
def test_description_is_fetched_once(emu, text):
    obj = leaf(emu, text)
    first = obj.description
    assert first == text
    assert obj.description is first
    calls = emu.calls()
    assert [c[0] for c in calls] == [(0, 5, 1, 1)] * 2
    assert calls[0][1] is None


def test_description_from_constructor(emu):
    d = object()
    assert _varkit.Sysctl("x", description=d).description is d
    assert emu.calls() == []


def test_missing_description_is_os_error_and_not_cached(emu):
    obj = leaf(emu, None)
    with pytest.raises(OSError) as e:
        obj.description
    assert e.value.errno == errno.ENOENT
    with pytest.raises(OSError):
        obj.description
    # each lookup probes, then asks again: nothing was cached
    assert len(emu.calls()) == 4


def test_refused_first_pass_still_calls_again(emu):
    obj = leaf(emu, "text")
    emu.inject(errno.EPERM, query=5)
    assert obj.description == "text"
    offers = [c[1] for c in emu.calls()]
    assert offers[0] is None and offers[-1] >= 5


def test_error_of_the_second_pass_is_reported(emu):
    obj = leaf(emu, "text")
    emu.inject(errno.EPERM, query=5)
    emu.inject(errno.EACCES, query=5)
    with pytest.raises(OSError) as e:
        obj.description
    assert e.value.errno == errno.EACCES
    assert len(emu.calls()) == 2
    assert obj.description == "text"  # nothing was cached


def test_description_growth_rule(emu):
    obj = leaf(emu, "a description that grew")
    emu.inject(0, query=5, size=3)  # probe: 3 bytes
    emu.inject(errno.ENOMEM, query=5, size=3, times=2)
    assert obj.description == "a description that grew"
    offers = [c[1] for c in emu.calls()]
    assert offers[:3] == [None, 3, 64]


def test_description_growth_gives_up(emu):
    obj = leaf(emu, "text")
    emu.inject(errno.ENOMEM, query=5, times=10**6)
    with pytest.raises(OSError) as e:
        obj.description
    assert e.value.errno == errno.ENOMEM
    assert len(emu.calls()) < 100


def test_hand_made_object_sends_the_bare_query(emu):
    with pytest.raises(OSError):
        _varkit.Sysctl("x").description
    assert emu.calls()[0][0] == (0, 5)


def test_description_not_utf8_round_trips(emu):
    emu.add("t.v", [1, 1], RD | 2, "I", b"\0" * 4, b"caf\xe9 \xff")
    [obj] = _varkit.filter("t.v")
    text = obj.description
    assert text == "caf\udce9 \udcff"
    assert text.encode("utf-8", "surrogateescape") == b"caf\xe9 \xff"

"""Faults found by the reliability tools (fuzzing, sanitizers, the leak hunt),
one test each; docs/reliability.md tells how each was found."""

import errno
import gc
import subprocess
import sys
import textwrap
import weakref

import _varkit
import pytest

RD, WR = 0x80000000, 0x40000000


class Marker:
    """A weakly referenced object to put into a cycle."""


def collected(build):
    """Builds a cycle with build(marker), drops it and collects: was it freed?"""
    m = Marker()
    ref = weakref.ref(m)
    build(m)
    del m
    gc.collect()
    return ref() is None


def made_by_filter(emu, value=b"\1\0\0\0", kind=2):
    emu.add("t.v", [1, 1], RD | WR | kind, "I", value, "d")
    [obj] = _varkit.filter("t.v")
    return obj


# The fuzz harness's leak check: a Sysctl in a reference cycle was never
# freed, because the type did not take part in the cycle collector.
@pytest.mark.parametrize(
    "build",
    [
        lambda m: setattr(m, "s", _varkit.Sysctl("x", value=m)),
        lambda m: setattr(m, "s", _varkit.Sysctl("x", description=m)),
        lambda m: setattr(m, "s", _varkit.Sysctl(m, writable=m, tuneable=m)),
        lambda m: setattr(m, "s", _varkit.Sysctl("x", oid=[m])),
        lambda m: (
            _varkit.Sysctl("x", value=[m])
            .value[0]
            .__dict__.setdefault("s", _varkit.Sysctl("y", value=m))
        ),
    ],
    ids=["value", "description", "name-and-flags", "oid", "chain"],
)
def test_cycle_through_a_constructed_object_is_collected(build):
    assert collected(build)


def test_cycle_through_a_reinitialised_object_is_collected(emu):
    def build(m):
        obj = made_by_filter(emu)
        obj.__init__("t.v", m)
        m.s = obj

    assert collected(build)


@pytest.mark.parametrize("how", ["assigned", "oid-list", "cached-list"])
def test_cycle_through_an_object_from_filter_is_collected(emu, how):
    def build(m):
        if how == "assigned":
            obj = made_by_filter(emu, kind=0)  # no kernel call on assignment
            obj.value = m
        elif how == "oid-list":
            obj = made_by_filter(emu)
            obj.oid.append(m)
        else:
            obj = made_by_filter(emu, value=b"\1\0\0\0\2\0\0\0")
            obj.value.append(m)
        m.s = obj

    assert collected(build)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
    )


# Found while writing the fuzz harness's deep-object case: tearing down a
# long chain of objects (each the value or description of the next)
# recursed once per link and overflowed the C stack (SIGSEGV).
@pytest.mark.parametrize("field", ["value", "description", "name"])
def test_long_chain_is_torn_down_without_recursion(field):
    # A recursive teardown of a million links overflows the main thread's
    # stack (the interpreter's own recursion guard does not see C frames).
    args = "s" if field == "name" else f'"x", {field}=s'
    r = run_python(f"""
        import _varkit
        s = _varkit.Sysctl("x")
        for _ in range(1_000_000):
            s = _varkit.Sysctl({args})
        del s
        print("ok")
        """)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.strip() == "ok"


# The leak hunt, which runs every test several times in one process: a
# variable whose kind word reads 0xFFFFFFFF made filter() raise OSError with
# whatever errno an earlier call of the thread had left (EINVAL after a
# refused call, EIO only by luck when errno was 0).
@pytest.mark.parametrize("earlier", [errno.EINVAL, errno.EACCES, errno.ENOENT])
@pytest.mark.parametrize("mib", ["a", "a.bad", ""])
def test_invalid_kind_word_reports_eio_whatever_came_before(emu, earlier, mib):
    emu.add("a.bad", [1, 1], 0xFFFFFFFF, "I", b"\0\0\0\0")
    emu.inject(earlier, oid=[9, 9])
    with pytest.raises(OSError) as first:
        emu.sysctl([9, 9], 4)  # leaves errno set in this thread
    assert first.value.errno == earlier
    with pytest.raises(OSError) as e:
        _varkit.filter(mib)
    assert e.value.errno == errno.EIO

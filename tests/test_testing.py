"""varkit.testing: the emulated MIB as a test double, and the mib fixture."""

import errno
import os
import struct
import subprocess
import sys
import textwrap
from importlib import metadata

import _varkit
import _varkit_mib
import pytest
import varkit
from varkit.testing import Call, EmulatedMIB, emulated_mib


def names():
    return [o.name for o in _varkit.filter()]


@pytest.fixture
def outer():
    """An outer block: the tests nest blocks in it, and it leaves the
    provider as the session had it."""
    with emulated_mib() as mib:
        yield mib


@pytest.mark.parametrize("default", [True, False])
def test_block_serves_a_fresh_tree(outer, default):
    outer.add_variable("t.left", [9, 1], 1)
    outer.inject(errno.EIO, oid=[1, 1])
    with emulated_mib(default=default) as mib:
        assert isinstance(mib, EmulatedMIB)
        assert _varkit_mib.active() == "emulated"
        assert mib.calls() == []
        if default:
            assert varkit.get("kern.ostype") == "FreeBSD"  # the fault is gone
            assert "t.left" not in names()
        else:
            assert names() == []


@pytest.mark.parametrize("raises", [False, True])
def test_leaving_restores_the_emulated_default(outer, raises):
    before = names()
    try:
        with emulated_mib(default=False) as mib:
            mib.add_variable("t.v", [9, 1], 1)
            mib.inject(errno.EIO, oid=[1, 1], times=100)
            if raises:
                raise KeyError("from the block")
    except KeyError:
        assert raises
    assert _varkit_mib.active() == "emulated"
    assert names() == before
    assert varkit.get("kern.ostype") == "FreeBSD"


def test_leaving_restores_the_procfs_view(outer, tmp_path):
    if not hasattr(_varkit_mib, "use_procfs"):
        pytest.skip("this provider has no /proc/sys view")
    (tmp_path / "kernel").mkdir()
    (tmp_path / "kernel" / "ostype").write_text("Linux\n")
    _varkit_mib.use_procfs(root=str(tmp_path))
    with emulated_mib():
        assert varkit.get("kern.ostype") == "FreeBSD"
    assert _varkit_mib.active() == "procfs"
    assert names() == ["kernel.ostype"]


CLOCK = {"hz": 1000, "tick": 1000, "profhz": 8000, "stathz": 127}


@pytest.mark.parametrize(
    "value, kwargs, type_, fmt, raw",
    [
        (5, {}, varkit.CTLTYPE_INT, "I", struct.pack("=i", 5)),
        ([1, -2], {}, varkit.CTLTYPE_INT, "I", struct.pack("=2i", 1, -2)),
        (
            5,
            {"type": varkit.CTLTYPE_UINT},
            varkit.CTLTYPE_UINT,
            "IU",
            struct.pack("=I", 5),
        ),
        (
            5,
            {"type": varkit.CTLTYPE_S64},
            varkit.CTLTYPE_S64,
            "Q",
            struct.pack("=q", 5),
        ),
        (
            2**64 - 1,
            {"type": varkit.CTLTYPE_U64},
            varkit.CTLTYPE_U64,
            "QU",
            b"\xff" * 8,
        ),
        ("text", {}, varkit.CTLTYPE_STRING, "A", b"text"),
        (b"\1\2", {}, varkit.CTLTYPE_OPAQUE, "", b"\1\2"),
        (b"\1\2", {"fmt": "S,odd"}, varkit.CTLTYPE_OPAQUE, "S,odd", b"\1\2"),
        (
            varkit.Timeval(7, 8),
            {},
            varkit.CTLTYPE_OPAQUE,
            "S,timeval",
            struct.pack("=qq", 7, 8),
        ),
        (
            varkit.LoadAvg(0.5, 1, 2),
            {},
            varkit.CTLTYPE_OPAQUE,
            "S,loadavg",
            struct.pack("=3I4xq", 1024, 2048, 4096, 2048),
        ),
        (
            CLOCK,
            {},
            varkit.CTLTYPE_OPAQUE,
            "S,clockinfo",
            struct.pack("=5i", 1000, 1000, 0, 127, 8000),
        ),
    ],
)
def test_add_variable_encodes_like_the_kernel(value, kwargs, type_, fmt, raw):
    with emulated_mib(default=False) as mib:
        mib.add_variable("t.v", [9, 1], value, **kwargs)
        assert mib.get([9, 1]) == raw
        [obj] = varkit.filter("t.v")
        assert obj.type == type_
        assert _varkit_mib.sysctl((0, 4, 9, 1), 64)[0][4:] == fmt.encode() + b"\0"
        got = varkit.decode(obj)
        assert got == (bytearray(raw) if isinstance(value, bytes) else value)


@pytest.mark.parametrize(
    "flags, writable, tuneable, listed",
    [
        ({}, False, False, True),
        ({"writable": True}, True, False, True),
        ({"tuneable": True}, False, True, True),
        ({"skip": True}, False, False, False),
    ],
)
def test_add_variable_flags(flags, writable, tuneable, listed):
    with emulated_mib(default=False) as mib:
        mib.add_variable("t.v", [9, 1], 1, description="d", **flags)
        [obj] = varkit.filter("t.v")
        assert (obj.writable, obj.tuneable) == (writable, tuneable)
        assert (names() == ["t.v"]) is listed
        assert obj.description == "d"


@pytest.mark.parametrize(
    "value, kwargs",
    [
        (True, {}),
        ("x", {"type": varkit.CTLTYPE_INT}),
        (1, {"type": varkit.CTLTYPE_STRING}),
        (1, {"type": varkit.CTLTYPE_OPAQUE}),
    ],
)
def test_add_variable_refuses_what_it_cannot_encode(value, kwargs):
    with emulated_mib(default=False) as mib:
        with pytest.raises(TypeError):
            mib.add_variable("t.v", [9, 1], value, **kwargs)
        assert names() == []


def test_add_variable_replaces_a_variable_but_not_a_subtree():
    with emulated_mib() as mib:
        mib.add_variable("kern.boottime", [1, 21], varkit.Timeval(5, 0))
        assert varkit.decode("kern.boottime") == varkit.Timeval(5, 0)
        with pytest.raises(ValueError):
            mib.add_variable("kern.sched", [1, 256], 1)
        assert len(list(varkit.walk("kern.sched"))) == 3


def test_faults_and_the_call_log():
    with emulated_mib() as mib:
        mib.inject(errno.EACCES, oid=[1, 1], times=2)
        with pytest.raises(PermissionError):
            varkit.get("kern.ostype")
        assert varkit.get("kern.ostype") == "FreeBSD"
        reads = [c for c in mib.calls() if c.oid == (1, 1)]
        assert all(isinstance(c, Call) for c in reads)
        assert [(c.offered, c.new, c.errno) for c in reads] == [
            (None, None, errno.EACCES),
            (0, None, errno.EACCES),
            (None, None, 0),
            (8, None, 0),
        ]
        mib.clear_calls()
        assert mib.calls() == []


def test_set_get_remove():
    with emulated_mib() as mib:
        mib.set([1, 1], b"Other")
        assert mib.get([1, 1]) == b"Other"
        assert varkit.get("kern.ostype") == "Other"
        assert mib.get([1]) is None  # an interior node
        mib.remove([1, 256])
        with pytest.raises(varkit.UnknownNameError):
            varkit.walk("kern.sched")
        with pytest.raises(KeyError):
            mib.get([1, 256])


PLUGIN = "varkit.pytest_plugin"
INNER = """
    import errno

    import _varkit_mib
    import varkit

    BEFORE = _varkit_mib.active()


    def test_with_the_fixture(mib):
        assert _varkit_mib.active() == "emulated"
        mib.add_variable("t.v", [9, 1], 5)
        mib.inject(errno.EIO, oid=[1, 1], times=10)
        assert varkit.get("t.v") == 5
        assert mib.calls()[-1].oid == (9, 1)


    def test_after_it():
        assert _varkit_mib.active() == BEFORE
        try:
            varkit.get("t.v")
        except varkit.UnknownNameError:
            pass
        else:
            raise AssertionError("t.v outlived the test")
        if BEFORE == "emulated":
            assert varkit.get("kern.ostype") == "FreeBSD"
"""


def installed_plugin():
    eps = metadata.entry_points(group="pytest11")
    return [ep for ep in eps if ep.value == PLUGIN]


def test_the_mib_fixture_restores_the_previous_tree(tmp_path):
    (tmp_path / "test_inner.py").write_text(textwrap.dedent(INNER))
    path = os.environ.get("PYTHONPATH", "")
    env = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join(
            os.path.abspath(p) for p in path.split(os.pathsep) if p
        ),
    }
    load = [] if installed_plugin() else ["-p", PLUGIN]
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            *load,
            "test_inner.py",
        ],
        check=False,
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert r.returncode == 0, r.stdout + r.stderr
    assert "2 passed" in r.stdout


def test_the_plugin_is_registered_with_pytest():
    try:
        metadata.distribution("varkit")
    except metadata.PackageNotFoundError:
        pytest.skip("varkit is not installed in this environment")
    [ep] = installed_plugin()
    assert ep.name == "varkit"

"""The varkit command run as a user runs it, against the emulated tree."""

import errno
import json
import os
import struct
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import _varkit
import pytest
from varkit.testing import emulated_mib

CLOCK = struct.pack("=5i", 100, 10000, 0, 128, 8128)


def run(*args, setup=None, tree="--emulated", binary=False, **kwargs):
    """Runs `python -m varkit` with the emulated default tree.

    With `setup`, Python code run first in the same process (with errno,
    struct and the provider as `mib` imported, the emulated default tree
    served), the command then runs on what it left.
    """
    env = {**os.environ, "TZ": "UTC"}
    if setup is None:
        cmd = [sys.executable, "-m", "varkit", *([tree] if tree else []), *args]
    else:
        code = "\n".join(
            [
                "import errno, struct, sys",
                "import _varkit_mib as mib",
                "mib.use_emulated()",
                "mib.load_default()",
                textwrap.dedent(setup),
                "from varkit.cli import main",
                "sys.exit(main(sys.argv[1:]))",
            ]
        )
        cmd = [sys.executable, "-c", code, *args]
    if "stdout" not in kwargs:
        kwargs["capture_output"] = True
    r = subprocess.run(
        cmd, check=False, text=not binary, env=env, timeout=120, **kwargs
    )
    assert (b"Traceback" if binary else "Traceback") not in r.stderr
    return r


@pytest.fixture(scope="module")
def default_names():
    """The names a skipping walk of the emulated default tree lists."""
    with emulated_mib():
        return [o.name for o in _varkit.filter()]


SCHED = ["kern.sched.name", "kern.sched.quantum", "kern.sched.runq_len"]


@pytest.mark.parametrize(
    "args, out",
    [
        (["kern.ostype"], "kern.ostype: FreeBSD\n"),
        (["-n", "kern.ostype"], "FreeBSD\n"),
        (["-N", "kern.ostype"], "kern.ostype\n"),
        (["-e", "kern.ostype"], "kern.ostype=FreeBSD\n"),
        (["-t", "kern.ostype"], "kern.ostype: string: FreeBSD\n"),
        (["-tn", "kern.maxfiles"], "integer: 262144\n"),
        (["-tN", "kern.hostid"], "kern.hostid: unsigned integer\n"),
        (["-d", "kern.ostype"], "kern.ostype: Operating system type\n"),
        (["-nd", "kern.maxfiles"], "Maximum number of files\n"),
        (["kern.ostype", "hw.machine"], "kern.ostype: FreeBSD\nhw.machine: amd64\n"),
        (
            ["kern.securelevel", "kern.hostid"],
            "kern.securelevel: -1\nkern.hostid: 1554098974\n",
        ),
        (
            ["vm.stats.sys"],
            "vm.stats.sys.v_swtch: 123456789\nvm.stats.sys.v_syscall: 987654321\n",
        ),
        (["kern.sched.runq_len"], "kern.sched.runq_len: 0 1 0 2\n"),
        (
            ["kern.clockrate"],
            "kern.clockrate: { hz = 100, tick = 10000, profhz = 8128, stathz = 128 }\n",
        ),
        (
            ["-x", "kern.clockrate"],
            f"kern.clockrate: Format:S,clockinfo Length:20 Dump:0x{CLOCK.hex()}\n",
        ),
        (["-N", "kern.sched"], "".join(n + "\n" for n in SCHED)),
        (["-NW", "kern.sched"], "kern.sched.quantum\n"),
        (["-NR", "kern.sched"], "kern.sched.name\nkern.sched.runq_len\n"),
        (["-NT", "kern"], "kern.maxproc\nkern.maxfiles\nkern.ipc.maxmbufmem\n"),
        (["-W", "kern.ostype"], ""),
        (["-N", "kern.hidden_secret"], "kern.hidden_secret\n"),
        (["kern.sched", "-n", "-W"], "94488\n"),
    ],
)
def test_printing(args, out):
    r = run(*args)
    assert (r.stdout, r.stderr, r.returncode) == (out, "", 0)


def test_all_lists_the_walk(default_names):
    names = run("-aN").stdout.splitlines()
    assert names == default_names
    assert "kern.hidden_secret" not in names
    lines = run("-a").stdout.splitlines()
    assert [line.split(": ", 1)[0] for line in lines if ": " in line] == names


@pytest.mark.parametrize(
    "flag, keep",
    [
        ("-W", lambda o: o.writable),
        ("-R", lambda o: not o.writable),
        ("-T", lambda o: o.tuneable),
    ],
)
def test_all_with_a_selection(flag, keep):
    with emulated_mib():
        expected = [o.name for o in _varkit.filter() if keep(o)]
    assert expected
    assert run("-aN", flag).stdout.splitlines() == expected


BOOT = struct.pack("=qq", 1700000000, 250000)
LOAD = struct.pack("=3I4xq", 246, 696, 1147, 2048)
ODD = bytes(range(20))


@pytest.mark.parametrize(
    "args, out",
    [
        (
            ["kern.boottime"],
            "kern.boottime: { sec = 1700000000, usec = 250000 } "
            "Tue Nov 14 22:13:20 2023\n",
        ),
        (["vm.loadavg"], "vm.loadavg: { 0.12 0.34 0.56 }\n"),
        (
            ["-x", "vm.loadavg"],
            f"vm.loadavg: Format:S,loadavg Length:24 Dump:0x{LOAD.hex()}\n",
        ),
        (["t.odd"], f"t.odd: Format:S,odd Length:20 Dump:0x{ODD[:16].hex()}...\n"),
        (["-x", "t.odd"], f"t.odd: Format:S,odd Length:20 Dump:0x{ODD.hex()}\n"),
        (["t.short"], "t.short: Format:S,timeval Length:3 Dump:0x010203\n"),
    ],
)
def test_records(args, out):
    r = run(
        *args,
        setup=f"""
        mib.set([1, 21], {BOOT!r})
        mib.set([2, 2], {LOAD!r})
        mib.add("t.odd", [9, 1], mib.CTLFLAG_RD | mib.CTLTYPE_OPAQUE, "S,odd",
                {ODD!r})
        mib.add("t.short", [9, 2], mib.CTLFLAG_RD | mib.CTLTYPE_OPAQUE,
                "S,timeval", b"\\1\\2\\3")
        """,
    )
    assert (r.stdout, r.stderr, r.returncode) == (out, "", 0)


@pytest.mark.parametrize("arg", ["k\udcff", "k\udcff=1"])
def test_a_name_that_is_not_utf8_is_unknown(arg):
    r = run(arg, binary=True)
    assert (r.stdout, r.stderr, r.returncode) == (
        b"",
        b"varkit: k\xff: unknown variable\n",
        1,
    )


def test_text_that_is_not_utf8_goes_out_as_its_bytes():
    r = run(
        "t.s",
        setup='mib.add("t.s", [9, 1], mib.CTLFLAG_RD | mib.CTLTYPE_STRING, "A", '
        'b"bad\\xff")',
        binary=True,
    )
    assert (r.stdout, r.returncode) == (b"t.s: bad\xff\n", 0)


@pytest.mark.parametrize(
    "args, out",
    [
        (["kern.maxfiles=1000"], "kern.maxfiles: 262144 -> 1000\n"),
        (["kern.maxfiles=0x10"], "kern.maxfiles: 262144 -> 16\n"),
        (["kern.maxfiles=010"], "kern.maxfiles: 262144 -> 10\n"),
        (["kern.securelevel=-3"], "kern.securelevel: -1 -> -3\n"),
        (["kern.hostid=4294967295"], "kern.hostid: 1554098974 -> 4294967295\n"),
        (["-n", "kern.maxfiles=5"], "262144 -> 5\n"),
        (["-e", "kern.maxfiles=5"], "kern.maxfiles=262144 -> 5\n"),
        (["kern.hostname=a=b c"], "kern.hostname: old -> a=b c\n"),
        (["kern.hostname="], "kern.hostname: old -> \n"),
        (
            ["kern.maxfiles=7", "kern.maxfiles"],
            "kern.maxfiles: 262144 -> 7\nkern.maxfiles: 7\n",
        ),
    ],
)
def test_writes(args, out):
    r = run(*args, setup='mib.set([1, 10], b"old")')
    assert (r.stdout, r.stderr, r.returncode) == (out, "", 0)


@pytest.mark.parametrize(
    "args, message",
    [
        (["kern.nosuch"], "kern.nosuch: unknown variable"),
        (["kern.nosuch=1"], "kern.nosuch: unknown variable"),
        (["kern.ostype=Linux"], "kern.ostype: read-only variable"),
        (["kern.maxfiles=abc"], "kern.maxfiles: invalid integer 'abc'"),
        (["kern.maxfiles=1 2"], "kern.maxfiles: invalid integer '1 2'"),
        (["kern.maxfiles=2147483648"], "kern.maxfiles: 2147483648 is out of range"),
        (["kern.hostid=-1"], "kern.hostid: -1 is out of range"),
        (["kern.clockrate=1"], "kern.clockrate: opaque values cannot be set"),
        (["kern=1"], "kern: a subtree, not a variable"),
        (["kern.sched=1"], "kern.sched: a subtree, not a variable"),
    ],
)
def test_failures_name_the_variable(args, message):
    r = run(*args, "kern.maxfiles")
    assert r.returncode == 1
    assert r.stderr.startswith(f"varkit: {message}")
    assert len(r.stderr.splitlines()) == 1
    # nothing was written, and the names after the failure still ran
    assert r.stdout.endswith("kern.maxfiles: 262144\n")


@pytest.mark.parametrize(
    "args, status, out, err",
    [
        (["-i", "kern.nosuch", "kern.ostype"], 0, "kern.ostype: FreeBSD\n", ""),
        (["-i", "kern.nosuch=1"], 0, "", ""),
        (["-q", "kern.nosuch", "kern.ostype"], 1, "kern.ostype: FreeBSD\n", ""),
        (["-q", "kern.ostype=x"], 1, "", ""),
        (["-i", "kern.ostype=x"], 1, "", "varkit: kern.ostype: read-only variable\n"),
    ],
)
def test_ignore_and_quiet(args, status, out, err):
    r = run(*args)
    assert (r.returncode, r.stdout, r.stderr) == (status, out, err)


READ_FAULT = "mib.inject(errno.EIO, oid=[1, 7], times=2)"  # kern.maxfiles
EIO = os.strerror(errno.EIO)


def test_a_failed_read_is_reported_and_the_listing_goes_on(default_names):
    r = run("-a", setup=READ_FAULT)
    assert r.returncode == 1
    assert r.stderr == f"varkit: kern.maxfiles: {EIO}\n"
    names = [line.split(": ", 1)[0] for line in r.stdout.splitlines() if ": " in line]
    assert names == [n for n in default_names if n != "kern.maxfiles"]


def test_quiet_failed_read_still_fails():
    r = run("-aq", setup=READ_FAULT)
    assert (r.returncode, r.stderr) == (1, "")
    assert "kern.argmax: 524288" in r.stdout


EACCES = os.strerror(errno.EACCES)


@pytest.mark.parametrize(
    "name, setup, out, err, status",
    [
        # no description kept: printed empty, not an error
        (
            "t.v",
            'mib.add("t.v", [9, 1], mib.CTLFLAG_RD | mib.CTLTYPE_INT, "I", b"\\0" * 4)',
            "t.v: \n",
            "",
            0,
        ),
        (
            "kern.ostype",
            "mib.inject(errno.EPERM, query=5)\nmib.inject(errno.EACCES, query=5)",
            "",
            f"varkit: kern.ostype: description: {EACCES}\n",
            1,
        ),
    ],
)
def test_description_failures(name, setup, out, err, status):
    r = run("-d", name, setup=setup)
    assert (r.stdout, r.stderr, r.returncode) == (out, err, status)


def test_walk_refused_by_the_kernel():
    r = run("-a", setup="mib.inject(errno.EIO, query=2)")
    assert (r.stdout, r.returncode) == ("", 1)
    assert r.stderr == f"varkit: cannot list the MIB: {EIO}\n"


def test_json():
    r = run(
        "--json",
        "kern.ostype",
        "kern.clockrate",
        "kern.sched.runq_len",
        "kern.boottime",
        "kern.maxfiles",
    )
    assert r.returncode == 0
    doc = json.loads(r.stdout)
    assert doc[0] == {
        "name": "kern.ostype",
        "oid": [1, 1],
        "type": "string",
        "format": "A",
        "writable": False,
        "tuneable": False,
        "value": "FreeBSD",
    }
    clock, runq, boot, maxfiles = doc[1:]
    assert clock["value"] == {"hz": 100, "tick": 10000, "profhz": 8128, "stathz": 128}
    assert clock["format"] == "S,clockinfo"
    assert (runq["type"], runq["format"], runq["value"]) == (
        "integer",
        "I",
        [0, 1, 0, 2],
    )
    assert boot["format"] == "S,timeval"
    assert len(bytes.fromhex(boot["value"])) == 16
    assert (maxfiles["writable"], maxfiles["tuneable"]) == (True, True)
    assert "description" not in maxfiles


def test_json_with_descriptions_writes_and_failures():
    r = run("--json", "-d", "kern.ostype", "kern.maxfiles=5", "kern.nosuch")
    assert r.returncode == 1
    assert r.stderr == "varkit: kern.nosuch: unknown variable\n"
    ostype, maxfiles = json.loads(r.stdout)
    assert ostype["description"] == "Operating system type"
    assert (maxfiles["old"], maxfiles["value"]) == (262144, 5)


def test_json_all(default_names):
    doc = json.loads(run("--json", "-a").stdout)
    assert [o["name"] for o in doc] == default_names
    assert all(
        set(o) == {"name", "oid", "type", "format", "writable", "tuneable", "value"}
        for o in doc
    )


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "name a variable, or list them all with -a"),
        (["-a", "kern"], "-a takes no names"),
        (["-aWR"], "argument -R: not allowed with argument -W"),
        (["-nN", "kern.ostype"], "argument -N: not allowed with argument -n"),
        (["--bogus", "kern.ostype"], "unrecognized arguments: --bogus"),
        (
            ["--emulated", "--procfs-root", "/", "-a"],
            "argument --procfs-root: not allowed with argument --emulated",
        ),
    ],
)
def test_usage_errors(args, message):
    r = run(*args, tree=None)
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr.startswith("usage: varkit ")
    assert f"varkit: error: {message}" in r.stderr


def test_procfs_root_must_be_a_directory(tmp_path):
    missing = tmp_path / "missing"
    r = run("--procfs-root", str(missing), "-a", tree=None)
    assert (r.returncode, r.stderr) == (2, f"varkit: {missing}: not a directory\n")


def test_help_reads_like_a_synopsis():
    r = run("-h", tree=None)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("usage: varkit [-deiNnqRTtWx] [--json]")
    for flag in [
        "-a",
        "-d",
        "-e",
        "-i",
        "-N",
        "-n",
        "-q",
        "-R",
        "-T",
        "-t",
        "-W",
        "-x",
        "--json",
        "--emulated",
        "--procfs-root DIR",
    ]:
        assert f"\n  {flag} " in r.stdout


def test_closed_pipe_ends_quietly():
    # `varkit -a | head`: the reader is gone before anything is written.
    read, write = os.pipe()
    os.close(read)
    try:
        r = run("-a", stdout=write, stderr=subprocess.PIPE)
    finally:
        os.close(write)
    assert r.returncode == 1
    assert r.stderr == ""


def test_without_a_tree_option_the_provider_default_is_served():
    """No --emulated: what the provider serves at import (the live MIB)."""
    names = run("-aN", tree=None).stdout.splitlines()
    listed = subprocess.run(
        [
            sys.executable,
            "-c",
            "import _varkit\nfor o in _varkit.filter(): print(o.name)",
        ],
        capture_output=True,
        text=True,
        check=True,
        timeout=120,
    ).stdout.splitlines()
    assert names == listed


def test_console_script():
    script = Path(sysconfig.get_path("scripts")) / "varkit"
    if not script.exists():
        pytest.skip("varkit is not installed in this environment")
    r = subprocess.run(
        [str(script), "--emulated", "-n", "kern.ostype"],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (r.stdout, r.stderr, r.returncode) == ("FreeBSD\n", "", 0)


def test_json_of_nothing_is_an_empty_list():
    r = run("--json", "-i", "kern.nosuch")
    assert (json.loads(r.stdout), r.returncode) == ([], 0)

"""The live /proc/sys tree of _varkit_mib: on a fake tree in a temporary
folder (tests/conftest.py builds it), and read-only on the host's own."""

import errno
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import _varkit
import _varkit_mib as mib
import pytest
from conftest import OUTSIDE_SECRET

RD, WR, SKIP = mib.CTLFLAG_RD, mib.CTLFLAG_WR, mib.CTLFLAG_SKIP
NODE, INT, STRING = mib.CTLTYPE_NODE, mib.CTLTYPE_INT, mib.CTLTYPE_STRING
LONG, ULONG = mib.CTLTYPE_LONG, mib.CTLTYPE_ULONG
ENOENT, ENOMEM, EINVAL = errno.ENOENT, errno.ENOMEM, errno.EINVAL
EISDIR, EPERM, EIO = errno.EISDIR, errno.EPERM, errno.EIO

PROC_SYS = Path("/proc/sys")

# What a walk of the fake tree lists, in order, with the OIDs.
WALK = [
    ("kernel.beyond32", [1, 1]),
    ("kernel.beyond64", [1, 2]),
    ("kernel.beyond_u64", [1, 3]),
    ("kernel.empty", [1, 4]),
    ("kernel.mixed", [1, 5]),
    ("kernel.motd", [1, 6]),
    ("kernel.negative", [1, 7]),
    ("kernel.ostype", [1, 8]),
    ("kernel.pid_max", [1, 9]),
    ("kernel.printk", [1, 10]),
    ("kernel.random.uuid", [1, 11, 1]),
    ("kernel.secret", [1, 12]),
    ("kernel.spread", [1, 13]),
    ("net.conf.eth0/100.forwarding", [3, 1, 1, 1]),
    ("net.conf.lo.forwarding", [3, 1, 2, 1]),
    ("alpha.a", [100, 1]),
    ("zeta.z", [101, 1]),
]
# What a skipping walk lists: kernel.secret is write-only.
SHOWN = [(name, oid) for name, oid in WALK if name != "kernel.secret"]


def ints(*values, fmt="i"):
    return struct.pack(f"{len(values)}{fmt}", *values)


def answer(oid, new=None, oldlen=4096):
    """The bytes a call delivers, or the errno it fails with."""
    try:
        return mib.sysctl(oid, oldlen, new)[0]
    except OSError as e:
        return e.errno


def lookup(name):
    try:
        return mib.nametomib(name)
    except OSError as e:
        return e.errno


def walk(q=2, start=(1,)):
    """Every OID a raw walk with query q visits after start."""
    oids, oid = [], list(start)
    while True:
        reply = answer([0, q, *oid])
        if reply == ENOENT:
            return oids
        oid = list(struct.unpack(f"{len(reply) // 4}i", reply))
        oids.append(oid)


def one(name):
    [obj] = _varkit.filter(name)
    return obj


@pytest.fixture(params=[True, False], ids=["openat2", "stepwise"])
def opener(request):
    """Both ways of opening below the root: openat2(2), or one component at
    a time with O_NOFOLLOW."""
    before = mib._use_openat2(request.param)
    yield request.param
    mib._use_openat2(before)


@pytest.fixture
def live():
    """The host's /proc/sys served; read only."""
    if not PROC_SYS.is_dir():
        pytest.skip("no /proc/sys on this host")
    before = mib.procfs_root()
    mib.use_procfs()
    yield PROC_SYS
    if before is None:
        mib.use_emulated()
    else:
        mib.use_procfs(before)


# ---- the control API -------------------------------------------------------


def test_use_procfs_and_back(fake_procfs):
    assert mib.active() == "procfs"
    assert mib.procfs_root() == os.path.realpath(fake_procfs)
    assert lookup("kernel.ostype") == [1, 8]  # kernel listed: numbers given
    (fake_procfs / "kernel" / "aaa").write_text("1\n")
    mib.use_emulated()
    assert (mib.active(), mib.procfs_root()) == ("emulated", None)
    assert lookup("kern.ostype") == [1, 1]  # the emulated default tree
    mib.use_procfs(str(fake_procfs))
    assert mib.active() == "procfs"
    # The numbers given out before the switch still hold.
    assert lookup("kernel.aaa") == [1, 14]
    assert lookup("kernel.ostype") == [1, 8]


@pytest.mark.parametrize(
    "rel, exc",
    [("missing", FileNotFoundError), ("sys/kernel/ostype", NotADirectoryError)],
)
def test_use_procfs_refuses_what_is_not_a_folder(fake_procfs, rel, exc):
    with pytest.raises(exc):
        mib.use_procfs(fake_procfs.parent / rel)
    assert mib.procfs_root() == os.path.realpath(fake_procfs)  # unchanged


def test_default_root_is_proc_sys(live):
    assert mib.active() == "procfs"
    assert mib.procfs_root() == "/proc/sys"


@pytest.mark.skipif(not PROC_SYS.is_dir(), reason="no /proc/sys on this host")
def test_import_serves_proc_sys():
    code = (
        "import _varkit, _varkit_mib as m; "
        "print(m.active(), m.procfs_root(), _varkit.filter('kernel.ostype')[0].value)"
    )
    r = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert r.stdout == "procfs /proc/sys Linux\n", r.stderr


def test_import_without_proc_sys_serves_the_emulated_tree():
    if shutil.which("unshare") is None:
        pytest.skip("no unshare(1)")
    # /proc hidden under an empty tmpfs, in a mount namespace of its own.
    code = "import _varkit_mib as m; print(m.active(), m.procfs_root())"
    script = (
        f"mount -t tmpfs none /proc && "
        f"exec {shlex.quote(sys.executable)} -c {shlex.quote(code)}"
    )
    r = subprocess.run(
        ["unshare", "-m", "sh", "-c", script],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    if r.returncode != 0 and "Traceback" not in r.stderr:
        pytest.skip(f"cannot hide /proc here: {r.stderr.strip()}")
    assert r.stdout == "emulated None\n", r.stderr


def test_call_log_and_faults_work_on_procfs(fake_procfs):
    obj = one("kernel.ostype")
    mib.clear_calls()
    mib.inject(EIO, oid=[1, 8], times=2)  # the probe and the fetch
    with pytest.raises(OSError) as e:
        _ = obj.value
    assert e.value.errno == EIO
    assert mib.calls() == [((1, 8), None, None, EIO), ((1, 8), 0, None, EIO)]
    assert obj.value == "Linux"
    assert mib.calls()[-2:] == [((1, 8), None, None, 0), ((1, 8), 6, None, 0)]


# ---- names, OIDs, the walk -------------------------------------------------


@pytest.mark.parametrize("args, listed", [({}, SHOWN), ({"mib": ""}, WALK)])
def test_walk_lists_files_in_oid_order(fake_procfs, args, listed):
    objs = _varkit.filter(**args)
    assert [(o.name, o.oid) for o in objs] == listed


def test_raw_walk_from_the_top(fake_procfs):
    assert walk(2, ()) == [oid for _, oid in SHOWN]
    assert walk(7, ()) == [oid for _, oid in WALK]
    assert walk(7, [1, 13]) == [oid for _, oid in WALK[13:]]


@pytest.mark.parametrize("name, oid", WALK)
def test_lookup_and_name_query_agree(fake_procfs, name, oid):
    assert lookup(name) == oid
    assert answer([0, 1, *oid]) == name.encode() + b"\0"


@pytest.mark.parametrize(
    "name, oid",
    [
        ("kernel", [1]),
        ("vm", [2]),
        ("net.conf.eth0/100", [3, 1, 1]),
        ("net.conf.eth0.100", ENOENT),  # the dot of the folder is a slash
        ("net.conf.eth0/100.nope", ENOENT),
        ("kernel.ostype.x", ENOENT),  # below a file
        ("nope", ENOENT),
    ],
)
def test_lookup(fake_procfs, name, oid):
    assert lookup(name) == oid


@pytest.mark.parametrize(
    "target, name",
    [([1, 999], "kernel.999"), ([42, 1], "42.1"), ([1, 8, 3], "kernel.ostype.3")],
)
def test_name_query_prints_unknown_components_as_numbers(fake_procfs, target, name):
    assert answer([0, 1, *target]) == name.encode() + b"\0"


def test_filter_below_a_folder_and_of_a_file(fake_procfs):
    names = [o.name for o in _varkit.filter("net.conf")]
    assert names == ["net.conf.eth0/100.forwarding", "net.conf.lo.forwarding"]
    assert [o.name for o in _varkit.filter("kernel.motd")] == ["kernel.motd"]
    assert [o.name for o in _varkit.filter("vm")] == []


def test_numbers_of_entries_that_appear_later(fake_procfs):
    _varkit.filter()
    (fake_procfs / "kernel" / "aaa").write_text("1\n")
    (fake_procfs / "kernel" / "zzz").write_text("2\n")
    (fake_procfs / "beta").mkdir()
    (fake_procfs / "beta" / "b").write_text("3\n")
    (fake_procfs / "abi").mkdir()
    (fake_procfs / "abi" / "vsyscall32").write_text("1\n")
    names = {o.name: o.oid for o in _varkit.filter()}
    assert names["kernel.aaa"] == [1, 14]  # next unused number, not name order
    assert names["kernel.zzz"] == [1, 15]
    assert names["beta.b"] == [102, 1]
    assert names["abi.vsyscall32"] == [9, 1]
    order = [o.name for o in _varkit.filter("kernel")]
    assert order[-3:] == ["kernel.spread", "kernel.aaa", "kernel.zzz"]


def test_numbers_are_never_given_to_another_name(fake_procfs):
    _varkit.filter("kernel")  # the first listing numbers what is there
    path = fake_procfs / "kernel" / "ostype"
    path.unlink()
    (fake_procfs / "kernel" / "newname").write_text("x\n")
    assert lookup("kernel.ostype") == ENOENT
    assert lookup("kernel.newname") == [1, 14]
    assert answer([1, 8]) == ENOENT
    path.write_text("Back\n")
    assert lookup("kernel.ostype") == [1, 8]  # the same name, its number
    assert one("kernel.ostype").value == "Back"


def test_vanished_entries(fake_procfs):
    ostype = one("kernel.ostype")
    shutil.rmtree(fake_procfs / "net" / "conf" / "lo")
    (fake_procfs / "kernel" / "ostype").unlink()
    assert lookup("kernel.ostype") == ENOENT
    assert lookup("net.conf.lo.forwarding") == ENOENT
    assert lookup("net.conf.lo") == ENOENT
    names = [o.name for o in _varkit.filter()]
    assert "kernel.ostype" not in names
    assert "net.conf.lo.forwarding" not in names
    with pytest.raises(FileNotFoundError):
        _ = ostype.value


@pytest.mark.parametrize(
    "call",
    [
        lambda: answer([1, 8]),  # a value read
        lambda: answer([0, 4, 1, 8]),  # format
        lambda: answer([0, 1, 1, 8]),  # name
        lambda: answer([0, 5, 1, 8]),  # description
        lambda: answer([0, 2, 1, 8]),  # a walk step inside the folder
        lambda: lookup("kernel.ostype"),  # a lookup that hits
    ],
    ids=["read", "format", "name", "description", "next", "lookup"],
)
def test_calls_that_do_not_list_the_folder_again(fake_procfs, call):
    # Listings number new entries in name order, so the numbers of two new
    # entries tell whether the folder was listed between their creations.
    _varkit.filter("kernel")
    (fake_procfs / "kernel" / "b_new").write_text("1\n")
    call()
    (fake_procfs / "kernel" / "a_new").write_text("1\n")
    assert lookup("kernel.a_new") == [1, 14]  # a miss lists the folder
    assert lookup("kernel.b_new") == [1, 15]


def test_a_walk_lists_a_folder_when_it_enters_it(fake_procfs):
    assert answer([0, 2, 1]) == ints(1, 1)  # enters kernel
    (fake_procfs / "kernel" / "b_new").write_text("1\n")
    # Goes on inside kernel (into kernel.random): kernel is not listed again.
    assert answer([0, 2, 1, 10]) == ints(1, 11, 1)
    (fake_procfs / "kernel" / "a_new").write_text("1\n")
    # A walk from the top enters kernel again and sees both, numbered then.
    oids = [oid for oid in walk(2, [1]) if oid[0] == 1]
    assert oids[-2:] == [[1, 14], [1, 15]]
    assert lookup("kernel.a_new") == [1, 14]


# ---- kinds and values ------------------------------------------------------


@pytest.mark.parametrize(
    "name, kind, fmt",
    [
        ("kernel", NODE | RD, "N"),
        ("kernel.random", NODE | RD, "N"),
        ("kernel.ostype", STRING | RD, "A"),
        ("kernel.pid_max", INT | RD | WR, "I"),
        ("kernel.printk", INT | RD | WR, "I"),
        ("kernel.negative", INT | RD | WR, "I"),
        ("kernel.beyond32", LONG | RD | WR, "L"),
        ("kernel.spread", LONG | RD | WR, "L"),
        ("kernel.beyond64", ULONG | RD | WR, "LU"),
        ("kernel.beyond_u64", STRING | RD | WR, "A"),
        ("kernel.mixed", STRING | RD | WR, "A"),
        ("kernel.motd", STRING | RD | WR, "A"),
        ("kernel.empty", STRING | RD | WR, "A"),
        ("kernel.secret", STRING | WR | SKIP, "A"),  # write-only
        ("kernel.random.uuid", STRING | RD, "A"),
    ],
)
def test_format_query(fake_procfs, name, kind, fmt):
    reply = answer([0, 4, *lookup(name)])
    assert reply == struct.pack("I", kind) + fmt.encode() + b"\0"


VALUES = [
    ("kernel.ostype", "Linux"),
    ("kernel.pid_max", 4194304),
    ("kernel.printk", [4, 4, 1, 7]),
    ("kernel.negative", -5),
    ("kernel.beyond32", 2**32),
    ("kernel.spread", [-(2**31), 2**31]),
    ("kernel.beyond64", 2**64 - 1),
    ("kernel.beyond_u64", "18446744073709551616"),
    ("kernel.mixed", "-1 18446744073709551615"),
    ("kernel.motd", "line one\nline two"),
    ("kernel.empty", ""),
    ("net.conf.eth0/100.forwarding", 0),
]


@pytest.mark.parametrize("name, value", VALUES)
def test_values_through_varkit(fake_procfs, opener, name, value):
    obj = one(name)
    assert obj.value == value
    assert obj.description == ""


def test_raw_replies(fake_procfs):
    assert answer([1, 10]) == ints(4, 4, 1, 7)
    assert answer([1, 1]) == ints(2**32, fmt="q")
    assert answer([1, 2]) == ints(2**64 - 1, fmt="Q")
    assert answer([1, 8]) == b"Linux\0"
    assert answer([1, 4]) == b"\0"
    assert mib.sysctl([1, 8])[1] == 6  # the size probe
    with pytest.raises(OSError) as e:
        mib.sysctl([1, 8], 3)
    assert (e.value.errno, e.value.data, e.value.size) == (ENOMEM, b"Lin", 3)


@pytest.mark.parametrize(
    "oid, reply",
    [
        ([1, 11], EISDIR),
        ([1, 99], ENOENT),
        ([1, 8, 1], ENOENT),  # below a file
        ([4, 1], ENOENT),
        ([0, 6, 1], ENOENT),  # a query nobody serves
        ([0, 5, 1, 8], b"\0"),  # descriptions are empty
        ([0, 5, 1], b"\0"),
        ([0, 5, 1, 99], ENOENT),
        ([0, 4, 1, 99], ENOENT),
        ([0, 2, 101, 1], ENOENT),  # past the last variable
    ],
)
def test_raw_answers(fake_procfs, oid, reply):
    assert answer(oid) == reply


def test_queries_refuse_new_bytes(fake_procfs):
    assert answer([0, 4, 1, 8], new=b"x") == EPERM
    assert answer([0, 3], new=b"kernel.ostype\0") == ints(1, 8)


def test_large_value_is_read_whole(fake_procfs):
    text = "".join(f"line {i}\n" for i in range(20000))
    (fake_procfs / "kernel" / "big").write_text(text)
    assert one("kernel.big").value == text[:-1]


FAILS = object()  # the read fails with EIO


@pytest.mark.parametrize(
    "name, content, value",
    [
        ("kernel.pid_max", "5\n", 5),
        ("kernel.pid_max", "1 2\n", [1, 2]),
        ("kernel.pid_max", "4294967296\n", FAILS),  # learnt as int: kept
        ("kernel.pid_max", "abc\n", FAILS),
        ("kernel.pid_max", "", FAILS),
        ("kernel.beyond32", "-9223372036854775808\n", -(2**63)),
        ("kernel.beyond32", "9223372036854775808\n", FAILS),
        ("kernel.beyond64", "-1\n", FAILS),
        ("kernel.ostype", "42\n", "42"),
    ],
)
def test_type_is_kept_from_the_first_read(fake_procfs, name, content, value):
    obj = one(name)
    _ = obj.value  # learns the type
    Path(fake_procfs, *name.split(".")).write_text(content)
    fresh = one(name)
    assert fresh.type == obj.type
    if value is FAILS:
        with pytest.raises(OSError) as e:
            _ = fresh.value
        assert e.value.errno == EIO
    else:
        assert fresh.value == value


# ---- files with no value to show ------------------------------------------


def names(mib=None):
    return [o.name for o in _varkit.filter(mib)]


def kind_of(oid):
    return struct.unpack_from("I", answer([0, 4, *oid]))[0]


@pytest.mark.parametrize(
    "mode, flags",
    [
        (0o200, WR | SKIP),  # write-only, like vm.drop_caches
        (0o000, SKIP),
        (0o044, SKIP),  # the others may read it, its owner may not
        (0o400, RD),
        (0o600, RD | WR),
        (0o644, RD | WR),
    ],
    ids=oct,
)
def test_a_file_its_owner_may_not_read_is_skipped(fake_procfs, mode, flags):
    # Last in kernel: a skipped one leaves the walk to go on into net.
    path = fake_procfs / "kernel" / "zz"
    path.write_text("7\n")
    path.chmod(mode)
    readable = os.access(path, os.R_OK)  # root reads them all
    shown = not flags & SKIP
    assert ("kernel.zz" in names()) == shown
    assert names()[-4:] == [n for n, _ in SHOWN[-4:]]  # net and the rest
    assert "kernel.zz" in names("")  # the other walk lists everything
    assert names("kernel")[-1] == "kernel.zz"
    assert lookup("kernel.zz") == [1, 14]
    assert kind_of([1, 14]) == (INT if readable else STRING) | flags
    assert answer([1, 14]) == (ints(7) if readable else errno.EACCES)
    if flags & WR:
        one("kernel.zz").value = 9 if readable else "9"
        assert path.read_text() == "9"


def test_the_skipping_walk_steps_over_runs_of_skipped_files(fake_procfs):
    added = [
        "kernel/random/wo1",  # after the last file shown in a folder
        "kernel/random/wo2",
        "kernel/wo",  # last in its folder, after kernel.spread
        "net/conf/lo/wo",
        "net/only/a",  # a folder of skipped files only
        "net/only/b",
    ]
    for rel in added:
        path = fake_procfs / rel
        path.parent.mkdir(exist_ok=True)
        path.write_text("1\n")
        path.chmod(0o200)
    assert walk(2, ()) == [oid for _, oid in SHOWN]
    hidden = {"kernel.secret", *(rel.replace("/", ".") for rel in added)}
    assert set(names("")) - set(names()) == hidden
    assert len(walk(7, ())) == len(WALK) + len(added)
    # From a skipped file's own OID, and from before a run of them that
    # leaves a folder (kernel.random.wo1, .wo2, kernel.secret).
    assert answer([0, 2, 1, 12]) == ints(1, 13)
    assert answer([0, 2, 1, 11, 1]) == ints(1, 13)
    assert answer([0, 2, 1, 13]) == ints(3, 1, 1, 1)
    assert answer([0, 7, 1, 13]) == ints(1, 14)


@pytest.mark.parametrize(
    "first, then", [(0o200, 0o644), (0o644, 0o200)], ids=["wo-rw", "rw-wo"]
)
def test_skipping_is_learnt_once_and_kept(fake_procfs, first, then):
    path = fake_procfs / "kernel" / "zz"
    path.write_text("1\n")
    path.chmod(first)
    before = names()
    kind = kind_of([1, 14])
    path.chmod(then)
    assert names() == before
    assert kind_of([1, 14]) == kind


@pytest.mark.parametrize(
    "q, kind", [(2, STRING | RD | WR), (7, INT | RD | WR)], ids=["next", "nextnoskip"]
)
def test_the_skipping_walk_learns_the_type_by_its_read(fake_procfs, q, kind):
    # The skipping walk reads a file it meets for the first time; that read
    # is the one that learns the type.  The other walk reads nothing.
    path = fake_procfs / "kernel" / "zz"
    path.write_text("text\n")
    assert answer([0, q, 1, 13]) == ints(1, 14)
    path.write_text("5\n")
    assert kind_of([1, 14]) == kind


UNREADABLE = """
import json, os, sys
import _varkit, _varkit_mib as mib
mib.use_procfs(sys.argv[1])
os.setgroups([])
os.setgid(65534)
os.setuid(65534)

def err(f):
    try:
        f()
        return 0
    except OSError as e:
        return e.errno

oid = mib.nametomib("kernel.private")
print(json.dumps({
    "shown": [o.name for o in _varkit.filter()],
    "kernel": [o.name for o in _varkit.filter("kernel")],
    "fmt": list(mib.sysctl([0, 4, *oid], 100)[0]),
    "read": err(lambda: mib.sysctl(oid, 100)),
}))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root, to read as another user")
def test_a_file_whose_first_read_fails_is_skipped(fake_procfs):
    # Its owner (root) may read it; nobody may not: the read fails, the mode
    # says readable.
    for path in [fake_procfs, *fake_procfs.rglob("*")]:
        if path.is_dir() and not path.is_symlink():
            path.chmod(0o755)
    (fake_procfs / "kernel" / "private").write_text("x\n")
    (fake_procfs / "kernel" / "private").chmod(0o600)
    r = subprocess.run(
        [sys.executable, "-c", UNREADABLE, str(fake_procfs)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    assert "kernel.private" not in got["shown"]
    assert "kernel.secret" not in got["shown"]
    assert "kernel.private" in got["kernel"]
    assert "kernel.secret" in got["kernel"]
    assert bytes(got["fmt"]) == struct.pack("I", STRING | RD | WR | SKIP) + b"A\0"
    assert got["read"] == errno.EACCES


# ---- one open and one read per value read ---------------------------------


def test_fetch_after_its_probe_takes_the_probe_reply(fake_procfs):
    path = fake_procfs / "kernel" / "ostype"
    _, size = mib.sysctl([1, 8])  # probe
    path.write_text("Changed\n")
    assert mib.sysctl([1, 8], size)[0] == b"Linux\0"  # consumed here
    assert mib.sysctl([1, 8], 100)[0] == b"Changed\0"


@pytest.mark.parametrize(
    "between",
    [
        lambda: mib.sysctl([1, 9]),  # a probe of another variable
        lambda: mib.sysctl([1, 8]),  # a second probe reads again
        lambda: mib.sysctl([0, 4, 1, 8], 100),
        lambda: mib.nametomib("kernel.pid_max"),
        lambda: answer([1, 99]),
        lambda: mib.inject(EIO, oid=[1, 8]) or answer([1, 8]),  # faulted
    ],
    ids=["probe", "reprobe", "format", "lookup", "missing", "fault"],
)
def test_any_call_between_probe_and_fetch_drops_the_probe_reply(fake_procfs, between):
    mib.sysctl([1, 8])
    (fake_procfs / "kernel" / "ostype").write_text("Changed\n")
    between()
    assert mib.sysctl([1, 8], 100)[0] == b"Changed\0"


def test_probe_reply_is_per_thread(fake_procfs):
    mib.sysctl([1, 8])
    (fake_procfs / "kernel" / "ostype").write_text("Changed\n")
    out = []
    t = threading.Thread(target=lambda: out.append(mib.sysctl([1, 8], 100)[0]))
    t.start()
    t.join()
    assert out == [b"Changed\0"]


# ---- writing -------------------------------------------------------------


@pytest.mark.parametrize(
    "name, value, text",
    [
        ("kernel.pid_max", 32768, "32768"),
        ("kernel.negative", -(2**31), "-2147483648"),
        ("kernel.beyond32", -(2**63), "-9223372036854775808"),
        ("kernel.beyond64", 2**64 - 2, "18446744073709551614"),
        ("kernel.motd", "one\ntwo", "one\ntwo"),
        ("kernel.empty", "now set", "now set"),
        ("kernel.secret", "new secret", "new secret"),  # write-only
        ("kernel.motd", "", ""),
    ],
)
def test_write_through_varkit(fake_procfs, opener, name, value, text):
    obj = one(name)
    obj.value = value
    path = Path(fake_procfs, *name.split("."))
    assert path.read_text() == text
    if os.access(path, os.R_OK):  # kernel.secret: only root reads it
        assert one(name).value == value


@pytest.mark.parametrize(
    "oid, new, text",
    [
        ([1, 10], ints(1, -2, 3, 4), "1 -2 3 4"),
        ([1, 13], ints(-1, 2**40, fmt="q"), "-1 1099511627776"),
        ([1, 2], ints(2**64 - 1, 7, fmt="Q"), "18446744073709551615 7"),
    ],
)
def test_write_arrays(fake_procfs, oid, new, text):
    assert mib.sysctl(oid, None, new)[0] is None
    name = mib.sysctl([0, 1, *oid], 100)[0].rstrip(b"\0").decode()
    assert Path(fake_procfs, *name.split(".")).read_text() == text


def test_write_hands_out_the_old_value_first(fake_procfs):
    data, size = mib.sysctl([1, 9], 100, ints(7))
    assert (data, size) == (ints(4194304), 4)
    assert (fake_procfs / "kernel" / "pid_max").read_text() == "7"
    with pytest.raises(OSError) as e:
        mib.sysctl([1, 9], 2, ints(8))
    assert e.value.errno == ENOMEM
    assert (fake_procfs / "kernel" / "pid_max").read_text() == "7"


@pytest.mark.parametrize(
    "oid, new, err",
    [
        ([1, 9], b"\1\0\0", EINVAL),  # shorter than one element
        ([1, 9], b"\1\0\0\0\2", EINVAL),  # a partial element
        ([1, 1], ints(1), EINVAL),
        ([1, 11], ints(1), EISDIR),
        ([1, 99], ints(1), ENOENT),
    ],
)
def test_write_refusals(fake_procfs, oid, new, err):
    assert answer(oid, new=new, oldlen=None) == err
    assert (fake_procfs / "kernel" / "pid_max").read_text() == "4194304\n"


def test_first_write_learns_the_type(fake_procfs):
    # No read before: the write reads the file to learn how to encode.
    mib.sysctl([1, 9], None, ints(12))
    assert (fake_procfs / "kernel" / "pid_max").read_text() == "12"


# ---- errors of the kernel pass through ----------------------------------------


UNPRIVILEGED = """
import json, os, sys
import _varkit_mib as mib
mib.use_procfs(sys.argv[1])
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)

def err(f):
    try:
        f()
        return 0
    except OSError as e:
        return e.errno

secret = mib.nametomib("kernel.secret")
print(json.dumps({
    "fmt": list(mib.sysctl([0, 4, *secret], 100)[0]),
    "read": err(lambda: mib.sysctl(secret, 100)),
    "write_ro": err(lambda: mib.sysctl(mib.nametomib("kernel.ostype"),
                                       None, b"x")),
    "write_rw": err(lambda: mib.sysctl(mib.nametomib("kernel.pid_max"),
                                       None, b"\\1\\0\\0\\0")),
    "write_secret": err(lambda: mib.sysctl(secret, None, b"w")),
}))
"""


def test_errno_of_the_kernel_passes_through(fake_procfs):
    # As another user (root drops to nobody), so that the kernel refuses.
    for path in [fake_procfs, *fake_procfs.rglob("*")]:
        if path.is_dir() and not path.is_symlink():
            path.chmod(0o755)
    r = subprocess.run(
        [sys.executable, "-c", UNPRIVILEGED, str(fake_procfs)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    assert bytes(got["fmt"]) == struct.pack("I", STRING | WR | SKIP) + b"A\0"
    assert got["read"] == errno.EACCES
    assert got["write_ro"] == errno.EACCES
    want_rw = errno.EACCES if os.geteuid() == 0 else 0
    assert got["write_rw"] == want_rw
    assert got["write_secret"] == (0 if os.geteuid() != 0 else errno.EACCES)


@pytest.mark.parametrize(
    "rel, err",
    [
        ("vm/drop_caches", errno.EACCES),  # write-only, even for root
        ("vm/compact_memory", errno.EACCES),
        ("net/ipv4/route/flush", errno.EACCES),
        ("net/ipv6/conf/lo/stable_secret", EIO),  # while it is unset
    ],
)
def test_errno_of_the_live_kernel_passes_through(live, rel, err):
    try:
        (live / rel).read_bytes()
        pytest.skip(f"{rel} reads here")
    except OSError as e:
        if e.errno != err:
            pytest.skip(f"{rel}: {e.strerror}")
    name = rel.replace("/", ".")
    oid = lookup(name)
    assert answer(oid) == err
    assert kind_of(oid) & SKIP
    # Passed over by the skipping walk, listed by the other one.
    assert name not in names()
    assert name in names(name.rsplit(".", 1)[0])


# ---- safety ------------------------------------------------------------------


@pytest.mark.parametrize(
    "name",
    [
        "kernel.escape",
        "kernel.escape.secret",
        "kernel.leak",
        "kernel.alias",
        "kernel..ostype",
        ".kernel.ostype",
        "kernel.",
        "kernel./",  # a slash maps to a dot: "."
        "kernel.//.kernel.ostype",  # ".."
        "kernel./.ostype",
        ".",
        "..",
        "",
        "/",
        "kernel.ostype/",
        "omega",  # a file right under the root
    ],
)
def test_names_that_resolve_to_nothing(fake_procfs, opener, name):
    assert lookup(name) == ENOENT
    assert answer([0, 3], new=name.encode()) == ENOENT
    if name:  # filter("") walks everything
        assert _varkit.filter(name) == []


def test_links_devices_and_odd_names_are_not_listed(fake_procfs):
    os.mkfifo(fake_procfs / "kernel" / "pipe")  # opening it would block
    (fake_procfs / "kernel" / "dirlink").symlink_to("random")
    os.mkdir(os.fsencode(fake_procfs / "kernel") + b"/bad\xff")
    with open(os.fsencode(fake_procfs / "kernel") + b"/bad\xff/x", "w") as f:
        f.write("1\n")
    assert [(o.name, o.oid) for o in _varkit.filter("")] == WALK
    assert lookup("kernel.pipe") == ENOENT
    assert lookup("kernel.dirlink.uuid") == ENOENT


def test_a_folder_swapped_for_a_link_is_not_followed(fake_procfs, opener, tmp_path):
    # The names were resolved; then net/conf becomes a link to a folder
    # outside that has the same layout.
    oid = lookup("net.conf.lo.forwarding")
    outside = tmp_path / "outside" / "conf"
    (outside / "lo").mkdir(parents=True)
    (outside / "lo" / "forwarding").write_text(OUTSIDE_SECRET)
    shutil.rmtree(fake_procfs / "net" / "conf")
    (fake_procfs / "net" / "conf").symlink_to(outside)
    assert answer(oid) in (errno.ELOOP, ENOENT, errno.ENOTDIR)
    assert answer(oid, new=b"x", oldlen=None) in (errno.ELOOP, ENOENT, errno.ENOTDIR)
    assert (outside / "lo" / "forwarding").read_text() == OUTSIDE_SECRET
    assert lookup("net.conf.lo.forwarding") == ENOENT
    assert [o.name for o in _varkit.filter("net")] == []


def test_a_file_swapped_for_a_link_is_not_followed(fake_procfs, opener, tmp_path):
    oid = lookup("kernel.ostype")
    (fake_procfs / "kernel" / "ostype").unlink()
    (fake_procfs / "kernel" / "ostype").symlink_to(tmp_path / "outside" / "secret")
    assert answer(oid) in (errno.ELOOP, ENOENT)
    assert answer(oid, new=b"x", oldlen=None) in (errno.ELOOP, ENOENT)
    assert (tmp_path / "outside" / "secret").read_text() == OUTSIDE_SECRET
    assert lookup("kernel.ostype") == ENOENT
    assert "kernel.ostype" not in [o.name for o in _varkit.filter()]


# ---- many threads at once ------------------------------------------------------


def test_threads_walk_read_and_write_while_the_tree_changes(fake_procfs):
    expected = dict(VALUES)

    def reader():
        for _ in range(30):
            for obj in _varkit.filter():
                if obj.name in expected and obj.name != "kernel.pid_max":
                    assert obj.value == expected[obj.name], obj.name

    def writer():
        for i in range(200):
            one("kernel.pid_max").value = i
            extra = fake_procfs / "kernel" / f"extra{i % 7}"
            if extra.exists():
                extra.unlink()
            else:
                extra.write_text(f"{i}\n")

    with ThreadPoolExecutor(max_workers=5) as pool:
        jobs = [pool.submit(reader) for _ in range(4)] + [pool.submit(writer)]
    for job in jobs:
        job.result()  # raises what the thread raised
    assert (fake_procfs / "kernel" / "pid_max").read_text() == "199"


# ---- the host's own /proc/sys, read only -----------------------------------------


def parse(content):
    """What a /proc/sys file holds, as the rules for its type read it."""
    words = content.split()
    if words and all(re.fullmatch("-?[0-9]+", w) for w in words):
        numbers = [int(w) for w in words]
        fits = all(-(2**63) <= n < 2**63 for n in numbers) or all(
            0 <= n < 2**64 for n in numbers
        )
        if fits:
            return numbers[0] if len(numbers) == 1 else numbers
    return content.removesuffix("\n")


def test_live_values_match_the_files(live):
    assert one("kernel.ostype").value == "Linux"
    compared = 0
    for obj in _varkit.filter():
        path = live.joinpath(*[p.replace("/", ".") for p in obj.name.split(".")])
        try:
            before = path.read_text()
            value = obj.value
            after = path.read_text()
        except OSError:
            continue  # refused by the kernel: compared elsewhere
        if before != after:
            continue  # a counter or a fresh random value
        assert value == parse(before), obj.name
        compared += 1
    assert compared >= 50


def test_live_names_match_the_folders(live):
    names = {o.name for o in _varkit.filter("")}
    files = set()
    for dirpath, _, filenames in os.walk(live):
        rel = os.path.relpath(dirpath, live)
        parts = [] if rel == "." else rel.split(os.sep)
        for f in filenames:
            files.add(".".join(p.replace(".", "/") for p in [*parts, f]))
    assert names == files
    assert "kernel.ostype" in names
    # The skipping walk passes over exactly the files with no value to show.
    skipped = set()
    for name in names - {o.name for o in _varkit.filter()}:
        path = live.joinpath(*[p.replace("/", ".") for p in name.split(".")])
        try:
            path.read_bytes()
            assert not path.stat().st_mode & 0o400, name
        except OSError:
            pass
        skipped.add(name)
    assert len(skipped) < len(names) // 10

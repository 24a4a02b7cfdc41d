import _varkit_mib
import pytest


@pytest.fixture
def emu():
    """The emulated MIB, served and emptied: a test builds its own tree."""
    _varkit_mib.use_emulated()
    _varkit_mib.reset()
    yield _varkit_mib
    _varkit_mib.load_default()


@pytest.fixture
def default_tree():
    """The emulated MIB with the default tree loaded and an empty call log."""
    _varkit_mib.use_emulated()
    _varkit_mib.load_default()
    yield _varkit_mib
    _varkit_mib.load_default()


# The fake /proc/sys of fake_procfs: path below the root -> (content, mode).
# Folders are made as needed; entries listed in FAKE_LINKS are symbolic
# links, the one that points outside the root leading to OUTSIDE_SECRET.
FAKE_PROCFS = {
    "kernel/ostype": ("Linux\n", 0o444),
    "kernel/pid_max": ("4194304\n", 0o644),
    "kernel/printk": ("4\t4\t1\t7\n", 0o644),
    "kernel/negative": ("-5\n", 0o644),
    "kernel/beyond32": ("4294967296\n", 0o644),
    "kernel/beyond64": ("18446744073709551615\n", 0o644),
    "kernel/beyond_u64": ("18446744073709551616\n", 0o644),
    "kernel/mixed": ("-1 18446744073709551615\n", 0o644),
    "kernel/spread": ("-2147483648 2147483648\n", 0o644),
    "kernel/motd": ("line one\nline two\n", 0o644),
    "kernel/empty": ("", 0o644),
    "kernel/secret": ("hidden\n", 0o200),
    "kernel/random/uuid": ("0f1e2d3c-aaaa-bbbb-cccc-000000000000\n", 0o444),
    "net/conf/eth0.100/forwarding": ("0\n", 0o644),
    "net/conf/lo/forwarding": ("1\n", 0o644),
    "alpha/a": ("1\n", 0o644),
    "omega": ("top\n", 0o644),  # a file right under the root: not served
    "zeta/z": ("26\n", 0o644),
}
FAKE_FOLDERS = ["vm"]  # an empty folder
OUTSIDE_SECRET = "outside the root\n"
FAKE_LINKS = {
    "kernel/escape": "../../outside",  # a folder outside the root
    "kernel/leak": "../../outside/secret",  # a file outside the root
    "kernel/alias": "ostype",  # a file inside the root
}


@pytest.fixture
def fake_procfs(tmp_path):
    """A fake /proc/sys built in tmp_path/sys and served; the tree served
    before comes back afterwards."""
    root = tmp_path / "sys"
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "secret").write_text(OUTSIDE_SECRET)
    for folder in FAKE_FOLDERS:
        (root / folder).mkdir(parents=True)
    for rel, (content, mode) in FAKE_PROCFS.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)
        path.chmod(mode)
    for rel, target in FAKE_LINKS.items():
        (root / rel).symlink_to(target)
    before = _varkit_mib.procfs_root()
    _varkit_mib.use_procfs(root)
    yield root
    _varkit_mib.load_default()  # drops what a test left: faults, the log
    if before is None:
        _varkit_mib.use_emulated()
    else:
        _varkit_mib.use_procfs(before)

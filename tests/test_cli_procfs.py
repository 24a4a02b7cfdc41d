"""The varkit command on the /proc/sys view of a fake tree (never the real
/proc/sys)."""

import json

import _varkit_mib
import pytest
from test_cli import run

pytestmark = pytest.mark.skipif(
    not hasattr(_varkit_mib, "use_procfs"), reason="no /proc/sys view"
)

FILES = {
    "kernel/ostype": ("Linux\n", 0o444),
    "kernel/hostname": ("box\n", 0o644),
    "kernel/printk": ("4\t4\t1\t7\n", 0o644),
    "kernel/threads-max": ("1000\n", 0o444),
    "vm/swappiness": ("60\n", 0o644),
    "fs/file-max": ("9223372036854775807\n", 0o644),
    "net/ipv4/conf/eth0.100/forwarding": ("0\n", 0o644),
}

# The walk's order: top-level folders by their fixed numbers (kernel 1, vm 2,
# net 3, fs 5), entries of a folder by name.
ALL = [
    "kernel.hostname",
    "kernel.ostype",
    "kernel.printk",
    "kernel.threads-max",
    "vm.swappiness",
    "net.ipv4.conf.eth0/100.forwarding",
    "fs.file-max",
]


@pytest.fixture
def root(tmp_path):
    for path, (text, mode) in FILES.items():
        f = tmp_path / path
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_text(text)
        f.chmod(mode)
    return tmp_path


def varkit(root, *args):
    return run("--procfs-root", str(root), *args, tree=None)


@pytest.mark.parametrize(
    "args, out",
    [
        (["kernel.ostype"], "kernel.ostype: Linux\n"),
        (["-t", "kernel.printk"], "kernel.printk: integer: 4 4 1 7\n"),
        (["-t", "fs.file-max"], "fs.file-max: long integer: 9223372036854775807\n"),
        (
            ["net.ipv4.conf.eth0/100.forwarding"],
            "net.ipv4.conf.eth0/100.forwarding: 0\n",
        ),
        (["-N", "kernel"], "".join(n + "\n" for n in ALL[:4])),
        (["-NW", "kernel"], "kernel.hostname\nkernel.printk\n"),
        (["-NR", "kernel"], "kernel.ostype\nkernel.threads-max\n"),
        (["-aN"], "".join(n + "\n" for n in ALL)),
    ],
)
def test_printing(root, args, out):
    r = varkit(root, *args)
    assert (r.stdout, r.stderr, r.returncode) == (out, "", 0)


@pytest.mark.parametrize(
    "arg, out, path, text",
    [
        ("vm.swappiness=10", "vm.swappiness: 60 -> 10\n", "vm/swappiness", "10"),
        (
            "kernel.hostname=other",
            "kernel.hostname: box -> other\n",
            "kernel/hostname",
            "other",
        ),
    ],
)
def test_writes_reach_the_file(root, arg, out, path, text):
    r = varkit(root, arg)
    assert (r.stdout, r.stderr, r.returncode) == (out, "", 0)
    assert (root / path).read_text().strip() == text


@pytest.mark.parametrize(
    "arg, message",
    [
        ("kernel.threads-max=5", "kernel.threads-max: read-only variable"),
        ("vm.swappiness=many", "vm.swappiness: invalid integer 'many'"),
        ("kernel.nosuch", "kernel.nosuch: unknown variable"),
    ],
)
def test_failures(root, arg, message):
    r = varkit(root, arg)
    assert (r.stderr, r.returncode) == (f"varkit: {message}\n", 1)
    assert (root / "kernel/threads-max").read_text() == "1000\n"


def test_write_only_files_are_left_out_of_all(root):
    # Like vm.drop_caches: no value to show, so -a passes over them; naming
    # their folder lists them.
    (root / "vm/drop_caches").write_text("0\n")
    (root / "vm/drop_caches").chmod(0o200)
    r = varkit(root, "-aN")
    assert (r.stdout, r.stderr, r.returncode) == ("".join(n + "\n" for n in ALL), "", 0)
    r = varkit(root, "-N", "vm")
    assert (r.stdout, r.returncode) == ("vm.drop_caches\nvm.swappiness\n", 0)


def test_json(root):
    doc = json.loads(varkit(root, "--json", "-a").stdout)
    assert [o["name"] for o in doc] == ALL
    printk = doc[2]
    assert (printk["value"], printk["writable"]) == ([4, 4, 1, 7], True)

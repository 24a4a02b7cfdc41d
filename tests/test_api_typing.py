"""mypy --strict on the package, its stubs and the example script."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import varkit

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["python/varkit", "python/_varkit.pyi", "python/_varkit_mib.pyi"]
EXAMPLE = "examples/uptime.py"

# Each line holds one mistake the stubs must catch.
MISTAKES = """
    import _varkit
    import _varkit_mib
    import varkit

    _varkit.filter(5)
    _varkit.filter("kern").name
    varkit.get(b"kern.ostype")
    varkit.set("kern.maxfiles", 1.5)
    varkit.walk(writable="yes")
    n: int = varkit.get("kern.maxfiles")
    s: str = varkit.describe("kern.ostype").nosuch
    _varkit_mib.add("t.v", [1, 1], "kind")
    varkit.testing.EmulatedMIB().inject("EIO")
"""


def mypy(*args, cwd=ROOT):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", *args],
        check=False,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_package_and_example_pass(tmp_path):
    r = mypy("--cache-dir", str(tmp_path), *SOURCES, EXAMPLE)
    assert (r.returncode, r.stdout) == (0, "")


def test_stubs_catch_mistakes(tmp_path):
    bad = tmp_path / "bad.py"
    code = textwrap.dedent(MISTAKES).replace(
        "import varkit\n", "import varkit.testing\n"
    )
    bad.write_text(code)
    r = mypy("--cache-dir", str(tmp_path / "cache"), str(bad))
    lines = {
        int(line.split(":")[1]) for line in r.stdout.splitlines() if ": error:" in line
    }
    mistakes = {i for i, line in enumerate(code.splitlines(), 1) if line and i > 5}
    assert lines == mistakes, r.stdout


def test_installed_package_is_typed(tmp_path):
    """Outside the source tree: py.typed and the stub packages do the work."""
    if Path(varkit.__file__).resolve().is_relative_to(ROOT):
        pytest.skip("varkit is not installed in this environment")
    script = tmp_path / EXAMPLE.split("/")[1]
    script.write_text((ROOT / EXAMPLE).read_text())
    env_dir = tmp_path / "cache"
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(env_dir),
            str(script),
        ],
        check=False,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
        env={
            k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")
        },
    )
    assert r.returncode == 0, r.stdout

"""Threads reading, writing, walking and changing the MIB at once.

_varkit releases the interpreter lock around its kernel calls, so these
threads really do meet inside the provider.  Each test runs for a bounded
time (VARKIT_STRESS_SECONDS, default 1 s, per test) and then checks: no
thread failed or hung, every value read was one that some thread wrote
whole (no torn value), and every variable holds the last value its writer
wrote (no lost write).  tools/reliability.sh stress runs them longer.
"""

import errno
import os
import struct
import sys
import threading
import time

import _varkit
import _varkit_mib
import pytest

RD, WR = _varkit_mib.CTLFLAG_RD, _varkit_mib.CTLFLAG_WR
INT, STRING, S64 = 2, 3, 4
SECONDS = float(os.environ.get("VARKIT_STRESS_SECONDS", "1"))
WRITERS = 3
# A thread still running this long after the end is hung (a deadlock).
GRACE = 60.0


class Crew:
    """Runs worker functions in threads until the deadline; each worker is
    called again and again and returns how many operations it made."""

    def __init__(self, seconds):
        self.deadline = time.monotonic() + seconds
        self.errors = []
        self.ops = {}
        self.threads = []
        self.start_line = threading.Barrier(1)

    def add(self, name, work):
        def run():
            self.start_line.wait()
            n = 0
            try:
                while time.monotonic() < self.deadline:
                    n += work()
            except BaseException as e:  # reported by finish()
                self.errors.append((name, e))
            self.ops[name] = n

        self.threads.append(threading.Thread(target=run, name=name, daemon=True))

    def run(self):
        self.start_line = threading.Barrier(len(self.threads))
        for t in self.threads:
            t.start()
        end = self.deadline + GRACE
        for t in self.threads:
            t.join(max(0.0, end - time.monotonic()))
        hung = [t.name for t in self.threads if t.is_alive()]
        assert not hung, f"threads still running (deadlock?): {hung}"
        assert not self.errors, self.errors
        assert all(n > 0 for n in self.ops.values()), self.ops
        total = sum(self.ops.values())
        print(
            f"\nstress: {total} operations {dict(sorted(self.ops.items()))}",
            file=sys.stderr,
        )
        return total


def pattern64(k):
    """An 8-byte value whose halves are equal: a torn write breaks that."""
    return (k & 0xFFFFFFFF) * 0x100000001


def is_pattern64(v):
    return type(v) is int and v >> 32 == v & 0xFFFFFFFF


def pattern_text(k):
    """A string of one repeated letter whose length tells the letter."""
    n = 1 + k % 40
    return chr(ord("a") + n % 26) * n


def is_pattern_text(v):
    return (
        type(v) is str
        and len(v) >= 1
        and set(v) == {v[0]}
        and v[0] == chr(ord("a") + len(v) % 26)
    )


@pytest.fixture
def quiet_emu(emu):
    """The emulated MIB without the call log (it would grow without end)."""
    emu.set_logging(False)
    yield emu
    emu.set_logging(True)


def stress_tree(emu):
    for i in range(WRITERS):
        emu.add(
            f"st.own.w{i}",
            [900, 1, i + 1],
            RD | WR | INT,
            "I",
            struct.pack("=i", 0),
            "owned by one writer",
        )
    emu.add(
        "st.shared.q",
        [900, 2, 1],
        RD | WR | S64,
        "Q",
        struct.pack("=q", 0),
        "written by all",
    )
    emu.add("st.shared.t", [900, 2, 2], RD | WR | STRING, "A", b"b", "text")
    emu.add("st.churn.keep", [900, 3, 1], RD | INT, "I", b"\0" * 4, "stays")
    emu.add("st.tail", [900, 4], RD | INT, "I", b"\0" * 4, "after the churn")


STABLE = [f"st.own.w{i}" for i in range(WRITERS)] + [
    "st.shared.q",
    "st.shared.t",
    "st.churn.keep",
    "st.tail",
]


def test_emulated_tree_under_concurrent_use(quiet_emu):
    emu = quiet_emu
    stress_tree(emu)
    crew = Crew(SECONDS)
    last = {}

    def writer(i):
        [own] = _varkit.filter(f"st.own.w{i}")
        [q] = _varkit.filter("st.shared.q")
        [t] = _varkit.filter("st.shared.t")
        k = 0

        def work():
            nonlocal k
            k += 1
            own.value = k
            last[i] = k
            q.value = pattern64(k * WRITERS + i)
            t.value = pattern_text(k * WRITERS + i)
            return 3

        return work

    def reader():
        # fresh objects: every read goes to the kernel
        for name, check in (
            ("st.shared.q", is_pattern64),
            ("st.shared.t", is_pattern_text),
        ):
            [obj] = _varkit.filter(name)
            v = obj.value
            if name == "st.shared.q" and v == 0:
                continue  # the start value
            if name == "st.shared.t" and v == "b":
                continue
            assert check(v), f"torn value of {name}: {v!r}"
        return 2

    def walker():
        try:
            names = [o.name for o in _varkit.filter("st")]
        except OSError as e:
            # a variable removed between two steps of the walk
            assert e.errno == errno.ENOENT, e
            return 1
        stable = [n for n in names if n in STABLE]
        assert stable == STABLE, names
        return 1

    churn_state = {"k": 0}

    def churner():
        k = churn_state["k"] = churn_state["k"] + 1
        oid = [900, 3, 2 + k % 7]
        try:
            emu.add(
                f"st.churn.c{k % 7}",
                oid,
                RD | WR | INT,
                "I",
                struct.pack("=i", k),
                "comes and goes",
            )
        except ValueError:
            emu.remove(oid)
        return 1

    for i in range(WRITERS):
        crew.add(f"writer{i}", writer(i))
    crew.add("reader0", reader)
    crew.add("reader1", reader)
    crew.add("walker", walker)
    crew.add("churner", churner)
    crew.run()

    for i in range(WRITERS):
        oid = [900, 1, i + 1]
        assert emu.get(oid) == struct.pack("=i", last[i])
        [fresh] = _varkit.filter(f"st.own.w{i}")
        assert fresh.value == last[i]
    assert is_pattern64(_varkit.filter("st.shared.q")[0].value)
    assert is_pattern_text(_varkit.filter("st.shared.t")[0].value)


def test_faults_injected_while_threads_run(quiet_emu):
    """Faults come and go on one variable while others are read: a fault
    meets only the calls it names."""
    emu = quiet_emu
    stress_tree(emu)
    crew = Crew(SECONDS)

    def injector():
        emu.inject(errno.EIO, oid=[900, 3, 1], times=3)
        time.sleep(0.0005)  # faults come and go, they do not pile up
        return 1

    def victim():
        [obj] = _varkit.filter("st.churn.keep")
        try:
            assert obj.value == 0
        except OSError as e:
            assert e.errno == errno.EIO
        return 1

    def bystander():
        [obj] = _varkit.filter("st.tail")
        assert obj.value == 0
        return 1

    crew.add("injector", injector)
    crew.add("victim", victim)
    crew.add("bystander0", bystander)
    crew.add("bystander1", bystander)
    crew.run()


def test_fake_procfs_under_concurrent_use(fake_procfs):
    _varkit_mib.set_logging(False)
    try:
        root = fake_procfs
        own = root / "stress"
        own.mkdir()
        for i in range(WRITERS):
            (own / f"w{i}").write_text("0\n")
        (root / "stress" / "text").write_text("b\n")
        crew = Crew(SECONDS)
        last = {}

        def writer(i):
            [obj] = _varkit.filter(f"stress.w{i}")
            k = 0

            def work():
                nonlocal k
                k += 1
                obj.value = k
                last[i] = k
                return 1

            return work

        def text_writer():
            [obj] = _varkit.filter("stress.text")
            k = 0

            def work():
                nonlocal k
                k += 1
                obj.value = pattern_text(k)
                return 1

            return work

        def reader():
            for i in range(WRITERS):
                [obj] = _varkit.filter(f"stress.w{i}")
                try:
                    v = obj.value
                except OSError:
                    return 1  # the file was being replaced
                # a read between the truncation and the write sees nothing
                assert v == [] or (type(v) is int and v >= 0), v
            [obj] = _varkit.filter("stress.text")
            v = obj.value
            assert v in ("", "b") or is_pattern_text(v), v
            return WRITERS + 1

        def walker():
            try:
                names = [o.name for o in _varkit.filter("stress")]
            except OSError as e:
                assert e.errno == errno.ENOENT, e
                return 1
            for i in range(WRITERS):
                assert f"stress.w{i}" in names, names
            return 1

        churn_state = {"k": 0}

        def churner():
            k = churn_state["k"] = churn_state["k"] + 1
            path = root / "stress" / f"c{k % 5}"
            if path.exists():
                path.unlink()
            else:
                path.write_text(f"{k}\n")
            return 1

        for i in range(WRITERS):
            crew.add(f"writer{i}", writer(i))
        crew.add("text_writer", text_writer())
        crew.add("reader0", reader)
        crew.add("reader1", reader)
        crew.add("walker", walker)
        crew.add("churner", churner)
        crew.run()

        for i in range(WRITERS):
            assert (own / f"w{i}").read_text().strip() == str(last[i])
            [fresh] = _varkit.filter(f"stress.w{i}")
            assert fresh.value == last[i]
        assert is_pattern_text((own / "text").read_text().strip())
    finally:
        _varkit_mib.set_logging(True)

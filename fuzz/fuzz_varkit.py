#!/usr/bin/env python3
"""Fuzz harness for _varkit over the emulated MIB of _varkit_mib.

Each input builds a random emulated tree (random kinds and flags, formats,
values, descriptions, OIDs up to 24 components deep, skipped nodes), injects
random kernel faults, and drives a random sequence of calls: filter() with
random names and `writable` objects, the Sysctl constructor and re-__init__
with random arguments, reads, writes of random objects, description, repr,
and changes of the tree between calls.

What counts as a crash: a signal or a sanitizer report (run it on the
sanitizer build, see docs/reliability.md), an exception of a type the API
never raises (SystemError above all: a C function that failed without an
exception, or returned a value with one set), a broken invariant of a
filter() result, and an object that outlives its input (a leak through a
reference cycle or a lost reference).

Two engines drive the same code:

    python3 fuzz/fuzz_varkit.py [libFuzzer options]    # atheris, if installed
    python3 fuzz/fuzz_varkit.py --random N [--start K] # plain random driver

With atheris the random choices are read from the fuzzer's input bytes
(coverage guided); with --random they come from random.Random(K), K, K+1,
... for N inputs, and a failing input is named by its number so it can be
replayed with --random 1 --start K.
"""

from __future__ import annotations

import errno
import gc
import random
import struct
import sys
import time
import weakref

import _varkit
import _varkit_mib as mib

RD, WR = mib.CTLFLAG_RD, mib.CTLFLAG_WR
TUN, SKIP = mib.CTLFLAG_TUN, mib.CTLFLAG_SKIP

# Exceptions the API raises for bad input and kernel refusals.  Anything
# else (SystemError, MemoryError, RuntimeError, ...) is a finding.
# RecursionError: repr() of an object whose name refers back to it.
EXPECTED = (
    TypeError,
    ValueError,
    OverflowError,
    OSError,
    KeyError,
    AttributeError,
    RecursionError,
)

ERRNOS = [
    0,
    errno.EPERM,
    errno.ENOENT,
    errno.EIO,
    errno.ENOMEM,
    errno.EINVAL,
    errno.EISDIR,
    errno.ENOTDIR,
    errno.EOPNOTSUPP,
    errno.EACCES,
    errno.EFAULT,
    4095,
    -1,
]
QUERIES = [None, None, 1, 2, 3, 4, 5, 7, 6, 99, -1]
FORMATS = [
    "",
    "I",
    "IU",
    "IK",
    "A",
    "L",
    "LU",
    "Q",
    "QU",
    "N",
    "S,clockinfo",
    "S,timeval",
    "S,loadavg",
    "S,clockinfoX",
    "x" * 1100,
]
NAMES = [
    "kern",
    "vm",
    "hw",
    "a",
    "b",
    "x",
    "ostype",
    "maxfiles",
    "node",
    "caf\u00e9",
    "\u4e2d",
    "long" * 40,
    "d",
]
COMPONENTS = [1, 2, 3, 4, 5, 7, 100, -1, -7, 2**31 - 1, -(2**31), 0]
INTS = [
    0,
    1,
    -1,
    7,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32 - 1,
    2**32,
    2**32 + 5,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    2**100,
    -(2**100),
]
SIZES = [None, None, 0, 1, 3, 4, 5, 8, 64, 88, 1000, 4096, 2**20]


class Canary:
    """A weakly referenced marker put into the objects an input builds: when
    the input ends and the collector has run, none may be alive."""

    __slots__ = ("__weakref__", "payload")

    def __init__(self, payload=None):
        self.payload = payload


class Source:
    """The random choices of one input."""

    def int(self, lo: int, hi: int) -> int:
        raise NotImplementedError

    def bytes(self, n: int) -> bytes:
        raise NotImplementedError

    def text(self, n: int) -> str:
        raise NotImplementedError

    def done(self) -> bool:
        return False

    def bool(self) -> bool:
        return self.int(0, 1) == 1

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]


class RandomSource(Source):
    def __init__(self, state: int):
        self.r = random.Random(state)

    def int(self, lo, hi):
        return self.r.randint(lo, hi)

    def bytes(self, n):
        return bytes(self.r.getrandbits(8) for _ in range(self.r.randint(0, n)))

    def text(self, n):
        alphabet = "ab.x\0\n \u00e9\u4e2d\ud800\udcff\U0001f600"
        return "".join(self.r.choice(alphabet) for _ in range(self.r.randint(0, n)))


class FuzzSource(Source):
    def __init__(self, data: bytes):
        import atheris

        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def bytes(self, n):
        return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, n))

    def text(self, n):
        return self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, n))

    def done(self):
        return self.fdp.remaining_bytes() == 0


class Finding(AssertionError):
    pass


# --- the random tree -------------------------------------------------------


def random_oid(src: Source, known: list[list[int]]) -> list[int]:
    if known and src.int(0, 2) == 0:
        base = list(src.pick(known))
        cut = src.int(0, len(base))
        oid = base[:cut]
    else:
        oid = []
    depth = (
        src.pick([1, 1, 2, 2, 3, 4, 23, 24, 25])
        if src.int(0, 7) == 0
        else src.int(1, 4)
    )
    while len(oid) < depth:
        oid.append(src.pick(COMPONENTS))
    return oid


def random_value(src: Source, kind: int):
    choice = src.int(0, 5)
    if choice == 0:
        return None
    if choice == 1:
        return src.bytes(64)
    t = kind & 15
    if t in (2, 6):
        return struct.pack("=I", src.int(0, 2**32 - 1)) * src.int(1, 3)
    if t in (4, 7, 8, 9):
        return struct.pack("=Q", src.int(0, 2**64 - 1)) * src.int(1, 2)
    if t == 5 and src.bool():
        return struct.pack("=5i", 100, 10000, 0, 128, 8128)
    return src.text(40).encode("utf-8", "surrogatepass")


def build_tree(src: Source, canaries: list) -> list[list[int]]:
    """Fills the emptied emulated MIB; returns the OIDs that were added."""
    known: list[list[int]] = []
    for _ in range(src.int(0, 24)):
        oid = random_oid(src, known)
        name = (
            ".".join(src.pick(NAMES) if src.int(0, 9) else src.text(6) for _ in oid)
            if src.int(0, 15)
            else src.text(20)
        )
        kind = src.int(0, 15) | src.pick(
            [RD, RD | WR, RD | WR | TUN, RD | SKIP, RD | WR | SKIP, 0, 0xFFFFFFF0]
        )
        fmt = src.pick(FORMATS) if src.int(0, 7) else src.text(8)
        descr = None if src.int(0, 3) == 0 else src.text(30)
        try:
            mib.add(name, oid, kind, fmt, random_value(src, kind), descr)
        except (ValueError, TypeError, UnicodeError):
            continue
        known.append(oid)
    return known


def inject_fault(src: Source, known: list[list[int]]) -> None:
    kwargs = {}
    if src.bool():
        kwargs["oid"] = (
            src.pick(known) if known and src.bool() else random_oid(src, [])[:24]
        )
    q = src.pick(QUERIES)
    if q is not None:
        kwargs["query"] = q
    kwargs["times"] = src.pick([1, 1, 2, 3, 40])
    size = src.pick(SIZES)
    if size is not None:
        kwargs["size"] = size
    mib.inject(src.pick(ERRNOS), **kwargs)


def change_tree(src: Source, known: list[list[int]]) -> None:
    action = src.int(0, 2)
    try:
        if action == 0 and known:
            mib.remove(src.pick(known))
        elif action == 1 and known:
            mib.set(src.pick(known), src.bytes(24))
        else:
            known.extend(build_tree_one(src, known))
    except (KeyError, ValueError, TypeError):
        pass


def build_tree_one(src, known):
    oid = random_oid(src, known)
    name = ".".join(src.pick(NAMES) for _ in oid)
    kind = src.int(1, 9) | src.pick([RD, RD | WR, RD | SKIP])
    try:
        mib.add(
            name, oid, kind, src.pick(FORMATS), random_value(src, kind), src.text(5)
        )
    except (ValueError, TypeError, UnicodeError):
        return []
    return [oid]


# --- random Python objects -------------------------------------------------


class Int(int):
    pass


class Str(str):
    pass


class Bytearray(bytearray):
    pass


class List(list):
    pass


class Index:
    """Not an int, but convertible through __index__ (which may run code)."""

    def __init__(self, v, hook=None):
        self.v, self.hook = v, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.v


class Loud:
    """An object whose every conversion runs Python code or fails."""

    def __init__(self, hook=None, canary=None):
        self.hook, self.canary = hook, canary

    def __str__(self):
        if self.hook:
            self.hook()
        return "loud"

    def __repr__(self):
        raise ValueError("no repr")

    def __eq__(self, other):
        raise TypeError("no comparison")

    __hash__ = None


def random_object(src: Source, pool: list, canaries: list, depth: int = 0):
    k = src.int(0, 21)
    if k == 0:
        return src.pick(INTS)
    if k == 1:
        return Int(src.pick(INTS))
    if k == 2:
        return src.text(12)
    if k == 3:
        return Str(src.text(6))
    if k == 4:
        return bytearray(src.bytes(24))
    if k == 5:
        return Bytearray(src.bytes(8))
    if k == 6:
        return src.bytes(8)
    if k == 7:
        return None
    if k == 8:
        return src.pick([True, False])
    if k == 9:
        return src.pick([1.5, float("nan"), -0.0])
    if k == 10:
        return [src.pick(COMPONENTS) for _ in range(src.pick([0, 1, 2, 3, 24, 25]))]
    if k == 11:
        items = [
            src.pick([1, 2**31, "1", 1.0, Int(2), None]) for _ in range(src.int(0, 4))
        ]
        return List(items) if src.bool() else items
    if k == 12:
        return tuple(src.pick(COMPONENTS) for _ in range(src.int(0, 3)))
    if k == 13:
        return memoryview(src.bytes(4))
    if k == 14 and pool:
        return src.pick(pool)
    if k == 15:
        c = Canary()
        canaries.append(weakref.ref(c))
        return c
    if k == 16 and pool:
        target = src.pick(pool)
        c = Canary(target)  # a cycle once it is stored in target
        canaries.append(weakref.ref(c))
        return c
    if k == 17:
        target = src.pick(pool) if pool else None
        hook = (lambda: target.__init__(src.text(3))) if target is not None else None
        return Index(src.int(0, 15), hook)
    if k == 18:
        target = src.pick(pool) if pool else None
        hook = (
            (lambda: target.__init__(Canary(), Canary()))
            if target is not None
            else None
        )
        return Loud(hook)
    if k == 19:
        return {"a": 1} if src.bool() else {}
    if k == 20 and depth < 2:
        return [
            random_object(src, pool, canaries, depth + 1) for _ in range(src.int(0, 2))
        ]
    return object()


def random_name(src: Source, known: list[list[int]]) -> str | None:
    k = src.int(0, 6)
    if k == 0:
        return None
    if k == 1:
        return src.pick(["", "\n", "\nx", "kern", "vm.stats", "kern.maxfiles"])
    if k == 2 and known:
        # the name of a known OID, or a prefix of it
        try:
            return _varkit_name(src.pick(known))
        except OSError:
            return "a"
    if k == 3:
        return ".".join(src.pick(NAMES) for _ in range(src.int(1, 26)))
    return src.text(30)


def _varkit_name(oid):
    data, size = mib.sysctl([0, 1, *oid][:24], 4096)
    return data[: max(size - 1, 0)].decode("utf-8", "replace")


# --- invariants ------------------------------------------------------------


def check_listed(objs) -> None:
    if type(objs) is not list:
        raise Finding(f"filter() returned {type(objs).__name__}")
    for o in objs:
        if type(o) is not _varkit.Sysctl:
            raise Finding(f"filter() listed a {type(o).__name__}")
        if type(o.name) is not str or type(o.oid) is not list:
            raise Finding(f"bad fields of {o.name!r}")
        if not 1 <= len(o.oid) <= 24 or any(type(c) is not int for c in o.oid):
            raise Finding(f"bad OID {o.oid!r}")
        if type(o.writable) is not bool or type(o.tuneable) is not bool:
            raise Finding(f"bad flags of {o.name!r}")
        if not 0 <= o.type <= 15:
            raise Finding(f"type {o.type} out of the type mask")


VALUE_TYPES = (int, str, list, dict, bytearray, type(None))


# --- one input -------------------------------------------------------------


def one_input(src: Source, max_ops: int = 60) -> int:
    """Runs one input; returns the number of calls made into _varkit."""
    canaries: list = []
    calls = drive(src, canaries, max_ops)
    # Everything the input built must go with it.
    mib.reset()
    gc.collect()
    alive = [r for r in canaries if r() is not None]
    if alive:
        raise Finding(f"{len(alive)} object(s) outlived the input (leak)")
    return calls


def drive(src: Source, canaries: list, max_ops: int) -> int:
    mib.use_emulated()
    mib.reset()
    mib.set_logging(src.int(0, 7) == 0)
    known = build_tree(src, canaries) if src.int(0, 5) else []
    if src.int(0, 5) == 0:
        mib.load_default()
        known += [o.oid for o in _varkit.filter("")]
    for _ in range(src.int(0, 4)):
        inject_fault(src, known)
    pool: list = []
    calls = 0
    for _ in range(src.int(1, max_ops)):
        if src.done():
            break
        op = src.int(0, 15)
        calls += 1
        try:
            if op <= 2:
                kwargs = {}
                if src.bool():
                    kwargs["writable"] = (
                        random_object(src, pool, canaries)
                        if src.int(0, 2) == 0
                        else src.pick([None, True, False])
                    )
                args = (random_name(src, known),) if src.int(0, 4) else ()
                objs = _varkit.filter(*args, **kwargs)
                check_listed(objs)
                pool.extend(objs[: src.int(0, 4)])
            elif op == 3:
                n = src.int(0, 8)
                args = [random_object(src, pool, canaries) for _ in range(n)]
                kwargs = {}
                for key in (
                    "name",
                    "value",
                    "description",
                    "writable",
                    "tuneable",
                    "oid",
                    "type",
                    "bogus",
                ):
                    if src.int(0, 5) == 0:
                        kwargs[key] = random_object(src, pool, canaries)
                pool.append(_varkit.Sysctl(*args, **kwargs))
            elif op == 4 and pool:
                v = src.pick(pool).value
                if not isinstance(v, VALUE_TYPES) and type(v).__name__ not in {
                    "Canary",
                    "Int",
                    "Str",
                    "Bytearray",
                    "List",
                    "Index",
                    "Loud",
                    "object",
                    "bytes",
                    "float",
                    "bool",
                    "tuple",
                    "memoryview",
                    "Sysctl",
                }:
                    raise Finding(f"value of type {type(v).__name__}")
            elif op in (5, 6) and pool:
                src.pick(pool).value = (
                    random_object(src, pool, canaries)
                    if src.int(0, 2)
                    else src.pick(INTS)
                )
            elif op == 7 and pool:
                src.pick(pool).description
            elif op == 8 and pool:
                repr(src.pick(pool))
            elif op == 9 and pool:
                target = src.pick(pool)
                args = [
                    random_object(src, pool, canaries) for _ in range(src.int(0, 8))
                ]
                target.__init__(*args)
            elif op == 10:
                change_tree(src, known)
            elif op == 11:
                inject_fault(src, known)
            elif op == 12 and pool:
                o = src.pick(pool)
                (o.name, o.type)
                for attr in ("writable", "tuneable", "oid"):
                    getattr(o, attr, None)
                if src.bool():
                    del o.value
            elif op == 13:
                _varkit.Sysctl.__new__(_varkit.Sysctl).__init__(
                    *[random_object(src, pool, canaries) for _ in range(src.int(0, 3))]
                )
            elif op == 14 and src.int(0, 15) == 0:
                # a long chain, each object the value of the next
                s = _varkit.Sysctl("x")
                for _ in range(src.pick([10, 1000, 200_000])):
                    s = _varkit.Sysctl("x", value=s)
                pool.append(s)
                del s
            elif op == 15:
                # the provider's raw calls, as the kernel MIB layer makes them
                oid = (
                    random_oid(src, known)
                    if src.bool()
                    else [0, src.pick(QUERIES) or 1, *random_oid(src, known)]
                )
                if src.bool():
                    mib.sysctl(
                        oid,
                        src.pick([None, 0, 1, 4, 88, 4096]),
                        src.pick([None, b"", src.bytes(16)]),
                    )
                else:
                    mib.nametomib(random_name(src, known) or "")
        except EXPECTED:
            pass
    return calls


# --- drivers ---------------------------------------------------------------


def run_random(count: int, start: int, max_seconds: float | None) -> int:
    t0 = time.monotonic()
    calls = 0
    done = 0
    for k in range(start, start + count):
        try:
            calls += one_input(RandomSource(k))
        except BaseException:
            print(
                f"fuzz: input {k} failed; replay with --random 1 --start {k}",
                file=sys.stderr,
            )
            raise
        done += 1
        if max_seconds is not None and time.monotonic() - t0 > max_seconds:
            break
    dt = time.monotonic() - t0
    print(
        f"fuzz: random driver: {done} inputs ({start}..{start + done - 1}), "
        f"{calls} calls in {dt:.1f} s, no finding"
    )
    return 0


def run_atheris(argv: list[str]) -> int:
    import atheris

    counter = {"inputs": 0, "calls": 0}

    def target(data: bytes) -> None:
        counter["inputs"] += 1
        counter["calls"] += one_input(FuzzSource(data))

    # Coverage of the harness's own code: which calls were made, with what,
    # and how each ended.
    g = globals()
    for name, f in list(g.items()):
        if (
            callable(f)
            and getattr(f, "__module__", None) == __name__
            and hasattr(f, "__code__")
            and name not in ("main", "run_atheris")
        ):
            g[name] = atheris.instrument_func(f)
    atheris.Setup(argv, target)
    atheris.Fuzz()
    return 0


def main() -> int:
    argv = sys.argv
    if "--random" in argv:
        import argparse

        ap = argparse.ArgumentParser()
        ap.add_argument("--random", type=int, required=True, metavar="N")
        ap.add_argument("--start", type=int, default=0)
        ap.add_argument("--max-seconds", type=float)
        a = ap.parse_args(argv[1:])
        return run_random(a.random, a.start, a.max_seconds)
    try:
        import atheris  # noqa: F401
    except ImportError:
        print("fuzz: atheris is not installed; use --random N", file=sys.stderr)
        return 2
    return run_atheris(argv)


if __name__ == "__main__":
    sys.exit(main())

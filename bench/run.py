#!/usr/bin/env python3
"""Benchmarks of listing and reading the MIB, against the floor.

    python3 bench/run.py            # full run (21 repetitions), markdown table
    python3 bench/run.py --quick    # fewer repetitions

Builds _varkit, _varkit_mib and the floor program (bench/floor.cpp) in
Release into build/bench, then measures in this process with the fresh
modules.  The machines are shared and noisy, so every figure is a ratio of
two things measured in the same run, each the median of several
repetitions, and the two sides of a ratio are measured turn about.  See
bench/README.md for what each figure means.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
FLOOR = BUILD / "varkit_floor"
SIZES = (1_000, 10_000, 100_000)

# Kind words and flags, as the kernel numbers them.
CTLFLAG_RD = 0x80000000
CTLFLAG_WR = 0x40000000
CTLFLAG_TUN = 0x00080000
INT, STRING, S64, OPAQUE, UINT, LONG, ULONG, U64 = 2, 3, 4, 5, 6, 7, 8, 9

WORDS = (
    "max min cur count size rate limit buf queue timeout enable debug stat "
    "hash mem page cache proc thread sched ipc sock tcp udp ip route if vfs "
    "zfs arc io disk cpu irq clock time hz load swap vnode file lock pool "
    "zone mbuf cluster recv send win retry drop nodes flags mode level"
).split()
TOPS = ("kern", "vm", "vfs", "net", "debug", "hw", "machdep", "user", "security", "dev")


def build() -> None:
    # A build directory configured for another interpreter is configured
    # afresh (its cached Python would not be looked up again).
    cache = BUILD / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            if line.startswith("Python_EXECUTABLE:"):
                if line.split("=", 1)[1] != sys.executable:
                    cache.unlink()
                    shutil.rmtree(BUILD / "CMakeFiles", ignore_errors=True)
                break
    args = [
        "cmake",
        "-S",
        str(ROOT),
        "-B",
        str(BUILD),
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(
        [
            "cmake",
            "--build",
            str(BUILD),
            "--target",
            "_varkit",
            "_varkit_mib",
            "varkit_floor",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )


# --- the generated trees ----------------------------------------------------


def leaf_value(rnd: random.Random) -> tuple[int, str, bytes]:
    """A random leaf: kind word without flags, format and value."""
    r = rnd.random()
    if r < 0.35:
        return (
            INT,
            "I",
            rnd.randrange(-(2**31), 2**31).to_bytes(4, "little", signed=True),
        )
    if r < 0.45:
        return UINT, "IU", rnd.randrange(2**32).to_bytes(4, "little")
    if r < 0.55:
        return (
            LONG,
            "L",
            rnd.randrange(-(2**63), 2**63).to_bytes(8, "little", signed=True),
        )
    if r < 0.65:
        return ULONG, "LU", rnd.randrange(2**64).to_bytes(8, "little")
    if r < 0.70:
        return U64, "QU", rnd.randrange(2**64).to_bytes(8, "little")
    if r < 0.75:
        return (
            S64,
            "Q",
            rnd.randrange(-(2**63), 2**63).to_bytes(8, "little", signed=True),
        )
    if r < 0.90:
        text = " ".join(rnd.choice(WORDS) for _ in range(rnd.randrange(0, 8)))
        return STRING, "A", text.encode()
    if r < 0.95:
        n = rnd.randrange(2, 16)
        return (
            INT,
            "I",
            b"".join(rnd.randrange(2**31).to_bytes(4, "little") for _ in range(n)),
        )
    return OPAQUE, "S,stats", rnd.randbytes(rnd.randrange(8, 96))


def generate(
    n: int, start: int = 20240601
) -> list[tuple[str, tuple[int, ...], int, str, bytes]]:
    """n variables in a tree shaped like a kernel's: ten top-level nodes,
    groups of variables 2 to 5 levels deep, children numbered from 1 or, as
    the kernel's automatic numbers are, from 256.  The same n and start value
    always give the same tree."""
    rnd = random.Random(start + n)
    # interior node (name, oid) -> [next child number, names used]
    interior: dict[tuple[str, tuple[int, ...]], list] = {}

    def child(
        parent: tuple[str, tuple[int, ...]], name: str | None = None
    ) -> tuple[str, tuple[int, ...]]:
        slot = interior.setdefault(parent, [rnd.choice((1, 256)), set()])
        if name is None:
            base = rnd.choice(WORDS)
            name = base
            while name in slot[1]:
                name = f"{base}{rnd.randrange(1000)}"
        slot[1].add(name)
        number = slot[0]
        slot[0] += 1
        pname, poid = parent
        return (f"{pname}.{name}" if pname else name, poid + (number,))

    tops = []
    for i, t in enumerate(TOPS):
        tops.append((t, (i + 1,)))
        interior[(t, (i + 1,))] = [rnd.choice((1, 256)), set()]
    groups: list[tuple[str, tuple[int, ...]]] = []
    out = []
    group = None
    left = 0
    while len(out) < n:
        if left == 0:
            # A new group: below a top-level node, or below an earlier group.
            if groups and rnd.random() < 0.5:
                parent = rnd.choice(groups)
            else:
                parent = rnd.choice(tops)
            group = child(parent)
            if len(group[1]) < 5:
                groups.append(group)
            left = rnd.randrange(1, 40)
        left -= 1
        name, oid = child(group)
        kind, fmt, value = leaf_value(rnd)
        flags = CTLFLAG_RD
        if rnd.random() < 0.4:
            flags |= CTLFLAG_WR
        if rnd.random() < 0.1:
            flags |= CTLFLAG_TUN
        out.append((name, oid, kind | flags, fmt, value))
    return out


def write_tree(nodes, path: Path) -> None:
    with open(path, "w") as f:
        for name, oid, kind, fmt, value in nodes:
            f.write(
                f"{name}\t{'.'.join(map(str, oid))}\t{kind}\t{fmt}\t"
                f"{value.hex() if value is not None else '-'}\n"
            )


# --- measuring ----------------------------------------------------------------


class Server:
    """A helper process that holds one tree and answers commands on a pipe,
    one line each way."""

    def __init__(self, args: list[str], env: dict | None = None) -> None:
        self.proc = subprocess.Popen(
            args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
        )
        line = self.proc.stdout.readline().strip()
        if line != "ready":
            raise RuntimeError(f"{args[0]} did not start: {line!r}")

    def ask(self, command: str) -> list[str]:
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def walk(self) -> tuple[int, float, float]:
        """Variables, walk time and read time, in seconds."""
        count, walk_ns, read_ns = self.ask("walk")
        return int(count), int(walk_ns) / 1e9, int(read_ns) / 1e9

    def calls(self) -> list[str]:
        """The calls of one walk and its reads, "OID offered error" each."""
        n = int(self.ask("calls")[0])
        return [self.proc.stdout.readline().strip() for _ in range(n)]

    def close(self) -> None:
        self.proc.stdin.write("quit\n")
        self.proc.stdin.close()
        self.proc.wait()


def floor_server(treefile: Path) -> Server:
    return Server([str(FLOOR), "serve", str(treefile)])


def varkit_server(treefile: Path) -> Server:
    """A Python process with the fresh modules serving the tree (worker())."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD), str(ROOT / "python")])
    return Server(
        [sys.executable, str(Path(__file__).resolve()), "--worker", str(treefile)], env
    )


def time_varkit(varkit) -> tuple[int, float, float]:
    """filter() over the whole MIB, then .value of every object."""
    t0 = time.perf_counter()
    objs = varkit.filter()
    t1 = time.perf_counter()
    for o in objs:
        o.value
    t2 = time.perf_counter()
    n = len(objs)
    del objs
    return n, t1 - t0, t2 - t1


def bytes_per_object(varkit) -> float:
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        objs = varkit.filter()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    n = len(objs)
    del objs
    return (after - before) / n


def worker(treefile: str) -> int:
    """The Python side of one tree: loads it into the emulated MIB through
    _varkit_mib.add with the call log off, then answers "walk" (variables,
    filter() ns, reads ns) and "mem" (bytes per object) on stdin."""
    import _varkit
    import _varkit_mib

    _varkit_mib.use_emulated()
    _varkit_mib.reset()
    _varkit_mib.set_logging(False)
    with open(treefile) as f:
        for line in f:
            name, oid, kind, fmt, value = line.rstrip("\n").split("\t")
            _varkit_mib.add(
                name,
                [int(c) for c in oid.split(".")],
                int(kind),
                fmt,
                None if value == "-" else bytes.fromhex(value),
            )
    gc.collect()
    print("ready", flush=True)
    for command in sys.stdin:
        command = command.strip()
        if command == "walk":
            n, w, r = time_varkit(_varkit)
            print(n, int(w * 1e9), int(r * 1e9), flush=True)
        elif command == "mem":
            print(bytes_per_object(_varkit), flush=True)
        elif command == "calls":
            _varkit_mib.clear_calls()
            _varkit_mib.set_logging(True)
            time_varkit(_varkit)
            _varkit_mib.set_logging(False)
            calls = _varkit_mib.calls()
            _varkit_mib.clear_calls()
            print(len(calls))
            for oid, offered, _new, err in calls:
                print(".".join(map(str, oid)), -1 if offered is None else offered, err)
            sys.stdout.flush()
        elif command == "quit":
            break
        else:
            print("unknown command", flush=True)
    return 0


def med(xs):
    return statistics.median(xs)


def bench_emulated(sizes: list[int], reps: int, tmp: Path) -> list[dict]:
    """Every size at once: one floor and one Python process per tree, and
    each repetition asks all of them in turn, so that every ratio, the growth
    included, compares things measured side by side."""
    servers = {}
    try:
        for size in sizes:
            treefile = tmp / f"tree-{size}.tsv"
            write_tree(generate(size), treefile)
            servers[size] = (floor_server(treefile), varkit_server(treefile))
        # The floor must make exactly the calls that filter() and the reads
        # make: same OIDs, same offered sizes, same order, same outcomes.
        for size, (floor, vk) in servers.items():
            if floor.calls() != vk.calls():
                raise RuntimeError(
                    f"the floor's calls differ from _varkit's "
                    f"on the tree of {size} variables"
                )
        # One untimed turn each to warm caches and the allocators.
        for floor, vk in servers.values():
            floor.walk()
            vk.walk()
        times = {size: ([], [], [], []) for size in sizes}
        for _ in range(reps):
            for size, (floor, vk) in servers.items():
                fw, fr, vw, vr = times[size]
                count, w, r = floor.walk()
                fw.append(w)
                fr.append(r)
                n, w, r = vk.walk()
                vw.append(w)
                vr.append(r)
                if n != count or n != size:
                    raise RuntimeError(
                        f"filter() listed {n} variables, the floor {count}, "
                        f"the tree holds {size}"
                    )
        mem = {size: float(vk.ask("mem")[0]) for size, (_, vk) in servers.items()}
    finally:
        for pair in servers.values():
            for server in pair:
                server.close()
    out = []
    for size in sizes:
        fw, fr, vw, vr = times[size]
        out.append(
            {
                "size": size,
                "floor_walk": med(fw),
                "floor_read": med(fr),
                "walk": med(vw),
                "read": med(vr),
                "mem": mem[size],
                "walk_ratio": med(vw) / med(fw),
                "read_ratio": med(vr) / med(fr),
                "walks": vw,
                "floor_walks": fw,
            }
        )
    return out


def time_process(args, env=None) -> float:
    t0 = time.perf_counter()
    subprocess.run(
        args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, check=False
    )
    return time.perf_counter() - t0


def bench_live(reps: int, root: str = "/proc/sys") -> dict | str:
    import _varkit
    import _varkit_mib

    if not hasattr(_varkit_mib, "use_procfs"):
        return "the provider has no /proc/sys view"
    if not os.path.isdir(root):
        return f"no {root} on this host"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD), str(ROOT / "python")])
    cli = None
    if (ROOT / "python" / "varkit" / "__main__.py").exists():
        cli = [sys.executable, "-m", "varkit", "-a"]

    def inproc() -> tuple[int, float]:
        t0 = time.perf_counter()
        objs = _varkit.filter()
        for o in objs:
            try:
                o.value
            except OSError:
                pass
        t = time.perf_counter() - t0
        n = len(objs)
        del objs
        return n, t

    _varkit_mib.use_procfs(root)
    _varkit_mib.set_logging(False)
    try:
        floor_cmd = [str(FLOOR), "procfs", root]
        out = subprocess.run(
            floor_cmd, capture_output=True, text=True, check=True
        ).stdout.split()
        files = int(out[0])
        inproc()
        if cli:
            time_process(cli, env)
        fp, fi, vi, vc = [], [], [], []
        count = 0
        for _ in range(reps):
            t0 = time.perf_counter()
            out = subprocess.run(
                floor_cmd, capture_output=True, text=True, check=True
            ).stdout.split()
            fp.append(time.perf_counter() - t0)
            fi.append(int(out[1]) / 1e9)
            count, t = inproc()
            vi.append(t)
            if cli:
                vc.append(time_process(cli, env))
    finally:
        _varkit_mib.use_emulated()
    res = {
        "files": files,
        "variables": count,
        "floor_proc": med(fp),
        "floor_walk": med(fi),
        "inproc": med(vi),
        "ratio": med(vi) / med(fp),
        "ratio_walk": med(vi) / med(fi),
    }
    if vc:
        res["cli"] = med(vc)
        res["cli_ratio"] = med(vc) / med(fp)
    return res


# --- the table ------------------------------------------------------------------


def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (
        f"{os.cpu_count()} CPUs ({model}), {platform.system()} "
        f"{platform.release()}, Python {platform.python_version()}"
    )


def table(emu: list[dict], live: dict | str, reps: int) -> str:
    by = {r["size"]: r for r in emu}
    sizes = [r["size"] for r in emu]
    head = "| figure | " + " | ".join(f"{s:,} vars" for s in sizes) + " | target |"
    rule = "|---|" + "---:|" * len(sizes) + "---|"

    def row(label, key, fmt, target=""):
        cells = " | ".join(format(by[s][key], fmt) for s in sizes)
        return f"| {label} | {cells} | {target} |"

    lines = [
        f"Machine: {machine()}.  Each figure: median of {reps} "
        "repetitions, the two sides of a ratio measured turn about.",
        "",
        "Emulated trees generated by the benchmark:",
        "",
        head,
        rule,
        row("1. filter() / floor walk", "walk_ratio", ".2f", "<= 3"),
        row("2. .value of every object / floor reads", "read_ratio", ".2f", "<= 3"),
        row(
            "4. memory per Sysctl from filter(), bytes (tracemalloc)", "mem", ".0f", ""
        ),
        row("filter(), ms", "walk", ".2f", "(context)"),
        row("floor walk, ms", "floor_walk", ".2f", "(context)"),
        row(".value reads, ms", "read", ".2f", "(context)"),
        row("floor reads, ms", "floor_read", ".2f", "(context)"),
    ]
    if 10_000 in by and 100_000 in by:
        g = med(by[100_000]["walks"]) / med(by[10_000]["walks"])
        fg = med(by[100_000]["floor_walks"]) / med(by[10_000]["floor_walks"])
        lines += [
            "",
            "| figure | value | target |",
            "|---|---:|---|",
            f"| 3. growth: filter() on 100,000 / on 10,000 | {g:.2f} | <= 11 |",
            f"| the floor walk's growth, same run | {fg:.2f} | |",
            f"| filter()'s growth / the floor's | {g / fg:.2f} | |",
        ]
    lines += [""]
    if isinstance(live, str):
        lines += [f"Live Linux tree: not measured ({live})."]
    else:
        lines += [
            f"Live Linux tree (/proc/sys: {live['variables']:,} variables "
            f"listed, {live['files']:,} files read by the floor):",
            "",
            "| figure | value |",
            "|---|---:|",
            f"| filter() + .value of every variable, in-process / floor process "
            f"(opendir/readdir, open+read every file) | {live['ratio']:.2f} |",
            f"| the same / the floor's walk alone (no process start) | "
            f"{live['ratio_walk']:.2f} |",
        ]
        if "cli" in live:
            lines.append(
                f"| whole `python3 -m varkit -a` process / floor "
                f"process | {live['cli_ratio']:.2f} |"
            )
        lines += [
            f"| in-process, ms | {live['inproc'] * 1e3:.2f} |",
            f"| floor process, ms | {live['floor_proc'] * 1e3:.2f} |",
            f"| floor walk, ms | {live['floor_walk'] * 1e3:.2f} |",
        ]
        if "cli" in live:
            lines.append(f"| `varkit -a` process, ms | {live['cli'] * 1e3:.2f} |")
    return "\n".join(lines)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="5 repetitions instead of 21")
    ap.add_argument("--reps", type=int, help="repetitions of each measurement")
    ap.add_argument(
        "--sizes", help="comma-separated tree sizes (default 1000,10000,100000)"
    )
    ap.add_argument(
        "--no-build", action="store_true", help="use what is already in build/bench"
    )
    ap.add_argument(
        "--no-live", action="store_true", help="skip the live /proc/sys measurement"
    )
    ap.add_argument("--worker", metavar="TREEFILE", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        return worker(args.worker)
    reps = args.reps or (5 if args.quick else 21)
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else SIZES
    if not args.no_build:
        build()
    sys.path[:0] = [str(BUILD), str(ROOT / "python")]
    with tempfile.TemporaryDirectory() as tmp:
        emu = bench_emulated(sizes, reps, Path(tmp))
    for r in emu:
        for k in ("walk", "floor_walk", "read", "floor_read"):
            r[k] *= 1e3
    live = "--no-live" if args.no_live else bench_live(reps)
    print(table(emu, live, reps))
    return 0


if __name__ == "__main__":
    sys.exit(main())

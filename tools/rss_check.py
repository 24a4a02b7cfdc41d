#!/usr/bin/env python3
"""Process size under a long run of reads, writes and walks.

    PYTHONPATH=build/x:python python3 tools/rss_check.py [--ops 1000000]

Makes --ops operations of each kind on the emulated MIB (the call log off,
as a long-lived process would run it): a read of a fresh object (name
lookup, format and name queries, probe and fetch), a write, a description
lookup, and a walk of a subtree.  The resident set size is sampled after a
warm-up and then every tenth of the run; it must stay flat: growth beyond
--limit-mb over the measured part is a leak.  Prints one summary line and
exits 1 on growth.
"""

from __future__ import annotations

import argparse
import gc
import os
import struct
import sys
import time

import _varkit
import _varkit_mib as mib

RD, WR = mib.CTLFLAG_RD, mib.CTLFLAG_WR


def rss_kib() -> int:
    with open(f"/proc/{os.getpid()}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def build() -> None:
    mib.use_emulated()
    mib.reset()
    mib.set_logging(False)
    mib.add("r.int", [1, 1], RD | WR | 2, "I", struct.pack("=i", 0), "an int")
    mib.add("r.str", [1, 2], RD | WR | 3, "A", b"text", "a string")
    mib.add("r.list", [1, 3], RD | 2, "I", struct.pack("=4i", 1, 2, 3, 4), "list")
    mib.add(
        "r.sub.a",
        [1, 4, 1],
        RD | 5,
        "S,clockinfo",
        struct.pack("=5i", 100, 10000, 0, 128, 8128),
        "a dict",
    )
    mib.add("r.sub.b", [1, 4, 2], RD | 9, "QU", b"\xff" * 8, "u64")


def step(i: int) -> None:
    [a] = _varkit.filter("r.int")
    a.value = i & 0x7FFFFFFF
    assert a.value == i & 0x7FFFFFFF
    [s] = _varkit.filter("r.str")
    s.value
    s.description
    s.value = "x" * (i % 50)
    [lst] = _varkit.filter("r.list")
    lst.value
    for o in _varkit.filter("r.sub"):
        o.value
        o.oid


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ops", type=int, default=1_000_000)
    ap.add_argument("--limit-mb", type=float, default=4.0)
    a = ap.parse_args()
    build()
    warm = max(a.ops // 20, 1000)
    for i in range(warm):
        step(i)
    gc.collect()
    start = rss_kib()
    samples = [start]
    t0 = time.monotonic()
    tenth = max(a.ops // 10, 1)
    for i in range(a.ops):
        step(i)
        if (i + 1) % tenth == 0:
            gc.collect()
            samples.append(rss_kib())
    dt = time.monotonic() - t0
    growth_mb = (max(samples) - start) / 1024
    # each step: 4 fresh-object lookups (one a walk of 2), 7 reads, 2
    # writes, 1 description lookup
    print(
        f"rss: {a.ops} rounds ({a.ops * 14} calls: reads, writes, walks, "
        f"descriptions) in {dt:.0f} s; RSS {start / 1024:.1f} MiB after "
        f"warm-up, max {max(samples) / 1024:.1f} MiB, end "
        f"{samples[-1] / 1024:.1f} MiB: growth {growth_mb:+.2f} MiB "
        f"(limit {a.limit_mb} MiB) -> {'ok' if growth_mb <= a.limit_mb else 'GROWS'}"
    )
    print("rss: samples (KiB):", samples)
    mib.set_logging(True)
    mib.load_default()
    return 0 if growth_mb <= a.limit_mb else 1


if __name__ == "__main__":
    sys.exit(main())

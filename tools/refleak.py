#!/usr/bin/env python3
"""Reference-leak hunt over the test suite.

    python3.11d tools/refleak.py [--warmup N] [--rounds N] [pytest args...]

Runs the tests of each test module several times over in one process, the
way CPython's own `-R` option does: a few warm-up rounds (caches fill,
interned strings and lazily built objects appear), then measured rounds.
After every round the collector runs and the interpreter's caches are
cleared, and the total reference count (sys.gettotalrefcount()) and the
number of allocated memory blocks (sys.getallocatedblocks()) are read.  A
module leaks when a figure grows in *every* measured round; growth in only
some rounds is noise (a cache filling late, a free list) and is tolerated,
as CPython tolerates it.  For a leaking module every test is then hunted on
its own, to name the culprit.

Needs an interpreter with sys.gettotalrefcount (a debug build such as
Debian's python3.11-dbg) and _varkit / _varkit_mib built for it on the path.
Exit status: 0 when nothing leaks and every test passed, 1 otherwise.
"""

from __future__ import annotations

import argparse
import gc
import sys
from collections import OrderedDict

import pytest
from _pytest.runner import runtestprotocol


def clear_caches() -> None:
    """What CPython's leak hunt clears between rounds, then a full collection."""
    import linecache
    import re

    re.purge()
    linecache.clearcache()
    try:
        import typing

        for clear in getattr(typing, "_cleanups", ()):
            clear()
    except Exception:  # pragma: no cover - best effort
        pass
    sys._clear_type_cache()
    for _ in range(3):
        gc.collect()


def leaks(deltas: list[int]) -> bool:
    """A leak is growth in every measured round (CPython's rule)."""
    return bool(deltas) and all(d >= 1 for d in deltas)


class RefleakPlugin:
    def __init__(self, warmup: int, rounds: int) -> None:
        self.warmup = warmup
        self.rounds = rounds
        self.results: list[tuple[str, int, list[int], list[int]]] = []
        self.culprits: list[tuple[str, list[int], list[int]]] = []
        self.failed = False

    def run_rounds(self, items):
        """Runs `items` warmup + rounds times; returns the per-round deltas of
        the reference count and the allocated blocks, and the reports of the
        last round.

        Whatever the loop itself keeps must not grow from round to round: the
        reports of one round are dropped when the next starts, the deltas go
        into lists made beforehand, and equal deltas share one int object
        (as CPython's leak hunt does).
        """
        total = self.warmup + self.rounds
        dr = [0] * self.rounds
        db = [0] * self.rounds
        pool = {v: v for v in range(-1000, 1000)}
        refs_before = blocks_before = 0
        reports: list = []
        for r in range(total):
            reports = []
            for i, item in enumerate(items):
                # nextitem None at the end of a round tears every fixture
                # down, so each round starts from the same state.
                nextitem = items[i + 1] if i + 1 < len(items) else None
                # captured output piles up here, run after run
                item._report_sections.clear()
                reps = runtestprotocol(item, nextitem=nextitem, log=False)
                reports.append((item, reps))
                if not self.failed and any(rep.failed for rep in reps):
                    self.failed = True
            clear_caches()
            refs_after = sys.gettotalrefcount()
            blocks_after = sys.getallocatedblocks()
            if r >= self.warmup:
                d = refs_after - refs_before
                dr[r - self.warmup] = pool.setdefault(d, d)
                d = blocks_after - blocks_before
                db[r - self.warmup] = pool.setdefault(d, d)
            refs_before, blocks_before = refs_after, blocks_after
        return dr, db, reports

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session):
        if session.testsfailed:
            raise session.Interrupted(
                f"{session.testsfailed} error(s) during collection"
            )
        if session.config.option.collectonly:
            return True
        modules: OrderedDict[str, list] = OrderedDict()
        for item in session.items:
            modules.setdefault(str(item.path), []).append(item)
        tw = session.config.get_terminal_writer()
        for path, items in modules.items():
            dr, db, reports = self.run_rounds(items)
            for item, reps in reports:
                item.ihook.pytest_runtest_logstart(
                    nodeid=item.nodeid, location=item.location
                )
                for rep in reps:
                    item.ihook.pytest_runtest_logreport(report=rep)
                item.ihook.pytest_runtest_logfinish(
                    nodeid=item.nodeid, location=item.location
                )
            self.results.append((path, len(items), dr, db))
            if leaks(dr) or leaks(db):
                for item in items:
                    ir, ib, _ = self.run_rounds([item])
                    if leaks(ir) or leaks(ib):
                        self.culprits.append((item.nodeid, ir, ib))
            if session.shouldfail or session.shouldstop:
                break
        tw.line()
        return True

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        tr.section("reference-leak hunt")
        tr.line(
            f"{self.warmup} warm-up + {self.rounds} measured rounds per "
            "module; deltas per measured round"
        )
        for path, n, dr, db in self.results:
            bad = leaks(dr) or leaks(db)
            tr.line(
                f"{'LEAK' if bad else 'ok  '} {path} ({n} tests): "
                f"refs {dr} blocks {db}",
                red=bad,
            )
        for nodeid, dr, db in self.culprits:
            tr.line(f"LEAK {nodeid}: refs {dr} blocks {db}", red=True)

    @property
    def leaking(self) -> list[str]:
        return [p for p, _, dr, db in self.results if leaks(dr) or leaks(db)]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--warmup", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=3)
    args, rest = ap.parse_known_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        print(
            "refleak: this interpreter has no sys.gettotalrefcount: "
            "run it with a debug build (python3.11d)",
            file=sys.stderr,
        )
        return 2
    if args.warmup < 1 or args.rounds < 1:
        ap.error("--warmup and --rounds must be at least 1")
    plugin = RefleakPlugin(args.warmup, args.rounds)
    status = pytest.main(rest, plugins=[plugin])
    tests = sum(n for _, n, _, _ in plugin.results)
    bad = plugin.leaking
    total_refs = sum(sum(dr) for _, _, dr, _ in plugin.results)
    total_blocks = sum(sum(db) for _, _, _, db in plugin.results)
    print(
        f"refleak: {len(plugin.results)} modules, {tests} tests, "
        f"{args.warmup}+{args.rounds} rounds; summed deltas over the measured "
        f"rounds: refs {total_refs:+d}, blocks {total_blocks:+d}; "
        f"{len(bad)} leaking module(s){': ' + ', '.join(bad) if bad else ''}"
    )
    if bad or plugin.failed or status not in (0, 5):
        return 1
    if status == 5 or tests == 0:
        print("refleak: no test ran", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

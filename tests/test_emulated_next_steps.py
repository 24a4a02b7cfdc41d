"""The emulated tree answers a next query the same way whether the position
asked about is the variable the same thread was just told about (a walk's
usual step) or any other position, on trees with skipped nodes, interior
nodes that hold a value and removed subtrees."""

import random

import pytest

RD = 0x80000000
SKIP = 0x01000000
NODE, INT = 1, 2


def build(emu, rnd):
    oids = []
    for _ in range(120):
        depth = rnd.randrange(1, 5)
        oid = [rnd.randrange(1, 4)] + [
            rnd.choice((1, 2, 3, 256, 257)) for _ in range(depth)
        ]
        name = ".".join(f"n{c}" for c in oid)
        kind = RD | INT
        if rnd.random() < 0.15:
            kind |= SKIP
        try:
            emu.add(name, oid, kind, "I", b"\0\0\0\0")
        except ValueError:
            continue  # taken, or below a leaf
        oids.append(oid)
    # Interior nodes given a value, or skipped as a whole.
    for oid in rnd.sample(oids, 20):
        for cut in range(1, len(oid)):
            prefix = oid[:cut]
            try:
                if rnd.random() < 0.5:
                    emu.set(prefix, b"\1\0\0\0")
                else:
                    emu.add(
                        ".".join(f"n{c}" for c in prefix), prefix, RD | NODE | SKIP, "N"
                    )
            except (KeyError, ValueError):
                pass
    for oid in rnd.sample(oids, 10):
        try:
            emu.remove(oid)
        except KeyError:
            pass


def step(emu, query, oid, cold):
    if cold:
        # Ask about another node first, so that the next query cannot take
        # `oid` as the node this thread was told about last.
        try:
            emu.sysctl([0, 4, 9999], 1024)
        except OSError:
            pass
    try:
        data, size = emu.sysctl([0, query] + oid, 88)
    except OSError as e:
        return e.errno
    return list(memoryview(data[:size]).cast("i"))


@pytest.mark.parametrize("start", range(8))
@pytest.mark.parametrize("query", [2, 7])
def test_walk_steps_agree(emu, start, query):
    rnd = random.Random(start)
    build(emu, rnd)
    emu.add("n9999", [9999], RD | INT, "I", b"\0\0\0\0")
    walks = []
    for cold in (False, True):
        pos, seen = [1], []
        while True:
            got = step(emu, query, pos, cold)
            if isinstance(got, int):
                break
            seen.append(got)
            pos = got
        walks.append(seen)
    warm, cold_walk = walks
    assert cold_walk == warm
    assert warm  # the walk listed something


@pytest.mark.parametrize("start", range(8))
@pytest.mark.parametrize("query", [2, 7])
def test_steps_from_any_node_agree(emu, start, query):
    # Every node, skipped ones and interior ones included, as the position:
    # once right after a format query about it, once after one about
    # another node.
    rnd = random.Random(start)
    build(emu, rnd)
    emu.add("n9999", [9999], RD | INT, "I", b"\0\0\0\0")
    nodes, pos = set(), [1]
    while not isinstance(pos, int):
        for cut in range(1, len(pos) + 1):
            nodes.add(tuple(pos[:cut]))
        pos = step(emu, 7, pos, False)
    for oid in sorted(nodes):
        oid = list(oid)
        emu.sysctl([0, 4] + oid, 1024)
        warm = step(emu, query, oid, False)
        assert warm == step(emu, query, oid, True), oid


@pytest.mark.parametrize("start", range(4))
def test_lookups_in_any_order_agree(emu, start):
    # Format and name queries and value reads about every node, in random
    # order (each starting from whatever the one before found), answer as
    # they do right after a query about an unrelated node.
    rnd = random.Random(start)
    build(emu, rnd)
    emu.add("n9999", [9999], RD | INT, "I", b"\0\0\0\0")
    nodes, pos = set(), [1]
    while not isinstance(pos, int):
        for cut in range(1, len(pos) + 1):
            nodes.add(tuple(pos[:cut]))
        pos = step(emu, 7, pos, False)
    nodes = [list(o) for o in nodes] + [[1, 77], [2, 256, 77], [77]]

    def ask(oid):
        out = []
        for query in ([0, 4] + oid, [0, 1] + oid, oid):
            try:
                out.append(emu.sysctl(query, 1024))
            except OSError as e:
                out.append(e.errno)
        return out

    cold = {}
    for oid in nodes:
        emu.sysctl([0, 4, 9999], 1024)
        cold[tuple(oid)] = ask(oid)
    for _ in range(3):
        rnd.shuffle(nodes)
        for oid in nodes:
            assert ask(oid) == cold[tuple(oid)], oid

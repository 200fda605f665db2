"""A 20 000-stage JTL deck reads and builds in bounded memory, with the unknowns and
matrix pattern counted by hand (timing lives in bench/build.py)."""
import gc
import tracemalloc

import numpy as np
import pytest

from simulation_support import requires
from kivrun import api

STAGES = 20_000
#: Peak traced memory of reading and building, per stage (five elements), bytes.
PEAK_PER_STAGE = 12 * 1024

pytestmark = requires("JunctionModel", "ResistorModel", "InductorModel", "CurrentSourceModel",
                      "VoltageSourceModel")

HEAD = """* JTL
.model jjr jj(icrit=216uA, cap=0.151pF, rtype=0, rn=7.41ohm)
VIN in 0 pwl(0 0 20p 0 22p 1m 24p 0)
LIN in 1 2pH
"""
STAGE = ["B{k} {k}m 0 jjr", "RS{k} {k}m 0 5.23ohm", "IB{k} 0 {k}m pwl(0 0 5p 151uA)",
         "LA{k} {k} {k}m 2pH", "LB{k} {k}m {n} 2pH"]


def flat(n: int) -> str:
    body = "\n".join(line.format(k=k, n=k + 1) for k in range(1, n + 1) for line in STAGE)
    return f"{HEAD}{body}\nRL {n + 1} 0 2ohm\n.tran 1p 100p\n"


def subcircuit(n: int) -> str:
    cell = "\n".join(["B mid 0 jjr", "RS mid 0 5.23ohm", "IB 0 mid pwl(0 0 5p 151uA)",
                      "LA in mid 2pH", "LB mid out 2pH"])
    calls = "\n".join(f"X{k} stage {k} {k + 1}" for k in range(1, n + 1))
    return f"{HEAD}.subckt stage in out\n{cell}\n.ends\n{calls}\nRL {n + 1} 0 2ohm\n.tran 1p 100p\n"


# Tracing memory makes reading ten times slower: the subcircuit form, which real decks use, is traced.
@pytest.mark.parametrize("deck, mid, traced", [(flat, "{k}m", False), (subcircuit, "mid.x{k}", True)])
def test_large_deck_builds_with_hand_counted_pattern_in_bounded_memory(deck, mid, traced):
    text = deck(STAGES)
    gc.collect()
    if traced:
        tracemalloc.start()
    try:
        prepared = api.prepare(api.load(text))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    built = prepared.built
    n = STAGES
    # Nodes: in, 1..N+1 and one mid node per stage; one branch unknown for VIN.
    assert (built.n_nodes, built.n_unknowns) == (2 * n + 2, 2 * n + 3)
    # Every node's diagonal, LIN's and each stage's LA and LB off-diagonal pairs, VIN's two.
    assert built.nnz == (2 * n + 2) + 2 + 4 * n + 2
    assert len(built.elements) == 5 * n + 3
    # The column of a stage's mid node holds its own row and those of both neighbours.
    pointers, rows = np.asarray(built.col_pointers), np.asarray(built.row_indices)
    for k in (1, n // 2, n):
        col = built.node_numbers[mid.format(k=k)] - 1
        found = set(rows[pointers[col]:pointers[col + 1]])
        want = {built.node_numbers[name] - 1 for name in (str(k), mid.format(k=k), str(k + 1))}
        assert found == want
    assert len(built.varying_sources) == n + 1
    if traced:
        assert 0 < peak / n < PEAK_PER_STAGE, f"{peak / n / 1024:.1f} KiB per stage"


@pytest.mark.parametrize("frozen", [False, True])
def test_pausing_the_collector_loses_no_cycle_and_keeps_frozen_objects(frozen):
    import weakref

    from kivrun.gcpause import collector_paused

    class Node:
        pass

    if frozen:
        gc.freeze()
    try:
        before = gc.get_freeze_count()
        with collector_paused():
            assert not gc.isenabled()
            cycle = Node()
            cycle.self = cycle
            alive = weakref.ref(cycle)
            del cycle
        assert gc.isenabled() and gc.get_freeze_count() == before
        gc.collect()
        assert alive() is None
    finally:
        gc.unfreeze()

"""collector_paused(large=True): what a large build makes goes straight to the oldest
generation, and nothing of the program's escapes the collector on the way."""
import gc
import weakref

import pytest

from kivrun.gcpause import collector_paused


class Node:
    pass


def cycle() -> weakref.ref:
    node = Node()
    node.self = node
    return weakref.ref(node)


@pytest.mark.parametrize("frozen", [False, True])
def test_large_pause_settles_survivors_and_lets_no_cycle_escape(frozen):
    if frozen:
        gc.freeze()
    try:
        before = gc.get_freeze_count()
        gc.collect()  # no automatic collection can come before the pause
        young = cycle()  # the program's garbage, young when the pause begins
        with collector_paused(large=True):
            assert not gc.isenabled()
            # Collected (and so counted) at the start when the oldest generation is to take
            # the survivors; left young, as ever, when the program froze objects itself.
            assert (young() is None) != frozen
            made = Node()
            inside = cycle()
        assert gc.isenabled() and gc.get_freeze_count() == before
        in_oldest = any(o is made for o in gc.get_objects(generation=2))
        assert in_oldest != frozen
        gc.collect()
        assert young() is None and inside() is None
    finally:
        gc.unfreeze()

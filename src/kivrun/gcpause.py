"""Pausing the cyclic garbage collector while a large circuit is read or built.

Reading and building make millions of small objects that live on, and no
reference cycles: each collection the allocations trigger finds nothing to
free yet walks the growing heap, which costs a third of the time of a
large deck.  Reference counting still frees everything that dies.

After the pause the young collections walk the survivors twice (the
young generation, then the middle one): for a 100 000-stage deck about
0.5–1 s, a sixth to a quarter of reading and building it.  A block that makes a large
circuit (``large=True``) moves its survivors straight to the oldest
generation instead (``gc.freeze`` then ``gc.unfreeze``, two list splices);
a full collection still walks them when its turn comes.  Moved that way
they are not counted towards that turn, so the program's own young objects
must not go with them: they are collected first, in a young collection
that counts its survivors as usual (a millisecond).  Nothing is moved when
the program froze objects itself, as unfreezing would hand them back.
"""
from __future__ import annotations

import gc
from contextlib import contextmanager
from typing import Iterator


@contextmanager
def collector_paused(large: bool = False) -> Iterator[None]:
    """No cyclic collection inside the block; the collector's own state is restored after.

    ``large``: the block makes a large circuit (~1e5 objects or more).  Its survivors then
    go straight to the oldest generation instead of through two young collections that
    would walk each of them twice; the program's own young objects are collected (and so
    counted) first, so none escapes the count that triggers full collections.
    """
    was_enabled = gc.isenabled()
    # Unfreezing would hand objects the program froze itself back to the collector.
    settle = large and was_enabled and gc.get_freeze_count() == 0
    if settle:
        gc.collect(1)
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            if settle and gc.get_freeze_count() == 0:
                gc.freeze()
                gc.unfreeze()
            gc.enable()

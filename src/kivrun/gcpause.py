"""Pausing the cyclic garbage collector while a large circuit is read or built.

Reading and building make millions of small objects that live on, and no
reference cycles: each collection the allocations trigger finds nothing to
free yet walks the growing heap, which costs a third of the time of a
large deck.  Reference counting still frees everything that dies.

On leaving, the objects made meanwhile would all be walked by the first
young-generation collection.  They are long-lived, so they go straight to
the oldest generation instead (``gc.freeze`` then ``gc.unfreeze``, two list
splices): a full collection, when its turn comes, still looks at them and
frees any cycle among them.  That is skipped when the program froze objects
itself, as unfreezing would hand its objects back to the collector.
"""
from __future__ import annotations

import gc
from contextlib import contextmanager
from typing import Iterator


@contextmanager
def collector_paused() -> Iterator[None]:
    """No cyclic collection inside the block; the collector's own state is restored after."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            if gc.get_freeze_count() == 0:
                gc.freeze()
                gc.unfreeze()
            gc.enable()

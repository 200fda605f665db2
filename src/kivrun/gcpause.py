"""Pausing the cyclic garbage collector while a large circuit is read or built.

Reading and building make millions of small objects that live on, and no
reference cycles: each collection the allocations trigger finds nothing to
free yet walks the growing heap, which costs a third of the time of a
large deck.  Reference counting still frees everything that dies.

The first young collection after the pause walks the survivors once.
Moving them straight to the oldest generation (``gc.freeze`` then
``gc.unfreeze``) would skip that, but also every other young object,
uncounted: in a loop of runs the full collections that free cycles might
then never come.
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
            gc.enable()

"""Pass/fail of a run, and small statistics of a run, from its flux-quantum events.

Everything here is a picklable object with ``__call__(result)``, so it can be
sent to worker processes.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Iterable, Sequence

from .results import Event, Result

#: Default tolerance on event times against the nominal run (seconds).
DEFAULT_WINDOW = 5e-12


def _by_element(events: Iterable[Event], names: frozenset[str]) -> dict[str, list[Event]]:
    grouped: dict[str, list[Event]] = {}
    for event in events:
        key = event.element.lower()
        if key in names:
            grouped.setdefault(key, []).append(event)
    return grouped


def events_match(nominal: Sequence[Event], actual: Sequence[Event], junctions: Iterable[str],
                 window: float = DEFAULT_WINDOW) -> bool:
    """Same number of events with the same signs on every junction, each within ±window of its twin.

    Events are paired by their index on the junction (the k-th event with the
    nominal k-th); elements not in ``junctions`` are ignored.
    """
    names = frozenset(j.lower() for j in junctions)
    want, got = _by_element(nominal, names), _by_element(actual, names)
    if want.keys() != got.keys():
        return False
    for name, expected in want.items():
        seen = got[name]
        if len(seen) != len(expected):
            return False
        for e, s in zip(sorted(expected, key=lambda e: e.time), sorted(seen, key=lambda e: e.time)):
            if e.direction != s.direction or abs(e.time - s.time) > window:
                return False
    return True


@dataclass(frozen=True)
class SameEvents:
    """The default criterion: the run's junction events match the nominal run's."""

    nominal: tuple[Event, ...]
    junctions: frozenset[str]
    window: float = DEFAULT_WINDOW

    def __call__(self, result: Result) -> bool:
        return events_match(self.nominal, result.events, self.junctions, self.window)


@dataclass(frozen=True)
class Passes:
    """Wraps a user's criterion so that a run reports a plain bool."""

    criterion: object

    def __call__(self, result: Result) -> bool:
        return bool(self.criterion(result))  # type: ignore[operator]


@dataclass(frozen=True)
class EventDelay:
    """Time from the ``index``-th event of ``start`` to that of ``stop`` (s); NaN if either is missing."""

    start: str
    stop: str
    index: int = 0

    def __call__(self, result: Result) -> float:
        a, b = result.event_times(self.start), result.event_times(self.stop)
        if len(a) <= self.index or len(b) <= self.index:
            return math.nan
        return float(b[self.index] - a[self.index])


@dataclass(frozen=True)
class EventCount:
    """Net flux quanta through an element (signed count of its events)."""

    element: str

    def __call__(self, result: Result) -> float:
        name = self.element.lower()
        return float(sum(e.direction for e in result.events if e.element.lower() == name))

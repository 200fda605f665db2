"""Traces on the accepted time points, flux-quantum events, CSV, plot, summary."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

import numpy as np

from . import export, plotting, units
from .builder import BuiltCircuit
from .circuit import GROUND, Probe
from .engine import RunOutput, Stats
from .trace_names import TraceIndex


@dataclass(frozen=True)
class Event:
    """A flux quantum entering (+1) or leaving (-1) an element's phase."""

    time: float
    element: str
    direction: int


class EventList(Sequence):
    """The events of a run, kept as arrays (a source's counter can make millions);
    an :class:`Event` is made only when one is looked at."""

    def __init__(self, times: np.ndarray, elements: np.ndarray, directions: np.ndarray,
                 names: Sequence[str]):
        self.times = np.asarray(times, dtype=float)
        self.elements = np.asarray(elements, dtype=np.int32)
        self.directions = np.asarray(directions, dtype=np.int8)
        self.names = list(names)

    @classmethod
    def of(cls, events: Iterable[Event]) -> "EventList":
        events = list(events)
        names = sorted({e.element for e in events})
        index = {n: k for k, n in enumerate(names)}
        return cls(np.array([e.time for e in events]), np.array([index[e.element] for e in events]),
                   np.array([e.direction for e in events]), names)

    def __len__(self) -> int:
        return len(self.times)

    def __getitem__(self, k):
        if isinstance(k, slice):
            return EventList(self.times[k], self.elements[k], self.directions[k], self.names)
        return Event(float(self.times[k]), self.names[self.elements[k]], int(self.directions[k]))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Sequence):
            return NotImplemented
        return len(self) == len(other) and all(a == b for a, b in zip(self, other))

    def __repr__(self) -> str:
        return f"EventList({list(self[:6])}{' ...' if len(self) > 6 else ''}, {len(self)} events)"

    def select(self, element: str, direction: int | None = None) -> np.ndarray:
        """Times of one element's events (optionally one direction)."""
        name = element.lower()
        ids = [k for k, n in enumerate(self.names) if n.lower() == name]
        keep = np.isin(self.elements, ids)
        if direction is not None:
            keep &= self.directions == direction
        return self.times[keep]

    def by_element(self) -> dict[str, tuple[int, int, np.ndarray]]:
        """Per element with events, in order of first event: count, net quanta, first times."""
        out: dict[str, tuple[int, int, np.ndarray]] = {}
        if not len(self):
            return out
        ids, first = np.unique(self.elements, return_index=True)
        for k in ids[np.argsort(first)]:
            mine = self.elements == k
            out[self.names[k]] = (int(mine.sum()), int(self.directions[mine].sum()), self.times[mine][:4])
        return out


@dataclass
class Result:
    """Outcome of a transient run, all in SI units (s, V, A, rad)."""

    title: str
    time: np.ndarray
    traces: dict[str, np.ndarray]
    events: EventList
    stats: Stats
    output_step: float | None = None
    #: Seed of thermal noise and spread (None: the run drew no random numbers).
    seed: int | None = None
    #: Spread factor drawn for each element, by name.
    drawn: dict[str, float] = field(default_factory=dict)
    #: True for the partial result of a run stopped before its end (Ctrl-C).
    interrupted: bool = False

    def __getitem__(self, label: str) -> np.ndarray:
        """A trace by any spelling an output card accepts (``P(X8.B1)``, ``v(a, b)``, ``DEVI L1``)."""
        return TraceIndex(self.traces).lookup(label, self.traces)

    def event_times(self, element: str, direction: int | None = None) -> np.ndarray:
        """Times of the flux-quantum events of one element (optionally one direction)."""
        events = self.events if isinstance(self.events, EventList) else EventList.of(self.events)
        return events.select(element, direction)

    def resample(self, step: float) -> tuple[np.ndarray, dict[str, np.ndarray]]:
        """Traces linearly interpolated onto a uniform grid of ``step`` seconds."""
        grid = np.arange(self.time[0], self.time[-1] + 0.5 * step, step)
        grid = grid[grid <= self.time[-1] * (1 + 1e-12)]
        return grid, {k: np.interp(grid, self.time, v) for k, v in self.traces.items()}

    def to_csv(self, path: str, step: float | None = None) -> None:
        """Write the traces; on the uniform output grid when ``step`` is given."""
        export.save(self, path, "csv", step)

    def save(self, path: str, format: str | None = None, step: float | None = None) -> str:
        """Write the traces as csv, raw, rawascii, npz or netcdf (by default from the suffix)."""
        return export.save(self, path, format, step)

    def to_dataframe(self, step: float | None = None) -> Any:
        """A pandas DataFrame indexed by time (s); ``attrs["units"]`` gives each column's unit."""
        time, traces = self.resample(step) if step else (self.time, self.traces)
        return export.to_dataframe(self.title, time, traces)

    def to_xarray(self, step: float | None = None) -> Any:
        """An xarray Dataset, one variable per trace with its ``units``, and the events."""
        time, traces = self.resample(step) if step else (self.time, self.traces)
        return export.to_xarray(self.title, time, traces, self.events)

    def plot(self, path: str | None = None, traces: str | Iterable[str] | None = None,
             labels: Iterable[str] | None = None) -> Any:
        """Plot traces chosen by glob patterns or names (all by default).

        Saves a PNG to ``path`` when given; otherwise returns the matplotlib
        Figure (a notebook shows it).  Needs matplotlib.
        """
        chosen = TraceIndex(self.traces).select(traces if traces is not None else labels)
        fig = plotting.figure(self.title, self.time, self.traces, chosen)
        if path is None:
            return fig
        plotting.save(fig, path)
        return None

    def summary(self) -> str:
        s = self.stats
        lines = [
            f"{self.title or 'circuit'}: simulated {self.time[-1] * 1e12:.4g} ps "
            f"in {s.wall_time:.3g} s",
            f"  steps: {s.accepted} accepted, {s.rejected} rejected; "
            f"{s.newton_per_step:.2f} Newton iterations per step",
            f"  traces: {len(self.traces)}; flux-quantum events: {len(self.events)}",
        ]
        if self.seed is not None:
            lines.append(f"  seed: {self.seed}" + (f"; spread drawn for {len(self.drawn)} elements"
                                                    if self.drawn else ""))
        if s.events_dropped:
            lines.append(f"  {s.events_dropped} more events counted but not kept (the run's limit)")
        events = self.events if isinstance(self.events, EventList) else EventList.of(self.events)
        per_element = events.by_element()
        # A biased source's own phase can run through many quanta: one short line for sources.
        sources = {k: v for k, v in per_element.items() if k[:1].upper() in "VPI"}
        junctions = [(k, v) for k, v in per_element.items() if k not in sources]
        for name, (count, net, first_times) in junctions[:20]:
            first = ", ".join(f"{t * 1e12:.3f}" for t in first_times)
            more = " ..." if count > 4 else ""
            lines.append(f"  {name}: {count} events (net {net:+d}) at {first}{more} ps")
        if len(junctions) > 20:
            lines.append(f"  ... and {len(junctions) - 20} more elements with events")
        if sources:
            counts = ", ".join(f"{name} {net:+d}" for name, (_, net, _) in list(sources.items())[:8])
            more = ", ..." if len(sources) > 8 else ""
            lines.append(f"  source phase counters (net quanta): {counts}{more}")
        return "\n".join(lines)


class Recorder:
    """Plans which state entries the loop records after every accepted step, and
    turns what it recorded into traces."""

    def __init__(self, built: BuiltCircuit, probes: list[Probe], start: float):
        self.built = built
        self.start = start
        self.columns: dict[tuple[str, int], int] = {}
        self.plan: list[tuple[str, list[tuple[int, float]], float]] = []
        for probe in probes or default_probes(built):
            self.plan.append(self._probe_columns(probe))

    def _column(self, source: str, index: int) -> int:
        return self.columns.setdefault((source, index), len(self.columns))

    def _probe_columns(self, probe: Probe) -> tuple[str, list[tuple[int, float]], float]:
        built = self.built
        if probe.quantity in ("v", "p"):
            source = "NodeVoltage" if probe.quantity == "v" else "NodePhase"
            unit = units.VOLTAGE if probe.quantity == "v" else 1.0
            terms = [(self._column(source, built.node_numbers[node] - 1), sign)
                     for node, sign in zip(probe.targets, (1.0, -1.0)) if node != GROUND]
            return probe.label, terms, unit
        source, unit = {"i": ("ElementCurrent", units.CURRENT), "ev": ("ElementVoltage", units.VOLTAGE),
                        "ep": ("ElementPhase", 1.0)}[probe.quantity]
        terms = []
        # Two targets: the first element's quantity minus the second's.
        for target, sign in zip(probe.targets, (1.0, -1.0)):
            index = built.element_index[target]
            if built.elements[index].kind == "K":
                continue
            indices = [index]
            if probe.quantity == "i":
                indices += built.companions.get(index, [])
            terms += [(self._column(source, k), sign * built.elements[k].orientation) for k in indices]
        return probe.label, terms, unit

    def channels(self) -> list[tuple[np.ndarray, int]]:
        """(array, index) per column, on the state arrays the models are bound to."""
        built = self.built
        arrays = {"NodePhase": built.node_block[0], "NodeVoltage": built.node_block[1],
                  "ElementPhase": built.element_block[0], "ElementVoltage": built.element_block[1],
                  "ElementCurrent": built.element_current}
        return [(arrays[source], index) for (source, index) in self.columns]

    def recorded_elements(self) -> list[int]:
        """Elements whose values the channels read (their Values run before recording)."""
        return sorted({index for (source, index) in self.columns if source.startswith("Element")})

    def finish(self, title: str, output: RunOutput, output_step: float | None) -> Result:
        table = output.channels
        traces = {}
        for label, terms, unit in self.plan:
            trace = np.zeros(len(output.times))
            for column, sign in terms:
                trace += sign * table[:, column]
            traces[label] = trace * unit
        elements = self.built.elements
        # A companion junction (a shifted junction's quasiparticle branch) repeats its owner's count.
        companions = {k for ks in self.built.companions.values() for k in ks}
        raw = output.events
        keep = ~np.isin(raw["element"], sorted(companions)) if companions else slice(None)
        index, direction = raw["element"][keep], raw["direction"][keep]
        orientation = np.array([e.orientation for e in elements], dtype=np.int8)
        event_list = EventList(raw["time"][keep] * units.TIME, index,
                               direction * orientation[index] if len(index) else direction,
                               [e.name for e in elements])
        return Result(title, output.times * units.TIME, traces, event_list, output.stats, output_step)


def default_probes(built: BuiltCircuit) -> list[Probe]:
    """Without .print cards: every top-level node voltage and every junction phase."""
    probes = []
    where = built.circuit.elements[0].where
    for node in built.node_numbers:
        if "." not in node:
            probes.append(Probe("v", (node,), f"V({node})", where))
    for component in built.circuit.elements:
        if component.kind == "B":
            probes.append(Probe("ep", (component.key,), f"P({component.name})", where))
    return probes


def arrival_times(phase: np.ndarray, time: np.ndarray, level: float = math.pi) -> np.ndarray:
    """Times where a phase trace rises through level, level + 2π, ...

    The crossing is located on the cubic through the four accepted points
    around it, which is as accurate as the integration itself; a straight
    line between two points would add an error of order h²·φ''/φ'.
    """
    times = []
    target = level
    n = len(phase)
    k = 0
    while k < n - 1:
        if phase[k] < target <= phase[k + 1]:
            lo = max(0, min(k - 1, n - 4))
            hi = min(n, lo + 4)
            ts = time[lo:hi] - time[k]
            coeffs = np.polyfit(ts, phase[lo:hi] - target, len(ts) - 1)
            a, b = 0.0, time[k + 1] - time[k]
            fa = np.polyval(coeffs, a)
            for _ in range(50):
                mid = 0.5 * (a + b)
                fm = np.polyval(coeffs, mid)
                if (fm > 0) == (fa > 0):
                    a, fa = mid, fm
                else:
                    b = mid
            times.append(time[k] + 0.5 * (a + b))
            target += 2.0 * math.pi
            continue
        k += 1
    return np.array(times)

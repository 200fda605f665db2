"""Traces on the accepted time points, flux-quantum events, CSV, plot, summary."""
from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from typing import Iterable

import numpy as np

from . import kvglobals, units
from .builder import BuiltCircuit
from .circuit import GROUND, Probe
from .engine import Stats


@dataclass(frozen=True)
class Event:
    """A flux quantum entering (+1) or leaving (-1) an element's phase."""

    time: float
    element: str
    direction: int


@dataclass
class Result:
    """Outcome of a transient run, all in SI units (s, V, A, rad)."""

    title: str
    time: np.ndarray
    traces: dict[str, np.ndarray]
    events: list[Event]
    stats: Stats
    output_step: float | None = None
    #: True for the partial result of a run stopped before its end (Ctrl-C).
    interrupted: bool = False

    def __getitem__(self, label: str) -> np.ndarray:
        for key, trace in self.traces.items():
            if key.lower() == label.lower():
                return trace
        raise KeyError(f"no trace '{label}'; traces: {', '.join(self.traces)}")

    def event_times(self, element: str, direction: int | None = None) -> np.ndarray:
        """Times of the flux-quantum events of one element (optionally one direction)."""
        name = element.lower()
        return np.array([e.time for e in self.events
                         if e.element.lower() == name and (direction is None or e.direction == direction)])

    def resample(self, step: float) -> tuple[np.ndarray, dict[str, np.ndarray]]:
        """Traces linearly interpolated onto a uniform grid of ``step`` seconds."""
        grid = np.arange(self.time[0], self.time[-1] + 0.5 * step, step)
        grid = grid[grid <= self.time[-1] * (1 + 1e-12)]
        return grid, {k: np.interp(grid, self.time, v) for k, v in self.traces.items()}

    def to_csv(self, path: str, step: float | None = None) -> None:
        """Write the traces; on the uniform output grid when ``step`` is given."""
        if step:
            time, traces = self.resample(step)
        else:
            time, traces = self.time, self.traces
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow(["time"] + list(traces))
            columns = [time] + list(traces.values())
            for row in zip(*columns):
                writer.writerow([f"{x:.9g}" for x in row])

    def plot(self, path: str, labels: Iterable[str] | None = None) -> None:
        """Save the traces as a PNG, one panel per kind of quantity (needs matplotlib)."""
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            raise RuntimeError("plotting needs matplotlib: pip install 'kivrun[plot]'") from None
        chosen = list(labels) if labels else list(self.traces)
        kinds = {"V": ("voltage (mV)", 1e3), "I": ("current (µA)", 1e6), "P": ("phase (rad)", 1.0)}
        groups = [k for k in kinds if any(lab.startswith(k) for lab in chosen)]
        fig, axes = plt.subplots(len(groups) or 1, 1, sharex=True, figsize=(9, 2.6 * max(len(groups), 1)),
                                 squeeze=False)
        for axis, kind in zip(axes[:, 0], groups):
            ylabel, scale = kinds[kind]
            for lab in chosen:
                if lab.startswith(kind):
                    axis.plot(self.time * 1e12, self.traces[lab] * scale, label=lab, lw=1)
            axis.set_ylabel(ylabel)
            if len(chosen) <= 12:
                axis.legend(fontsize="small", loc="upper left")
        axes[-1, 0].set_xlabel("time (ps)")
        axes[0, 0].set_title(self.title or "kivrun transient")
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)

    def summary(self) -> str:
        s = self.stats
        lines = [
            f"{self.title or 'circuit'}: simulated {self.time[-1] * 1e12:.4g} ps "
            f"in {s.wall_time:.3g} s",
            f"  steps: {s.accepted} accepted, {s.rejected} rejected; "
            f"{s.newton_per_step:.2f} Newton iterations per step",
            f"  traces: {len(self.traces)}; flux-quantum events: {len(self.events)}",
        ]
        per_element: dict[str, list[Event]] = {}
        for event in self.events:
            per_element.setdefault(event.element, []).append(event)
        # Junctions first: a biased source's own phase can run through many quanta.
        ordered = sorted(per_element.items(), key=lambda item: not item[0].upper().startswith("B"))
        for name, events in ordered[:20]:
            net = sum(e.direction for e in events)
            first = ", ".join(f"{e.time * 1e12:.3f}" for e in events[:4])
            more = " ..." if len(events) > 4 else ""
            lines.append(f"  {name}: {len(events)} events (net {net:+d}) at {first}{more} ps")
        if len(per_element) > 20:
            lines.append(f"  ... and {len(per_element) - 20} more elements with events")
        return "\n".join(lines)


class Recorder:
    """Copies the probed quantities after every accepted step into a growing table."""

    def __init__(self, built: BuiltCircuit, probes: list[Probe], start: float):
        self.built = built
        self.start = start
        self.columns: dict[tuple[str, int], int] = {}
        self.plan: list[tuple[str, list[tuple[int, float]], float]] = []
        for probe in probes or default_probes(built):
            self.plan.append(self._probe_columns(probe))
        self.gathers = self._gathers()
        width = len(self.columns)
        self.table = np.zeros((1024, width))
        self.times = np.zeros(1024)
        self.rows = 0

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
        index = built.element_index[probe.targets[0]]
        element = built.elements[index]
        source, unit = {"i": ("ElementCurrent", units.CURRENT), "ev": ("ElementVoltage", units.VOLTAGE),
                        "ep": ("ElementPhase", 1.0)}[probe.quantity]
        indices = [index]
        if probe.quantity == "i":
            indices += built.companions.get(index, [])
        terms = [(self._column(source, k), built.elements[k].orientation) for k in indices]
        if element.kind == "K":
            terms = []
        return probe.label, terms, unit

    def _gathers(self) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        by_source: dict[str, tuple[list[int], list[int]]] = {}
        for (source, index), column in self.columns.items():
            entry = by_source.setdefault(source, ([], []))
            entry[0].append(index)
            entry[1].append(column)
        # The state arrays stay the same objects for the whole run.
        return [(getattr(kvglobals, source), np.array(idx, dtype=np.intp), np.array(cols, dtype=np.intp))
                for source, (idx, cols) in by_source.items()]

    def __call__(self, t: float) -> None:
        if t < self.start:
            return
        if self.rows == len(self.times):
            self.table = np.concatenate([self.table, np.zeros_like(self.table)])
            self.times = np.concatenate([self.times, np.zeros_like(self.times)])
        row = self.table[self.rows]
        for values, indices, columns in self.gathers:
            row[columns] = values[indices]
        self.times[self.rows] = t
        self.rows += 1

    def finish(self, title: str, events: list[tuple[float, int, int]], stats: Stats,
               output_step: float | None) -> Result:
        table = self.table[: self.rows]
        traces = {}
        for label, terms, unit in self.plan:
            trace = np.zeros(self.rows)
            for column, sign in terms:
                trace += sign * table[:, column]
            traces[label] = trace * unit
        elements = self.built.elements
        event_list = [Event(t * units.TIME, elements[e].name, int(d * elements[e].orientation))
                      for t, e, d in sorted(events)]
        return Result(title, self.times[: self.rows] * units.TIME, traces, event_list, stats, output_step)


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

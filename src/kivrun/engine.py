"""Transient engine: the compiled time loop (``kivrun.Transient``) and its settings.

The loop itself (variable-step BDF on the node phases, predictor and local
error control, Newton with KLU, breakpoints, source waveforms, flux-quantum
events and recording) lives in ``transient/``; this module hands it a
built circuit and settings and unpacks what it returns.  The algorithm is
described in ``docs/simulator.md``.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field, fields
from typing import Callable

import numpy as np

from . import units
from .builder import BuiltCircuit
from .errors import SimulationError

#: One recorded flux-quantum event: time (core units), element index, ±1.
EVENT_DTYPE = np.dtype([("time", "<f8"), ("element", "<i4"), ("direction", "<i4")])


@dataclass
class Settings:
    """Run settings in core units (time unit 1 ps)."""

    stop: float
    start: float = 0.0
    #: Local error bound per step on node phases, in radians ...
    tolerance: float = 1e-4
    #: ... or this fraction of the phase where that is larger (phases of millions of quanta).
    relative_tolerance: float = 1e-9
    max_step: float = math.inf
    #: A positive value runs every step at this length, without error control.
    fixed_step: float = 0.0
    #: Length of the initial source ramp (0: sources start at full value).
    ramp: float = 0.0
    initial_step: float = 1e-2
    min_step: float = 1e-9
    max_newton: int = 8
    #: Order of the BDF formula (2 or 3).
    order: int = 2
    breakpoints: tuple[float, ...] = ()
    #: Events kept per run; a source's counter can run through millions.
    max_events: int = 1_000_000
    #: Measure the Newton error each step leaves by iterating on (tests only: slow).
    audit_newton: bool = False
    #: Keep a factorisation across iterations and steps while Newton contracts.
    reuse_factorization: bool = True
    #: Time the model sweeps and KLU apart (Stats.model_seconds, lu_seconds).
    profile: bool = False
    #: Run every junction's Values after every step (else only near a count).
    values_every_step: bool = False


@dataclass
class Stats:
    accepted: int = 0
    rejected: int = 0
    newton_failures: int = 0
    newton_iterations: int = 0
    factorizations: int = 0
    refactorizations: int = 0
    solves: int = 0
    events_dropped: int = 0
    #: Models whose right-hand side the chord iterations form as one sparse product.
    linear_models: int = 0
    #: Junctions the chord iterations sweep through copies of their models.
    copied_models: int = 0
    #: Largest Newton error left in a step, on node phases (with audit_newton).
    newton_leftover: float = 0.0
    #: With profile: seconds in the models' operations and in KLU.
    model_seconds: float = 0.0
    lu_seconds: float = 0.0
    wall_time: float = 0.0

    @property
    def newton_per_step(self) -> float:
        return self.newton_iterations / max(self.accepted, 1)


@dataclass
class _NativeSettings(Settings):
    """What the compiled loop reads: the settings plus facts about the circuit."""

    time_unit: float = units.TIME
    #: A tunnel junction's Jacobian is the quasi-static slope Ic·cos φ, so
    #: Newton converges only linearly, and it commits its history at the
    #: phase its residual last saw.
    linear_newton: bool = False
    resync_before_commit: bool = False


@dataclass
class RunOutput:
    """What one run returns: accepted times, recorded channels, events, counters."""

    times: np.ndarray
    channels: np.ndarray
    events: np.ndarray
    stats: Stats
    interrupted: bool = False
    #: The last system matrix factored (pattern order), for cost measurements.
    system: np.ndarray = field(default_factory=lambda: np.zeros(0))


def ramp_factor(t: float, ramp: float) -> float:
    """Smooth 0→1 step over [0, ramp]: no kink for the step control to trip on."""
    if ramp <= 0.0 or t >= ramp:
        return 1.0
    x = t / ramp
    return x * x * (3.0 - 2.0 * x)


#: Models whose values are pure functions of the node state: the loop runs
#: their Values only when recording them, and at the end.
STATELESS_MODELS = frozenset({"ResistorModel", "CapacitorModel", "InductorModel", "InductorImpedanceModel",
                              "CurrentSourceModel", "MutualInductanceModel", "VCVSModel", "CCVSModel",
                              "VCCSModel", "CCCSModel"})


#: Junctions whose element phase is φ_i − φ_j plus the parameter at this
#: position (None: no shift): their Values may wait until a count is near.
WATCHABLE_JUNCTIONS = {"JunctionModel": None, "JunctionRSJNModel": None, "JunctionRSJPHModel": 3,
                       "JunctionPWLModel": 6}


def _stepwise(built: BuiltCircuit, recorded: set[int], every_step: bool) -> list:
    """Models whose Values run after each step: an index, or (index, i, j, shift)
    for a junction whose counter alone needs them (the loop watches its phase)."""
    out: list = []
    for k, element in enumerate(built.elements):
        name = type(element.model).__name__
        if name in STATELESS_MODELS:
            continue
        terminals = getattr(element, "terminals", None)
        if every_step or name not in WATCHABLE_JUNCTIONS or k in recorded or not terminals or not terminals[0]:
            out.append(k)
            continue
        at = WATCHABLE_JUNCTIONS[name]
        out.append((k, terminals[0], terminals[1], float(element.params[at]) if at is not None else 0.0))
    return out


def run(built: BuiltCircuit, settings: Settings, channels: list[tuple[np.ndarray, int]],
        progress: Callable[[float], None] | None = None,
        recorded_elements: list[int] | None = None) -> RunOutput:
    """One run of ``built`` from rest; raises SimulationError, or KeyboardInterrupt
    with the output so far in ``exc.output``."""
    import time

    from . import Transient

    tunnel = any(type(e.model).__name__ == "JunctionTJMModel" for e in built.elements)
    native = _NativeSettings(**{f.name: getattr(settings, f.name) for f in fields(Settings)},
                             linear_newton=tunnel, resync_before_commit=tunnel)
    # A fixed step is the user's choice of resolution: only the end is a breakpoint.
    corners = () if settings.fixed_step else tuple(settings.breakpoints) + (settings.ramp,)
    breakpoints = np.array(sorted(set(corners)), dtype=float)
    sources = [(s.model, *s.waveform.native(), s.scale) for s in built.varying_sources]
    stepwise = _stepwise(built, set(recorded_elements or ()), settings.values_every_step)
    began = time.perf_counter()
    out = Transient.run([e.model for e in built.elements], sources, built.node_block,
                        built.element_block, built.flag_block, built.element_counts,
                        built.col_pointers, built.row_indices, built.n_nodes, breakpoints,
                        channels, stepwise, recorded_elements or [], native, progress)
    stats = Stats(**out["stats"], wall_time=time.perf_counter() - began)
    table = np.frombuffer(out["recorded"], dtype=float).reshape(-1, out["width"])
    output = RunOutput(table[:, 0], table[:, 1:], np.frombuffer(out["events"], dtype=EVENT_DTYPE),
                       stats, interrupted=out["status"] == "interrupted",
                       system=np.frombuffer(out["system"], dtype=float))
    if out["status"] == "failed":
        raise SimulationError(f"{out['message']} (at t = {out['failed_at'] * units.TIME:.6g} s)")
    if output.interrupted:
        interrupt = KeyboardInterrupt()
        interrupt.output = output  # type: ignore[attr-defined]
        raise interrupt
    return output


def hermite_crossing(y0: float, y1: float, slope0: float, slope1: float, level: float) -> float:
    """Where in [0, 1] the cubic Hermite interpolant of (y0, slope0), (y1, slope1)
    (slopes per unit interval) reaches ``level``: the loop's own event-timing rule."""
    from . import Transient

    return Transient.hermite_crossing(y0, y1, slope0, slope1, level)

"""Transient engine: variable-step BDF2 on the node phases with Newton solves.

The unknowns are phases φ; voltages V = dφ/dt and their derivatives
D = dV/dt follow from the phase history by the same formula,
variable-step BDF2 (stiffly stable, so overdamped junctions do not ring):

    V(t+h) = a0·φ(t+h) + a1·φ(t) + a2·φ(t-h')
    D(t+h) = a0·V(t+h) + a1·V(t) + a2·V(t-h')

with ω = h/h', a0 = (1+2ω)/((1+ω)h), a1 = -(1+ω)/h, a2 = ω²/((1+ω)h).  Hence
dV/dφ = a0 and dD/dφ = a0² for the step, the coefficients the core reads.

The predictor is the quadratic through the last three accepted points; its
distance to the corrector, times h/(t_{n+1} - t_{n-2}), estimates the local
error (Milne's device), which the step control keeps below ``tolerance``
radians on every node phase (and core-unit branch current).  The circuit starts at rest, so the history
before t = 0 is the resting state and the first step is already BDF2.
"""
from __future__ import annotations

import math
import time as _time
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from . import SimulationParameters as SP
from . import kvglobals
from .builder import BuiltCircuit
from .errors import SimulationError


@dataclass
class Settings:
    """Run settings in core units (time unit 1 ps)."""

    stop: float
    start: float = 0.0
    #: Local error bound per step on node phases, in radians.
    tolerance: float = 1e-3
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


@dataclass
class Stats:
    accepted: int = 0
    rejected: int = 0
    newton_failures: int = 0
    newton_iterations: int = 0
    wall_time: float = 0.0

    @property
    def newton_per_step(self) -> float:
        return self.newton_iterations / max(self.accepted, 1)


def ramp_factor(t: float, ramp: float) -> float:
    """Smooth 0→1 step over [0, ramp]: no kink for the step control to trip on."""
    if ramp <= 0.0 or t >= ramp:
        return 1.0
    x = t / ramp
    return x * x * (3.0 - 2.0 * x)


class Engine:
    """Owns the matrices and state vectors of one transient run."""

    def __init__(self, built: BuiltCircuit, settings: Settings, on_accept: Callable[[float], None],
                 progress: Callable[[float], None] | None = None):
        from . import Factorist, Stampworks

        self.core = Stampworks
        self.built = built
        self.settings = settings
        self.on_accept = on_accept
        self.progress = progress
        self.stats = Stats()
        n, nnz = built.n_unknowns, built.nnz
        self.n_nodes = built.n_nodes
        self.a0_matrix = np.zeros(nnz)
        self.a1_matrix = np.zeros(nnz)
        self.a2_matrix = np.zeros(nnz)
        self.a01_matrix = np.zeros(nnz)
        self.system = np.zeros(nnz)
        self.rhs = np.zeros(n)
        self.solver = Factorist.Factorist()
        self.solver.analyze(n, built.col_pointers, built.row_indices)
        # φ history (newest first), voltage history, and work vectors.
        self.order = settings.order
        self.phases = [np.zeros(n) for _ in range(self.order + 1)]
        self.voltages = [np.zeros(n) for _ in range(self.order)]
        self.estimate = np.zeros(n)
        self.voltage = np.zeros(n)
        self.dvoltage = np.zeros(n)
        self.dvoltage_prev = np.zeros(n)
        self.predicted = np.zeros(n)
        self.hist_v = np.zeros(n)
        self.hist_d = np.zeros(n)
        self.work = np.zeros(n)
        self.prev_element_phase = np.zeros(len(built.elements))
        self.prev_element_voltage = np.zeros(len(built.elements))
        self.events: list[tuple[float, int, int]] = []

    # -- set-up -----------------------------------------------------------
    def _bind_state(self) -> None:
        SP.X = [self.phases[0], self.estimate]
        SP.Xind = 1
        SP.DX = self.voltage
        SP.DDX = self.dvoltage
        SP.DXprev = self.voltages[0]
        SP.InterpCoeffDt = [1.0]
        SP.InterpCoeffDDt = [1.0]
        SP.TimeSteps = [1.0]
        SP.INITIAL_RAMP = self.settings.ramp
        SP.InitialSmoothFactor = ramp_factor(0.0, self.settings.ramp)
        kvglobals.CurrentTime = 0.0
        kvglobals.OptimizeSimulation = False

    def run(self) -> Stats:
        settings = self.settings
        began = _time.perf_counter()
        self._bind_state()
        # Static elements never change, so A0 is built once: a rebuild would
        # also restart the history of tunnel junctions.
        self.core.BuildStaticMatrix(self.a0_matrix)
        # A fixed step is the user's choice of resolution: only the end is a breakpoint.
        corners = () if settings.fixed_step else settings.breakpoints + (settings.ramp,)
        breakpoints = sorted({b for b in corners if 0.0 < b < settings.stop} | {settings.stop})
        next_bp = 0
        h = settings.fixed_step or min(settings.initial_step, settings.max_step)
        # At rest before t = 0: any history spacing is exact.
        self.times = [-k * h for k in range(self.order + 1)]
        t = 0.0
        last_report = 0
        self.on_accept(0.0)
        while t < settings.stop * (1.0 - 1e-14):
            while breakpoints[next_bp] <= t * (1.0 + 1e-14) + 1e-15:
                next_bp += 1
            h = self._clip(t, h, breakpoints[next_bp])
            accepted, h_next = self._step(t, h)
            if not accepted:
                if h_next < settings.min_step:
                    raise SimulationError(f"time step underflow at t = {t:.6g} ps")
                h = h_next
                continue
            t = self.times[0]
            self.on_accept(t)
            h = h_next
            if self.progress is not None and self.stats.accepted - last_report >= 200:
                last_report = self.stats.accepted
                self.progress(t / settings.stop)
        self.stats.wall_time = _time.perf_counter() - began
        return self.stats

    def _clip(self, t: float, h: float, breakpoint: float) -> float:
        h = min(h, self.settings.max_step)
        remaining = breakpoint - t
        if h >= remaining:
            return remaining
        if h > 0.5 * remaining and not self.settings.fixed_step:
            return 0.5 * remaining  # two even steps rather than a sliver
        return h

    # -- one step -----------------------------------------------------------
    def _coefficients(self, t_new: float) -> tuple[list[float], list[float]]:
        """BDF weights (derivative at t_new of the interpolant through t_new and
        the last ``order`` points) and predictor weights (extrapolation of the
        polynomial through the last ``order + 1`` points)."""
        past = self.times
        k = self.order
        nodes = [t_new] + past[:k]
        bdf = [sum(1.0 / (t_new - tm) for tm in nodes[1:])]
        for j in range(1, k + 1):
            num = 1.0
            den = 1.0
            for m in range(k + 1):
                if m != j:
                    den *= nodes[j] - nodes[m]
                    if m:
                        num *= t_new - nodes[m]
            bdf.append(num / den)
        predictor = []
        for j in range(k + 1):
            weight = 1.0
            for m in range(k + 1):
                if m != j:
                    weight *= (t_new - past[m]) / (past[j] - past[m])
            predictor.append(weight)
        return bdf, predictor

    def _step(self, t: float, h: float) -> tuple[bool, float]:
        settings = self.settings
        t_new = t + h
        bdf, predictor = self._coefficients(t_new)
        a0 = bdf[0]
        est, work = self.estimate, self.work
        np.multiply(self.phases[0], predictor[0], out=est)
        for weight, phase in zip(predictor[1:], self.phases[1:]):
            np.multiply(phase, weight, out=work)
            est += work
        np.copyto(self.predicted, est)
        # The parts of V and D that come from the history are fixed for the step.
        np.multiply(self.phases[0], bdf[1], out=self.hist_v)
        np.multiply(self.voltages[0], bdf[1], out=self.hist_d)
        for weight, phase, voltage in zip(bdf[2:], self.phases[1:], self.voltages[1:]):
            np.multiply(phase, weight, out=work)
            self.hist_v += work
            np.multiply(voltage, weight, out=work)
            self.hist_d += work
        np.multiply(est, a0, out=self.voltage)
        self.voltage += self.hist_v
        np.multiply(self.voltage, a0, out=self.dvoltage)
        self.dvoltage += self.hist_d

        SP.InterpCoeffDt[0] = a0
        SP.InterpCoeffDDt[0] = a0 * a0
        SP.TimeSteps[0] = h
        kvglobals.CurrentTime = t_new
        SP.InitialSmoothFactor = ramp_factor(t_new, settings.ramp)
        for source in self.built.varying_sources:
            source.UpdateParameters()

        if not self._newton(a0):
            self.stats.newton_failures += 1
            return False, 0.25 * h
        if settings.fixed_step:
            self._accept(t_new, h)
            return True, settings.fixed_step
        # Branch currents count too: behind an ideal voltage source the phases
        # are exact, and only the source's current shows the junction's dynamics.
        np.subtract(est, self.predicted, out=work)
        np.abs(work, out=work)
        error = float(work.max()) * h / (t_new - self.times[self.order])
        ratio = error / settings.tolerance
        factor = 2.0 if ratio < 1e-3 else 0.9 * ratio ** (-1.0 / (self.order + 1))
        if ratio > 1.0:
            self.stats.rejected += 1
            return False, h * min(0.9, max(0.1, factor))
        self._accept(t_new, h)
        return True, h * min(2.0, max(0.2, factor))

    def _newton(self, a0: float) -> bool:
        core, solver = self.core, self.solver
        a1m, a2m, a01, system, rhs = self.a1_matrix, self.a2_matrix, self.a01_matrix, self.system, self.rhs
        est, voltage, dvoltage = self.estimate, self.voltage, self.dvoltage
        work = self.work
        a0sq = a0 * a0
        limit = self.newton_limit
        for iteration in range(self.settings.max_newton):
            a2m.fill(0.0)
            rhs.fill(0.0)
            if iteration == 0:
                a1m.fill(0.0)
                core.BuildMatrix(a1m, a2m, rhs)
                np.add(self.a0_matrix, a1m, out=a01)
            else:
                core.UpdateMatrix(a2m, rhs)
            np.add(a01, a2m, out=system)
            solver.solveSparseMatrix(system, rhs)
            self.stats.newton_iterations += 1
            est += rhs
            np.multiply(rhs, a0, out=work)
            voltage += work
            work *= a0
            dvoltage += work
            np.abs(rhs, out=work)
            change = work.max()
            if not change <= 1e30:  # NaN or overflow: the step is hopeless
                return False
            if change <= limit:
                return True
        return False

    @property
    def newton_limit(self) -> float:
        """Largest last correction accepted: its square (the size of the
        remaining Newton error) stays 1 % of the local error bound."""
        tol = self.settings.tolerance
        if self.settings.fixed_step:
            return 1e-4 * tol
        return 0.1 * math.sqrt(tol)

    def _accept(self, t_new: float, h: float) -> None:
        self.stats.accepted += 1
        # Rotate the histories: the oldest buffers become the new work vectors.
        oldest_phase = self.phases.pop()
        self.phases.insert(0, self.estimate)
        self.estimate = oldest_phase
        oldest_voltage = self.voltages.pop()
        self.voltages.insert(0, self.voltage)
        self.voltage = oldest_voltage
        self.dvoltage, self.dvoltage_prev = self.dvoltage_prev, self.dvoltage
        self.times.pop()
        self.times.insert(0, t_new)
        SP.X[0] = self.phases[0]
        SP.X[1] = self.estimate
        SP.DX = self.voltage
        SP.DDX = self.dvoltage
        SP.DXprev = self.voltages[0]
        np.copyto(kvglobals.NodePhase, self.phases[0])
        np.copyto(kvglobals.NodeVoltage, self.voltages[0])
        np.copyto(kvglobals.NodeDVoltage, self.dvoltage_prev)
        np.copyto(self.prev_element_phase, kvglobals.ElementPhase)
        np.copyto(self.prev_element_voltage, kvglobals.ElementVoltage)
        self.core.UpdateValues()
        inc, dec = kvglobals.ElementInc, kvglobals.ElementDec
        if inc.any() or dec.any():
            self._events(t_new, h)

    def _events(self, t_new: float, h: float) -> None:
        """Record flux-quantum events, timed where the phase crossed (n ∓ ½)·2π."""
        two_pi = 2.0 * math.pi
        phase, voltage = kvglobals.ElementPhase, kvglobals.ElementVoltage
        counts = kvglobals.ElementN
        for direction, flags in ((1, kvglobals.ElementInc), (-1, kvglobals.ElementDec)):
            for e in np.flatnonzero(flags):
                threshold = (counts[e] - 0.5 * direction) * two_pi
                fraction = hermite_crossing(self.prev_element_phase[e], phase[e],
                                            self.prev_element_voltage[e] * h, voltage[e] * h, threshold)
                self.events.append((t_new - h + h * fraction, int(e), direction))


def hermite_crossing(y0: float, y1: float, slope0: float, slope1: float, level: float) -> float:
    """Where in [0, 1] the cubic Hermite interpolant of (y0, slope0), (y1, slope1)
    (slopes per unit interval) reaches ``level``; bisection on a bracketing sign change."""
    def value(s: float) -> float:
        s2, s3 = s * s, s * s * s
        return ((2 * s3 - 3 * s2 + 1) * y0 + (s3 - 2 * s2 + s) * slope0
                + (-2 * s3 + 3 * s2) * y1 + (s3 - s2) * slope1 - level)

    lo, hi = 0.0, 1.0
    f_lo = value(lo)
    if f_lo * value(hi) > 0:
        span = y1 - y0
        return min(1.0, max(0.0, (level - y0) / span)) if span else 1.0
    for _ in range(40):
        mid = 0.5 * (lo + hi)
        f_mid = value(mid)
        if (f_mid > 0) == (f_lo > 0):
            lo, f_lo = mid, f_mid
        else:
            hi = mid
    return 0.5 * (lo + hi)

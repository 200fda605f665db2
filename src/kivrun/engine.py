"""Transient engine: variable-step BDF on the node phases with Newton solves.

The unknowns are phases φ; voltages V = dφ/dt and their derivatives
D = dV/dt follow from the phase history by the same formula, variable-step
BDF2 by default (stiffly stable, so overdamped junctions do not ring):

    V(t+h) = a0·φ(t+h) + a1·φ(t) + a2·φ(t-h')
    D(t+h) = a0·V(t+h) + a1·V(t) + a2·V(t-h')

with ω = h/h', a0 = (1+2ω)/((1+ω)h), a1 = -(1+ω)/h, a2 = ω²/((1+ω)h).  Hence
dV/dφ = a0 and dD/dφ = a0² for the step, the coefficients the core reads.
Order 3 uses the same scheme with one more history point.

The predictor is the polynomial through the last order + 1 accepted points;
its distance to the corrector, times h/(t_{n+1} - t_{n-order}), estimates
the local error (Milne's device), which the step control keeps below
``tolerance`` radians on every node phase.  The circuit starts at rest, so
the history before t = 0 is the resting state and the first step already
uses the full formula.
"""
from __future__ import annotations

import math
import time as _time
from dataclasses import dataclass
from typing import Callable

import numpy as np
from numpy import count_nonzero

from . import SimulationParameters as SP
from . import kvglobals
from .builder import BuiltCircuit
from .errors import SimulationError

largest = np.maximum.reduce
#: Steps a measured Newton contraction rate stays in use.
RATE_LIFETIME = 4
#: PHASE_HISTERESIS the engine runs with (see _bind_state).
COUNTER_DEAD_BAND = 0.5


@dataclass
class Settings:
    """Run settings in core units (time unit 1 ps)."""

    stop: float
    start: float = 0.0
    #: Local error bound per step on node phases, in radians.
    tolerance: float = 1e-4
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
        self.a2_matrix = np.zeros(nnz)
        self.a01_matrix = np.zeros(nnz)
        self.system = np.zeros(nnz)
        self.rhs = np.zeros(n)
        self.solver = Factorist.Factorist()
        self.solver.analyze(n, built.col_pointers, built.row_indices)
        # The history lives in the rows of one matrix, newest first: order + 1
        # phase rows, then order voltage rows.  The predicted estimate, its
        # voltage and its voltage derivative come out of one matrix product.
        k = self.order = settings.order
        self.history = np.zeros((2 * k + 1, n))
        self.newest_phase = self.history[0]
        self.newest_voltage = self.history[k + 1]
        self.weights = np.zeros((4, 2 * k + 1))
        self.flat_weights = self.weights.reshape(-1)
        # Rows: estimate, voltage, voltage derivative (updated together by
        # Newton), and the predictor kept for the error estimate.
        self.state = np.zeros((4, n))
        self.estimate, self.voltage, self.dvoltage, self.predicted = self.state
        self.newton_state = self.state[:3]
        self.newton_gain = np.ones((3, 1))
        self.newton_work = np.zeros((3, n))
        self.work = np.zeros(n)
        self.prev_elements = np.zeros_like(built.element_block)
        self.prev_element_phase, self.prev_element_voltage = self.prev_elements
        self.prev_counts = np.zeros(len(built.elements), dtype=np.int32)
        self.events: list[tuple[float, int, int]] = []
        # Tunnel junctions commit their history at the phase their residual
        # last saw, which is one Newton correction behind the accepted phase.
        self.resync_before_commit = any(type(e.model).__name__ == "JunctionTJMModel"
                                        for e in built.elements)
        # Their Jacobian is the quasi-static slope Ic·cos φ, not the derivative
        # at the step's frozen history, so Newton converges only linearly.
        self.linear_newton = self.resync_before_commit
        # Contraction rate last measured (at BDF coefficient a0) and how many
        # one-iteration steps have leaned on it since.
        self.newton_rate, self.rate_a0, self.rate_age = 1.0, 1.0, RATE_LIFETIME

    # -- set-up -----------------------------------------------------------
    def _bind_state(self) -> None:
        SP.X = [self.newest_phase, self.estimate]
        SP.Xind = 1
        SP.DX = self.voltage
        SP.DDX = self.dvoltage
        SP.DXprev = self.newest_voltage
        SP.InterpCoeffDt = [1.0]
        SP.InterpCoeffDDt = [1.0]
        SP.TimeSteps = [1.0]
        SP.INITIAL_RAMP = self.settings.ramp
        # With a dead band a long step can leave a counter behind its phase
        # until a later step; at 0.5 the band vanishes and every counter is
        # the nearest whole number of quanta after every step, so an event
        # is always found in the step where its phase crossed (n ± ½)·2π.
        SP.PHASE_HISTERESIS = COUNTER_DEAD_BAND
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
        if k == 2:
            # The common case in closed form (this runs once per step).
            t0, t1, t2 = past
            h, h1 = t_new - t0, t0 - t1
            omega = h / h1
            bdf2 = [(1.0 + 2.0 * omega) / ((1.0 + omega) * h), -(1.0 + omega) / h,
                    omega * omega / ((1.0 + omega) * h)]
            d01, d02, d12 = t0 - t1, t0 - t2, t1 - t2
            u0, u1, u2 = t_new - t0, t_new - t1, t_new - t2
            return bdf2, [u1 * u2 / (d01 * d02), -u0 * u2 / (d01 * d12), u0 * u1 / (d02 * d12)]
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
        k = self.order
        # est = Σ c_j φ_j;  V = a0·est + Σ b_j φ_j;  D = a0·V + Σ b_j V_j.
        v_weights = [a0 * c + b for c, b in zip(predictor, bdf[1:] + [0.0])]
        padding = [0.0] * k
        phase_weights = predictor + padding
        self.flat_weights[:] = (phase_weights + v_weights + padding
                                + [a0 * w for w in v_weights] + bdf[1:] + phase_weights)
        np.dot(self.weights, self.history, out=self.state)
        est, work = self.estimate, self.work

        SP.InterpCoeffDt[0] = a0
        SP.InterpCoeffDDt[0] = a0 * a0
        SP.TimeSteps[0] = h
        kvglobals.CurrentTime = t_new
        SP.InitialSmoothFactor = ramp_factor(t_new, settings.ramp)
        for source in self.built.varying_sources:
            source.UpdateParameters()

        iterations = self._newton(a0)
        if not iterations:
            self.stats.newton_failures += 1
            return False, 0.25 * h
        if settings.fixed_step:
            self._accept(t_new, h)
            return True, settings.fixed_step
        # Node phases only: branch currents are algebraic and may jump at a
        # source's corner (a capacitive current), where no step would do.
        # After a single iteration, work already holds |corrector - predictor|.
        nodes = work[: self.n_nodes]
        if iterations > 1:
            np.subtract(est, self.predicted, out=work)
            np.abs(nodes, out=nodes)
        error = float(largest(nodes)) * h / (t_new - self.times[self.order]) if self.n_nodes else 0.0
        ratio = error / settings.tolerance
        factor = 2.0 if ratio < 1e-3 else 0.9 * ratio ** (-1.0 / (self.order + 1))
        if ratio > 1.0:
            self.stats.rejected += 1
            return False, h * min(0.9, max(0.1, factor))
        self._accept(t_new, h)
        return True, h * min(2.0, max(0.2, factor))

    def _newton(self, a0: float) -> int:
        """Newton iterations of one step; the number made, or 0 on failure.

        The drivers only add, so A1 is accumulated onto a copy of A0 and, in
        later iterations, A2 onto a copy of A0 + A1: the system matrix
        A0 + A1 + A2 without separate clearing and adding passes.

        With tunnel junctions convergence is linear, and a small last
        correction alone does not bound the error left: that takes the
        contraction rate too, measured between iterations (or, for a step
        that stops after one, taken from a recent step).
        """
        core, solver = self.core, self.solver
        a2m, a01, system, rhs = self.a2_matrix, self.a01_matrix, self.system, self.rhs
        state, gain, state_work = self.newton_state, self.newton_gain, self.newton_work
        gain[1, 0] = a0
        gain[2, 0] = a0 * a0
        work = self.work
        limit = self.newton_limit
        bound = self.newton_error_bound
        previous = 0.0
        for iteration in range(self.settings.max_newton):
            rhs.fill(0.0)
            if iteration == 0:
                a01[...] = self.a0_matrix
                a2m.fill(0.0)
                core.BuildMatrix(a01, a2m, rhs)
                np.add(a01, a2m, out=system)
            else:
                system[...] = a01
                core.UpdateMatrix(system, rhs)
            try:
                solver.solveSparseMatrix(system, rhs)
            except np.linalg.LinAlgError:
                if not self.stats.newton_iterations:
                    raise SimulationError(
                        "the circuit matrix is singular (a loop of voltage or phase sources, "
                        "or part of the circuit without a path to ground?)") from None
                return 0  # a shorter step may do
            self.stats.newton_iterations += 1
            # φ moves by Δ, V by a0·Δ and D by a0²·Δ.
            np.multiply(gain, rhs, out=state_work)
            state += state_work
            np.abs(rhs, out=work)
            change = largest(work)
            if not change <= 1e30:  # NaN or overflow: the step is hopeless
                return 0
            if previous and self.linear_newton:
                self.newton_rate, self.rate_a0, self.rate_age = change / previous, a0, 0
            if change <= limit:
                if not self.linear_newton or change <= bound:
                    return iteration + 1
                # Linear convergence at rate r leaves change·r/(1 - r).
                rate = self.newton_rate if previous else self._expected_rate(a0)
                if rate < 1.0 and change * rate <= bound * (1.0 - rate):
                    return iteration + 1
            elif self.linear_newton and previous and change >= previous and iteration >= 2:
                return 0  # not contracting: a shorter step will
            previous = change
        return 0

    @property
    def newton_limit(self) -> float:
        """Largest last correction accepted: its square (the size of the
        remaining Newton error) stays 1 % of the local error bound."""
        tol = self.settings.tolerance
        if self.settings.fixed_step:
            return 1e-4 * tol
        return 0.1 * math.sqrt(tol)

    def _expected_rate(self, a0: float) -> float:
        """Contraction rate for a step at a0, from a recent measurement.

        The Jacobian's error relative to the capacitive and resistive terms
        grows like h² and h: scale by the larger, and by 2 for the motion of
        the phase since; a stale measurement says nothing.
        """
        self.rate_age += 1
        if self.rate_age > RATE_LIFETIME:
            return 1.0
        ratio = self.rate_a0 / a0
        return 2.0 * self.newton_rate * max(ratio, ratio * ratio)

    @property
    def newton_error_bound(self) -> float:
        """Newton error left in an accepted step when convergence is linear."""
        if self.settings.fixed_step:
            return self.newton_limit
        return 1e-2 * self.settings.tolerance

    def _accept(self, t_new: float, h: float) -> None:
        self.stats.accepted += 1
        if self.resync_before_commit:
            self.rhs.fill(0.0)
            self.core.UpdateRHS(self.rhs)
        # Shift the history down one row (NumPy copies overlapping rows safely).
        history, k = self.history, self.order
        history[1: k + 1] = history[:k]
        history[k + 2:] = history[k + 1: 2 * k]
        self.newest_phase[...] = self.estimate
        self.newest_voltage[...] = self.voltage
        self.times.pop()
        self.times.insert(0, t_new)
        # Phase, voltage and derivative in one copy (rows of both blocks).
        self.built.node_block[...] = self.newton_state
        self.prev_elements[...] = self.built.element_block
        self.prev_counts[...] = kvglobals.ElementN
        self.core.UpdateValues()
        if count_nonzero(self.built.flag_block):
            self._events(t_new, h)

    def _events(self, t_new: float, h: float) -> None:
        """Record flux-quantum events, each timed where the phase crossed (n ∓ ½)·2π.

        A step may carry a phase over several quanta (a junction behind a
        voltage source is integrated exactly with long steps): one event per
        quantum crossed.
        """
        two_pi = 2.0 * math.pi
        phase, voltage = kvglobals.ElementPhase, kvglobals.ElementVoltage
        counts = kvglobals.ElementN
        changed = np.flatnonzero(kvglobals.ElementInc | kvglobals.ElementDec)
        found = []
        for e in changed:
            old, new = int(self.prev_counts[e]), int(counts[e])
            direction = 1 if new > old else -1
            for level in range(old, new, direction):
                threshold = (level + 0.5 * direction) * two_pi
                fraction = hermite_crossing(self.prev_element_phase[e], phase[e],
                                            self.prev_element_voltage[e] * h, voltage[e] * h, threshold)
                found.append((t_new - h + h * fraction, int(e), direction))
        self.events.extend(sorted(found))


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

"""The compiled time loop against closed forms: step control, breakpoints, event
timing, factorisation reuse, interrupts, long runs and threads."""
import _thread
import math
import os
import threading
import time

import numpy as np
import pytest

from simulation_support import requires
from kivrun import Interrupted, Transient, api, builder
from kivrun.units import PHI0

pytestmark = requires("ResistorModel", "CapacitorModel", "JunctionModel", "PhaseSourceModel")

KAPPA = PHI0 / (2 * math.pi)  # volts per (rad/s)
TWO_PI = 2 * math.pi
JTL = os.path.join(os.path.dirname(__file__), "..", "src", "kivrun", "examples", "jtl.cir")

# 100 µA brought up linearly over T1 = 1 ps into R = 10 Ω ∥ C = 1 pF (τ = 10 ps).
R, C, I, T1 = 10.0, 1e-12, 100e-6, 1e-12
TAU = R * C
RC = "* rc\nI1 0 1 pwl(0 0 1p 100u)\nR1 1 0 10\nC1 1 0 1p\n.tran 1p {stop}\n.print v(1) p(1)\n"


def _ramp_response(t, order):
    """Response of the RC (order 0: voltage, 1: its integral) to a unit-slope ramp from 0."""
    t = np.maximum(t, 0.0)
    decay = TAU * (1 - np.exp(-t / TAU))
    return t - decay if order == 0 else t * t / 2 - TAU * t + TAU * decay


def rc_voltage(t):
    return I * R / T1 * (_ramp_response(t, 0) - _ramp_response(t - T1, 0))


def rc_phase(t):
    return I * R / T1 * (_ramp_response(t, 1) - _ramp_response(t - T1, 1)) / KAPPA


def derivative_weights(nodes):
    """d/dt at nodes[0] of the Lagrange basis through ``nodes``: a BDF formula."""
    weights = []
    for j, tj in enumerate(nodes):
        others = [x for m, x in enumerate(nodes) if m != j]
        basis = np.poly1d(others, r=True) / np.prod([tj - x for x in others])
        weights.append(basis.deriv()(nodes[0]))
    return np.array(weights)


def rc_run(tolerance, order):
    prepared = api.prepare(RC.format(stop="60p"), tolerance=tolerance, order=order)
    prepared.settings.relative_tolerance = 0.0  # the absolute bound alone
    return api.run_prepared(prepared)


class TestStepControl:
    @pytest.mark.parametrize("order", [2, 3])
    @pytest.mark.parametrize("tolerance", [1e-4, 1e-6])
    def test_every_accepted_step_keeps_its_local_error_below_tol(self, order, tolerance):
        # The step the loop took, redone from the exact history: V = Σ w_j φ_j,
        # D = w_0 V + Σ w_j V_j (as the loop does), C·D + V/R = I(t).  Its
        # distance from the exact phase is the step's own (local) error.
        t = rc_run(tolerance, order).time
        grid = np.concatenate([-(t[1] - t[0]) * np.arange(order, 0, -1), t])  # at rest before 0
        errors = []
        for n in range(order + 1, len(grid)):
            # Steps whose stencil would straddle the ramp's corner run at order 2.
            k = 2 if grid[n - order] < T1 < grid[n] else order
            nodes = grid[n - k:n + 1][::-1]
            w = derivative_weights(nodes)
            past_phase, past_voltage = w[1:] @ rc_phase(nodes[1:]), w[1:] @ rc_voltage(nodes[1:])
            v = (I * min(nodes[0] / T1, 1.0) - C * past_voltage) / (C * w[0] + 1 / R)
            errors.append(abs((v / KAPPA - past_phase) / w[0] - rc_phase(nodes[0])))
        assert max(errors) <= tolerance

    @pytest.mark.parametrize("order", [2, 3])
    def test_step_count_grows_as_tol_to_minus_one_over_order_plus_one(self, order):
        # Local error ≈ c·h^(k+1) held at tol: h ∝ tol^(1/(k+1)), steps ∝ tol^(−1/(k+1)).
        tolerances = np.array([1e-4, 1e-5, 1e-6, 1e-7])
        steps = [rc_run(tol, order).stats.accepted for tol in tolerances]
        slope = np.polyfit(np.log(tolerances), np.log(steps), 1)[0]
        assert slope == pytest.approx(-1 / (order + 1), abs=0.05)

    @pytest.mark.parametrize("step, count, last", [(0.25e-12, 120, 0.25e-12), (0.7e-12, 43, 0.6e-12)])
    def test_fixed_step_takes_stop_over_h_steps(self, step, count, last):
        r = api.simulate(RC.format(stop="30p"), fixed_step=step)
        gaps = np.diff(r.time)
        assert r.stats.accepted == count and r.stats.rejected == 0
        assert np.allclose(gaps[:-1], step, rtol=1e-9) and gaps[-1] == pytest.approx(last, rel=1e-9)

    def test_fixed_step_error_falls_fourfold_when_the_step_halves(self):
        # BDF2 is second order: global error ∝ h².
        errors = []
        for step in (0.25e-12, 0.125e-12, 0.0625e-12):
            r = api.simulate(RC.format(stop="30p"), fixed_step=step)
            errors.append(np.abs(r["P(1)"] - rc_phase(r.time)).max())
        assert errors[0] / errors[1] == pytest.approx(4, rel=0.12)
        assert errors[1] / errors[2] == pytest.approx(4, rel=0.12)


def test_every_pwl_and_pulse_corner_is_an_accepted_time():
    r = api.simulate("* bp\nI1 0 1 pwl(0 0 3.7p 50u 11.3p 50u 13.1p -20u)\nR1 1 0 5\nC1 1 0 0.3p\n"
                     "I2 0 2 pulse(0 80u 20.5p 0.7p 0.9p 2.3p 9.1p)\nR2 2 0 3\nC2 2 0 0.2p\n"
                     ".tran 1p 60p\n.print v(1) v(2)\n")
    # PULSE(v1 v2 td tr tf pw per): corners at td + k·per + (0, tr, tr + pw, tr + pw + tf).
    pulse = [20.5 + k * 9.1 + d for k in range(5) for d in (0.0, 0.7, 3.0, 3.9)]
    corners = np.array([3.7, 11.3, 13.1] + [c for c in pulse if c < 60]) * 1e-12
    nearest = np.abs(r.time[None, :] - corners[:, None]).min(axis=1)
    assert np.all(nearest <= 1e-14 * corners)


class TestEvents:
    @pytest.mark.parametrize("coefficients", [(0.2, 3.0, 0, 0), (-1.0, 2.0, 1.5, 0), (0.0, 1.0, -0.6, 0.4)])
    @pytest.mark.parametrize("at", [0.1, 0.5, 0.83])
    def test_hermite_rule_is_exact_for_cubic_motion(self, coefficients, at):
        # y(s) = c0 + c1 s + c2 s² + c3 s³ is its own cubic Hermite interpolant on [0, 1].
        c0, c1, c2, c3 = coefficients
        y = np.polynomial.Polynomial(coefficients)
        found = Transient.hermite_crossing(c0, y(1.0), c1, c1 + 2 * c2 + 3 * c3, y(at))
        assert found == pytest.approx(at, abs=2.0**-39)

    def test_linear_phase_events_land_at_the_analytic_crossings(self):
        # The junction's phase is the source's: flat to 10 ps, +10 quanta by 110 ps,
        # down to 40 rad by 150 ps.  Linear motion is reproduced exactly by the
        # Hermite interpolant, leaving only the bisection's 2^-40 of the step.
        r = api.simulate("* ev\n.model j jj(rtype=0, icrit=100uA, cap=0.1pF, rn=5ohm)\n"
                         "P1 1 0 pwl(0 0 10p 0 110p 62.83185307179586 150p 40)\nB1 1 0 j\n"
                         ".tran 1p 160p\n.print p(B1)\n")
        rise = 10e-12 + (np.arange(10) + 0.5) * 10e-12
        fall = 110e-12 + ((np.arange(9, 5, -1) + 0.5) * TWO_PI - 20 * math.pi) / ((40 - 20 * math.pi) / 40e-12)
        for found, expected in ((r.event_times("B1", 1), rise), (r.event_times("B1", -1), fall)):
            assert len(found) == len(expected)
            k = np.searchsorted(r.time, found)
            assert np.all(np.abs(found - expected) <= 2.0**-39 * (r.time[k] - r.time[k - 1]))

    @pytest.mark.parametrize("max_events", [1_000_000, 1000])
    def test_counter_flood_is_counted_and_capped(self, max_events):
        # 5 V across a divider: the source's phase runs through ~2.3e5 quanta in 100 ps.
        prepared = api.prepare("* flood\nV1 1 0 5\nR1 1 2 3\nR2 2 0 2\n.tran 1p 100p\n.print p(1)\n")
        prepared.settings.max_events = max_events
        began = time.perf_counter()
        r = api.run_prepared(prepared)
        assert time.perf_counter() - began < 5.0  # hang bound: it once took 11.5 s
        quanta = round(r["P(1)"][-1] / TWO_PI)
        assert quanta > 200_000
        assert len(r.events) == min(quanta, max_events)
        assert len(r.events) + r.stats.events_dropped == quanta
        assert np.all(np.diff(r.events.select("V1")) >= 0)


@pytest.fixture(scope="module")
def jtl_runs():
    """The JTL example reusing factorisations, refactoring every iteration, and converged."""
    runs = {}
    for key, tolerance, reuse in (("reuse", 1e-4, True), ("fresh", 1e-4, False), ("converged", 1e-8, True)):
        prepared = api.prepare(JTL, tolerance=tolerance)
        prepared.settings.reuse_factorization = reuse
        prepared.circuit.probes[:] = []  # every junction phase (the default probes)
        runs[key] = api.run_prepared(prepared)
    return runs


class TestFactorisationReuse:
    def test_both_runs_give_the_same_events_within_the_error_control(self, jtl_runs):
        reuse, fresh = jtl_runs["reuse"], jtl_runs["fresh"]
        assert [(e.element, e.direction) for e in reuse.events] == [(e.element, e.direction) for e in fresh.events]
        assert sorted(e.element for e in reuse.events) == ["B1.X%d" % k for k in range(1, 9)] + ["P1"]
        # Each run's phase error is at most steps·tol (local errors, summed): a time
        # error of that over the phase's rate where it crosses π.
        for name in (f"B1.X{k}" for k in range(1, 9)):
            phase, t = reuse[f"P({name})"], reuse.time
            crossing = reuse.event_times(name)[0]
            rate = np.interp(crossing, t, np.gradient(phase, t))
            bound = 2 * max(reuse.stats.accepted, fresh.stats.accepted) * 1e-4 / rate
            assert abs(crossing - fresh.event_times(name)[0]) <= bound
            assert abs(crossing - jtl_runs["converged"].event_times(name)[0]) <= bound / 2
        assert abs(reuse["P(B1.X8)"][-1] - fresh["P(B1.X8)"][-1]) <= 2 * reuse.stats.accepted * 1e-4

    def test_fixed_steps_switch_on_time_in_about_one_iteration_each(self, jtl_runs):
        # A fixed step leaves Newton the same share of tol as an adaptive one: the
        # junctions of the JTL switch within BDF3's error at 0.05 ps (about 1 fs
        # after 100 stages, so well under it after 8), in close to one chord
        # iteration a step (1.4 when Newton was held to 1e-4·tol).
        r = api.simulate(JTL, fixed_step=0.05e-12)
        assert r.stats.newton_iterations / r.stats.accepted < 1.3
        converged = jtl_runs["converged"]
        for name in (f"B1.X{k}" for k in range(1, 9)):
            assert np.max(np.abs(r.event_times(name) - converged.event_times(name))) < 1e-15

    def test_reuse_refactors_far_less_often(self, jtl_runs):
        reuse, fresh = jtl_runs["reuse"].stats, jtl_runs["fresh"].stats
        # Without reuse: one factorisation (the first full, then numeric) per iteration.
        assert fresh.factorizations + fresh.refactorizations == fresh.newton_iterations == fresh.solves
        assert reuse.solves == reuse.newton_iterations
        assert reuse.refactorizations / reuse.accepted < 0.5 * fresh.refactorizations / fresh.accepted

    @pytest.mark.parametrize("reuse", [True, False])
    @pytest.mark.parametrize("netlist, tolerance", [(JTL, 1e-4), (RC.format(stop="60p"), 1e-6)])
    def test_newton_error_left_in_a_step_is_a_small_share_of_tol(self, netlist, tolerance, reuse):
        # A chord iteration stops when change·rate/(1 − rate) ≤ 5 % of tol: what
        # iterating on to convergence finds left must be no larger.
        prepared = api.prepare(netlist, tolerance=tolerance)
        prepared.settings.reuse_factorization = reuse
        prepared.settings.audit_newton = True
        assert api.run_prepared(prepared).stats.newton_leftover <= 0.05 * tolerance

    @pytest.mark.parametrize("shape", ["chain", "blocks", "repivot"])
    def test_the_loops_solve_on_klus_factors_solves_the_system(self, shape):
        # A chain is a JTL's matrix (each row reaches its neighbours only); scrambled
        # block-triangular matrices with badly scaled rows bring KLU's blocks, their
        # coupling, pivoting and row scaling; "repivot" refactors on pivots that have
        # gone to nothing, so KLU pivots afresh and the factors change shape.  The
        # backward error of a sound solve is a few units of rounding, whatever the
        # matrix's condition.
        rng = np.random.default_rng(7)
        for trial in range(60):
            n = 200 if shape == "chain" else int(rng.integers(2, 30))
            first_diagonal = None
            if shape == "repivot":
                a = rng.normal(size=(n, n))
                np.fill_diagonal(a, 1e-30)
                first_diagonal = 1e6
            elif shape == "chain":
                a = np.diag(rng.uniform(2, 3, n)) + np.diag(rng.uniform(-1, -0.5, n - 1), 1)
                a += np.diag(rng.uniform(-1, -0.5, n - 1), -1)
            else:
                a = np.zeros((n, n))
                cuts = sorted({0, n, *rng.integers(0, n, size=3).tolist()})
                for lo, hi in zip(cuts[:-1], cuts[1:]):
                    m = hi - lo
                    a[lo:hi, lo:hi] = (rng.random((m, m)) < 0.3) * rng.normal(size=(m, m)) + np.diag(
                        rng.uniform(0.5, 2, m))
                    a[lo:hi, hi:] = (rng.random((m, n - hi)) < 0.2) * rng.normal(size=(m, n - hi))
                a = (a * np.exp(3 * rng.normal(size=(n, 1))))[rng.permutation(n)][:, rng.permutation(n)]
            columns = [np.flatnonzero(a[:, j]) for j in range(n)]
            pattern = (np.cumsum([0] + [len(c) for c in columns]).astype(np.int32),
                       np.concatenate(columns).astype(np.int32))
            values = np.concatenate([a[c, j] for j, c in enumerate(columns)])
            rhs = rng.normal(size=n)
            # A first matrix of the same pattern makes the second a refactorisation.
            first = values * rng.uniform(0.5, 1.5, values.size) if trial % 2 else None
            if first_diagonal is not None:
                diagonal = np.concatenate([c == j for j, c in enumerate(columns)])
                first = np.where(diagonal, first_diagonal, values)
            x = np.array(Transient.lu_solve(*pattern, values, rhs, first))
            scale = np.abs(a).max(axis=1) @ np.abs(x) + np.abs(rhs)
            assert np.max(np.abs(a @ x - rhs) / scale) < 1e-13 * n

    def test_each_event_lies_in_the_step_where_the_phase_crossed(self, jtl_runs):
        r = jtl_runs["reuse"]
        for event in (e for e in r.events if e.element != "P1"):
            phase = r[f"P({event.element})"]
            k = np.searchsorted(r.time, event.time)
            assert phase[k - 1] < math.pi <= phase[k]


# A junction biased above Ic oscillates (~30 steps a period) for as long as it
# runs; a 50 µV source beside it makes events in the same steps.
OSCILLATOR = ("* dc\n.model j jj(rtype=1, icrit=100uA, cap=0.2pF, rn=8ohm)\n"
              "I1 0 1 pwl(0 0 10p 150uA)\nB1 1 0 j\nV2 2 0 pwl(0 0 10p 50u)\nR2 2 0 1\n"
              ".tran 1p {stop}\n.print v(1)\n")


def test_interrupt_stops_a_long_run_promptly_with_the_partial_result():
    prepared = api.prepare(OSCILLATOR.format(stop="200n"))
    delay = 0.3
    timer = threading.Timer(delay, _thread.interrupt_main)
    began = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(Interrupted) as caught:
            api.run_prepared(prepared)
        latency = time.perf_counter() - began - delay
    finally:
        timer.cancel()  # a run that ended first must not leave a signal behind
        timer.join()
    # The loop polls every ~50 ms; the timer thread itself gets in only at a poll.
    assert latency < 0.3
    partial = caught.value.partial
    assert partial.interrupted and 1000 < len(partial.time)
    assert np.all(np.diff(partial.time) > 0) and partial.time[-1] < 200e-9
    assert {e.element for e in partial.events} == {"B1", "V2"}
    assert np.all(np.diff([e.time for e in partial.events]) >= 0)  # one time order, as a whole run


def test_ten_millisecond_sine_run_matches_the_low_pass_response():
    # Vs = A sin ωt through R = 1 Ω onto C = 1 mF: τ = 1 ms, ωτ ≈ 1.  From rest,
    # V_C = A/(1+(ωτ)²)·(sin ωt − ωτ cos ωt + ωτ e^(−t/τ)).
    r = api.simulate("* lowpass\nV1 1 0 sin(0 1m 159)\nR1 1 2 1\nC1 2 0 1m\n.tran 10u 10m\n.print v(2)\n")
    assert r.stats.accepted < 100_000 and r.time[-1] == pytest.approx(10e-3)
    t, a, w, tau = r.time, 1e-3, TWO_PI * 159, 1e-3
    x = w * tau
    assert np.abs(r["V(2)"] - a / (1 + x * x) * (np.sin(w * t) - x * np.cos(w * t) + x * np.exp(-t / tau))).max() < 1e-4 * a
    (s, c, _), *_ = np.linalg.lstsq(np.column_stack([np.sin(w * t), np.cos(w * t), np.exp(-t / tau)]), r["V(2)"], rcond=None)
    assert math.hypot(s, c) == pytest.approx(a / math.sqrt(1 + x * x), rel=1e-4)
    assert math.atan2(c, s) == pytest.approx(-math.atan(x), abs=1e-4)


def _jtl(stages: int, ic: float) -> str:
    lines = [f"* jtl {stages}", f".model j jj(rtype=1, icrit={ic}uA, cap=0.15pF, rn=5ohm)",
             "P1 s 0 pwl(0 0 20p 0 25p 6.283185)", "L0 s 1 2p"]
    for k in range(1, stages + 1):
        lines += [f"B{k} {k} 0 j", f"I{k} 0 {k} pwl(0 0 5p {0.7 * ic}uA)", f"L{k} {k} {k + 1} 2p"]
    return "\n".join(lines + [f"R1 {stages + 1} 0 2", ".tran 1p 300p", f".print p(B{stages})"]) + "\n"


def _at_once(*jobs):
    """Run the jobs in threads released together; their results or exceptions."""
    out: list = [None] * len(jobs)
    barrier = threading.Barrier(len(jobs))

    def run(k):
        barrier.wait()
        try:
            out[k] = jobs[k]()
        except Exception as error:  # noqa: BLE001 - the caller checks
            out[k] = error

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return out


def _same(a, b):
    assert not isinstance(b, Exception), b
    assert np.array_equal(a.time, b.time) and a.events == b.events
    assert all(np.array_equal(a.traces[k], b.traces[k]) for k in a.traces)


def test_two_circuits_in_threads_give_what_they_give_one_after_the_other(monkeypatch):
    netlists = [_jtl(100, 250), _jtl(60, 200)]
    alone = [api.simulate(n) for n in netlists]
    allocate = builder._allocate_state

    def allocate_then_yield(*args):
        # Building binds models to the host state it just allocated: let the
        # other thread in between, where an unguarded build would be overtaken.
        state = allocate(*args)
        time.sleep(0.02)
        return state

    monkeypatch.setattr(builder, "_allocate_state", allocate_then_yield)
    circuits = [api.load(n) for n in netlists]
    together = _at_once(*(lambda c=c: api.simulate(c) for c in circuits))
    for a, b in zip(alone, together):
        _same(a, b)


def test_one_prepared_circuit_run_from_two_threads_takes_turns():
    prepared = api.prepare(OSCILLATOR.format(stop="20n"))  # runs past a few polls
    alone = api.run_prepared(prepared)
    for r in _at_once(lambda: api.run_prepared(prepared), lambda: api.run_prepared(prepared)):
        _same(alone, r)


def test_junction_values_wait_for_a_count_without_changing_events():
    # A junction's Values may wait while its phase stays within half a quantum
    # of its count: the events (times and signs) must be exactly those of a run
    # that calls them after every step, and the unrecorded junctions' final
    # element phases the same.
    runs = []
    for every in (False, True):
        prepared = api.prepare(JTL)
        prepared.settings.values_every_step = every
        result = api.run_prepared(prepared)
        runs.append((result, prepared.built.element_block[0].copy()))
    (watched, phases_w), (every, phases_e) = runs
    assert len(watched.events) == len(every.events) > 0
    assert np.array_equal(watched.events.times, every.events.times)
    assert list(watched.events) == list(every.events)
    assert np.array_equal(phases_w, phases_e)


# Every linear class (L, coupled L, R, C) and both kinds of constant source: a
# DC bias brought up by the ramp and a PWL that is driven until 20 ps, then
# settles.  At rest all of I1 runs through B1 (sin φ1 = ½) and all of I2
# through L2, whose coupling leaves M·I2 of flux across the currentless L1.
COUPLED = ("* linear classes\n.model j jj(rtype=0, icrit=100uA, cap=0.2pF, rn=8ohm)\n"
           "I1 0 1 dc 50u\nI2 0 3 pwl(0 0 20p 50u)\nB1 1 0 j\nL1 1 2 4p\nL2 3 0 3p\nK1 L1 L2 0.5\n"
           "R1 2 0 2\nC1 2 0 0.1p\nR2 3 0 5\n.tran 0.1p 150p 0 0.5p\n.print p(1) p(2) p(3)\n")


@pytest.mark.parametrize("reuse", [True, False])
def test_chord_right_hand_side_of_linear_and_constant_models_is_the_residual(reuse):
    # A chord iteration sums the linear models' part as a sparse product and
    # keeps the settled sources' part; were either off, iterating on with full
    # model sweeps (the audit) would move the accepted state by far more than
    # the 5 % of tol a step may leave, and the rest state would be wrong.
    prepared = api.prepare(COUPLED, tolerance=1e-5)
    prepared.settings.reuse_factorization = reuse
    prepared.settings.audit_newton = True
    r = api.run_prepared(prepared)
    assert r.stats.newton_leftover <= 0.05 * 1e-5
    mutual = 0.5 * math.sqrt(4e-12 * 3e-12)
    phi1 = math.pi / 6
    assert r["P(1)"][-1] == pytest.approx(phi1, abs=1e-6)
    assert r["P(2)"][-1] == pytest.approx(phi1 - TWO_PI * mutual * 50e-6 / PHI0, abs=1e-6)
    assert r["P(3)"][-1] == pytest.approx(TWO_PI * 3e-12 * 50e-6 / PHI0, abs=1e-6)


def test_a_model_rebound_during_a_run_is_refused_at_the_next_poll():
    # The loop rechecks the models only when a binding changed; a slot moved
    # out of the pattern from the progress callback must still be caught
    # before the next step sweeps it.
    prepared = api.prepare(OSCILLATOR.format(stop="200n"))
    resistor = next(e.model for e in prepared.built.elements if e.name == "R2")
    calls = []

    def progress(fraction):
        calls.append(fraction)
        if len(calls) == 2:
            resistor.InitModel(10**6, 10**6, 10**6, 10**6)

    with pytest.raises(ValueError, match="outside the .*pattern"):
        api.run_prepared(prepared, progress)
    assert len(calls) == 2


@pytest.mark.parametrize("source, current", [
    # On at t = 0: brought up by the 10 ps smoothstep, summed again at every step of it.
    ("dc 1m", lambda t: 1e-3 * np.where(t < 10e-12, (t / 10e-12) ** 2 * (3 - 2 * t / 10e-12), 1.0)),
    # Driven until their last corners at 5 and 20 ps, then held in the settled sources' sum.
    ("pwl(0 0 10p 1m 20p 2m)\nI2 0 1 pwl(0 0 5p 0.5m)",
     lambda t: np.interp(t, [0, 10e-12, 20e-12], [0, 1e-3, 2e-3]) + np.interp(t, [0, 5e-12], [0, 0.5e-3])),
])
def test_a_resistor_follows_its_source_through_ramp_and_settling(source, current):
    # Across a bare resistor V = R·I(t) holds exactly at every accepted step
    # (to the Newton error: 5 % of tol in phase, times a0 in voltage), so a
    # settled source's kept current that went stale would show at once.
    r = api.run_prepared(api.prepare(f"* r\nI1 0 1 {source}\nR1 1 0 2\n.tran 0.1p 60p 0 0.5p\n.print v(1)\n"))
    assert r.stats.accepted > 100
    bound = KAPPA * 0.05 * api.DEFAULT_TOLERANCE / np.diff(r.time).min()  # a few nV; stale: mV
    np.testing.assert_allclose(r["V(1)"], 2 * current(r.time), rtol=0, atol=bound)


def test_a_junction_parameter_set_from_the_progress_callback_holds_from_that_poll():
    # The loop sweeps junctions through copies of their models, renewed at
    # every poll.  Halving Ic from the callback (bias 150 µA, Ic 200 → 100 µA)
    # starts the junction running within a few plasma periods of that poll;
    # and every accepted step must solve the circuit as it now is (the audit
    # iterates on with the models themselves: a stale copy leaves ~1e-3 rad).
    prepared = api.prepare("* switch on\n.model j jj(rtype=0, icrit=200uA, cap=0.2pF, rn=8ohm)\n"
                           "I1 0 1 pwl(0 0 10p 150uA)\nB1 1 0 j\n.tran 1p 5n 0 0.05p\n.print v(1)\n")
    prepared.settings.audit_newton = True
    junction = next(e for e in prepared.built.elements if e.name == "B1")
    changed = []

    def progress(fraction):
        if not changed and 0 < fraction < 1:
            changed.append(fraction * 5e-9)
            junction.params[0] /= 2
            junction.UpdateParameters()

    r = api.run_prepared(prepared, progress)
    assert changed, "the run ended before its first poll"
    slips = [e.time for e in r.events if e.element == "B1"]
    assert changed[0] <= slips[0] < changed[0] + 10e-12
    assert r.stats.newton_leftover <= 0.05 * api.DEFAULT_TOLERANCE


def _ladder() -> tuple[list[str], float]:
    values = [1.0 + k / 1000 for k in range(300)]  # no two alike: more than a byte can name
    return [f"R{k + 1} {k + 1} {k + 2 if k < 299 else 0} {v!r}" for k, v in enumerate(values)], sum(values)


def _star() -> tuple[list[str], float]:
    # Node 1 reaches twelve nodes: its row is wider than the padded rows go.
    lines = [f"RA{k} 1 {k + 2} 1\nRB{k} {k + 2} 0 1" for k in range(12)]
    return lines, 2.0 / 12


@pytest.mark.parametrize("shape", [_ladder, _star])
def test_linear_stamps_the_padded_rows_cannot_hold_still_sum_to_ohms_law(shape):
    # The chord iteration's product falls back to plain rows; at rest node 1
    # sits at I·R of the network.
    lines, resistance = shape()
    r = api.simulate("\n".join(["* network", "I1 0 1 pwl(0 0 5p 1m)", *lines, "C1 1 0 1f",
                                 ".tran 0.1p 40p", ".print v(1)"]) + "\n")
    assert r["V(1)"][-1] == pytest.approx(1e-3 * resistance, rel=1e-6)


@pytest.mark.parametrize("card", [
    "rtype=0, icrit=100uA, cap=0.2pF, rn=3ohm",             # RSJ
    "rtype=1, icrit=100uA, cap=0.2pF, rn=3ohm, r0=30ohm",   # piecewise-linear quasiparticle curve
    "rtype=0, icrit=100uA, cap=0.2pF, rn=3ohm, phi=0.3",    # shifted supercurrent
    "icrit=100uA, cap=0.2pF, rn=3ohm, n=10",                # smooth knee
])
def test_every_junction_class_swept_through_copies_passes_a_pulse_as_its_models_do(card):
    # Chord iterations sweep the RSJ family through copies of the models;
    # refactoring at every iteration uses the models themselves.  A 4-stage
    # JTL (βc ≈ 0.55, bias 0.7 Ic) passes one SFQ pulse: each junction slips
    # once, in order, at the same time both ways, and iterating on from each
    # accepted step with the models finds little left (5 % of tol is the
    # loop's estimate of it).
    lines = ["* jtl", f".model j jj({card})", "P1 in 0 pwl(0 0 20p 0 25p 6.283185307)", "L0 in 1 8p"]
    for k in range(1, 5):
        lines += [f"B{k} {k} 0 j", f"IB{k} 0 {k} pwl(0 0 10p 70uA)", f"L{k} {k} {k + 1} 8p"]
    runs = []
    for reuse in (True, False):
        prepared = api.prepare("\n".join(lines + ["R5 5 0 2", ".tran 0.1p 80p", ".print p(B4)"]) + "\n")
        prepared.settings.reuse_factorization = reuse
        prepared.settings.audit_newton = True
        runs.append(api.run_prepared(prepared))
    chord, fresh = runs
    assert chord.stats.copied_models == 4
    assert [(e.element, e.direction) for e in chord.events] == [("P1", 1)] + [(f"B{k}", 1) for k in range(1, 5)]
    assert abs(chord.event_times("B4")[0] - fresh.event_times("B4")[0]) < 1e-14
    assert chord.stats.newton_leftover <= 0.1 * api.DEFAULT_TOLERANCE

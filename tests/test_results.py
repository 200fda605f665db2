"""Crossing times, event timing and direction, resampling."""
import math

import numpy as np
import pytest

from simulation_support import requires
from kivrun import simulate
from kivrun.engine import hermite_crossing
from kivrun.results import arrival_times
from kivrun.units import PHI0


def test_arrival_times_are_exact_for_a_cubic_phase():
    # φ = 2π (t/T)³ on a coarse uneven grid crosses π + 2πk at T·(k + ½)^(1/3).
    T = 7.0
    t = np.sort(np.concatenate([np.linspace(0, 3 * T, 23), [1.3, 5.55]]))
    found = arrival_times(2 * math.pi * (t / T) ** 3, t)
    expected = T * (np.arange(len(found)) + 0.5) ** (1 / 3)
    assert len(found) == 27 and np.allclose(found, expected, rtol=1e-10)


def test_hermite_crossing_of_a_cubic():
    # y = s³ on [0, 1]: values 0 and 1, slopes 0 and 3; it reaches 1/8 at s = 1/2.
    assert hermite_crossing(0.0, 1.0, 0.0, 3.0, 0.125) == pytest.approx(0.5, abs=1e-11)
    # No sign change inside (rounding at the ends): falls back to the chord.
    assert hermite_crossing(0.0, 1.0, 1.0, 1.0, 1.0) == pytest.approx(1.0)


@requires("JunctionModel", "VoltageSourceModel")
@pytest.mark.parametrize("terminals, sign", [("1 0", 1), ("0 1", -1)])
def test_events_of_a_voltage_biased_junction(terminals, sign):
    # After the ramp the phase grows linearly, so events fall exactly where it
    # passes (k + ½)·2π; a junction written the other way round counts down.
    volts = 1e-3
    r = simulate(f"* v\n.model m jj(rtype=0, icrit=100uA, cap=0.1pF, rn=5)\nB1 {terminals} m\n"
                 f"V1 1 0 pwl(0 0 2p {volts})\n.tran 1p 40p\n")
    events = [e for e in r.events if e.element == "B1"]
    assert {e.direction for e in events} == {sign}
    slope = 2 * math.pi * volts / PHI0  # rad/s after the ramp
    phase_at_ramp_end = 2 * math.pi * volts * 1e-12 / PHI0  # half of the ramp's 2 ps at full voltage
    for k, event in enumerate(events):
        target = (k + 0.5) * 2 * math.pi
        if target > phase_at_ramp_end:
            assert event.time == pytest.approx(2e-12 + (target - phase_at_ramp_end) / slope, rel=1e-9)
    assert len(events) == int((phase_at_ramp_end + slope * 38e-12) / (2 * math.pi) + 0.5)
    assert sign * r["P(B1)"][-1] > 0


@requires("ResistorModel", "CurrentSourceModel")
def test_resample_onto_the_output_grid():
    r = simulate("* r\nI1 0 1 pwl(0 0 10p 10uA)\nR1 1 0 2\n.tran 0.5p 10p\n.print v(1)\n")
    grid, traces = r.resample(0.5e-12)
    assert len(grid) == 21 and grid[-1] == pytest.approx(10e-12)
    assert np.allclose(traces["V(1)"], 2 * 10e-6 * grid / 10e-12, atol=1e-12)

"""The shipped example netlists run and do what their comments say."""
import os

import numpy as np
import pytest

from simulation_support import requires
from kivrun import simulate
from kivrun.units import PHI0

pytestmark = requires("JunctionModel", "InductorImpedanceModel", "MutualInductanceModel", "PhaseSourceModel")

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")


def run(name):
    return simulate(os.path.join(EXAMPLES, name))


def test_dc_junction_oscillates_at_the_josephson_frequency():
    r = run("dc_junction.cir")
    events = r.event_times("B1", +1)
    assert len(events) > 20 and not len(r.event_times("B1", -1))
    assert r["I(B1)"][-1] == pytest.approx(150e-6, rel=1e-3)


def test_dc_to_sfq_emits_one_pulse_per_input_pulse():
    r = run("dc_to_sfq.cir")
    for stage in ("B1.X1", "B1.X2", "B1.X3"):
        assert len(r.event_times(stage, +1)) == 2 and not len(r.event_times(stage, -1))
    # The storing junction and the series junction reset on each falling edge.
    assert len(r.event_times("BJ1", -1)) == 2 and len(r.event_times("BS", -1)) == 2
    out = r.event_times("B1.X3", +1)
    assert 20e-12 < out[0] < 60e-12 and 170e-12 < out[1] < 210e-12


def test_flux_transformer_stores_one_quantum():
    r = run("mutual_inductance.cir")
    assert [(e.element, e.direction) for e in r.events] == [("B1", 1)]
    # At rest L2 and B1 share node b: I(L2) = (Φ0/2π)·φ/L2 and it returns
    # through the junction, I(L2) = -Ic sin φ, with φ one quantum from rest.
    phase, current = r["P(B1)"][-1], r["I(L2)"][-1]
    assert np.pi < phase < 2 * np.pi
    assert current == pytest.approx(PHI0 / (2 * np.pi) * phase / 10e-12, rel=1e-4)
    assert current == pytest.approx(-250e-6 * np.sin(phase), rel=1e-4)


def test_jtl_example_delivers_the_pulse_to_the_last_stage():
    r = run("jtl.cir")
    firsts = [r.event_times(f"B1.X{k}", +1) for k in range(1, 9)]
    assert all(len(t) == 1 for t in firsts)
    assert np.all(np.diff([t[0] for t in firsts]) > 0)


def test_python_dash_m_runs_the_builtin_example(capsys):
    from kivrun.__main__ import main

    assert main() == 0
    out = capsys.readouterr().out
    assert "B1.X8: 1 events (net +1)" in out and "delay over 7 stages" in out


def test_shunted_jtl_in_the_common_dialect():
    r = run("jtl_shunted.cir")
    arrivals = [r.event_times(f"B01.X{k}", +1) for k in range(1, 5)]
    assert all(len(t) == 1 for t in arrivals)
    assert np.all(np.diff([t[0] for t in arrivals]) > 0.5e-12)
    # The rail is a voltage source: its own phase runs at 2.6 mV / Φ0 quanta per second.
    rail = r.event_times("VRAIL", +1)
    rail = rail[rail > 10e-12]  # after the rail's ramp
    assert (len(rail) - 1) / (rail[-1] - rail[0]) == pytest.approx(2.6e-3 / PHI0, rel=1e-3)

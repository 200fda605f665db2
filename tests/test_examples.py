"""The shipped example netlists run and do what their comments say."""
import os

import numpy as np
import pytest

from simulation_support import requires
from kivrun import simulate
from kivrun.units import PHI0

pytestmark = requires("JunctionModel", "InductorImpedanceModel", "MutualInductanceModel", "PhaseSourceModel")

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "src", "kivrun", "examples")


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


@requires("JunctionTJMModel")
def test_tjm_junction_switches_at_ic_and_retraps_far_below():
    from kivrun import kvconfig
    from simulation_support import average

    fit = pytest.importorskip("kivrun.tjmfit.fit")
    r = run("tjm_junction.cir")
    t, v, phase = r.time, r["V(1)"], r["P(B1)"]
    vg, ic = 2.8e-3, 100e-6
    slips = r.event_times("B1", +1)
    assert not len(r.event_times("B1", -1))
    # Just below Ic: at rest at asin(0.97), no phase slip before the step to 103 uA.
    assert average(t, phase, 60e-12, 90e-12) == pytest.approx(np.arcsin(0.97), abs=0.005)
    assert abs(average(t, v, 60e-12, 90e-12)) < 1e-3 * vg
    assert 90e-12 < slips[0] < 110e-12
    # Just above Ic it runs at the gap; at 160 uA its voltage is where the
    # kernel's quasiparticle curve carries 160 uA.
    assert average(t, v, 120e-12, 160e-12) == pytest.approx(vg, rel=0.05)
    a, b, p = (np.asarray(x, dtype=complex) for x in kvconfig.tjm_models["nb_4k2"])
    rn = -np.sum((a / p).real) * vg / ic
    x = average(t, v, 180e-12, 210e-12) / vg
    carried = vg / rn * (x + (1 - rn / 100) * fit.evaluate(b, p, np.array([x]))[0].imag)
    assert 1.2 < x < 1.5 and carried == pytest.approx(160e-6, rel=0.02)
    # Back at Ic/2 it stays at the gap (hysteresis) ...
    assert average(t, v, 230e-12, 250e-12) == pytest.approx(vg, rel=0.03)
    # ... and retraps from the subgap branch near 4/π·Ic/√βc (βc with Rsub).
    beta_c = 2 * np.pi * ic * 100**2 * 0.1e-12 / PHI0
    retrap = np.interp(slips[-1], [250e-12, 400e-12], [50e-6, 0.0])
    assert retrap == pytest.approx(4 / np.pi * ic / np.sqrt(beta_c), rel=0.25)
    assert abs(average(t, v, 400e-12, 420e-12)) < 0.02 * vg


def test_ptl_link_carries_one_pulse_one_line_delay_later():
    r = run("ptl_link.cir")
    sent, got = r.event_times("B1", +1), r.event_times("B2", +1)
    assert len(sent) == 1 and len(got) == 1
    # The line's 15 ps, plus the receiver's switching: more than TD, less than 2·TD.
    assert 15e-12 < got[0] - sent[0] < 30e-12
    # The monitor is the far end's voltage times 10.
    assert np.allclose(r["V(mon)"], 10 * r["V(5)"], rtol=1e-9, atol=1e-12)
    assert r["V(5)"].max() > 0.2e-3

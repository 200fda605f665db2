"""End-to-end runs of linear circuits against their closed-form solutions."""
import math

import numpy as np
import pytest

from simulation_support import crossings, requires
from kivrun import simulate
from kivrun.units import PHI0

pytestmark = requires("ResistorModel", "CapacitorModel", "InductorModel", "CurrentSourceModel")


def test_rc_charging_follows_the_exponential():
    # A 100 µA step into R = 10 Ω ∥ C = 1 pF: V = IR(1 - exp(-t/RC)), RC = 10 ps.
    r = simulate("* rc\nI1 0 1 pwl(0 0 1f 100u)\nR1 1 0 10\nC1 1 0 1p\n.tran 1p 60p\n.print v(1) i(C1)\n")
    t, v = r.time, r["V(1)"]
    for when in (5e-12, 10e-12, 30e-12, 60e-12):
        expected = 1e-3 * (1 - math.exp(-(when - 0.5e-15) / 10e-12))
        assert np.interp(when, t, v) == pytest.approx(expected, rel=2e-3)
    # The capacitor current is C dV/dt = I exp(-t/RC).
    assert np.interp(10e-12, t, r["I(C1)"]) == pytest.approx(100e-6 * math.exp(-1), rel=5e-3)


def test_lc_oscillates_at_its_resonance():
    # L = 10 pH, C = 1 pF: f = 1/(2π√(LC)) ≈ 50.33 GHz, about 20 periods.
    r = simulate("* lc\nI1 0 1 pwl(0 0 1p 100uA)\nL1 1 0 10pH\nC1 1 0 1pF\n.tran 1p 400p\n.print v(1)\n",
                 tolerance=2e-5)
    ups = crossings(r.time, r["V(1)"])
    frequency = (len(ups) - 1) / (ups[-1] - ups[0])
    assert frequency == pytest.approx(1 / (2 * math.pi * math.sqrt(10e-12 * 1e-12)), rel=1e-3)


@pytest.mark.parametrize("sign, inductance, capacitance", [
    (+1, 4e-12 + 2e-12, 1e-12),            # in phase: L + M, the coupling capacitor idle
    (-1, 4e-12 - 2e-12, 1e-12 + 2 * 0.5e-12),  # in anti-phase: L − M, C + 2·Cc
])
def test_coupled_tanks_ring_at_their_normal_modes(sign, inductance, capacitance):
    # Two 4 pH ∥ 1 pF tanks, coupled by K = 0.5 (M = 2 pH) and a floating 0.5 pF,
    # kicked alike or oppositely: each rings at its own mode alone.
    kick = "pwl(0 0 1p 100uA 2p 0)"
    r = simulate(f"* modes\nI1 0 1 {kick}\nI2 0 2 pwl(0 0 1p {sign * 100}uA 2p 0)\n"
                 "L1 1 0 4pH\nL2 2 0 4pH\nK1 L1 L2 0.5\nC1 1 0 1pF\nC2 2 0 1pF\nCC 1 2 0.5pF\n"
                 ".tran 1p 200p\n.print v(1) v(2)\n", tolerance=2e-6, order=2)
    ups = crossings(r.time, r["V(1)"])
    frequency = (len(ups) - 1) / (ups[-1] - ups[0])
    assert frequency == pytest.approx(1 / (2 * math.pi * math.sqrt(inductance * capacitance)), rel=1e-3)
    assert np.allclose(r["V(2)"], sign * r["V(1)"], atol=1e-6 * np.abs(r["V(1)"]).max())
    # Every model here is linear: the chord iterations form their right-hand
    # side as one product (a declaration or stamp that failed the set-up
    # check would fall back to sweeping them, right but slower).
    assert r.stats.linear_models == 6


def test_inductor_phase_and_current_source_orientation():
    # `I1 0 1` pushes its current into node 1; `I2 2 0` draws it out of node 2.
    r = simulate("* l\nI1 0 1 pwl(0 0 10p 100uA)\nL1 1 0 6.5pH\nI2 2 0 pwl(0 0 10p 30uA)\nR2 2 0 4\n"
                 ".tran 1p 40p\n.print p(1) i(L1) v(2) v(1,2)\n")
    # φ = 2π L I / Φ0 for an inductor carrying I.
    assert r["P(1)"][-1] == pytest.approx(2 * math.pi * 6.5e-12 * 100e-6 / PHI0, rel=1e-6)
    assert r["I(L1)"][-1] == pytest.approx(100e-6, rel=1e-6)
    assert r["V(2)"][-1] == pytest.approx(-120e-6, rel=1e-6)
    # At DC the inductor's node sits at 0 V, so V(1,2) = -V(2).
    assert r["V(1,2)"][-1] == pytest.approx(120e-6, rel=1e-3)


def test_element_written_from_ground_reports_its_own_orientation():
    r = simulate("* g\nI1 0 1 50uA\nR1 1 0 8\nR2 0 1 8\n.tran 1p 30p\n"
                 ".print i(R1) i(R2) v(R1) p(R1)\n.print devv R2\n.print phase R2\n")
    assert r["I(R1)"][-1] == pytest.approx(25e-6, rel=1e-6)
    assert r["I(R2)"][-1] == pytest.approx(-25e-6, rel=1e-6)
    assert r["V(R2)"][-1] == pytest.approx(-r["V(R1)"][-1])
    assert r["P(R2)"][-1] == pytest.approx(-r["P(R1)"][-1])
    assert r["P(R1)"][-1] > 0


def test_live_sources_ramp_in_smoothly():
    # A DC source that is on at t = 0 is ramped over 10 ps (smoothstep: half-way at 5 ps).
    r = simulate("* ramp\nI1 0 1 100uA\nR1 1 0 2\nC1 1 0 1f\n.tran 1p 20p\n.print v(1)\n")
    assert np.interp(5e-12, r.time, r["V(1)"]) == pytest.approx(100e-6, rel=1e-3)
    assert r["V(1)"][-1] == pytest.approx(200e-6, rel=1e-6)
    assert r.time[-1] == pytest.approx(20e-12)


def test_pulse_edges_are_not_stepped_over():
    # A 1 ps pulse 80 ps in: breakpoints force steps onto its corners.
    r = simulate("* p\nI1 0 1 pulse(0 100u 80p 0.1p 0.1p 1p)\nR1 1 0 1\nC1 1 0 1f\n"
                 ".tran 1p 200p\n.print v(1)\n")
    assert r["V(1)"].max() == pytest.approx(100e-6, rel=1e-2)
    assert np.interp(80.6e-12, r.time, r["V(1)"]) == pytest.approx(100e-6, rel=1e-2)
    assert abs(r["V(1)"][-1]) < 1e-9


def test_fixed_step_mode_and_tstart(tmp_path):
    r = simulate("* f\nI1 0 1 pwl(0 0 1f 1m)\nR1 1 0 1\nC1 1 0 1p\n.tran 0.5p 10p 4p\n.print v(1)\n",
                 fixed_step=0.25e-12)
    assert np.allclose(np.diff(r.time), 0.25e-12)
    assert r.time[0] == pytest.approx(4e-12) and r.stats.rejected == 0
    assert r.stats.accepted == 40
    path = tmp_path / "out.csv"
    r.to_csv(str(path), step=0.5e-12)
    rows = path.read_text().splitlines()
    assert rows[0] == "time,V(1)" and len(rows) == 1 + 13
    first = [float(x) for x in rows[1].split(",")]
    assert first == pytest.approx([4e-12, r["V(1)"][0]], rel=1e-8)


def test_options_card_sets_the_run():
    base = "* o\nI1 0 1 100uA\nR1 1 0 2\nC1 1 0 1f\n.tran 1p 10p\n.print v(1)\n"
    fixed = simulate(base + ".options fixedstep=0.5p ramp=0\n")
    assert np.allclose(np.diff(fixed.time), 0.5e-12)
    # Without the ramp the source is on from the first step (RC = 2 fs ≪ 0.5 ps).
    assert fixed["V(1)"][1] == pytest.approx(200e-6, rel=1e-2)
    ramped = simulate(base + ".options maxstep=0.5p tol=1e-3 order=3\n")
    assert np.diff(ramped.time).max() <= 0.5e-12 * (1 + 1e-9)
    assert ramped["V(1)"][-1] == pytest.approx(200e-6, rel=1e-6)
    with pytest.warns(UserWarning, match="option 'bogus' ignored"):
        simulate(base + ".options bogus=1\n")

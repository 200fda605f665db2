"""Voltage and phase sources, branch-form inductors and mutual inductance end to end."""
import math

import numpy as np

import pytest

from simulation_support import requires
from kivrun import simulate
from kivrun.units import PHI0

pytestmark = requires("VoltageSourceModel", "PhaseSourceModel", "InductorImpedanceModel",
                      "MutualInductanceModel", "ResistorModel", "InductorModel", "CurrentSourceModel")


@pytest.mark.parametrize("card, sign", [("V1 1 0 pwl(0 0 2p 1mV)", 1.0), ("V1 0 1 pwl(0 0 2p 1mV)", -1.0)])
def test_voltage_source_into_resistor(card, sign):
    r = simulate(f"* v\n{card}\nR1 1 0 10\n.tran 1p 20p\n.print v(1) i(R1) i(V1) p(1)\n")
    assert r["V(1)"][-1] == pytest.approx(sign * 1e-3, rel=1e-9)
    assert r["I(R1)"][-1] == pytest.approx(sign * 100e-6, rel=1e-9)
    # SPICE convention: current flows from n+ through the source to n-, so a
    # source that delivers power shows a negative current.
    assert r["I(V1)"][-1] == pytest.approx(-100e-6, rel=1e-9)
    # The node phase integrates the voltage: 1 ps at half height, then 18 ps full.
    assert r["P(1)"][-1] == pytest.approx(sign * 2 * math.pi * 1e-3 * 19e-12 / PHI0, rel=1e-3)


def test_phase_source_through_an_inductor():
    # A phase of π/2 across L drives I = (Φ0/2π)(π/2)/L = Φ0/(4L).
    r = simulate("* p\nP1 1 0 pwl(0 0 5p {pi/2})\nL1 1 0 4pH\n.tran 1p 40p\n.print i(L1) i(P1) p(1)\n")
    expected = PHI0 / (4 * 4e-12)
    assert r["P(1)"][-1] == pytest.approx(math.pi / 2, rel=1e-12)
    assert r["I(L1)"][-1] == pytest.approx(expected, rel=1e-6)
    assert r["I(P1)"][-1] == pytest.approx(-expected, rel=1e-6)


@pytest.mark.parametrize("second", ["L2 b 0 8pH", "L2 0 b 8pH"])
def test_superconducting_loop_keeps_its_flux(second):
    # L1 carries the drive I1; L2 and L3 close a loop that starts flux-free, so
    # L2·I2 + L3·I2 + M·I1 = 0 with M = k√(L1 L2).  Writing L2 the other way
    # round moves its dot as well, so its own current reads the same.
    r = simulate(f"* k\nI1 0 a pwl(0 0 10p 200uA)\nL1 a 0 2pH\n{second}\nL3 b 0 4pH\nK1 L1 L2 0.6\n"
                 ".tran 1p 30p\n.print i(L1) i(L2) i(L3)\n")
    mutual = 0.6 * math.sqrt(2e-12 * 8e-12)
    assert r["I(L1)"][-1] == pytest.approx(200e-6, rel=1e-9)
    assert r["I(L2)"][-1] == pytest.approx(-mutual * 200e-6 / (8e-12 + 4e-12), rel=1e-6)
    assert abs(r["I(L2)"][-1]) == pytest.approx(abs(r["I(L3)"][-1]), rel=1e-6)


def test_coupled_transformer_into_a_resistor_decays_with_l_over_r():
    # A current step through L1 induces in the L2-R loop a current that decays
    # with τ = L2/R: I2(0+) = -M·ΔI1/L2.
    r = simulate("* t\nI1 0 a pwl(0 0 0.01p 100uA)\nL1 a 0 5pH\nL2 b 0 5pH\nR1 b 0 1\nK1 L1 L2 0.5\n"
                 ".tran 1p 30p\n.print i(L2)\n")
    tau = 5e-12
    start = -0.5 * 100e-6
    # At the accepted points (between them a trace is a straight line, whose
    # own error grows with the step, not with the integration's).
    for when in (2e-12, 5e-12, 10e-12):
        k = int(np.argmin(np.abs(r.time - when)))
        expected = start * math.exp(-(r.time[k] - 0.005e-12) / tau)
        assert r["I(L2)"][k] == pytest.approx(expected, abs=1e-3 * abs(start))

"""Junction physics end to end: RSJ voltage, Josephson frequency, JTL, variants."""
import math
import os
import sys

import numpy as np
import pytest

from simulation_support import average, requires
import kivrun
from kivrun import simulate
from kivrun.api import DEFAULT_TOLERANCE
from kivrun.results import arrival_times
from kivrun.units import PHI0

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
from jtl import jtl_netlist  # noqa: E402

pytestmark = requires("JunctionModel", "CurrentSourceModel", "InductorModel", "ResistorModel")

# Ic = 100 µA, R = 3 Ω, C = 1 fF: βc = 2π Ic R² C / Φ0 ≈ 0.003, deep in the overdamped limit.
OVERDAMPED = "* overdamped junction\n.model od jj(rtype=0, icrit=100uA, cap=0.001pF, rn=3)\nB1 1 0 od\n" \
             "I1 0 1 {bias}\n.tran 1p {stop}\n.print v(1) p(B1)\n"


def run_biased(ratio: float):
    # Long enough for about 30 periods after the 10 ps ramp.
    period = PHI0 / (3 * 100e-6 * math.sqrt(ratio ** 2 - 1))
    stop = 40e-12 + 30 * period
    return simulate(OVERDAMPED.replace("{bias}", f"{ratio * 100}u").replace("{stop}", f"{stop * 1e12:.1f}p"))


@pytest.mark.parametrize("ratio", [1.1, 1.5, 3.0])
def test_overdamped_junction_average_voltage_and_josephson_frequency(ratio):
    r = run_biased(ratio)
    events = r.event_times("B1", +1)
    assert len(events) >= 25 and not len(r.event_times("B1", -1))
    # Average over whole periods, from one flux-quantum event to another.
    t0, t1 = events[5], events[-1]
    mean_v = average(r.time, r["V(1)"], t0, t1)
    assert mean_v == pytest.approx(3 * math.sqrt((ratio * 100e-6) ** 2 - (100e-6) ** 2), rel=1e-2)
    # The counter's event rate is the Josephson frequency (2e/h)·<V> = <V>/Φ0.
    rate = (len(events) - 6) / (t1 - t0)
    assert rate == pytest.approx(mean_v / PHI0, rel=2e-3)
    # Between events the phase advances by exactly 2π.
    assert np.interp(t1, r.time, r["P(B1)"]) - np.interp(t0, r.time, r["P(B1)"]) == \
        pytest.approx(2 * math.pi * (len(events) - 6), rel=1e-3)


def test_subcritical_bias_holds_the_static_phase():
    r = simulate("* s\n.model m jj(rtype=0, icrit=100uA, cap=0.2pF, rn=4)\nB1 1 0 m\nI1 0 1 50uA\n.tran 1p 200p\n"
                 ".print p(B1) v(1) i(B1)\n")
    assert r["P(B1)"][-1] == pytest.approx(math.asin(0.5), abs=1e-6)
    assert abs(r["V(1)"][-1]) < 1e-9 and not r.events
    assert r["I(B1)"][-1] == pytest.approx(50e-6, rel=1e-6)


def test_sfq_pulse_travels_down_a_jtl_and_converges_with_tolerance():
    netlist = jtl_netlist(12, stop=100e-12, probes=(1, 6, 12))
    coarse = simulate(netlist)  # default tolerance
    fine = simulate(netlist, tolerance=0.5 * DEFAULT_TOLERANCE)
    order = [coarse.event_times(f"B{k}", +1) for k in range(1, 13)]
    assert all(len(times) == 1 for times in order)  # one quantum through every junction
    assert np.all(np.diff([times[0] for times in order]) > 0)  # in order down the line
    for label in ("P(B1)", "P(B12)"):
        a = arrival_times(coarse[label], coarse.time)
        b = arrival_times(fine[label], fine.time)
        assert len(a) == len(b) == 1
        assert abs(a[0] - b[0]) < 0.1e-12
    # Event times agree with the π crossings of the traces.
    assert order[-1][0] == pytest.approx(arrival_times(coarse["P(B12)"], coarse.time)[0], abs=0.02e-12)


@requires("JunctionRSJPHModel")
@pytest.mark.parametrize("terminals", ["1 0", "0 1"])
def test_pi_junction_settles_at_phase_pi(terminals):
    # sin(φ + π) puts the minimum of the Josephson energy at φ = ±π; a small
    # kick moves the junction off the unstable rest state at 0.
    r = simulate("* pi\n.model pj jj(rtype=0, icrit=100uA, cap=0.2pF, rn=2, phi=pi)\n"
                 f"B1 {terminals} pj\nI1 0 1 pwl(0 0 1p 10u 2p 0)\nR1 1 0 100\n"
                 ".tran 1p 200p\n.print p(1) p(B1)\n")
    assert abs(r["P(1)"][-1]) == pytest.approx(math.pi, abs=1e-4)
    # The junction's own phase (with the shift) sits at a whole number of quanta.
    assert math.remainder(r["P(B1)"][-1], 2 * math.pi) == pytest.approx(0.0, abs=1e-4)


@requires("JunctionRSJNModel", "VoltageSourceModel")
@pytest.mark.parametrize("volts, resistance", [(1.4e-3, 160.0), (5.6e-3, 16.0)])
def test_piecewise_linear_card_conducts_like_r0_below_and_rn_above_the_gap(volts, resistance):
    # A voltage-biased junction: the supercurrent averages out, the
    # quasiparticle current is V/r0 below vg = 2.8 mV and V/rn above.  The
    # source fixes the phases exactly, so only TMAX makes the steps resolve
    # the supercurrent's oscillation for the average.
    r = simulate("* qp\n.model q jj(rtype=1, vg=2.8mV, delv=0.1mV, r0=160, rn=16, icrit=100uA, cap=0.1pF)\n"
                 f"B1 1 0 q\nV1 1 0 pwl(0 0 5p {volts})\n.tran 1p 60p 0 0.01p\n.print i(V1) i(B1)\n")
    events = r.event_times("B1", +1)
    events = events[events > 10e-12]  # after the bias ramp
    t0, t1 = events[0], events[-1]  # whole Josephson periods
    mean = average(r.time, r["I(B1)"], t0, t1)
    assert mean == pytest.approx(volts / resistance, rel=1e-2)
    # SPICE sign: the source delivers, so its own current (n+ to n-) is negative.
    assert average(r.time, r["I(V1)"], t0, t1) == pytest.approx(-mean, rel=1e-3)
    assert (len(events) - 1) / (events[-1] - events[0]) == pytest.approx(volts / PHI0, rel=1e-2)


@requires("JunctionTJMModel")
def test_tunnel_junction_holds_the_static_phase(monkeypatch):
    # Whatever the kernel, its normalisation makes the steady tunnel current
    # Ic·sin φ: a bias of Ic/2 settles at φ = π/6.  A one-pole test kernel.
    from kivrun import kvconfig

    monkeypatch.setitem(kvconfig.tjm_models, "test-kernel", ([1 + 0.5j], [0.2 + 0j], [-1 + 1j]))
    r = simulate("* t\n.model t jj(tjm=test-kernel, icrit=100uA, rn=16, cap=0.2pF, vg=2.8mV)\n"
                 "B1 1 0 t\nI1 0 1 50uA\nR1 1 0 4\n.tran 1p 300p\n.print p(B1)\n")
    assert r["P(B1)"][-1] == pytest.approx(math.pi / 6, abs=1e-4)
    with pytest.raises(kivrun.NetlistError, match="unknown tunnel-junction kernel"):
        simulate("* t\n.model t jj(tjm=nope, icrit=100uA, rn=16)\nB1 1 0 t\nI1 0 1 50uA\n.tran 1p 3p\n")

"""Transmission lines, controlled sources and the piecewise-linear junction, against hand solutions."""
import numpy as np
import pytest

from kivrun import NetlistError, simulate
from kivrun.iv import quasiparticle_current
from kivrun.netlist import parse_netlist

LINE = """* pulse into a {z0}-ohm line of {td} ps
V1 a 0 pwl(0 0 10p 0 12p 1m 14p 0)
RS a b {z0}
T1 b 0 c 0 td={td}p z0={z0}
RL c 0 {load}
.tran 0.1p 100p
.print v(b)
.print v(c)
"""


@pytest.mark.parametrize("load", [5.0, 15.0, 1e6, 1.0])
def test_line_delays_exactly_and_reflects_by_the_load(load):
    # The source sees RS = Z0 and the line: half the 1 mV pulse enters the
    # line, arrives at the load td later as (1 + Γ)·0.5 mV with Γ = (R − Z0)/(R + Z0),
    # and its reflection Γ·0.5 mV is back at the input 2·td after it left.
    r = simulate(LINE.format(z0=5, td=20, load=load))
    t, vb, vc = r.time * 1e12, r["V(b)"] * 1e3, r["V(c)"] * 1e3
    gamma = (load - 5.0) / (load + 5.0)
    assert t[np.argmax(np.abs(vc))] == pytest.approx(32.0, abs=1e-9)
    assert np.interp(32.0, t, vc) == pytest.approx(0.5 * (1 + gamma), abs=1e-6)
    assert np.interp(12.0, t, vb) == pytest.approx(0.5, abs=1e-6)
    back = vb[t > 40.0]
    assert back[np.argmax(np.abs(back))] == pytest.approx(0.5 * gamma, abs=1e-6)
    assert np.interp(52.0, t, vb) == pytest.approx(0.5 * gamma, abs=1e-6)


def test_line_passes_an_sfq_pulse_between_junction_stages():
    # Driver JTL stage -> 2-ohm series resistor -> 5-ohm line of 15 ps ->
    # receiver junction: the driver's pulse, doubled at the receiver's low
    # impedance, switches it once, a little more than td later.
    text = """* PTL link
.model jj jj(rtype=0, icrit=250u, cap=0.35p, rn=2)
P1 src 0 pwl(0 0 20p 0 25p {2*pi})
L0 src 1 2p
B1 1 0 jj
IB1 0 1 175u
LT 1 2 2p
RT 2 3 2
T1 3 0 5 0 td=15p z0=5
LR 5 6 2p
B2 6 0 jj
IB2 0 6 200u
.tran 0.2p 120p
"""
    r = simulate(text)
    sent, got = r.event_times("B1", +1), r.event_times("B2", +1)
    assert len(sent) == 1 and len(got) == 1
    assert 15e-12 < got[0] - sent[0] < 30e-12


CONTROLLED = """* a controlled source driving 4 ohm
V1 a 0 pwl(0 0 10p 1m)
R1 a 0 10
{device}
RL o 0 4
.tran 1p 20p
.print v(o)
"""


@pytest.mark.parametrize("device, volts", [
    ("E1 o 0 a 0 3", 3e-3),                      # V(o) = 3·V(a)
    ("G1 0 o a 0 0.5", 0.5 * 1e-3 * 4),          # 0.5 S · 1 mV into 4 Ω
    ("F1 0 o a b 2\nRS b 0 1", 2 * 1e-3 * 4),    # I(a→b) = 1 mA through the short and 1 Ω
    ("H1 o 0 a b 7\nRS b 0 1", 7 * 1e-3),        # 7 Ω · 1 mA
    ("VS a b 0\nRS b 0 1\nF1 0 o VS 2", 2 * 1e-3 * 4),  # SPICE form: the current of VS
    ("E1 0 o a 0 3", -3e-3),                     # output reversed
])
def test_controlled_sources_against_hand_solutions(device, volts):
    r = simulate(CONTROLLED.format(device=device))
    assert r["V(o)"][-1] == pytest.approx(volts, rel=1e-9)


@pytest.mark.parametrize("text, message", [
    ("T1 a 0 b 0 td=10p\n", "needs TD= and Z0="),
    ("T1 a 0 b 0 lossy td=10p z0=5\n", "only the lossless"),
    ("T1 a 0 b 0 td=0 z0=5\n", "must be positive"),
    ("F1 a 0 R9 2\nR9 a 0 1\n", "senses the current of a V, P or L"),
    ("E1 a 0 b 2\n", "needs o\\+ o- c\\+ c- value"),
    ("F1 a 0 0 0 2\n", "control terminals are the same node"),
])
def test_bad_device_cards(text, message):
    with pytest.raises(NetlistError, match=message):
        parse_netlist("* x\nR1 a 0 1\nR2 b 0 1\n" + text + ".tran 1p 2p\n")


def test_a_line_too_short_for_the_run_is_refused_before_it():
    with pytest.raises(NetlistError, match="TD this short") as info:
        simulate("* x\nR1 a 0 1\nR2 b 0 1\nT1 a 0 b 0 td=1e-30 z0=5\n.tran 1p 2p\n")
    assert info.value.where.line == 4


@pytest.mark.parametrize("volts", [1.0e-3, 2.8e-3, 4.0e-3])
def test_piecewise_linear_junction_carries_its_static_curve(volts):
    # A constant voltage across the junction: the supercurrent oscillates at
    # the Josephson frequency and averages out over whole periods, leaving the
    # quasiparticle current of the dialect's curve (r0 below the gap, the
    # ramp across it, rn above).
    text = f"""* voltage-biased junction
.model q jj(rtype=1, icrit=100u, cap=0, rn=10, r0=100, vg=2.8m, delv=0.4m)
V1 a 0 pwl(0 0 1p {volts})
B1 a 0 q
.tran 0.01p 60p
.print i(B1)
"""
    r = simulate(text, max_step=0.01e-12)
    period = 2.067833848e-15 / volts
    late = r.time >= r.time[-1] - 20 * period
    current = np.trapezoid(r["I(B1)"][late], r.time[late]) / (r.time[late][-1] - r.time[late][0])
    jj = parse_netlist(text).elements[1].junction
    assert current == pytest.approx(float(quasiparticle_current(jj, np.array([volts]))[0]), rel=2e-3)

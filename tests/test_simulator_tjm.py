"""Tunnel junctions with the shipped kernels, through the whole simulator.

Reference values come from physics (Ic·sin φ, BCS slopes) or from the kernel
table itself: its DC quasiparticle curve is x + (1 - Rn/Rsub)·Im(Jq - ix)(x)
in units of Vg/Rn, evaluated from the B amplitudes and poles.
"""
import math

import numpy as np
import pytest

from simulation_support import average, requires
from kivrun import kvconfig, simulate
from kivrun.api import prepare, run_prepared
from kivrun.units import PHI0

pytestmark = requires("JunctionTJMModel", "VoltageSourceModel", "PhaseSourceModel")
fit = pytest.importorskip("kivrun.tjmfit.fit")  # needs SciPy

VG = 2.8e-3
IC = 100e-6


def kernel_icrn(name):
    a, _, p = (np.asarray(v, dtype=complex) for v in kvconfig.tjm_models[name])
    return float(-np.sum((a / p).real))


def table_iv(name, x, wrrat):
    """The kernel's DC quasiparticle current at V = x·Vg, in Vg/Rn."""
    _, b, p = (np.asarray(v, dtype=complex) for v in kvconfig.tjm_models[name])
    x = np.atleast_1d(np.asarray(x, dtype=float))
    return x + (1.0 - wrrat) * fit.evaluate(b, p, x).imag


def test_static_phase_carries_ic_sin_phi():
    # Phase sources ramp each junction to φ0 and hold it; once the kernel's
    # memory of the ramp has decayed the current is Ic·sin φ0 exactly,
    # whatever the kernel, Rn or capacitance.
    cases = [("nb_4k2", 100e-6, 0.6), ("nb_4k2", 250e-6, 2.0), ("bcs_t0", 150e-6, -1.0)]
    lines = ["* static phase"]
    for k, (kernel, ic, phi) in enumerate(cases, 1):
        lines += [f".model m{k} jj(tjm={kernel}, icrit={ic}, cap=0.3p, rsub=200)",
                  f"B{k} {k} 0 m{k}", f"P{k} {k} 0 pwl(0 0 20p {phi})"]
    lines += [".tran 1p 300p", ".print " + " ".join(f"i(B{k})" for k in range(1, 4))]
    r = simulate("\n".join(lines) + "\n")
    for k, (_, ic, phi) in enumerate(cases, 1):
        assert r[f"I(B{k})"][-1] == pytest.approx(ic * math.sin(phi), rel=1e-7)


class TestVoltageBias:
    """Junctions across ideal voltage sources, 2 ps ramp, averaged over whole periods."""

    NB = [0.5, 0.95, 1.05, 1.2, 1.5, 2.0, 3.0, 4.0]  # nb_4k2 with Rsub = 20 Rn
    BARE = [0.2, 0.5]                               # bcs_t0, no subgap resistor
    STOP = 50e-12

    @pytest.fixture(scope="class")
    @classmethod
    def run(cls):
        rn = {name: kernel_icrn(name) * VG / IC for name in ("nb_4k2", "bcs_t0")}
        lines = ["* dc bias",
                 f".model nb jj(tjm=nb_4k2, icrit={IC}, vg={VG}, cap=0.5p, rsub={20 * rn['nb_4k2']})",
                 f".model bare jj(tjm=bcs_t0, icrit={IC}, vg={VG}, cap=0.5p)"]
        biases = [("nb", x) for x in cls.NB] + [("bare", x) for x in cls.BARE]
        for k, (model, x) in enumerate(biases, 1):
            lines += [f"B{k} {k} 0 {model}", f"V{k} {k} 0 pwl(0 0 2p {x * VG})"]
        # The source fixes the phases exactly, so only TMAX resolves the current.
        lines += [f".tran 1p {cls.STOP} 0 0.02p",
                  ".print " + " ".join(f"i(B{k})" for k in range(1, len(biases) + 1))]
        r = simulate("\n".join(lines) + "\n")
        means = {}
        for k, (model, x) in enumerate(biases, 1):
            period = PHI0 / (x * VG)
            periods = math.floor((cls.STOP - 20e-12) / period)
            means[model, x] = average(r.time, r[f"I(B{k})"], cls.STOP - periods * period, cls.STOP)
        return means, rn

    def test_dc_current_follows_the_tables_quasiparticle_curve(self, run):
        means, rn = run
        vg_rn = VG / rn["nb_4k2"]
        own = dict(zip(self.NB, vg_rn * table_iv("nb_4k2", self.NB, 0.05)))
        for x in (0.5, 1.2, 1.5, 2.0, 3.0, 4.0):
            assert means["nb", x] == pytest.approx(own[x], rel=0.02), x
        # The step at the gap: the table's own, and most of the BCS step π/4·Vg/Rn
        # (thermal smearing at 4.2 K takes a little, the 5 % leak its share).
        step = means["nb", 1.05] - means["nb", 0.95]
        assert step == pytest.approx(own[1.05] - own[0.95], rel=0.05)
        assert 0.7 * math.pi / 4 * vg_rn < step < math.pi / 4 * vg_rn
        # Above the gap the slope is 1/Rn (BCS: 1 + 1/(4 x²) of it, 1 + 1/48 between 3 and 4).
        slope = (means["nb", 4.0] - means["nb", 3.0]) / VG
        assert slope * rn["nb_4k2"] == pytest.approx(0.05 + 0.95 * (1 + 1 / 48), rel=0.01)

    def test_quasiparticle_current_is_positive_at_positive_voltage(self, run):
        means, rn = run
        assert all(value > 0 for value in means.values())
        # Without a subgap resistor the only current below the gap is the small
        # leak of the smoothed step, still the table's own and still positive.
        vg_rn = VG / rn["bcs_t0"]
        for x in self.BARE:
            own = vg_rn * table_iv("bcs_t0", x, 0.0)[0]
            assert 0 < own < 0.01 * vg_rn
            assert means["bare", x] == pytest.approx(own, rel=0.02), x


JTL = """* tunnel-junction JTL
.model jj1 jj(tjm=nb_4k2, icrit=250uA, cap=0.35pF, vg=2.8mV)
.subckt stage in out
B1 in 0 jj1
RS in 0 2.5
IB 0 in 175uA
L1 in out 2pH
.ends
P1 src 0 pwl(0 0 40p 0 45p 6.283185)
L0 src 1 2pH
X1 stage 1 2
X2 stage 2 3
X3 stage 3 4
X4 stage 4 5
RL 5 0 2ohm
.tran 0.1p 100p
.print p(B1.X4)
"""


def test_newton_leaves_a_small_error_with_tunnel_junctions():
    # The tunnel junction's Jacobian is the quasi-static slope, so Newton
    # converges linearly; an accepted step must still be within 1 % of the
    # tolerance of the converged solution (the loop's audit iterates on).
    prepared = prepare(JTL, tolerance=1e-4)
    prepared.settings.audit_newton = True
    r = run_prepared(prepared)
    assert len(r.event_times("B1.X4", +1)) == 1
    assert 0.0 < r.stats.newton_leftover < 0.05 * 1e-4
    assert r.stats.newton_per_step < 2.5

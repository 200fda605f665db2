"""Sign conventions of the shipped table, checked through the junction model itself.

NumpyTJM repeats, in plain NumPy, the tunnel-junction model's kernel installation
(pole scaling, normalisation, second-amplitude scaling) and its per-step recursion,
so the table can be exercised the way the simulator uses it even where the compiled
core is not built.
"""
import math

import numpy as np
import pytest

from kivrun import kvconfig
from kivrun.tjmfit import fit, units

special = pytest.importorskip("scipy.special")
from kivrun.tjmfit.response import BCSResponse  # noqa: E402


class NumpyTJM:
    def __init__(self, entry, crit_current, beta, wvg, wvrat, wrrat):
        a, b, p = (np.array([complex(v) for v in lst]) for lst in entry)
        self.crit, self.beta = crit_current, beta
        self.P = p * wvg * 0.5
        x = -np.sum((a / self.P).real)
        self.sgw = 1.0 / (wvg * wvrat)
        self.A = -a / x
        self.B = b * wvg * (wrrat - 1.0) / (2 * wvrat)
        self.rest()

    def rest(self):
        """History of a junction that has rested at phase 0 forever."""
        self.fc = -1.0 / self.P
        self.fs = np.zeros_like(self.P)

    def step(self, h, phase0, volt0, phase1, volt1, dvolt1=0.0):
        """Advance the history over [t, t + h] and return the current at t + h."""
        p = self.P
        s, c = math.sin(0.5 * phase0), math.cos(0.5 * phase0)
        pq = p * h
        epq = np.exp(pq)
        q2 = pq * pq
        alpha0 = (epq * (q2 - 2) + 2 * pq + 2) / (p * q2)
        beta0 = (epq * pq - 2 * epq + pq + 2) / (p * (p * pq))
        alpha1 = (2 * epq - 2 - 2 * pq - q2) / (p * q2)
        fcdt = alpha0 * c + self.fc * epq - beta0 * s * volt0 * 0.5
        fsdt = alpha0 * s + self.fs * epq + beta0 * c * volt0 * 0.5
        s1, c1 = math.sin(0.5 * phase1), math.cos(0.5 * phase1)
        self.fc = alpha1 * c1 + fcdt
        self.fs = alpha1 * s1 + fsdt
        curr = (np.sum(self.fs * (self.A - self.B)).real * c1
                + s1 * np.sum(self.fc * (self.A + self.B)).real)
        return ((self.beta * self.sgw * dvolt1 + volt1) * self.sgw - curr) * self.crit


def shipped(name):
    assert name in kvconfig.tjm_models, f"kernel {name} not shipped"
    return kvconfig.tjm_models[name]


# a junction in host units: Vg = 2.5, Ic*Rn/Vg = 0.7, Rn/Rsub = 0.05, Ic = 1.3
WVG, WVRAT, WRRAT, IC = 2.5, 0.7, 0.05, 1.3


def dc_current(model, x, periods=2, wvg=WVG):
    """Time-averaged current at the constant voltage x*Vg, from the exact steady history."""
    v = x * wvg
    b = 0.5 * v
    # steady history for phi(t) = v t at t = 0: integrals of e^{P s} cos(b s), -sin(b s)
    model.fc = -0.5 * (1 / (model.P - 1j * b) + 1 / (model.P + 1j * b))
    model.fs = 0.5j * (1 / (model.P - 1j * b) - 1 / (model.P + 1j * b))
    n = 400 * periods
    h = periods * 4 * math.pi / v / n          # whole periods of phi/2
    cur = np.array([model.step(h, v * k * h, v, v * (k + 1) * h, v) for k in range(n)])
    phi = v * h * np.arange(1, n + 1)
    # DC part and the Josephson components along sin(phi) and cos(phi)
    return float(np.mean(cur)), 2 * float(np.mean(cur * np.sin(phi))), \
        2 * float(np.mean(cur * np.cos(phi)))


@pytest.mark.parametrize("name", ["bcs_t0", "nb_4k2"])
class TestShippedKernelInModel:
    def test_static_phase_carries_ic_sin_phi(self, name):
        m = NumpyTJM(shipped(name), IC, 1.0, WVG, WVRAT, WRRAT)
        # ramp the phase slowly from rest at 0 to phi0, then hold until the history settles
        for phi0 in (0.4, 2.0, -1.0):
            m.rest()
            h, ramp, hold = 0.2, 400.0, 3000.0
            t, phi, cur = 0.0, 0.0, 0.0
            while t < ramp + hold:
                t1 = t + h
                s1 = min(t1 / ramp, 1.0)
                phi1 = phi0 * (3 * s1**2 - 2 * s1**3)
                v1 = phi0 * 6 * (s1 - s1**2) / ramp if t1 < ramp else 0.0
                v0 = phi0 * 6 * (min(t / ramp, 1) - min(t / ramp, 1) ** 2) / ramp
                cur = m.step(h, phi, v0, phi1, v1)
                t, phi = t1, phi1
            assert cur == pytest.approx(IC * math.sin(phi0), rel=1e-6, abs=1e-9)

    def test_dc_quasiparticle_curve(self, name):
        m = NumpyTJM(shipped(name), IC, 1.0, WVG, WVRAT, WRRAT)
        a, b, p = (np.asarray(v) for v in shipped(name))
        g_n = IC / (WVG * WVRAT)                       # 1/Rn in host units
        xs = [0.5, 0.95, 1.05, 1.2, 1.5, 2.0, 3.0, 4.0]
        runs = {x: dc_current(m, x) for x in xs}
        got = {x: r[0] for x, r in runs.items()}
        for x in xs:
            # the table's own DC curve: normal part plus the weighted excess
            own = g_n * WVG * (x + (1 - WRRAT) * fit.evaluate(b, p, np.array([x]))[0].imag)
            assert got[x] == pytest.approx(own, rel=2e-3), x
            assert got[x] > 0
        vg_rn = g_n * WVG                              # Vg/Rn
        # step at the gap: about (pi/4)(1 - Rn/Rsub) Vg/Rn at T = 0, less when warm
        step = (got[1.05] - got[0.95]) / vg_rn
        assert 0.5 * (1 - WRRAT) * math.pi / 4 < step < 1.05 * (1 - WRRAT) * math.pi / 4
        # slope 1/Rn well above the gap (BCS: 1 + 1/(4 x^2))
        slope = (got[4.0] - got[3.0]) / WVG / g_n
        assert slope == pytest.approx(1 + 1 / 48, rel=0.01)
        # the pair current oscillates as Ic*(Re Jp sin(phi) - Im Jp cos(phi))/Re Jp(0)
        ic_t = -np.sum((a / p).real)
        for x in (0.5, 1.2, 2.0):
            jp = fit.evaluate(a, p, np.array([x]))[0]
            _, s_amp, c_amp = runs[x]
            assert s_amp == pytest.approx(IC * jp.real / ic_t, rel=2e-3, abs=2e-3 * IC), x
            assert c_amp == pytest.approx(-IC * jp.imag / ic_t, rel=2e-3, abs=2e-3 * IC), x
        # below the gap the pair current is reactive (Riedel: Re Jp(0.5) = K(1/4)/2 > Ic);
        # above it the cos(phi) part takes the sign of -Im Jp < 0
        assert runs[0.5][1] > IC and abs(runs[0.5][2]) < 0.02 * IC
        assert runs[1.2][2] < -0.1 * IC
        if name == "bcs_t0":
            assert runs[0.5][1] / IC == pytest.approx(
                special.ellipk(0.25) / 2 / (math.pi / 4), rel=2e-3)
            # against smoothed BCS theory, independent of the fit
            resp = BCSResponse(0.0, kvconfig_delta(name))
            for x in (0.5, 1.2, 1.5, 2.0):
                excess = resp(np.array([x]))[0][0].imag
                theory = vg_rn * (WRRAT * x + (1 - WRRAT) * (x + excess))
                assert got[x] == pytest.approx(theory, rel=2e-3, abs=1e-3 * vg_rn), x
            # below the gap: the subgap conductance plus a small leak of the smoothed step
            assert 0 < got[0.5] / vg_rn - WRRAT * 0.5 < 0.01
            # and unsmoothed BCS well above the gap: x E(m) - K(m)/2x
            m0 = 1 - 1 / 2.0**2
            bcs = 2.0 * special.ellipe(m0) - special.ellipk(m0) / 4.0
            assert got[2.0] / vg_rn == pytest.approx(WRRAT * 2.0 + (1 - WRRAT) * bcs, rel=2e-3)


def kvconfig_delta(name):
    from kivrun import tjm_kernels
    return tjm_kernels.FIT_SETTINGS[name]["delta"]


def test_shipped_table_form():
    for name in ("bcs_t0", "nb_4k2"):
        entry = shipped(name)
        assert len(entry) == 3
        a, b, p = entry
        assert 8 <= len(a) <= 12 and len(a) == len(b) == len(p)
        assert all(complex(v).real < 0 for v in p)
        # the pair kernel's static value is Ic*Rn/Vg, about pi/4 (colder) or less (warmer)
        ic = -sum((complex(x) / complex(y)).real for x, y in zip(a, p))
        assert 0.6 < ic < 0.79
        # the quasiparticle current never runs backwards, even with no subgap leakage
        x = np.linspace(1e-4, 50, 50001)
        assert np.all(x + fit.evaluate(np.asarray(b), np.asarray(p), x).imag > 0)


def test_unit_mapping_gives_physical_junction():
    # 150 uA, 0.6 pF, Vg 2.8 mV, Rn 14 Ohm, Rsub 280 Ohm; host units 1 mV and 0.1 mA
    v0, i0 = 1e-3, 1e-4
    p = units.tjm_parameters(150e-6, 0.6e-12, 2.8e-3, 14.0, 280.0, v0=v0, i0=i0)
    t0 = units.time_unit(v0)
    assert t0 == pytest.approx(2.067833848e-15 / (2 * math.pi * 1e-3), rel=1e-8)  # Phi0/2pi/v0
    assert p["crit_current"] == pytest.approx(1.5)
    assert p["wvg"] == pytest.approx(2.8)
    assert p["wvrat"] == pytest.approx(150e-6 * 14 / 2.8e-3)
    assert p["wrrat"] == pytest.approx(0.05)
    sgw = 1 / (p["wvg"] * p["wvrat"])
    # the model's linear terms: Ic*sgw is 1/Rn, Ic*beta*sgw^2 is C, in host units
    assert p["crit_current"] * sgw == pytest.approx(1 / (14.0 / (v0 / i0)))
    assert p["crit_current"] * p["beta"] * sgw**2 == pytest.approx(0.6e-12 / (i0 * t0 / v0))
    assert units.tjm_parameters(1e-4, 0, 2.8e-3, 20, None)["wrrat"] == 0.0
    # end to end: the mapped junction at V = 2 Vg carries the BCS current in amperes
    m = NumpyTJM(shipped("bcs_t0"), p["crit_current"], p["beta"], p["wvg"], p["wvrat"], 0.0)
    amps = dc_current(m, 2.0, wvg=p["wvg"])[0] * i0
    m0 = 1 - 1 / 2.0**2
    bcs = 2.0 * special.ellipe(m0) - special.ellipk(m0) / 4.0
    assert amps == pytest.approx(2.8e-3 / 14.0 * bcs, rel=2e-3)
    assert units.tjm_init_params("nb_4k2", icrit=1e-4, cap=0, vg=2.8e-3, rn=20)[0] == "nb_4k2"
    with pytest.raises(ValueError):
        units.tjm_parameters(-1e-4, 0, 2.8e-3, 20)

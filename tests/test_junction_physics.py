"""An overdamped junction biased above its critical current, through the drivers.

With C ≈ 0 the junction obeys V = dφ/dt = R (I − Ic sin φ): the phase slips
with period 2π / (R √(I² − Ic²)), so the average voltage is R √(I² − Ic²)
and the counter rises by one per slip.  The time loop is the smallest one the
drivers allow: backward Euler (V = (φ − φ_prev)/h, so coeff_dt = 1/h, and the
same for the voltage derivative, coeff_ddt = 1/h²) with Newton iterations on
the dense system assembled from the slot arrays.
"""
import math

import numpy as np
import pytest

from kivrun import SimulationParameters as SP
from kivrun import kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

IC, R, C = 1.0, 1.0, 1e-4
H = 5e-3


class Circuit:
    """Slot bookkeeping: every (row, col) entry a model touches gets a slot."""

    def __init__(self, n):
        self.n = n
        self.entries = {}

    def slot(self, r, c):
        return self.entries.setdefault((r, c), len(self.entries))

    def two_terminal(self, model, i, j):
        model.InitModel(self.slot(i, i), self.slot(i, j), self.slot(j, i), self.slot(j, j))
        return model

    def dense(self, values):
        a = np.zeros((self.n, self.n))
        for (r, c), k in self.entries.items():
            if r and c:
                a[r - 1, c - 1] += values[k]
        return a


def simulate(host, bias, t_end):
    """Two copies of the circuit: a current source feeds node 1, whose junction
    (1 → 2) sits above a small resistor to ground, and node 3, whose junction
    has its first terminal at ground (0 → 3)."""
    h = host(unknowns=3, elements=5)
    ckt = Circuit(3)
    src1 = ckt.two_terminal(sw.CurrentSourceModel(1, 0, 0), 1, 0)
    jj1 = ckt.two_terminal(sw.JunctionModel(1, 2, 1), 1, 2)
    res = ckt.two_terminal(sw.ResistorModel(2, 0, 2), 2, 0)
    src3 = ckt.two_terminal(sw.CurrentSourceModel(3, 0, 3), 3, 0)
    jj3 = ckt.two_terminal(sw.JunctionModel(0, 3, 4), 0, 3)
    for m, params in ((src1, [bias]), (jj1, [IC, R, C]), (res, [0.5]), (src3, [bias]),
                      (jj3, [IC, R, C])):
        m.SetParameters(params)
    h.register(src1, jj1, res, src3, jj3)
    h.set_step(coeff_dt=1 / H, coeff_ddt=1 / H**2, h=H, histeresis=0.1)

    nslots = len(ckt.entries)
    phi, v, d = np.zeros(3), np.zeros(3), np.zeros(3)
    trace = []
    for step in range(int(round(t_end / H))):
        phi_prev, v_prev = phi.copy(), v.copy()
        phi = phi_prev + H * v_prev
        a1 = np.zeros(nslots)
        for it in range(50):
            v = (phi - phi_prev) / H
            d = (v - v_prev) / H
            SP.X, SP.DX, SP.DDX, SP.DXprev = [phi_prev, phi], v, d, v_prev
            a2, b = np.zeros(nslots), np.zeros(3)
            if it == 0:
                sw.BuildMatrix(a1, a2, b)  # A1 depends on the step only
            else:
                sw.UpdateMatrix(a2, b)
            correction = np.linalg.solve(ckt.dense(a1 + a2), b)
            phi = phi + correction
            if np.abs(correction).max() < 1e-12:
                break
        else:
            raise AssertionError("Newton did not converge")
        v = (phi - phi_prev) / H
        d = (v - v_prev) / H
        h.set_nodes(phi, v, d)
        sw.UpdateValues()
        trace.append(((step + 1) * H, kvglobals.ElementPhase.copy(),
                      kvglobals.ElementN.copy(), kvglobals.ElementInc.copy(),
                      kvglobals.ElementDec.copy()))
    return trace


@pytest.mark.parametrize("bias", [1.2, 2.0])
def test_overdamped_junction_average_voltage_and_counter(host, bias):
    expected_v = R * math.sqrt(bias**2 - IC**2)
    period = 2 * math.pi / expected_v
    trace = simulate(host, bias, t_end=6 * period)
    t = np.array([s[0] for s in trace])
    for e, sign in ((1, +1), (4, -1)):
        phase = np.array([s[1][e] for s in trace])
        n = np.array([s[2][e] for s in trace])
        inc = np.array([s[3][e] for s in trace])
        dec = np.array([s[4][e] for s in trace])
        # The counter moves one quantum at a time, in the phase's direction,
        # and always stays within half a quantum (plus the band) of φ/2π.
        assert np.all(np.diff(n) * sign >= 0) and np.all(np.abs(np.diff(n)) <= 1)
        assert not (dec if sign > 0 else inc).any()
        flags = inc if sign > 0 else dec
        assert np.array_equal(flags[1:] == 1, np.diff(n) != 0)
        assert np.all(np.abs(n - phase / (2 * math.pi)) <= 0.5 + 0.1 + 1e-9)
        assert abs(n[-1]) >= 5
        # Average voltage over whole slips: between the first and the last
        # counter change the phase advanced by exactly that many quanta' worth
        # of 2π, up to the sampling of the change times.
        changes = np.flatnonzero(np.diff(n)) + 1
        first, last = changes[0], changes[-1]
        v_avg = (phase[last] - phase[first]) / (t[last] - t[first])
        assert sign * v_avg == pytest.approx(expected_v, rel=0.01)
        slips = abs(n[last] - n[first])
        assert abs(phase[last] - phase[first]) == pytest.approx(2 * math.pi * slips, abs=0.05)

"""Branch-form inductor and mutual inductance: incidence and inductance
stamps, branch rows, values, the decided refusals, and coupled-inductor
physics through the drivers."""
from __future__ import annotations

import math
import pickle

import numpy as np
import pytest

from branch_helpers import Pattern, assembled, fd_check
from kivrun import kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

# Distinct, unordered slots; ground-side slots hold numbers no array could take.
IQ, JQ, QI, QJ, QQ = 4, 9, 1, 6, 10
NSLOTS = 12
CONFIGS = {
    "both": ((2, 3), (IQ, JQ, QI, QJ, QQ)),
    "j_ground": ((2, 0), (IQ, -1, QI, 10**6, QQ)),
    "i_ground": ((0, 3), (-7, JQ, 10**6, QJ, QQ)),
}
INCIDENCE = {
    "both": [(IQ, 1.0), (JQ, -1.0), (QI, -1.0), (QJ, 1.0)],
    "j_ground": [(IQ, 1.0), (QI, -1.0)],
    "i_ground": [(JQ, -1.0), (QJ, 1.0)],
}

P = np.array([0.31, -1.7, 2.2, 0.45, -0.9, 1.3])
V = np.array([1.1, 0.6, -2.4, 3.3, 0.2, -0.5])

MSG = ("self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,"
       "self.node_voltages cannot be converted to a Python object for pickling")


def inductor(i, j, q=5, eindex=1, slots=(IQ, JQ, QI, QJ, QQ), inductance=None):
    m = sw.InductorImpedanceModel(i, j, q, eindex)
    m.InitModel(*slots)
    if inductance is not None:
        m.SetParameters([inductance])
    return m


def mutual(q, v, slots, eindex=0, m_value=None):
    m = sw.MutualInductanceModel(q, v, eindex)
    m.InitModel(*slots)
    if m_value is not None:
        m.SetParameters([m_value])
    return m


class TestInductorStamp:
    @pytest.mark.parametrize("config", CONFIGS)
    def test_incidence_and_inductance_in_the_static_matrix(self, host, config):
        h = host(unknowns=6)
        (i, j), slots = CONFIGS[config]
        h.register(inductor(i, j, slots=slots, inductance=3.0))
        want = np.zeros(NSLOTS)
        for slot, value in INCIDENCE[config]:
            want[slot] = value
        want[QQ] = 3.0
        np.testing.assert_array_equal(h.static(NSLOTS), want)
        a1, a2, _ = h.build(NSLOTS)
        assert not a1.any() and not a2.any()

    def test_fresh_inductor_has_unit_inductance_and_zero_is_accepted(self, host):
        h = host(unknowns=6)
        m = inductor(2, 3)
        h.register(m)
        assert h.static(NSLOTS)[QQ] == 1.0
        m.SetParameters([0.0])
        a0 = h.static(NSLOTS)
        assert a0[QQ] == 0.0 and a0[IQ] == 1.0


class TestInductorResidual:
    @pytest.mark.parametrize("config, expected", [
        ("both", {1: -P[4], 2: P[4], 4: -((P[2] - P[1]) + 3.0 * P[4])}),
        ("j_ground", {1: -P[4], 4: -(3.0 * P[4] - P[1])}),
        ("i_ground", {2: P[4], 4: -(3.0 * P[4] + P[2])}),
    ])
    def test_branch_rows(self, host, config, expected):
        h = host(unknowns=6)
        (i, j), slots = CONFIGS[config]
        h.register(inductor(i, j, slots=slots, inductance=3.0))
        h.set_step(phases=P, voltages=V, coeff_dt=4.0)
        want = np.zeros(6)
        for row, value in expected.items():
            want[row] = value
        np.testing.assert_allclose(h.rhs(), want, rtol=1e-15, atol=1e-15)
        np.testing.assert_allclose(h.build(NSLOTS)[2], want, rtol=1e-15, atol=1e-15)

    def test_node_2_to_ground_with_q_7(self, host):
        h = host(unknowns=7)
        h.register(inductor(2, 0, q=7, slots=(0, 1, 2, 3, 4), inductance=3.0))
        p = np.array([0.0, 0.8, 0.0, 0.0, 0.0, 0.0, 0.5])
        h.set_step(phases=p)
        want = np.zeros(7)
        want[1] = -0.5               # vec[1] -= P[6]
        want[6] = -(3.0 * 0.5 - 0.8)  # vec[6] -= 3 P[6] - P[1]
        np.testing.assert_array_equal(h.rhs(), want)
        a0 = h.static(5)
        np.testing.assert_array_equal(a0, [1.0, 0.0, -1.0, 0.0, 3.0])


class TestMutual:
    SLOTS = (3, 7, 1, 5)  # ind_qq, ind_qv, ind_vq, ind_vv
    NS = 8

    def test_fresh_coupling_adds_zero_to_its_two_slots_only(self, host):
        h = host(unknowns=5)
        h.register(mutual(2, 4, self.SLOTS))
        a0 = np.full(self.NS, -0.0)
        sw.BuildStaticMatrix(a0)
        # -0.0 + 0.0 is +0.0: the sign bit shows which entries were added to.
        assert [k for k in range(self.NS) if not np.signbit(a0[k])] == [1, 7]

    def test_coupling_stamp(self, host):
        h = host(unknowns=5)
        h.register(mutual(2, 4, self.SLOTS, m_value=0.2))
        want = np.zeros(self.NS)
        want[[7, 1]] = 0.2
        np.testing.assert_array_equal(h.static(self.NS), want)
        a1, a2, _ = h.build(self.NS)
        assert not a1.any() and not a2.any()

    def test_diagonal_slots_are_neither_used_nor_checked(self, host):
        h = host(unknowns=5)
        h.register(mutual(2, 4, (-5, 0, 1, 10**6), m_value=-0.3))
        np.testing.assert_array_equal(h.static(2), [-0.3, -0.3])

    def test_coupling_rows(self, host):
        h = host(unknowns=5)
        h.register(mutual(2, 4, self.SLOTS, m_value=0.2))
        p = np.array([9.0, 0.5, 9.0, -1.5, 9.0])
        h.set_step(phases=p)
        np.testing.assert_allclose(h.rhs(), [0.0, 1.5 * 0.2, 0.0, -0.5 * 0.2, 0.0], rtol=1e-15)

    def test_values_are_zero_every_time(self, host):
        h = host(unknowns=5, elements=3)
        h.register(mutual(2, 4, self.SLOTS, eindex=1, m_value=0.2))
        h.set_nodes(phases=[1.0, 2.0, 3.0, 4.0, 5.0], voltages=[1.0, 2.0, 3.0, 4.0, 5.0])
        for _ in range(2):
            for name in ("ElementCurrent", "ElementPhase", "ElementVoltage"):
                getattr(kvglobals, name)[:] = 5.0
            current, phase, voltage = h.values()
            for arr in (current, phase, voltage):
                np.testing.assert_array_equal(arr, [5.0, 0.0, 5.0])


class TestValues:
    NP = np.array([0.2, -1.4, 0.7, 0.0, 0.35, 0.0])
    NV = np.array([0.5, 1.25, -0.75, 0.0, 9.0, 0.0])
    EXPECT = {
        "both": (-1.4 - 0.7, 1.25 + 0.75),
        "j_ground": (-1.4, 1.25),
        "i_ground": (-0.7, 0.75),
    }

    @pytest.mark.parametrize("config", CONFIGS)
    def test_current_is_the_branch_unknown(self, host, config):
        h = host(unknowns=6, elements=3)
        (i, j), slots = CONFIGS[config]
        # An inductance that would give a different current from L⁻¹ × phase.
        h.register(inductor(i, j, slots=slots, eindex=2, inductance=4.0))
        h.set_nodes(phases=self.NP, voltages=self.NV)
        h.set_step(phases=np.full(6, 3.0))
        current, phase, voltage = h.values()
        assert current[2] == 0.35
        assert (phase[2], voltage[2]) == pytest.approx(self.EXPECT[config], rel=1e-15)
        assert not current[:2].any() and not phase[:2].any()


class TestFiniteDifferences:
    @pytest.mark.parametrize("config", CONFIGS)
    def test_inductor(self, host, config):
        h = host(unknowns=6)
        (i, j), _ = CONFIGS[config]
        pat = Pattern()
        h.register(inductor(i, j, slots=pat.branch(i, j, 5, diagonal=True), inductance=2.5))
        jac, _ = fd_check(h, pat, P, V, np.zeros(6), coeff_dt=4.0, coeff_ddt=3.0)
        assert np.count_nonzero(jac) == (5 if i and j else 3)

    @pytest.mark.parametrize("ends", [((1, 2), (3, 0)), ((0, 1), (2, 3))])
    def test_coupled_pair(self, host, ends):
        (i1, j1), (i2, j2) = ends
        h = host(unknowns=6)
        pat = Pattern()
        l1 = inductor(i1, j1, q=4, eindex=0, slots=pat.branch(i1, j1, 4, diagonal=True), inductance=2.0)
        l2 = inductor(i2, j2, q=6, eindex=1, slots=pat.branch(i2, j2, 6, diagonal=True), inductance=0.5)
        k = mutual(4, 6, pat.mutual(4, 6), eindex=2, m_value=-0.4)
        h.register(l1, l2, k)
        jac, _ = fd_check(h, pat, P, V, np.zeros(6), coeff_dt=4.0, coeff_ddt=3.0)
        assert jac[3, 5] == jac[5, 3] == -0.4


class TestBindingAndRefusals:
    @pytest.mark.parametrize("args", [(0, 0, 3, 0), (1, 2, 0, 0), (1, 2, -2, 0), (1, -2, 3, 0),
                                      (1, 2, 3, -1)])
    def test_inductor_indices_refused_at_construction(self, args):
        with pytest.raises(ValueError):
            sw.InductorImpedanceModel(*args)

    @pytest.mark.parametrize("args", [(0, 3, 0), (3, 0, 0), (3, 3, 0), (-1, 3, 0), (2, 3, -1)])
    def test_mutual_indices_refused_at_construction(self, args):
        with pytest.raises(ValueError):
            sw.MutualInductanceModel(*args)

    def test_unknowns_must_fit_the_bound_arrays(self, host):
        host(unknowns=4)
        with pytest.raises(ValueError, match="q = 5"):
            sw.InductorImpedanceModel(1, 2, 5, 0).InitModel(0, 1, 2, 3, 4)
        with pytest.raises(ValueError, match="v = 5"):
            sw.MutualInductanceModel(3, 5, 0).InitModel(0, 1, 2, 3)
        sw.MutualInductanceModel(3, 4, 0).InitModel(0, 1, 2, 3)

    def test_keywords(self, host):
        h = host(unknowns=4)
        m = sw.MutualInductanceModel(eindex=0, v=2, q=4)
        m.InitModel(ind_vv=0, ind_vq=1, ind_qv=2, ind_qq=3)
        m.SetParameters(params=[0.25])
        h.register(m)
        np.testing.assert_array_equal(h.static(4), [0.0, 0.25, 0.25, 0.0])

    def test_set_parameters(self, host):
        h = host(unknowns=6)
        ind = inductor(2, 3, inductance=3.0)
        k = mutual(4, 5, (0, 2, 3, 0), eindex=0, m_value=0.5)
        h.register(ind, k)
        for m in (ind, k):
            with pytest.raises(IndexError):
                m.SetParameters([])
            with pytest.raises(TypeError):
                m.SetParameters([None])
        a0 = h.static(NSLOTS)
        assert a0[QQ] == 3.0 and a0[2] == 0.5 and a0[3] == 0.5
        ind.SetParameters([1.5, 99.0])
        assert h.static(NSLOTS)[QQ] == 1.5

    def test_binding_needs_no_voltage_derivative_or_counters(self, host):
        h = host(unknowns=6)
        for name in ("NodeDVoltage", "ElementN", "ElementInc", "ElementDec"):
            delattr(kvglobals, name)
        h.register(inductor(2, 3), mutual(4, 5, (0, 2, 3, 0), eindex=0))
        h.values()

    def test_pickling_is_refused(self, host):
        host(unknowns=6)
        for m in (sw.InductorImpedanceModel(1, 0, 2, 0), inductor(2, 3),
                  sw.MutualInductanceModel(2, 3, 0), mutual(4, 5, (0, 1, 2, 3))):
            with pytest.raises(TypeError) as err:
                pickle.dumps(m)
            assert str(err.value) == MSG


class TestDriverChecks:
    def test_mutual_unknown_beyond_b(self, host):
        h = host(unknowns=4)
        h.register(mutual(4, 2, (0, 1, 2, 3), m_value=1.0))
        a1, a2, b = np.full(4, 7.0), np.full(4, 7.0), np.full(3, 7.0)
        with pytest.raises(ValueError, match="unknown 4"):
            sw.BuildMatrix(a1, a2, b)
        with pytest.raises(ValueError, match="unknown 4"):
            sw.UpdateRHS(b)
        for a in (a1, a2, b):
            assert (a == 7.0).all()

    def test_inductor_unknown_beyond_b(self, host):
        h = host(unknowns=4)
        h.register(inductor(1, 2, q=4, slots=(0, 1, 2, 3, 4)))
        b = np.full(3, 7.0)
        with pytest.raises(ValueError, match="unknown 4"):
            sw.UpdateRHS(b)
        assert (b == 7.0).all()

    def test_mutual_slot_beyond_a0(self, host):
        h = host(unknowns=4)
        h.register(mutual(4, 2, (0, 1, 9, 3), m_value=1.0))
        a0 = np.full(9, 7.0)
        with pytest.raises(ValueError, match="slot 9"):
            sw.BuildStaticMatrix(a0)
        assert (a0 == 7.0).all()

    def test_inductor_slot_beyond_a0(self, host):
        h = host(unknowns=4)
        h.register(inductor(1, 2, q=3, slots=(0, 1, 2, 3, 4)))
        a0 = np.full(4, 7.0)
        with pytest.raises(ValueError, match="slot 4"):
            sw.BuildStaticMatrix(a0)
        assert (a0 == 7.0).all()


class TestPhysics:
    @pytest.mark.parametrize("k", [0.5, -0.5])
    @pytest.mark.parametrize("drive", [(0.7, 0.0), (0.7, -0.3)])
    def test_coupled_inductors_follow_the_inductance_matrix(self, host, k, drive):
        # Unknowns: nodes 1 and 2, inductor currents 3 and 4, source currents
        # 5 and 6.  A phase source sets the flux linkage of each inductor; a
        # zero phase closes the secondary as a superconducting loop.
        l1, l2 = 2.0, 0.5
        m_value = k * math.sqrt(l1 * l2)
        h = host(unknowns=6, elements=5)
        pat = Pattern()
        ind1 = inductor(1, 0, q=3, eindex=0, slots=pat.branch(1, 0, 3, diagonal=True), inductance=l1)
        ind2 = inductor(2, 0, q=4, eindex=1, slots=pat.branch(2, 0, 4, diagonal=True), inductance=l2)
        coupling = mutual(3, 4, pat.mutual(3, 4), eindex=2, m_value=m_value)
        src1 = sw.PhaseSourceModel(1, 0, 5, 3)
        src1.InitModel(*pat.branch(1, 0, 5))
        src1.SetParameters([drive[0]])
        src2 = sw.PhaseSourceModel(2, 0, 6, 4)
        src2.InitModel(*pat.branch(2, 0, 6))
        src2.SetParameters([drive[1]])
        h.register(ind1, ind2, coupling, src1, src2)

        h.set_step()
        jac, b = assembled(h, pat)
        x = np.linalg.solve(jac, b)  # one Newton step from rest solves it

        inductance = np.array([[l1, m_value], [m_value, l2]])
        currents = np.linalg.solve(inductance, drive)
        np.testing.assert_allclose(x[2:4], currents, rtol=1e-12)
        np.testing.assert_allclose(x[:2], drive, rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(x[4:6], -currents, rtol=1e-12)

        h.set_nodes(phases=x)
        current, phase, _ = h.values()
        np.testing.assert_allclose(current[:2], currents, rtol=1e-12)
        # Flux linkage of each inductor: its own plus the mutual contribution.
        np.testing.assert_allclose(phase[:2], inductance @ currents, rtol=1e-12, atol=1e-15)
        assert current[2] == phase[2] == 0.0

    def test_zero_inductance_is_a_short_with_a_current(self, host):
        # Phase source at node 1, a zero-inductance branch 1 → 2 (current 4),
        # a nodal inductor of 2 from node 2 to ground.  Source current is 3.
        h = host(unknowns=4, elements=3)
        pat = Pattern()
        src = sw.PhaseSourceModel(1, 0, 3, 0)
        src.InitModel(*pat.branch(1, 0, 3))
        src.SetParameters([0.9])
        short = inductor(1, 2, q=4, eindex=1, slots=pat.branch(1, 2, 4, diagonal=True), inductance=0.0)
        load = sw.InductorModel(2, 0, 2)
        load.InitModel(*pat.two_terminal(2, 0))
        load.SetParameters([2.0])
        h.register(src, short, load)
        jac, b = assembled(h, pat)
        x = np.linalg.solve(jac, b)
        np.testing.assert_allclose(x, [0.9, 0.9, -0.45, 0.45], rtol=1e-14)

"""Voltage and phase sources: the unit coupling stamp, the constraint rows,
the ramp, their values and phase counters, and the decided refusals."""
from __future__ import annotations

import math
import pickle

import numpy as np
import pytest

from branch_helpers import Pattern, assembled, fd_check
from kivrun import SimulationParameters as SP
from kivrun import kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

SOURCES = (sw.VoltageSourceModel, sw.PhaseSourceModel)
TWO_PI = 2 * math.pi

# Distinct, unordered slot numbers so that a swapped slot lands elsewhere.
IQ, JQ, QI, QJ = 4, 9, 1, 6
NSLOTS = 11
# Terminal configurations with the branch unknown q = 5 of six unknowns.
# Slots whose row or column is ground hold numbers no array could take:
# they must be neither used nor checked.
CONFIGS = {
    "both": ((2, 3), (IQ, JQ, QI, QJ)),
    "j_ground": ((2, 0), (IQ, -1, QI, 10**6)),
    "i_ground": ((0, 3), (-7, JQ, 10**6, QJ)),
}
# Expected unit coupling stamp: (slot, value) pairs.
STAMPS = {
    "both": [(IQ, 1.0), (QI, 1.0), (JQ, -1.0), (QJ, -1.0)],
    "j_ground": [(IQ, 1.0), (QI, 1.0)],
    "i_ground": [(JQ, -1.0), (QJ, -1.0)],
}

P = np.array([0.31, -1.7, 2.2, 0.45, -0.9, 1.3])
V = np.array([1.1, 0.6, -2.4, 3.3, 0.2, -0.5])


def make(cls, i, j, q=5, eindex=1, slots=(IQ, JQ, QI, QJ), value=None):
    m = cls(i, j, q, eindex)
    m.InitModel(*slots)
    if value is not None:
        m.SetParameters([value])
    return m


def expected_stamp(config):
    a = np.zeros(NSLOTS)
    for slot, value in STAMPS[config]:
        a[slot] += value
    return a


class TestStamp:
    @pytest.mark.parametrize("config", CONFIGS)
    def test_voltage_source_stamps_the_step_matrix_only(self, host, config):
        h = host(unknowns=6)
        (i, j), slots = CONFIGS[config]
        h.register(make(sw.VoltageSourceModel, i, j, slots=slots, value=2.0))
        h.set_step(coeff_dt=4.0, coeff_ddt=3.0)
        np.testing.assert_array_equal(h.static(NSLOTS), np.zeros(NSLOTS))
        a1, a2, _ = h.build(NSLOTS)
        np.testing.assert_array_equal(a1, expected_stamp(config))
        np.testing.assert_array_equal(a2, np.zeros(NSLOTS))
        a2, _ = h.update(NSLOTS)
        np.testing.assert_array_equal(a2, np.zeros(NSLOTS))

    @pytest.mark.parametrize("config", CONFIGS)
    def test_phase_source_stamps_the_static_matrix_only(self, host, config):
        h = host(unknowns=6)
        (i, j), slots = CONFIGS[config]
        h.register(make(sw.PhaseSourceModel, i, j, slots=slots, value=2.0))
        h.set_step(coeff_dt=4.0, coeff_ddt=3.0)
        np.testing.assert_array_equal(h.static(NSLOTS), expected_stamp(config))
        a1, a2, _ = h.build(NSLOTS)
        np.testing.assert_array_equal(a1, np.zeros(NSLOTS))
        np.testing.assert_array_equal(a2, np.zeros(NSLOTS))


class TestResidual:
    # Node rows take x = P[q-1]; row q takes the constraint residual, with the
    # difference u_i - u_j of phases or voltages written out per configuration.
    DIFFERENCE = {
        "both": lambda u: u[1] - u[2],
        "j_ground": lambda u: u[1],
        "i_ground": lambda u: -u[2],
    }
    NODE_ROWS = {
        "both": {1: -P[4], 2: +P[4]},
        "j_ground": {1: -P[4]},
        "i_ground": {2: +P[4]},
    }

    def expected(self, config, row_q):
        b = np.zeros(6)
        for row, value in self.NODE_ROWS[config].items():
            b[row] = value
        b[4] = -row_q
        return b

    @pytest.mark.parametrize("config", CONFIGS)
    def test_phase_constraint(self, host, config):
        h = host(unknowns=6)
        (i, j), slots = CONFIGS[config]
        h.register(make(sw.PhaseSourceModel, i, j, slots=slots, value=0.8))
        h.set_step(phases=P, voltages=V, smooth=0.75, coeff_dt=4.0)
        s = 0.75 * 0.8
        want = self.expected(config, self.DIFFERENCE[config](P) - s)
        np.testing.assert_allclose(h.rhs(), want, rtol=1e-15, atol=1e-15)
        np.testing.assert_allclose(h.build(NSLOTS)[2], want, rtol=1e-15, atol=1e-15)
        np.testing.assert_allclose(h.update(NSLOTS)[1], want, rtol=1e-15, atol=1e-15)

    @pytest.mark.parametrize("config", CONFIGS)
    def test_voltage_constraint_is_scaled_by_coeff_dt(self, host, config):
        h = host(unknowns=6)
        (i, j), slots = CONFIGS[config]
        h.register(make(sw.VoltageSourceModel, i, j, slots=slots, value=0.8))
        h.set_step(phases=P, voltages=V, smooth=0.75, coeff_dt=4.0)
        s = 0.75 * 0.8
        want = self.expected(config, (self.DIFFERENCE[config](V) - s) / 4.0)
        np.testing.assert_allclose(h.rhs(), want, rtol=1e-15, atol=1e-15)
        np.testing.assert_allclose(h.build(NSLOTS)[2], want, rtol=1e-15, atol=1e-15)

    def test_voltage_source_worked_example(self, host):
        # voltage 2.0 ramped by 0.5 against a difference of 1.5: (1.5 - 1) / 4
        h = host(unknowns=3)
        h.register(make(sw.VoltageSourceModel, 1, 2, q=3, value=2.0))
        h.set_step(voltages=[2.0, 0.5, 0.0], smooth=0.5, coeff_dt=4.0)
        assert h.rhs()[2] == -0.125

    def test_phase_source_from_node_2_to_ground_with_q_7(self, host):
        h = host(unknowns=7)
        h.register(make(sw.PhaseSourceModel, 2, 0, q=7, value=3.0))
        p = np.array([0.1, 0.9, 0.0, 0.0, 0.0, 0.0, -0.4])
        h.set_step(phases=p, smooth=0.5)
        want = np.zeros(7)
        want[1] = 0.4         # vec[1] -= P[6]
        want[6] = -(0.9 - 1.5)  # vec[6] -= P[1] - sf * phase
        np.testing.assert_array_equal(h.rhs(), want)

    @pytest.mark.parametrize("cls", SOURCES)
    def test_fresh_source_constrains_to_equal_values(self, host, cls):
        h = host(unknowns=3)
        h.register(make(cls, 1, 2, q=3))
        h.set_step(phases=[0.5, 0.5, 0.0], voltages=[0.25, 0.25, 0.0], smooth=1.0)
        np.testing.assert_array_equal(h.rhs(), np.zeros(3))

    @pytest.mark.parametrize("cls", SOURCES)
    def test_zero_ramp_prescribes_zero(self, host, cls):
        h = host(unknowns=3)
        h.register(make(cls, 1, 0, q=3, value=5.0))
        h.set_step(phases=[0.0, 0.0, 0.0], smooth=0.0, coeff_dt=2.0)
        np.testing.assert_array_equal(h.rhs(), np.zeros(3))
        h.set_step(phases=[0.0, 0.0, 0.0], smooth=0.5, coeff_dt=1.0)
        assert h.rhs()[2] == 2.5


class TestFiniteDifferences:
    @pytest.mark.parametrize("cls", SOURCES)
    @pytest.mark.parametrize("config", CONFIGS)
    def test_matrix_is_the_derivative_of_the_residual(self, host, cls, config):
        h = host(unknowns=6)
        (i, j), _ = CONFIGS[config]
        pat = Pattern()
        h.register(make(cls, i, j, slots=pat.branch(i, j, 5), value=1.7))
        # coeff_dt far from 1 so that a residual not divided by it shows.
        jac, _ = fd_check(h, pat, P, V, np.zeros(6), coeff_dt=4.0, coeff_ddt=3.0, smooth=0.6)
        # And the stamp is not trivially zero: row and column q carry ±1.
        assert np.count_nonzero(jac) == (4 if i and j else 2)


class TestValues:
    NP = np.array([0.2, -1.4, 0.7, 0.0, 0.35, 0.0])
    NV = np.array([0.5, 1.25, -0.75, 0.0, 9.0, 0.0])
    EXPECT = {  # element phase, element voltage
        "both": (-1.4 - 0.7, 1.25 + 0.75),
        "j_ground": (-1.4, 1.25),
        "i_ground": (-0.7, 0.75),
    }

    @pytest.mark.parametrize("cls", SOURCES)
    @pytest.mark.parametrize("config", CONFIGS)
    def test_values_read_the_bound_arrays(self, host, cls, config):
        h = host(unknowns=6, elements=3)
        (i, j), slots = CONFIGS[config]
        h.register(make(cls, i, j, slots=slots, eindex=2, value=4.0))
        h.set_nodes(phases=self.NP, voltages=self.NV)
        # The context's arrays and ramp differ and must not be read.
        h.set_step(phases=np.full(6, 3.0), voltages=np.full(6, 3.0), smooth=0.5)
        current, phase, voltage = h.values()
        assert current[2] == 0.35  # the accepted branch current NodePhase[q-1]
        assert (phase[2], voltage[2]) == pytest.approx(self.EXPECT[config], rel=1e-15)
        assert not current[:2].any() and not phase[:2].any() and not voltage[:2].any()

    @pytest.mark.parametrize("cls", SOURCES)
    def test_counter_counts_windings_of_the_element_phase(self, host, cls):
        h = host(unknowns=3, elements=2)
        h.register(make(cls, 1, 2, q=3, eindex=1))
        h.set_step(histeresis=0.1)
        h.set_nodes(phases=[TWO_PI * 3 + 0.5, 0.5, 0.0])
        h.values()
        assert (kvglobals.ElementN[1], kvglobals.ElementInc[1], kvglobals.ElementDec[1]) == (3, 1, 0)
        h.values()  # unchanged solution: count kept, flags cleared
        assert (kvglobals.ElementN[1], kvglobals.ElementInc[1], kvglobals.ElementDec[1]) == (3, 0, 0)
        assert kvglobals.ElementN[0] == 0

    def test_counter_of_a_source_from_ground_is_negative(self, host):
        h = host(unknowns=2, elements=1)
        h.register(make(sw.PhaseSourceModel, 0, 1, q=2, eindex=0))
        h.set_nodes(phases=[TWO_PI * 2, 0.0])
        h.values()
        assert (kvglobals.ElementN[0], kvglobals.ElementInc[0], kvglobals.ElementDec[0]) == (-2, 0, 1)


class TestBindingAndRefusals:
    @pytest.mark.parametrize("cls", SOURCES)
    @pytest.mark.parametrize("args", [(0, 0, 3, 0), (1, 2, 0, 0), (1, 2, -1, 0), (-1, 2, 3, 0),
                                      (1, 2, 3, -1)])
    def test_bad_indices_are_refused_at_construction(self, cls, args):
        with pytest.raises(ValueError):
            cls(*args)

    @pytest.mark.parametrize("cls", SOURCES)
    def test_constructor_takes_keywords(self, host, cls):
        h = host(unknowns=3)
        m = cls(eindex=0, q=3, j=0, i=1)
        m.InitModel(ind_qj=3, ind_qi=2, ind_jq=1, ind_iq=0)
        m.SetParameters([1.0])
        h.register(m)
        np.testing.assert_array_equal(h.static(4) + h.build(4)[0], [1.0, 0.0, 1.0, 0.0])

    @pytest.mark.parametrize("cls", SOURCES)
    def test_branch_unknown_must_fit_the_bound_arrays(self, host, cls):
        host(unknowns=4)
        m = cls(1, 2, 5, 0)
        with pytest.raises(ValueError, match="q = 5"):
            m.InitModel(0, 1, 2, 3)
        cls(1, 2, 4, 0).InitModel(0, 1, 2, 3)

    @pytest.mark.parametrize("cls", SOURCES)
    def test_binding_needs_no_voltage_derivative(self, host, cls):
        h = host(unknowns=3)
        del kvglobals.NodeDVoltage
        m = make(cls, 1, 0, q=3)
        h.register(m)
        h.values()

    @pytest.mark.parametrize("cls", SOURCES)
    @pytest.mark.parametrize("attr, dtype", [("ElementN", np.float64), ("ElementInc", np.int32),
                                             ("ElementDec", np.float64), ("NodeVoltage", np.int32)])
    def test_counter_arrays_must_have_their_types(self, host, cls, attr, dtype):
        host(unknowns=3)
        setattr(kvglobals, attr, np.zeros(4, dtype=dtype))
        with pytest.raises(ValueError, match="dtype"):
            make(cls, 1, 0, q=3)

    @pytest.mark.parametrize("cls", SOURCES)
    def test_set_parameters(self, host, cls):
        h = host(unknowns=3)
        m = make(cls, 1, 0, q=3, value=2.0)
        h.register(m)
        h.set_step(coeff_dt=1.0)
        with pytest.raises(IndexError):
            m.SetParameters([])
        with pytest.raises(IndexError):
            m.SetParameters(())
        with pytest.raises(TypeError):
            m.SetParameters(["two"])
        assert h.rhs()[2] == 2.0  # unchanged by the failures
        m.SetParameters((3.0, 7.0))  # further items ignored
        assert h.rhs()[2] == 3.0

    @pytest.mark.parametrize("cls", SOURCES)
    def test_pickling_is_refused(self, host, cls):
        host(unknowns=3)
        msg = ("self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
               "self.node_phases,self.node_voltages cannot be converted to a Python object for pickling")
        for m in (cls(1, 0, 3, 0), make(cls, 1, 0, q=3)):
            with pytest.raises(TypeError) as err:
                pickle.dumps(m)
            assert str(err.value) == msg


class TestDriverChecks:
    """A branch unknown beyond the arrays of a call is refused before any model runs."""

    @pytest.mark.parametrize("cls", SOURCES)
    def test_q_beyond_b(self, host, cls):
        h = host(unknowns=4)
        h.register(make(cls, 1, 2, q=4, slots=(0, 1, 2, 3), value=1.0))
        a1, a2, b = np.full(4, 7.0), np.full(4, 7.0), np.full(3, 7.0)
        with pytest.raises(ValueError, match="unknown 4"):
            sw.BuildMatrix(a1, a2, b)
        with pytest.raises(ValueError, match="unknown 4"):
            sw.UpdateMatrix(a2, b)
        with pytest.raises(ValueError, match="unknown 4"):
            sw.UpdateRHS(b)
        for a in (a1, a2, b):
            assert (a == 7.0).all()

    def test_q_beyond_the_present_estimate(self, host):
        h = host(unknowns=4)
        h.register(make(sw.PhaseSourceModel, 1, 0, q=4, slots=(0, 1, 2, 3)))
        SP.X = [np.zeros(4), np.zeros(3)]
        b = np.full(4, 7.0)
        with pytest.raises(ValueError, match=r"SP\.X\[SP\.Xind\]"):
            sw.UpdateRHS(b)
        assert (b == 7.0).all()


class TestPhysics:
    @pytest.mark.parametrize("i, j", [(1, 0), (0, 1)])
    @pytest.mark.parametrize("smooth", [1.0, 0.5])
    def test_voltage_source_across_resistor_after_one_newton_step(self, host, i, j, smooth):
        # Unknowns: node 1, the source current 2.  R = 2 from node 1 to ground.
        volts, resistance, coeff_dt = 3.0, 2.0, 20.0
        h = host(unknowns=2, elements=2)
        pat = Pattern()
        src = make(sw.VoltageSourceModel, i, j, q=2, eindex=0, slots=pat.branch(i, j, 2), value=volts)
        res = sw.ResistorModel(1, 0, 1)
        res.InitModel(*pat.two_terminal(1, 0))
        res.SetParameters([resistance])
        h.register(src, res)
        h.set_step(coeff_dt=coeff_dt, smooth=smooth)  # start from rest
        jac, b = assembled(h, pat)
        delta = np.linalg.solve(jac, b)

        node_voltage = coeff_dt * delta[0]
        s = smooth * volts
        sign = 1 if i else -1  # the source sets V_i - V_j
        assert node_voltage == pytest.approx(sign * s, rel=1e-14)
        # The source current runs from i through the source to j.
        assert delta[1] == pytest.approx(-s / resistance, rel=1e-14)

        # The new estimate satisfies every equation.
        h.set_step(coeff_dt=coeff_dt, smooth=smooth, phases=delta, voltages=coeff_dt * delta)
        np.testing.assert_allclose(h.rhs(), 0.0, atol=1e-14)

        h.set_nodes(phases=delta, voltages=[node_voltage, 0.0])
        current, phase, voltage = h.values()
        assert current[1] == pytest.approx(sign * s / resistance, rel=1e-14)
        assert current[0] == pytest.approx(-s / resistance, rel=1e-14)
        assert voltage[0] == pytest.approx(s, rel=1e-14)

    def test_phase_source_ramped_to_three_quanta(self, host):
        # A phase source at node 1 (current unknown 2) drives a nodal inductor
        # to ground; its value is ramped to 2π·3 through the smooth factor.
        target, inductance, steps = TWO_PI * 3, 2.0, 24
        h = host(unknowns=2, elements=2)
        pat = Pattern()
        src = make(sw.PhaseSourceModel, 1, 0, q=2, eindex=0, slots=pat.branch(1, 0, 2), value=target)
        ind = sw.InductorModel(1, 0, 1)
        ind.InitModel(*pat.two_terminal(1, 0))
        ind.SetParameters([inductance])
        h.register(src, ind)
        x = np.zeros(2)
        counts, rises = [], 0
        for k in range(1, steps + 1):
            h.set_step(phases=x, smooth=k / steps, histeresis=0.1)
            jac, b = assembled(h, pat)
            x = x + np.linalg.solve(jac, b)
            h.set_nodes(phases=x)
            h.values()
            counts.append(int(kvglobals.ElementN[0]))
            rises += int(kvglobals.ElementInc[0])
            assert kvglobals.ElementDec[0] == 0
        assert counts == sorted(counts)
        assert counts[-1] == 3 and rises == 3
        assert kvglobals.ElementPhase[0] == pytest.approx(target, rel=1e-14)
        # The source carries the inductor's current, from node 1 to ground.
        assert kvglobals.ElementCurrent[1] == pytest.approx(target / inductance, rel=1e-14)
        assert kvglobals.ElementCurrent[0] == pytest.approx(-target / inductance, rel=1e-14)

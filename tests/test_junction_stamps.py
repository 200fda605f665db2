"""Junction stamps, residuals and reported values in every terminal configuration.

The state is chosen so that the numbers come out by hand: a junction phase of
π/2 (sine 1, cosine 0), a voltage difference of 1 over R = 2 and a
voltage-derivative difference of 2 times C = 0.25 give, with Ic = 1.5, the
current 0.5 + 1.5 + 0.5 = 2.5.  Node values are offset so that a swapped
terminal or slot changes the result.
"""
import math

import numpy as np
import pytest

from kivrun import kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

# Distinct, shuffled slot numbers, so a swapped slot lands in the wrong place.
SLOTS = dict(ind_ii=5, ind_ij=2, ind_ji=7, ind_jj=0)
NSLOTS = 8
JUNCTIONS = (sw.JunctionModel, sw.JunctionRSJNModel, sw.JunctionRSJPHModel)
CONFIGS = ((2, 3), (2, 0), (0, 3))  # both nodes, j at ground, i at ground


def make(cls, i, j, params=None, eindex=0):
    m = cls(i, j, eindex)
    m.InitModel(**SLOTS)
    if params is not None:
        m.SetParameters(params)
    return m


def expected_stamp(i, j, g):
    a = np.zeros(NSLOTS)
    if i:
        a[SLOTS["ind_ii"]] += g
        if j:
            a[SLOTS["ind_ij"]] -= g
            a[SLOTS["ind_ji"]] -= g
            a[SLOTS["ind_jj"]] += g
    else:
        a[SLOTS["ind_jj"]] += g
    return a


def node_state(i, j, dphi, dv, dd, n=4):
    """Node vectors whose junction differences (from i, or j when i = 0) are given."""
    p, v, d = np.zeros(n), np.zeros(n), np.zeros(n)
    if i and j:
        p[[i - 1, j - 1]] = [0.2 + dphi, 0.2]
        v[[i - 1, j - 1]] = [0.5 + dv, 0.5]
        d[[i - 1, j - 1]] = [1.0 + dd, 1.0]
    else:
        k = (i or j) - 1
        p[k], v[k], d[k] = dphi, dv, dd
    return p, v, d


def expected_rhs(i, j, c, n=4):
    b = np.zeros(n)
    if i:
        b[i - 1] -= c
        if j:
            b[j - 1] += c
    else:
        b[j - 1] -= c  # evaluated from j's side: c leaves node j
    return b


# crit_current 1.5, resistance 2, capacitance 0.25 in each class's order;
# the RSJN gap scale is so high that its branch carries nothing at ΔV = 1.
PARAMS = {
    sw.JunctionModel: [1.5, 2.0, 0.25],
    sw.JunctionRSJNModel: [1.5, 2.0, 1e6, 10.0, 0.25],
    sw.JunctionRSJPHModel: [1.5, 2.0, 0.25, 0.0],
}


class TestStampsAndResiduals:
    @pytest.mark.parametrize("i,j", CONFIGS)
    def test_rsj_current_stamps_and_values(self, host, i, j):
        h = host(unknowns=4)
        m = make(sw.JunctionModel, i, j, [1.5, 2.0, 0.25])
        h.register(m)
        p, v, d = node_state(i, j, math.pi / 2, 1.0, 2.0)
        h.set_step(coeff_dt=2.0, coeff_ddt=3.0, phases=p, voltages=v, dvoltages=d)
        a1, a2, b = h.build(NSLOTS)
        np.testing.assert_allclose(a1, expected_stamp(i, j, 2.0 / 2.0 + 3.0 * 0.25), rtol=1e-15)
        np.testing.assert_allclose(a2, expected_stamp(i, j, 1.5 * math.cos(math.pi / 2)),
                                   atol=1e-15)
        np.testing.assert_allclose(b, expected_rhs(i, j, 2.5), rtol=1e-15)

        h.set_nodes(p, v, d)
        current, phase, voltage = h.values()
        sign = 1 if i else -1
        assert current[0] == pytest.approx(sign * 2.5, rel=1e-15)
        assert phase[0] == pytest.approx(sign * math.pi / 2, rel=1e-15)
        assert voltage[0] == pytest.approx(sign * 1.0, rel=1e-15)

    @pytest.mark.parametrize("cls", JUNCTIONS)
    @pytest.mark.parametrize("i,j", CONFIGS)
    def test_variants_agree_with_rsj_where_their_extras_vanish(self, host, cls, i, j):
        # RSJPH with no shift, RSJN with a branch far below its gap scale (and
        # its capacitive A1 stamp plus the ohmic part moved to A2) all carry
        # the RSJ current at this state.
        h = host(unknowns=4)
        m = make(cls, i, j, PARAMS[cls])
        h.register(m)
        p, v, d = node_state(i, j, 0.4, 1.0, 2.0)
        h.set_step(coeff_dt=2.0, coeff_ddt=3.0, phases=p, voltages=v, dvoltages=d)
        a1, a2, b = h.build(NSLOTS)
        linear = 2.0 / 2.0 if cls is not sw.JunctionRSJNModel else 0.0
        np.testing.assert_allclose(a1, expected_stamp(i, j, linear + 0.75), rtol=1e-14)
        np.testing.assert_allclose(a2, expected_stamp(i, j, 1.5 * math.cos(0.4)), rtol=1e-14)
        ohmic = 0.5 if cls is not sw.JunctionRSJNModel else 0.0
        np.testing.assert_allclose(b, expected_rhs(i, j, ohmic + 1.5 * math.sin(0.4) + 0.5),
                                   rtol=1e-14)

    def test_rsj_between_nodes_2_and_5(self, host):
        h = host(unknowns=5)
        m = make(sw.JunctionModel, 2, 5, [0.0, 4.0, 0.5])
        h.register(m)
        h.set_step(coeff_dt=2.0, coeff_ddt=3.0)
        a1, a2, _ = h.build(NSLOTS)
        np.testing.assert_array_equal(a1, expected_stamp(2, 5, 2.0))
        # No supercurrent: the additions happen, of zeros.
        np.testing.assert_array_equal(a2, np.zeros(NSLOTS))

    def test_update_and_rhs_drivers_repeat_the_build(self, host):
        h = host(unknowns=4)
        models = [make(cls, 1, 2, PARAMS[cls], eindex=k) for k, cls in enumerate(JUNCTIONS)]
        h.register(*models)
        h.set_step(coeff_dt=2.0, coeff_ddt=3.0, phases=[0.3, -0.2, 0, 0], voltages=[0.5, 0.1, 0, 0],
                   dvoltages=[0.2, 0.7, 0, 0])
        a1, a2, b = h.build(NSLOTS)
        a2u, bu = h.update(NSLOTS)
        np.testing.assert_array_equal(a2u, a2)
        np.testing.assert_array_equal(bu, b)
        np.testing.assert_array_equal(h.rhs(), b)
        assert not h.static(NSLOTS).any()  # junctions have no static part


class TestQuasiparticleBranch:
    """RSJN defaults: gap scale 4.3, exponent 10, resistance 1."""

    def build_at(self, h, dv, coeff_dt=1.0, i=1, j=0, params=None):
        m = make(sw.JunctionRSJNModel, i, j, params)
        h.register(m)
        v = np.zeros(4)
        v[(i or j) - 1] = dv
        h.set_step(coeff_dt=coeff_dt, voltages=v)
        h.set_nodes(voltages=v)
        return h.build(NSLOTS)

    def test_at_the_gap_scale_half_the_ohmic_current(self, host):
        _, a2, b = self.build_at(host(), 4.3)
        assert -b[0] == pytest.approx(2.15, rel=1e-15)
        # (1 + 10 + 1) × 1 / (1 × 2 × 2)
        assert a2[SLOTS["ind_ii"]] == pytest.approx(3.0, rel=1e-15)

    def test_at_twice_the_gap_scale_nearly_ohmic(self, host):
        _, a2, b = self.build_at(host(), 8.6)
        assert -b[0] == pytest.approx(8.6 * 1024 / 1025, rel=1e-15)
        assert -b[0] == pytest.approx(8.5916, abs=5e-5)
        assert a2[SLOTS["ind_ii"]] == pytest.approx((11 + 1024) * 1024 / 1025**2, rel=1e-14)

    def test_at_zero_voltage_no_quasiparticle_current_or_stamp(self, host):
        h = host()
        m = make(sw.JunctionRSJNModel, 1, 0, [2.0, 1.0, 4.3, 10.0, 1.0])
        h.register(m)
        h.set_step(coeff_dt=5.0, phases=[0.6, 0, 0, 0])
        _, a2, b = h.build(NSLOTS)
        assert a2[SLOTS["ind_ii"]] == 2.0 * math.cos(0.6)
        assert -b[0] == 2.0 * math.sin(0.6)

    def test_odd_in_voltage_with_even_exponent(self, host):
        _, _, b = self.build_at(host(), -4.3)
        assert -b[0] == pytest.approx(-2.15, rel=1e-15)

    def test_capacitive_stamp_only_in_a1(self, host):
        h = host()
        m = make(sw.JunctionRSJNModel, 1, 2, [1.0, 7.0, 4.3, 10.0, 0.5])
        h.register(m)
        h.set_step(coeff_dt=2.0, coeff_ddt=3.0)
        a1, _, _ = h.build(NSLOTS)
        np.testing.assert_array_equal(a1, expected_stamp(1, 2, 1.5))

    def test_grounded_first_terminal_evaluates_from_node_j(self, host):
        # With an odd exponent the law is not odd: node j's side gives p = 1,
        # where the mirrored difference −4.3 would give p + 1 = 0.
        h = host()
        _, a2, b = self.build_at(h, 4.3, i=0, j=2, params=[0.0, 1.0, 4.3, 3.0, 1.0])
        assert b[1] == pytest.approx(-2.15, rel=1e-15)
        assert a2[SLOTS["ind_jj"]] == pytest.approx((1 + 3 + 1) / 4, rel=1e-15)
        current, _, voltage = h.values()
        assert current[0] == pytest.approx(-2.15, rel=1e-15)
        assert voltage[0] == -4.3


class TestPhaseShift:
    def test_shift_added_to_the_difference(self, host):
        h = host()
        m = make(sw.JunctionRSJPHModel, 1, 2, [2.0, 1.0, 1.0, 0.5])
        h.register(m)
        h.set_step(phases=[0.5, 0.25, 0, 0])
        _, a2, b = h.build(NSLOTS)
        np.testing.assert_allclose(a2, expected_stamp(1, 2, 2.0 * math.cos(0.75)), rtol=1e-15)
        np.testing.assert_allclose(b, expected_rhs(1, 2, 2.0 * math.sin(0.75)), rtol=1e-15)

    def test_grounded_first_terminal_adds_shift_to_node_j(self, host):
        h = host()
        m = make(sw.JunctionRSJPHModel, 0, 2, [2.0, 1.0, 1.0, 0.5])
        h.register(m)
        h.set_step(phases=[0, -0.25, 0, 0])
        _, a2, b = h.build(NSLOTS)
        np.testing.assert_allclose(a2, expected_stamp(0, 2, 2.0 * math.cos(0.25)), rtol=1e-15)
        np.testing.assert_allclose(b, expected_rhs(0, 2, 2.0 * math.sin(0.25)), rtol=1e-15)
        h.set_nodes(phases=[0, -0.25, 0, 0])
        current, phase, _ = h.values()
        assert phase[0] == -0.25  # −(φ_j + θ), not θ − φ_j = 0.75
        assert current[0] == pytest.approx(-2.0 * math.sin(0.25), rel=1e-15)

    def test_junction_at_rest_with_shift_pi_counts_one_quantum(self, host):
        h = host()
        m = make(sw.JunctionRSJPHModel, 1, 0, [1.0, 1.0, 1.0, math.pi])
        h.register(m)
        for hyst in (0.0, 0.1):
            kvglobals.ElementN[:] = 0
            h.set_step(histeresis=hyst)
            _, phase, _ = h.values()
            assert phase[0] == math.pi
            assert kvglobals.ElementN[0] == 1 and kvglobals.ElementInc[0] == 1

    @pytest.mark.parametrize("i,j", CONFIGS)
    def test_zero_shift_is_exactly_rsj(self, host, i, j):
        rng = np.random.default_rng(7)
        p, v, d = (rng.uniform(-3, 3, 4) for _ in range(3))
        results = []
        for cls, params in ((sw.JunctionModel, [1.3, 0.7, 0.4]),
                            (sw.JunctionRSJPHModel, [1.3, 0.7, 0.4, 0.0])):
            h = host()
            h.register(make(cls, i, j, params))
            h.set_step(coeff_dt=1.7, coeff_ddt=2.9, phases=p, voltages=v, dvoltages=d)
            h.set_nodes(p, v, d)
            results.append((*h.build(NSLOTS), *h.values(), kvglobals.ElementN.copy()))
        for ours, theirs in zip(*results):
            np.testing.assert_array_equal(ours, theirs)


class TestParameters:
    def stamps(self, h, m, phases=(0.0,) * 4, voltages=(0.0,) * 4):
        h.register(m)
        h.set_step(coeff_dt=1.0, coeff_ddt=1.0, phases=phases, voltages=voltages)
        a1, a2, b = h.build(NSLOTS)
        return a1[SLOTS["ind_ii"]], a2[SLOTS["ind_ii"]], b

    def test_rsj_defaults_and_order(self, host):
        h = host()
        m = make(sw.JunctionModel, 1, 0)
        # Fresh: no supercurrent, R = 1, C = 1.
        assert self.stamps(h, m)[:2] == (2.0, 0.0)
        m.SetParameters([1.5, 2.0, 0.3])
        assert self.stamps(h, m)[:2] == (0.5 + 0.3, 1.5)

    def test_rsjn_defaults_and_order(self, host):
        h = host()
        m = make(sw.JunctionRSJNModel, 1, 0)
        a1, a2, b = self.stamps(h, m, voltages=(4.3, 0, 0, 0))
        assert (a1, a2, -b[0]) == (1.0, 3.0, 2.15)  # C = 1, gap 4.3, n = 10, R = 1
        m.SetParameters([1.0, 2.0, 3.0, 4.0, 5.0])
        # Ic 1, R 2, gap 3, n 4, C 5: at ΔV = 6, p = 2⁴ = 16.
        a1, a2, b = self.stamps(h, m, voltages=(6.0, 0, 0, 0))
        assert a1 == 5.0
        assert a2 == pytest.approx(1.0 + (1 + 4 + 16) * 16 / (2 * 17 * 17), rel=1e-15)
        assert -b[0] == pytest.approx(6 * 16 / (17 * 2), rel=1e-15)

    def test_rsjph_defaults_and_order(self, host):
        h = host()
        m = make(sw.JunctionRSJPHModel, 1, 0)
        assert self.stamps(h, m)[:2] == (2.0, 0.0)
        h.set_nodes(phases=[0.3, 0, 0, 0])
        assert h.values()[1][0] == 0.3  # no shift by default
        m.SetParameters([1.0, 2.0, 0.5, math.pi])
        assert self.stamps(h, m)[:2] == (1.0, -1.0)

    @pytest.mark.parametrize("cls", JUNCTIONS)
    def test_too_few_items_raise_before_any_change(self, host, cls):
        h = host()
        m = make(cls, 1, 0, PARAMS[cls])
        before = self.stamps(h, m, phases=(0.3, 0, 0, 0), voltages=(0.2, 0, 0, 0))
        short = [9.0] * (len(PARAMS[cls]) - 1)
        for params in (short, tuple(short), []):
            with pytest.raises(IndexError):
                m.SetParameters(params)
        after = self.stamps(h, m, phases=(0.3, 0, 0, 0), voltages=(0.2, 0, 0, 0))
        np.testing.assert_array_equal(np.hstack(after), np.hstack(before))

    def test_failed_conversion_keeps_earlier_items(self, host):
        h = host()
        m = make(sw.JunctionModel, 1, 0, [1.5, 2.0, 0.3])
        with pytest.raises(TypeError):
            m.SetParameters([7.0, "two", 0.9])
        # crit_current took 7.0; resistance and capacitance kept 2.0 and 0.3.
        assert self.stamps(h, m)[:2] == (0.5 + 0.3, 7.0)

    def test_extra_items_are_ignored(self, host):
        h = host()
        m = make(sw.JunctionModel, 1, 0, [1.5, 2.0, 0.3, "ignored"])
        assert self.stamps(h, m)[:2] == (0.5 + 0.3, 1.5)


class TestConstruction:
    @pytest.mark.parametrize("cls", JUNCTIONS)
    def test_both_terminals_at_ground_rejected(self, host, cls):
        host()
        with pytest.raises(ValueError, match="ground"):
            cls(0, 0, 0)
        with pytest.raises(ValueError):
            cls(i=0, j=0, eindex=1)

    @pytest.mark.parametrize("cls", JUNCTIONS)
    def test_counter_arrays_must_have_their_types(self, host, cls):
        host()
        kvglobals.ElementN = np.zeros(4)  # float64, not int32
        m = cls(1, 0, 0)
        with pytest.raises(ValueError):
            m.InitModel(**SLOTS)

    @pytest.mark.parametrize("cls", JUNCTIONS)
    def test_pickling_refused_naming_the_borrowed_arrays(self, host, cls):
        import pickle

        host()
        message = ("self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
                   "self.node_dvoltages,self.node_phases,self.node_voltages cannot be converted "
                   "to a Python object for pickling")
        m = make(cls, 1, 2)
        with pytest.raises(TypeError) as err:
            pickle.dumps(m)
        assert str(err.value) == message

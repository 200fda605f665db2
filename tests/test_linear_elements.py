"""Resistor, inductor, capacitor and current source: stamps, residuals, values."""
import numpy as np
import pytest

from kivrun import Stampworks as sw
from kivrun import kvglobals

SLOTS = (10, 11, 12, 13)  # ii, ij, ji, jj: distinct so a swapped index shows
NSLOTS = 16


def bound(cls, i, j, e=0, value=None, slots=SLOTS):
    model = cls(i, j, e)
    model.InitModel(*slots)
    if value is not None:
        model.SetParameters([value])
    return model


def touched(a):
    return {k: a[k] for k in np.flatnonzero(a)}


class TestStamps:
    """+g −g −g +g at ii, ij, ji, jj; ground rows and columns skipped."""

    @pytest.mark.parametrize("cls,value,step,g", [
        (sw.ResistorModel, 4.0, dict(coeff_dt=2.0), 0.5),
        (sw.CapacitorModel, 0.5, dict(coeff_ddt=3.0), 1.5),
    ])
    def test_per_step_stamp(self, host, cls, value, step, g):
        h = host(unknowns=5, elements=3)
        both = bound(cls, 2, 5, 0, value)
        to_ground = bound(cls, 3, 0, 1, value, slots=(4, -1, -1, -1))
        from_ground = bound(cls, 0, 5, 2, value, slots=(-1, -1, -1, 6))
        h.register(both, to_ground, from_ground)
        h.set_step(**step)
        a1, a2, _ = h.build(NSLOTS)
        assert touched(a1) == {10: g, 11: -g, 12: -g, 13: g, 4: g, 6: g}
        assert not a2.any()
        assert not h.static(NSLOTS).any()

    def test_inductor_stamps_reciprocal_into_static_matrix(self, host):
        h = host(unknowns=3, elements=2)
        ind = bound(sw.InductorModel, 1, 2, 0, 0.5)
        grounded = bound(sw.InductorModel, 3, 0, 1, 4.0, slots=(2, -7, -7, -7))
        h.register(ind, grounded)
        assert touched(h.static(NSLOTS)) == {10: 2.0, 11: -2.0, 12: -2.0, 13: 2.0, 2: 0.25}
        a1, a2, _ = h.build(NSLOTS)
        assert not a1.any() and not a2.any()

    def test_current_source_has_no_matrix_entry(self, host):
        h = host(unknowns=2, elements=1)
        h.register(bound(sw.CurrentSourceModel, 1, 2, 0, 3.0, slots=(99, 99, 99, 99)))
        a1, a2, _ = h.build(NSLOTS)
        assert not (a1.any() or a2.any() or h.static(NSLOTS).any())


class TestResiduals:
    """RHSCurrent subtracts the element current c (from i to j) at node i and adds it at j."""

    V = np.array([1.0, 3.0, -2.0, 0.5, 4.0])

    def test_resistor_in_each_terminal_configuration(self, host):
        h = host(unknowns=5, elements=3)
        h.register(bound(sw.ResistorModel, 1, 2, 0, 4.0), bound(sw.ResistorModel, 3, 0, 1, 2.0),
                   bound(sw.ResistorModel, 0, 5, 2, 8.0))
        h.set_step(voltages=self.V)
        c = (1.0 - 3.0) / 4.0
        expected = np.array([-c, c, -(-2.0 / 2.0), 0.0, -4.0 / 8.0])
        np.testing.assert_array_equal(h.rhs(), expected)

    def test_inductor_reads_phases_and_capacitor_derivatives(self, host):
        h = host(unknowns=3, elements=2)
        h.register(bound(sw.InductorModel, 1, 2, 0, 2.0), bound(sw.CapacitorModel, 0, 3, 1, 0.25))
        h.set_step(phases=[0.7, 0.1, 9.0], voltages=[5, 5, 5], dvoltages=[3.0, 1.0, 2.0])
        c = 0.5 * (0.7 - 0.1)  # admitance 1/2
        np.testing.assert_allclose(h.rhs(), [-c, c, -0.25 * 2.0], rtol=0, atol=1e-15)

    def test_current_source_orientation_and_ramp(self, host):
        h = host(unknowns=3, elements=3)
        h.register(bound(sw.CurrentSourceModel, 1, 2, 0, 2.0), bound(sw.CurrentSourceModel, 3, 0, 1, 1.0),
                   bound(sw.CurrentSourceModel, 0, 2, 2, 4.0))
        h.set_step(smooth=0.25)
        # Delivered into i, drawn from j; with i at ground it is drawn from j.
        np.testing.assert_array_equal(h.rhs(), [0.5, -0.5 - 1.0, 0.25])
        current, _, _ = h.values()
        np.testing.assert_array_equal(current, [0.5, 0.25, 1.0])

    def test_fresh_current_source_contributes_nothing(self, host):
        h = host(unknowns=2, elements=1)
        source = sw.CurrentSourceModel(1, 2, 0)
        source.InitModel(*SLOTS)
        h.register(source)
        assert not h.rhs().any()


@pytest.mark.parametrize("cls,value", [(sw.ResistorModel, 3.0), (sw.InductorModel, 0.4),
                                       (sw.CapacitorModel, 2.5)])
@pytest.mark.parametrize("i,j", [(1, 2), (2, 0), (0, 1)])
def test_matrix_is_derivative_of_residual(host, cls, value, i, j):
    """Columns of A0 + A1 + A2 equal −∂B/∂φ with V and dV/dt following φ."""
    h = host(unknowns=2, elements=1)
    # Slot k is row r, column c of a dense 2×2 matrix laid out row-major.
    slots = (2 * (i - 1) + (i - 1), 2 * (i - 1) + (j - 1), 2 * (j - 1) + (i - 1), 2 * (j - 1) + (j - 1))
    model = bound(cls, i, j, 0, value, slots=tuple(s if s >= 0 else -1 for s in slots))
    h.register(model)
    kdt, kddt = 3.0, 7.0
    phi0, v0, d0 = np.array([0.3, -0.2]), np.array([0.5, 1.5]), np.array([-1.0, 2.0])
    h.set_step(coeff_dt=kdt, coeff_ddt=kddt, phases=phi0, voltages=v0, dvoltages=d0)
    a1, a2, _ = h.build(4)
    jac = (h.static(4) + a1 + a2).reshape(2, 2)
    eps = 1e-6
    for k in range(2):
        dphi = np.zeros(2)
        dphi[k] = eps
        h.set_step(coeff_dt=kdt, coeff_ddt=kddt, phases=phi0 + dphi, voltages=v0 + kdt * dphi,
                   dvoltages=d0 + kddt * dphi)
        up = h.rhs()
        h.set_step(coeff_dt=kdt, coeff_ddt=kddt, phases=phi0 - dphi, voltages=v0 - kdt * dphi,
                   dvoltages=d0 - kddt * dphi)
        down = h.rhs()
        column = -(up - down) / (2 * eps)
        live = [r for r in range(2) if r + 1 in (i, j)]
        # Linear residual: central differences are exact up to rounding of the inputs.
        tol = 1e-15 * max(kdt, kddt, 1 / value) * 10 / eps
        np.testing.assert_allclose(column[live], jac[live, k] if k + 1 in (i, j) else 0.0, atol=tol)


class TestValues:
    def test_values_come_from_bound_arrays_not_context(self, host):
        h = host(unknowns=3, elements=3)
        h.register(bound(sw.ResistorModel, 1, 2, 0, 2.0), bound(sw.InductorModel, 1, 0, 1, 2.0),
                   bound(sw.CapacitorModel, 0, 3, 2, 0.5))
        h.set_step(phases=[9, 9, 9], voltages=[9, 9, 9], dvoltages=[9, 9, 9])
        h.set_nodes(phases=[0.3, 0.1, 0.7], voltages=[1.0, 0.5, 2.0], dvoltages=[4.0, 1.0, 6.0])
        current, phase, voltage = h.values()
        np.testing.assert_allclose(current, [0.25, 0.15, -3.0])
        np.testing.assert_allclose(phase, [0.2, 0.3, -0.7])
        np.testing.assert_allclose(voltage, [0.5, 1.0, -2.0])

    def test_rebinding_reads_the_new_array(self, host):
        h = host(unknowns=1, elements=1)
        ind = bound(sw.InductorModel, 1, 0, 0, 2.0)
        h.register(ind)
        kvglobals.NodePhase = np.array([0.8])
        assert h.values()[0][0] == 0.0  # still the array bound at InitModel
        ind.InitModel(*SLOTS)
        assert h.values()[0][0] == 0.4


class TestSetParameters:
    def test_extra_items_ignored_and_inductor_reciprocal(self, host):
        h = host(unknowns=2, elements=2)
        r = bound(sw.ResistorModel, 1, 0, 0)
        r.SetParameters([3.0, 7.0])
        ind = sw.InductorModel(2, 0, 1)
        ind.InitModel(5, 0, 0, 0)
        h.register(r, ind)
        assert h.static(NSLOTS)[5] == 1.0  # a fresh inductor is 1 H-equivalent
        ind.SetParameters((0.5,))
        assert h.static(NSLOTS)[5] == 2.0
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            ind.SetParameters([0])
        assert h.static(NSLOTS)[5] == 2.0
        h.set_step(voltages=[6.0, 0.0])
        assert h.rhs()[0] == -2.0

    def test_bad_parameters(self):
        r = sw.ResistorModel(1, 2, 0)
        with pytest.raises(IndexError):
            r.SetParameters([])
        with pytest.raises(TypeError):
            r.SetParameters(["abc"])
        with pytest.raises(TypeError, match=r"SetParameters\(\) takes exactly 1 positional argument \(0 given\)"):
            r.SetParameters()

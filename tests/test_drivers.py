"""Registry and drivers: order, accumulation, host-state reads, refusals."""
import gc

import numpy as np
import pytest

from kivrun import SimulationParameters as SP
from kivrun import Stampworks as sw
from kivrun import kvglobals

from conftest import Element


def resistor(i, j, e, r=1.0, slots=(0, 1, 2, 3)):
    m = sw.ResistorModel(i, j, e)
    m.InitModel(*slots)
    m.SetParameters([r])
    return m


def inductor(i, j, e, inductance, slots=(0, 1, 2, 3)):
    m = sw.InductorModel(i, j, e)
    m.InitModel(*slots)
    m.SetParameters([inductance])
    return m


class TestRegistry:
    def test_rhs_helper_shape(self, host):
        host(unknowns=5)
        sw.InitElementModels()
        assert sw.RHSHelper.shape == (4, 5) and sw.RHSHelper.dtype == np.float64
        assert not sw.RHSHelper.any()
        sw.NTHREADS = 8
        sw.InitElementModels()
        assert sw.RHSHelper.shape == (8, 5)

    def test_sources_list_not_read_when_empty(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0))
        del kvglobals.SourceElementList
        sw.InitElementModels()  # no item, and no list, is needed

    def test_sweep_follows_list_order(self, host):
        # Rounding makes the sum order-dependent: (1 + 1e16) − 1e16 = 0, (−1e16 + 1e16) + 1 = 1.
        h = host(unknowns=1, elements=3)
        models = [inductor(1, 0, k, ind) for k, ind in enumerate((1.0, 1e-16, -1e-16))]
        h.register(*models)
        assert h.static(4)[0] == 0.0
        h.register(*reversed(models))
        assert h.static(4)[0] == 1.0

    def test_bare_model_contributes_nothing(self, host):
        h = host(unknowns=2, elements=2)
        h.register(sw.ElementModel(), resistor(1, 2, 0, 2.0))
        h.set_step(coeff_dt=1.0, voltages=[1.0, 0.0])
        a1, a2, b = h.build(4)
        np.testing.assert_array_equal(a1, [0.5, -0.5, -0.5, 0.5])
        np.testing.assert_array_equal(b, [-0.5, 0.5])

    def test_failed_registration_blocks_drivers(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0))

        class NoModel:
            def UpdateParameters(self):
                pass

        kvglobals.ElementList = [NoModel()]
        with pytest.raises(AttributeError):
            sw.InitElementModels()
        with pytest.raises(RuntimeError, match="InitElementModels"):
            h.build(4)
        kvglobals.ElementList = [Element(resistor(1, 2, 0))]
        sw.InitElementModels()
        h.build(4)

    def test_counts_and_model_types_are_checked(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0))
        kvglobals.TotalElements = 2
        with pytest.raises(IndexError):
            sw.InitElementModels()
        kvglobals.ElementList = [Element("not a model")]
        kvglobals.TotalElements = 1
        with pytest.raises(TypeError, match="not an ElementModel"):
            sw.InitElementModels()
        kvglobals.TotalElements = "many"
        with pytest.raises(TypeError, match="an integer is required"):
            sw.InitElementModels()

    def test_total_elements_must_match_registry(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0))
        kvglobals.TotalElements = 0
        for call in (lambda: h.build(4), lambda: h.static(4), h.rhs, h.values, lambda: h.update(4)):
            with pytest.raises(RuntimeError, match="TotalElements"):
                call()

    def test_unbound_model_may_not_run(self, host):
        h = host(unknowns=2, elements=1)
        h.register(sw.ResistorModel(1, 2, 0))
        with pytest.raises(RuntimeError, match="not bound"):
            h.values()

    def test_registry_keeps_models_and_arrays_alive(self, host):
        h = host(unknowns=2, elements=1)
        h.register(inductor(1, 0, 0, 2.0))
        kvglobals.ElementList = []
        kvglobals.NodePhase = None
        gc.collect()
        assert h.static(4)[0] == 0.5
        sw.UpdateValues()


class TestStaticMatrixRefresh:
    def setup_elements(self, h):
        source = Element(resistor(1, 0, 0))
        other = Element(resistor(2, 0, 1, slots=(1, 0, 0, 0)))
        kvglobals.ElementList = [source, other]
        kvglobals.SourceElementList = [source]
        kvglobals.TotalElements, kvglobals.TotalSourceElements = 2, 1
        sw.InitElementModels()
        return source, other

    def test_refresh_depends_on_optimisation_and_ramp(self, host):
        h = host(unknowns=2, elements=2)
        source, other = self.setup_elements(h)
        SP.INITIAL_RAMP = 5.0
        kvglobals.OptimizeSimulation, kvglobals.CurrentTime = False, 100.0
        h.static(4)
        assert (source.refreshed, other.refreshed) == (1, 1)
        kvglobals.OptimizeSimulation, kvglobals.CurrentTime = True, 5.0
        h.static(4)
        assert (source.refreshed, other.refreshed) == (2, 2)
        kvglobals.CurrentTime = 5.000001
        h.static(4)
        assert (source.refreshed, other.refreshed) == (3, 2)

    def test_refresh_happens_before_the_sweep_and_errors_propagate(self, host):
        h = host(unknowns=1, elements=1)
        ind = inductor(1, 0, 0, 1.0)

        def retune(element):
            element.model.SetParameters([0.25])

        h.register(Element(ind, refresh=retune))
        assert h.static(4)[0] == 4.0

        def fail(element):
            raise KeyError("refresh failed")

        h.register(Element(ind, refresh=fail))
        with pytest.raises(KeyError):
            h.static(4)


class TestDriverCalls:
    def test_accumulation_and_keywords(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0, 4.0))
        h.set_step(coeff_dt=2.0, voltages=[1.0, 0.0])
        a1, a2, b = np.zeros(4), np.zeros(4), np.zeros(2)
        sw.BuildMatrix(a1, a2, b)
        sw.BuildMatrix(A1=a1, A2=a2, B=b)
        np.testing.assert_array_equal(a1, [1.0, -1.0, -1.0, 1.0])
        np.testing.assert_array_equal(b, [-0.5, 0.5])
        sw.UpdateRHS(b)
        np.testing.assert_array_equal(b, [-0.75, 0.75])

    def test_update_matrix_and_rhs_leave_other_arrays(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0, 4.0))
        h.set_step(coeff_dt=2.0, voltages=[1.0, 0.0])
        a2, b = h.update(4)
        assert not a2.any()
        np.testing.assert_array_equal(b, [-0.25, 0.25])
        before = kvglobals.ElementCurrent.copy()
        sw.UpdateRHS(np.zeros(2))
        np.testing.assert_array_equal(kvglobals.ElementCurrent, before)
        assert not sw.RHSHelper.any()

    def test_xind_zero_takes_previous_from_the_end(self, host):
        h = host(unknowns=1, elements=1)
        h.register(inductor(1, 0, 0, 1.0))
        SP.X = [np.array([0.5]), np.array([0.0]), [1.0]]
        SP.Xind = 0
        with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
            h.rhs()
        SP.X[2] = np.array([7.0])
        assert h.rhs()[0] == -0.5

    def test_missing_host_attributes(self, host):
        h = host(unknowns=1, elements=1)
        h.register(resistor(1, 0, 0))
        del SP.DXprev
        h.rhs()
        h.values()
        for call in (lambda: h.build(4), lambda: h.update(4)):
            with pytest.raises(AttributeError):
                call()
        del SP.X, SP.DX, SP.InterpCoeffDt
        h.values()
        kvglobals.TotalElements = 0
        kvglobals.ElementList = []
        sw.InitElementModels()
        with pytest.raises(AttributeError):
            h.rhs()  # attributes are read even with no models

    def test_no_models_changes_nothing(self, host):
        h = host(unknowns=2, elements=1)
        h.register()
        a1, a2, b = h.build(4)
        assert not (a1.any() or a2.any() or b.any())
        assert not h.static(4).any()


class TestRefusals:
    """Every refusal happens before any model runs: the arrays stay as they were."""

    @pytest.fixture
    def wired(self, host):
        h = host(unknowns=2, elements=1)
        h.register(resistor(1, 2, 0, 1.0, slots=(0, 1, 2, 3)))
        h.set_step(coeff_dt=1.0, voltages=[1.0, 0.0])
        return h

    @pytest.mark.parametrize("bad,error,message", [
        (None, TypeError, r"^Argument 'A2' has incorrect type \(expected numpy.ndarray, got NoneType\)$"),
        ([0.0] * 4, TypeError, "got list"),
        (np.zeros((2, 2)), ValueError, r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (np.zeros(4, dtype=np.int32), ValueError, "^Buffer dtype mismatch, expected 'FLOAT_t' but got 'int'$"),
        (np.zeros(8)[::2], ValueError, "contiguous"),
        (np.zeros(3), ValueError, "A2 has 3 entries but a registered model uses slot 3"),
    ])
    def test_bad_matrix_argument(self, wired, bad, error, message):
        a1, b = np.zeros(4), np.zeros(2)
        with pytest.raises(error, match=message):
            sw.BuildMatrix(a1, bad, b)
        assert not a1.any() and not b.any()

    def test_read_only_and_short_vectors(self, wired):
        a1, a2 = np.zeros(4), np.zeros(4)
        frozen = np.zeros(2)
        frozen.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            sw.BuildMatrix(a1, a2, frozen)
        with pytest.raises(ValueError, match="B has 1 entries but a registered model uses unknown 2"):
            sw.BuildMatrix(a1, a2, np.zeros(1))
        assert not a1.any()
        SP.DX = np.zeros(1)
        with pytest.raises(ValueError, match="SP.DX has 1 entries"):
            sw.BuildMatrix(a1, a2, np.zeros(2))
        SP.DX = np.zeros(2, dtype=np.float32)
        with pytest.raises(ValueError, match="expected 'FLOAT_t' but got 'float'"):
            sw.UpdateRHS(np.zeros(2))

    def test_slots_checked_again_after_rebinding(self, wired):
        kvglobals.ElementList[0].model.InitModel(0, 1, 2, 40)
        with pytest.raises(ValueError, match="slot 40"):
            wired.build(4)
        kvglobals.ElementList[0].model.InitModel(0, 1, -2, 3)
        with pytest.raises(ValueError, match="slot -2"):
            wired.build(4)

    def test_ground_slots_may_hold_anything(self, host):
        h = host(unknowns=3, elements=1)
        h.register(resistor(3, 0, 0, 4.0, slots=(1, -1, 10**6, -7)))
        h.set_step(coeff_dt=2.0)
        a1, _, _ = h.build(2)
        np.testing.assert_array_equal(a1, [0.0, 0.5])

    def test_argument_counts(self, wired):
        with pytest.raises(TypeError, match=r"BuildMatrix\(\) takes exactly 3 positional arguments \(2 given\)"):
            sw.BuildMatrix(np.zeros(4), np.zeros(4))
        with pytest.raises(TypeError, match=r"UpdateValues\(\) takes exactly 0 positional arguments \(1 given\)"):
            sw.UpdateValues(1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'C'"):
            sw.UpdateMatrix(A2=np.zeros(4), C=np.zeros(2))


class TestInitModel:
    def test_array_refusals_keep_the_previous_binding(self, host):
        h = host(unknowns=2, elements=1)
        ind = inductor(1, 0, 0, 2.0)
        h.register(ind)
        h.set_nodes(phases=[0.6, 0.0])
        cases = [
            ("NodePhase", None, TypeError, "^Cannot convert NoneType to numpy.ndarray$"),
            ("NodeVoltage", [0.0, 0.0], TypeError, "^Cannot convert list to numpy.ndarray$"),
            ("ElementPhase", np.zeros(1, dtype=np.int64), ValueError, "expected 'FLOAT_t' but got 'long'"),
            ("ElementVoltage", np.zeros((1, 1)), ValueError, "wrong number of dimensions"),
            ("NodePhase", np.zeros(4)[::2], ValueError, "contiguous"),
            ("NodePhase", np.zeros(0), ValueError, "node"),
            ("ElementCurrent", np.zeros(0), ValueError, "eindex"),
        ]
        for name, value, error, message in cases:
            saved = getattr(kvglobals, name)
            setattr(kvglobals, name, value)
            with pytest.raises(error, match=message):
                ind.InitModel(0, 0, 0, 0)
            setattr(kvglobals, name, saved)
        frozen = np.zeros(1)
        frozen.flags.writeable = False
        kvglobals.ElementCurrent, saved = frozen, kvglobals.ElementCurrent
        with pytest.raises(ValueError, match="read-only"):
            ind.InitModel(0, 0, 0, 0)
        kvglobals.ElementCurrent = saved
        assert h.values()[0][0] == 0.3

    def test_slots_are_stored_as_they_convert(self, host):
        h = host(unknowns=1, elements=1)
        ind = inductor(1, 0, 0, 1.0, slots=(3, 0, 0, 0))
        h.register(ind)
        with pytest.raises(TypeError, match="an integer is required"):
            ind.InitModel(2, "x", 0, 0)
        assert h.static(4)[2] == 1.0
        with pytest.raises(TypeError, match=r"InitModel\(\) takes exactly 4 positional arguments \(3 given\)"):
            ind.InitModel(0, 0, 0)

"""Module load, the ElementModel base, argument checking and pickling."""
import pickle

import numpy as np
import pytest

from kivrun import Stampworks as sw

LINEAR_MESSAGE = ("self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,"
                  "self.node_voltages cannot be converted to a Python object for pickling")
CAPACITOR_MESSAGE = ("self.elem_currents,self.elem_phases,self.elem_voltages,self.node_dvoltages,"
                     "self.node_phases,self.node_voltages cannot be converted to a Python object "
                     "for pickling")


class Annotated(sw.ElementModel):
    """A Python subclass with an instance dictionary."""


def test_module_namespace_order_and_globals():
    names = [n for n in vars(sw) if not n.startswith("__")]
    assert names.index("ElementModel") < names.index("np") < names.index("SP")
    assert names[names.index("np"):names.index("np") + 6] == [
        "np", "SP", "kvglobals", "kvconfig", "RHSHelper", "NTHREADS"]
    assert names[-1] == "_unpickle_ElementModel"
    assert sw.NTHREADS == 4
    import kivrun.SimulationParameters
    assert sw.SP is kivrun.SimulationParameters and sw.np is np


def test_model_classes_in_module_order():
    classes = [n for n, v in vars(sw).items() if isinstance(v, type)]
    assert classes == [
        "ElementModel", "InductorModel", "InductorImpedanceModel", "ResistorModel", "CapacitorModel",
        "CurrentSourceModel", "PhaseSourceModel", "VoltageSourceModel", "JunctionModel",
        "JunctionRSJNModel", "JunctionRSJPHModel", "JunctionTJMModel", "MutualInductanceModel"]


def test_bare_element_model_takes_no_arguments():
    sw.ElementModel()
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 0 positional arguments \(1 given\)"):
        sw.ElementModel(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        sw.ElementModel(x=1)


def test_every_model_class_derives_from_element_model():
    for name in [n for n, v in vars(sw).items() if isinstance(v, type)][1:]:
        cls = getattr(sw, name)
        assert cls.__bases__ == (sw.ElementModel,)
        assert cls.__module__ == "kivrun.Stampworks"


class TestConstructorArguments:
    def test_counts_keywords_and_conversions(self):
        r = sw.ResistorModel(i=1, j=2, eindex=0)
        assert isinstance(r, sw.ResistorModel)
        with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 3 positional arguments \(2 given\)"):
            sw.ResistorModel(1, 2)
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(4 given\)"):
            sw.ResistorModel(1, 2, 3, 4)
        with pytest.raises(TypeError, match="unexpected keyword argument 'k'"):
            sw.ResistorModel(1, 2, k=0)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'i'"):
            sw.ResistorModel(1, 2, 0, i=1)
        with pytest.raises(TypeError, match="an integer is required"):
            sw.ResistorModel("1", 2, 0)
        with pytest.raises(OverflowError, match="value too large to convert to int"):
            sw.ResistorModel(2**31, 1, 0)

    def test_floats_truncate_toward_zero(self, host):
        h = host(unknowns=3, elements=1)
        r = sw.ResistorModel(2.9, 0, 0.2)  # node 2, element 0
        r.InitModel(7, 0, 0, 0)
        h.register(r)
        h.set_step(coeff_dt=1.0)
        a1, _, _ = h.build(8)
        assert a1[7] == 1.0

    def test_both_terminals_at_ground_is_refused(self):
        for cls in (sw.ResistorModel, sw.InductorModel, sw.CapacitorModel, sw.CurrentSourceModel):
            with pytest.raises(ValueError, match="both terminals are ground"):
                cls(0, 0, 0)

    def test_negative_numbers_are_refused(self):
        with pytest.raises(ValueError, match="negative"):
            sw.ResistorModel(-1, 2, 0)
        with pytest.raises(ValueError, match="negative"):
            sw.ResistorModel(1, 2, -1)


class TestPickling:
    def test_bare_model_round_trips(self):
        clone = pickle.loads(pickle.dumps(sw.ElementModel()))
        assert type(clone) is sw.ElementModel

    def test_reduce_of_bare_and_subclassed_models(self):
        reduced = sw.ElementModel().__reduce__()
        assert reduced == (sw._unpickle_ElementModel, (sw.ElementModel, 0xd41d8cd, ()))
        obj = Annotated()
        obj.label = "x"
        func, args, state = obj.__reduce__()
        assert args == (Annotated, 222419149, None) and state == ({"label": "x"},)

    def test_subclass_dictionary_survives(self):
        obj = Annotated()
        obj.label, obj.value = "bias", [1, 2]
        clone = pickle.loads(pickle.dumps(obj))
        assert type(clone) is Annotated and clone.label == "bias" and clone.value == [1, 2]

    def test_unpickle_checksum_and_state(self):
        with pytest.raises(pickle.PickleError, match=r"^Incompatible checksums \(1 vs 0xd41d8cd = \(\)\)$"):
            sw._unpickle_ElementModel(sw.ElementModel, 1, ())
        made = sw._unpickle_ElementModel(Annotated, 0xd41d8cd, ({"a": 3},))
        assert made.a == 3

    def test_setstate_type_messages(self):
        with pytest.raises(TypeError, match="^Expected tuple, got list$"):
            sw.ElementModel().__setstate__([])
        with pytest.raises(TypeError, match="^object of type 'NoneType' has no len\\(\\)$"):
            sw.ElementModel().__setstate__(None)

    @pytest.mark.parametrize("cls,message", [
        (sw.ResistorModel, LINEAR_MESSAGE), (sw.InductorModel, LINEAR_MESSAGE),
        (sw.CurrentSourceModel, LINEAR_MESSAGE), (sw.CapacitorModel, CAPACITOR_MESSAGE)])
    def test_concrete_models_refuse(self, cls, message):
        model = cls(1, 2, 0)
        for attempt in (lambda: pickle.dumps(model), model.__reduce__, lambda: model.__setstate__(())):
            with pytest.raises(TypeError) as info:
                attempt()
            assert str(info.value) == message

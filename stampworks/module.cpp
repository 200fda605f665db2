// kivrun.Stampworks: element models that stamp the circuit matrices, and the
// drivers that sweep them.
#include "elements/module.hpp"
#include "pyglue/pyglue.hpp"
#include "stampworks/framework/drivers.hpp"
#include "stampworks/framework/element_model.hpp"
#include "stampworks/framework/host_state.hpp"
#include "stampworks/framework/model_type.hpp"
#include "stampworks/framework/registry.hpp"
#include "stampworks/junctions/rsj.hpp"
#include "stampworks/junctions/rsjn.hpp"
#include "stampworks/junctions/rsjph.hpp"
#include "stampworks/junctions/tjm.hpp"
#include "stampworks/linear/branch_inductor.hpp"
#include "stampworks/linear/capacitor.hpp"
#include "stampworks/linear/current_source.hpp"
#include "stampworks/linear/inductor.hpp"
#include "stampworks/linear/mutual_inductance.hpp"
#include "stampworks/linear/phase_source.hpp"
#include "stampworks/linear/resistor.hpp"
#include "stampworks/linear/voltage_source.hpp"

using pyglue::Ref;
using namespace stampworks;

namespace {

// Every model class, in the order the module exposes them.
using ReadyType = bool (*)(PyObject*);
const ReadyType model_types[] = {
    ModelType<InductorModel>::ready,
    ModelType<InductorImpedanceModel>::ready,
    ModelType<ResistorModel>::ready,
    ModelType<CapacitorModel>::ready,
    ModelType<CurrentSourceModel>::ready,
    ModelType<PhaseSourceModel>::ready,
    ModelType<VoltageSourceModel>::ready,
    ModelType<JunctionModel>::ready,
    ModelType<JunctionRSJNModel>::ready,
    ModelType<JunctionRSJPHModel>::ready,
    ModelType<JunctionTJMModel>::ready,
    ModelType<MutualInductanceModel>::ready,
};

template <PyCFunctionWithKeywords F>
constexpr PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kw = METH_VARARGS | METH_KEYWORDS;
PyMethodDef module_functions[] = {
    {"InitElementModels", as_cfunction<registry::InitElementModels>(), kw,
     "Register kvglobals.ElementList's models for the drivers and create RHSHelper."},
    {"BuildStaticMatrix", as_cfunction<drivers::BuildStaticMatrix>(), kw,
     "Refresh element parameters, then add every model's static part into A0."},
    {"BuildMatrix", as_cfunction<drivers::BuildMatrix>(), kw,
     "Add every model's step part into A1, linearised part into A2 and residual into B."},
    {"UpdateMatrix", as_cfunction<drivers::UpdateMatrix>(), kw,
     "Add every model's linearised part into A2 and residual into B."},
    {"UpdateRHS", as_cfunction<drivers::UpdateRHS>(), kw, "Add every model's residual into B."},
    {"UpdateValues", as_cfunction<drivers::UpdateValues>(), kw,
     "Write element currents, phases, voltages and phase counters from the node arrays."},
    {"_unpickle_ElementModel", as_cfunction<unpickle_element_model>(), kw, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kivrun.Stampworks",
                          "Element models and assembly drivers of the kivrun core.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

// `from . import name`, bound under `as_name` in the module namespace.
bool import_sibling(PyObject* module, const char* name, const char* as_name, PyObject** keep) {
  Ref full(PyUnicode_FromFormat("kivrun.%s", name));
  Ref sibling(full ? PyImport_Import(full.get()) : nullptr);
  if (!sibling) return false;
  if (keep) *keep = Ref(sibling).release();
  return PyModule_AddObject(module, as_name, sibling.release()) == 0;
}

bool populate(PyObject* module) {
  host::module_dict = PyModule_GetDict(module);
  if (!ready_element_model_type(module)) return false;
  for (ReadyType ready : model_types)
    if (!ready(module)) return false;

  Ref np(PyImport_ImportModule("numpy"));
  Ref ndarray = np ? pyglue::getattr(np.get(), "ndarray") : Ref();
  if (!ndarray || !PyType_Check(ndarray.get()))
    return PyErr_Occurred() ? false : pyglue::type_error("numpy.ndarray is not a type");
  host::ndarray_type = reinterpret_cast<PyTypeObject*>(ndarray.release());
  if (PyModule_AddObject(module, "np", np.release()) < 0) return false;
  if (!import_sibling(module, "SimulationParameters", "SP", nullptr) ||
      !import_sibling(module, "kvglobals", "kvglobals", &host::kvglobals_module) ||
      !import_sibling(module, "kvconfig", "kvconfig", &host::kvconfig_module))
    return false;
  if (PyModule_AddObject(module, "RHSHelper", Ref::borrow(Py_None).release()) < 0 ||
      PyModule_AddIntConstant(module, "NTHREADS", 4) < 0 ||
      PyModule_AddFunctions(module, module_functions) < 0)
    return false;
  unpickle_function = PyDict_GetItemString(host::module_dict, "_unpickle_ElementModel");
  Py_XINCREF(unpickle_function);
  return unpickle_function != nullptr && elements::publish_module();
}

}  // namespace

PyMODINIT_FUNC PyInit_Stampworks() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  // The dict stays alive with the module, which single-phase init never frees.
  Py_INCREF(PyModule_GetDict(module.get()));
  if (!populate(module.get())) return nullptr;
  return module.release();
}

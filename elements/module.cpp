// kivrun.Elements: element models beside the core's, built on the same
// framework (the same base type, binding procedure, registry and drivers),
// compiled into the core's library so that they share its one state, and
// exposed as a module of their own so the core's namespace stays as it is.
#include "elements/module.hpp"

#include "elements/bulk_binding.hpp"
#include "elements/controlled_sources.hpp"
#include "elements/junction_pwl.hpp"
#include "elements/transmission_line.hpp"
#include "pyglue/pyglue.hpp"

using pyglue::Ref;
using stampworks::ModelType;

namespace elements {

namespace {

using ReadyType = bool (*)(PyObject*);
const ReadyType model_types[] = {
    ModelType<VCVSModel>::ready,     ModelType<CCVSModel>::ready,
    ModelType<VCCSModel>::ready,     ModelType<CCCSModel>::ready,
    ModelType<TransmissionLineModel>::ready, ModelType<JunctionPWLModel>::ready,
};

PyMethodDef module_functions[] = {
    {"bind_models", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_models)),
     METH_VARARGS | METH_KEYWORDS,
     "bind_models(types, codes, eindex, args, slots, params): models of the core's resistor, "
     "capacitor, inductor, junction and current-source classes, each constructed, bound with "
     "InitModel and given SetParameters as one by one, from flat arrays (codes index types)."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kivrun.Elements",
                          "Element models beside the core's: controlled sources, transmission line, "
                          "piecewise-linear junction.",
                          -1, module_functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

bool publish_module() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return false;
  for (ReadyType ready : model_types)
    if (!ready(module.get())) return false;
  // The counter of binding changes, for the compiled loop: it rechecks the
  // models between steps only when a binding changed.
  Ref epoch(PyCapsule_New(&stampworks::binding_epoch, "kivrun.Elements._binding_epoch", nullptr));
  if (!epoch || PyModule_AddObject(module.get(), "_binding_epoch", epoch.release()) < 0) return false;
  // And of parameter changes: it renews its copies of models only after one.
  Ref parameters(PyCapsule_New(&stampworks::parameter_epoch, "kivrun.Elements._parameter_epoch", nullptr));
  if (!parameters || PyModule_AddObject(module.get(), "_parameter_epoch", parameters.release()) < 0) return false;
  // Found by `import kivrun.Elements` once the core is loaded.
  PyObject* modules = PyImport_GetModuleDict();
  return PyDict_SetItemString(modules, "kivrun.Elements", module.get()) == 0;
}

}  // namespace elements

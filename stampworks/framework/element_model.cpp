// ElementModel: the bare base class.  Its operations do nothing, and it (and
// any Python subclass) pickles by class plus instance dictionary.
#include "stampworks/framework/element_model.hpp"

#include "pyglue/pyglue.hpp"

using pyglue::Ref;

namespace stampworks {

uint64_t binding_epoch = 1;
uint64_t parameter_epoch = 1;
PyObject* unpickle_function = nullptr;

namespace {

constexpr long kChecksum = 0xd41d8cd;

void no_adm0(ModelObject*, View) {}
void no_op(ModelObject*, View, pModelContext_t) {}
void no_values(ModelObject*, pModelContext_t) {}
void no_build(ModelObject*, View, View, View, pModelContext_t) {}
void no_update(ModelObject*, View, View, pModelContext_t) {}
void no_sweep(ModelObject* const*, size_t, View, pModelContext_t) {}
void no_extent(const ModelObject*, Extent&) {}

PyObject* element_model_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) reinterpret_cast<ModelObject*>(self)->ops = &base_ops;
  return self;
}

int element_model_init(PyObject*, PyObject* args, PyObject* kwds) {
  return pyglue::parse_no_args("__init__", args, kwds) ? 0 : -1;
}

void element_model_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

Ref instance_dict(PyObject* self) {
  Ref dict(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) PyErr_Clear();
  return dict;
}

PyObject* element_model_reduce(PyObject* self, PyObject*) {
  Ref unpickle = Ref::borrow(unpickle_function);
  if (!unpickle) return pyglue::runtime_error("module not initialised");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref dict = instance_dict(self);
  if (dict && dict.get() != Py_None)
    return Py_BuildValue("O(OlO)(O)", unpickle.get(), type, kChecksum, Py_None, dict.get());
  return Py_BuildValue("O(Ol())", unpickle.get(), type, kChecksum);
}

bool apply_state(PyObject* self, PyObject* state) {
  if (!PyTuple_Check(state)) {
    if (state == Py_None) return pyglue::type_error("object of type 'NoneType' has no len()");
    return pyglue::type_error("Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
  }
  if (PyTuple_GET_SIZE(state) == 0) return true;
  Ref dict = instance_dict(self);
  if (!dict || dict.get() == Py_None) return true;
  Ref updated(PyObject_CallMethod(dict.get(), "update", "O", PyTuple_GET_ITEM(state, 0)));
  return bool(updated);
}

PyObject* element_model_setstate(PyObject* self, PyObject* state) {
  return apply_state(self, state) ? pyglue::none() : nullptr;
}

PyMethodDef element_model_methods[] = {
    {"__reduce__", element_model_reduce, METH_NOARGS, nullptr},
    {"__setstate__", element_model_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const OpTable base_ops = {no_adm0, no_op, no_op, no_op, no_values, no_build, no_update, no_extent, no_sweep, rhs_general, 0, nullptr, nullptr};

PyTypeObject ElementModel_Type;

PyObject* unpickle_element_model(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"type", "checksum", "state"};
  PyObject* a[3];
  if (!pyglue::parse_args("_unpickle_ElementModel", args, kwds, names, a)) return nullptr;
  Ref expected(PyLong_FromLong(kChecksum));
  int same = PyObject_RichCompareBool(a[1], expected.get(), Py_EQ);
  if (same < 0) return nullptr;
  if (!same) {
    Ref pickle(PyImport_ImportModule("pickle"));
    Ref error = pickle ? pyglue::getattr(pickle.get(), "PickleError") : Ref();
    if (!error) return nullptr;
    Ref text(PyUnicode_FromFormat("Incompatible checksums (%S vs 0xd41d8cd = ())", a[1]));
    if (text) PyErr_SetObject(error.get(), text.get());
    return nullptr;
  }
  if (!PyType_Check(a[0]) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(a[0]), &ElementModel_Type))
    return pyglue::type_error("%.200s is not a subtype of ElementModel",
                              PyType_Check(a[0]) ? reinterpret_cast<PyTypeObject*>(a[0])->tp_name
                                                 : Py_TYPE(a[0])->tp_name);
  auto* type = reinterpret_cast<PyTypeObject*>(a[0]);
  Ref empty(PyTuple_New(0));
  Ref result(type->tp_new(type, empty.get(), nullptr));
  if (!result) return nullptr;
  if (a[2] != Py_None && !apply_state(result.get(), a[2])) return nullptr;
  return result.release();
}

bool ready_element_model_type(PyObject* module) {
  PyTypeObject& t = ElementModel_Type;
  pyglue::reset_static_type(t);
  t.tp_name = "kivrun.Stampworks.ElementModel";
  t.tp_doc = "Base of all element models; a bare instance contributes nothing.";
  t.tp_basicsize = sizeof(ModelObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  t.tp_new = element_model_new;
  t.tp_init = element_model_init;
  t.tp_dealloc = element_model_dealloc;
  t.tp_methods = element_model_methods;
  if (PyType_Ready(&t) < 0) return false;
  Py_INCREF(&t);
  return PyModule_AddObject(module, "ElementModel", reinterpret_cast<PyObject*>(&t)) == 0;
}

}  // namespace stampworks

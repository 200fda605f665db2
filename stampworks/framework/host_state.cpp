#include "stampworks/framework/host_state.hpp"

using pyglue::Ref;

namespace stampworks::host {

PyObject* module_dict = nullptr;
PyObject* kvglobals_module = nullptr;
PyObject* kvconfig_module = nullptr;
PyTypeObject* ndarray_type = nullptr;

Ref global(const char* name) {
  PyObject* value = module_dict ? PyDict_GetItemString(module_dict, name) : nullptr;
  if (!value) return (pyglue::raise(PyExc_NameError, "name '%s' is not defined", name), Ref());
  return Ref::borrow(value);
}

bool acquire_array(PyObject* obj, const pyglue::ItemType& type, bool writable, pyglue::Buffer& out) {
  return pyglue::check_convertible(obj, ndarray_type) && out.acquire(obj, type, writable);
}

bool acquire_attr_array(PyObject* owner, const char* name, pyglue::Buffer& out) {
  Ref value = pyglue::getattr(owner, name);
  return value && acquire_array(value.get(), pyglue::FLOAT_t, false, out);
}

bool acquire_argument(PyObject* obj, const char* argname, pyglue::Buffer& out) {
  return pyglue::check_arg_type(obj, ndarray_type, argname) && out.acquire(obj, pyglue::FLOAT_t, true);
}

}  // namespace stampworks::host

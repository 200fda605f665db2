// Scalar conversions with the interpreter's usual messages.
#pragma once
#include "pyglue/ref.hpp"

#include <climits>
#include <cstdint>

namespace pyglue {

// Integers convert exactly; other numbers through __int__ (so a float is
// truncated toward zero); anything else is "an integer is required".
inline bool to_int32(PyObject* obj, int32_t& out) {
  Ref as_int;
  if (!PyLong_Check(obj)) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) return type_error("an integer is required");
    as_int = Ref(nb->nb_int(obj));
    if (!as_int) return propagate();
    if (!PyLong_Check(as_int.get()))
      return type_error("__int__ returned non-int (type %.200s)", Py_TYPE(as_int.get())->tp_name);
    obj = as_int.get();
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return propagate();
  if (overflow || value < INT32_MIN || value > INT32_MAX)
    return raise(PyExc_OverflowError, "value too large to convert to int");
  out = static_cast<int32_t>(value);
  return true;
}

inline bool to_double(PyObject* obj, double& out) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// Reads obj[index] by Python indexing and converts it.
inline bool item_to_double(PyObject* seq, Py_ssize_t index, double& out) {
  Ref item(PySequence_GetItem(seq, index));
  return item && to_double(item.get(), out);
}

inline bool attr_to_double(PyObject* obj, const char* name, double& out) {
  Ref value = getattr(obj, name);
  return value && to_double(value.get(), out);
}

inline bool attr_to_int32(PyObject* obj, const char* name, int32_t& out) {
  Ref value = getattr(obj, name);
  return value && to_int32(value.get(), out);
}

}  // namespace pyglue

// Argument parsing for functions whose parameters are all required and may
// be given by position or by keyword, with the interpreter-style messages.
#pragma once
#include "pyglue/ref.hpp"

#include <cstring>

namespace pyglue {

inline Failure wrong_count(const char* fname, Py_ssize_t expected, Py_ssize_t given) {
  return type_error("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname,
                    "exactly", expected, expected == 1 ? "" : "s", given);
}

// Fills out[0..n) with borrowed references; returns false with an error set.
inline bool parse_args(const char* fname, PyObject* args, PyObject* kwds, const char* const* names,
                       Py_ssize_t n, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  bool has_kwds = kwds && PyDict_GET_SIZE(kwds) > 0;
  if (nargs > n || (!has_kwds && nargs != n)) return wrong_count(fname, n, nargs);
  for (Py_ssize_t k = 0; k < n; ++k) out[k] = k < nargs ? PyTuple_GET_ITEM(args, k) : nullptr;
  if (has_kwds) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) return type_error("%.200s() keywords must be strings", fname);
      const char* kname = PyUnicode_AsUTF8(key);
      if (!kname) return propagate();
      Py_ssize_t k = 0;
      while (k < n && std::strcmp(names[k], kname) != 0) ++k;
      if (k == n) return type_error("%s() got an unexpected keyword argument '%U'", fname, key);
      if (out[k]) return type_error("%s() got multiple values for keyword argument '%U'", fname, key);
      out[k] = value;
    }
    for (Py_ssize_t k = 0; k < n; ++k)
      if (!out[k]) return wrong_count(fname, n, k);
  }
  return true;
}

template <Py_ssize_t N>
bool parse_args(const char* fname, PyObject* args, PyObject* kwds, const char* const (&names)[N],
                PyObject* (&out)[N]) {
  return parse_args(fname, args, kwds, names, N, out);
}

inline bool parse_no_args(const char* fname, PyObject* args, PyObject* kwds) {
  return parse_args(fname, args, kwds, nullptr, 0, nullptr);
}

// A typed argument check that names the parameter, as the drivers promise.
inline bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* argname) {
  if (PyObject_TypeCheck(obj, type)) return true;
  return type_error("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                    type->tp_name, Py_TYPE(obj)->tp_name);
}

// The check applied to host attributes that must be of a given type.
inline bool check_convertible(PyObject* obj, PyTypeObject* type) {
  if (PyObject_TypeCheck(obj, type)) return true;
  return type_error("Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, type->tp_name);
}

}  // namespace pyglue

// Owned references and one-line error returns over the CPython C API.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace pyglue {

// An owned reference: released when the value goes out of scope, so error
// paths never need a manual Py_DECREF.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Returned by the error helpers: converts to the failure value of whatever
// the calling function returns (null pointer, -1 or false).
struct Failure {
  template <class T>
  operator T*() const noexcept { return nullptr; }
  operator int() const noexcept { return -1; }
  operator bool() const noexcept { return false; }
};

template <class... Args>
Failure raise(PyObject* type, const char* fmt, Args... args) {
  PyErr_Format(type, fmt, args...);
  return {};
}
template <class... Args>
Failure type_error(const char* fmt, Args... args) { return raise(PyExc_TypeError, fmt, args...); }
template <class... Args>
Failure value_error(const char* fmt, Args... args) { return raise(PyExc_ValueError, fmt, args...); }
template <class... Args>
Failure index_error(const char* fmt, Args... args) { return raise(PyExc_IndexError, fmt, args...); }
template <class... Args>
Failure runtime_error(const char* fmt, Args... args) { return raise(PyExc_RuntimeError, fmt, args...); }
// For paths where a Python error is already set.
inline Failure propagate() noexcept { return {}; }

inline Ref getattr(PyObject* obj, const char* name) {
  return Ref(PyObject_GetAttrString(obj, name));
}

inline PyObject* none() {
  Py_RETURN_NONE;
}

}  // namespace pyglue

namespace pyglue {

// Static types start zeroed with one reference, as PyVarObject_HEAD_INIT
// would give them, and are filled in before PyType_Ready.
inline void reset_static_type(PyTypeObject& type) {
  type = PyTypeObject{};
  reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;
}

}  // namespace pyglue

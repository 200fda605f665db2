#include "stampworks/linear/binding.hpp"

using pyglue::Ref;

namespace stampworks {

bool check_indices(const char* cls, const IndexField* fields, const INT_t* values, size_t n,
                   const BindingState& state) {
  bool any_terminal = false, all_ground = true;
  for (size_t k = 0; k < n; ++k) {
    const IndexField& f = fields[k];
    INT_t v = values[k];
    switch (f.role) {
      case Role::terminal:
        any_terminal = true;
        all_ground = all_ground && v == 0;
        if (v < 0) return pyglue::value_error("%s: node %s = %d is negative", cls, f.name, v);
        break;
      case Role::branch:
        if (v < 1) return pyglue::value_error("%s: unknown %s = %d must be at least 1", cls, f.name, v);
        for (size_t other = 0; other < k; ++other)
          if (fields[other].role == Role::branch && values[other] == v)
            return pyglue::value_error("%s: %s and %s name the same unknown %d", cls,
                                       fields[other].name, f.name, v);
        break;
      case Role::element:
        if (v < 0) return pyglue::value_error("%s: %s = %d is negative", cls, f.name, v);
        break;
    }
    if (!state.bound) continue;
    Py_ssize_t limit = f.role == Role::element ? state.element_len - 1 : state.unknown_len;
    if (v > limit)
      return pyglue::value_error("%s: %s = %d does not fit the bound %s arrays (length %zd)", cls,
                                 f.name, v, f.role == Role::element ? "element" : "node",
                                 f.role == Role::element ? state.element_len : state.unknown_len);
  }
  if (any_terminal && all_ground)
    return pyglue::value_error("%s: both terminals are ground (node 0)", cls);
  return true;
}

bool check_parameter_count(PyObject* params, Py_ssize_t needed) {
  Py_ssize_t len = PyObject_Length(params);
  if (len < 0) return false;
  if (len < needed)
    return pyglue::index_error("SetParameters() needs at least %zd parameter%s, got %zd", needed,
                               needed == 1 ? "" : "s", len);
  return true;
}

bool convert_parameter(PyObject* params, const ParamField& p, double& out) {
  Ref index(PyLong_FromSsize_t(p.item));
  Ref item(index ? PyObject_GetItem(params, index.get()) : nullptr);
  if (!item) return false;
  if (p.convert == Convert::value) return pyglue::to_double(item.get(), out);
  Ref one(PyFloat_FromDouble(1.0));
  Ref quotient(one ? PyNumber_TrueDivide(one.get(), item.get()) : nullptr);
  return quotient && pyglue::to_double(quotient.get(), out);
}

}  // namespace stampworks

// The binding procedure every model class shares: construction with node
// numbers and element index, InitModel with slot numbers and the host's
// state arrays, SetParameters with element values.  A class describes its
// fields once (see the shapes below); the procedure is generated from that.
#pragma once
#include "pyglue/pyglue.hpp"
#include "stampworks/framework/element_model.hpp"
#include "stampworks/framework/host_state.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace stampworks {

// ---- field descriptors ---------------------------------------------------

enum class Role : char { terminal, branch, element };

// A constructor argument: a node, a branch unknown or the element index.
struct IndexField {
  const char* name;
  size_t offset;
  Role role;
};

// A slot is used only when its row and column unknowns are both non-ground.
struct SlotField {
  const char* name;
  size_t offset;
  size_t row;
  size_t col;
  bool used;
};

enum class HostArray : int {
  NodePhase, NodeVoltage, NodeDVoltage,
  ElementPhase, ElementVoltage, ElementCurrent,
  ElementN, ElementInc, ElementDec
};

struct HostArrayInfo {
  const char* attr;             // kvglobals attribute
  const char* field;            // model field bound to it
  const pyglue::ItemType* type;
  bool per_unknown;             // indexed by unknown position, else by eindex
  bool written;                 // models write it, so it must be writable
};

inline const HostArrayInfo& host_array_info(HostArray a) {
  static const HostArrayInfo table[] = {
      {"NodePhase", "node_phases", &pyglue::FLOAT_t, true, false},
      {"NodeVoltage", "node_voltages", &pyglue::FLOAT_t, true, false},
      {"NodeDVoltage", "node_dvoltages", &pyglue::FLOAT_t, true, false},
      {"ElementPhase", "elem_phases", &pyglue::FLOAT_t, false, true},
      {"ElementVoltage", "elem_voltages", &pyglue::FLOAT_t, false, true},
      {"ElementCurrent", "elem_currents", &pyglue::FLOAT_t, false, true},
      {"ElementN", "elem_n", &pyglue::INT_t, false, true},
      {"ElementInc", "elem_inc", &pyglue::UINT8_t, false, true},
      {"ElementDec", "elem_dec", &pyglue::UINT8_t, false, true},
  };
  return table[static_cast<int>(a)];
}

struct BoundArray {
  HostArray array;
  size_t offset;
};

enum class Convert : char { value, reciprocal };

struct ParamField {
  Py_ssize_t item;
  size_t offset;
  Convert convert;
};

template <class T>
T& field_at(void* base, size_t offset) {
  return *reinterpret_cast<T*>(static_cast<char*>(base) + offset);
}
template <class T>
const T& field_at(const void* base, size_t offset) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(base) + offset);
}

// Every operation a class does not define returns at once.
struct NoOperations {
  void Admitance0(View) {}
  void Admitance1(View, pModelContext_t) {}
  void Admitance2(View, pModelContext_t) {}
  void RHSCurrent(View, pModelContext_t) {}
  void Values(pModelContext_t) {}
  void defaults() {}
  // Why the model may not run yet, or null when it may.
  const char* not_ready() const { return nullptr; }
};

// ---- shapes shared by several classes ------------------------------------

template <class M, bool slots_used = true>
struct TwoTerminalShape {
  static constexpr IndexField indices[] = {
      {"i", offsetof(M, i), Role::terminal},
      {"j", offsetof(M, j), Role::terminal},
      {"eindex", offsetof(M, eindex), Role::element}};
  static constexpr SlotField slots[] = {
      {"ind_ii", offsetof(M, ind_ii), offsetof(M, i), offsetof(M, i), slots_used},
      {"ind_ij", offsetof(M, ind_ij), offsetof(M, i), offsetof(M, j), slots_used},
      {"ind_ji", offsetof(M, ind_ji), offsetof(M, j), offsetof(M, i), slots_used},
      {"ind_jj", offsetof(M, ind_jj), offsetof(M, j), offsetof(M, j), slots_used}};
};

template <class M>
struct LinearArrays {
  static constexpr BoundArray arrays[] = {
      {HostArray::NodePhase, offsetof(M, node_phases)},
      {HostArray::NodeVoltage, offsetof(M, node_voltages)},
      {HostArray::ElementPhase, offsetof(M, elem_phases)},
      {HostArray::ElementVoltage, offsetof(M, elem_voltages)},
      {HostArray::ElementCurrent, offsetof(M, elem_currents)}};
};

template <class M>
struct CapacitiveArrays {
  static constexpr BoundArray arrays[] = {
      {HostArray::NodePhase, offsetof(M, node_phases)},
      {HostArray::NodeVoltage, offsetof(M, node_voltages)},
      {HostArray::NodeDVoltage, offsetof(M, node_dvoltages)},
      {HostArray::ElementPhase, offsetof(M, elem_phases)},
      {HostArray::ElementVoltage, offsetof(M, elem_voltages)},
      {HostArray::ElementCurrent, offsetof(M, elem_currents)}};
};

// Sources keep a phase counter but read no voltage derivative.
template <class M>
struct SourceArrays {
  static constexpr BoundArray arrays[] = {
      {HostArray::NodePhase, offsetof(M, node_phases)},
      {HostArray::NodeVoltage, offsetof(M, node_voltages)},
      {HostArray::ElementPhase, offsetof(M, elem_phases)},
      {HostArray::ElementVoltage, offsetof(M, elem_voltages)},
      {HostArray::ElementCurrent, offsetof(M, elem_currents)},
      {HostArray::ElementN, offsetof(M, elem_n)},
      {HostArray::ElementInc, offsetof(M, elem_inc)},
      {HostArray::ElementDec, offsetof(M, elem_dec)}};
};

template <class M>
struct JunctionArrays {
  static constexpr BoundArray arrays[] = {
      {HostArray::NodePhase, offsetof(M, node_phases)},
      {HostArray::NodeVoltage, offsetof(M, node_voltages)},
      {HostArray::NodeDVoltage, offsetof(M, node_dvoltages)},
      {HostArray::ElementPhase, offsetof(M, elem_phases)},
      {HostArray::ElementVoltage, offsetof(M, elem_voltages)},
      {HostArray::ElementCurrent, offsetof(M, elem_currents)},
      {HostArray::ElementN, offsetof(M, elem_n)},
      {HostArray::ElementInc, offsetof(M, elem_inc)},
      {HostArray::ElementDec, offsetof(M, elem_dec)}};
};

// ---- the procedure -------------------------------------------------------

// Lengths of the arrays a model is bound to; unbound while `bound` is false.
struct BindingState {
  bool bound;
  Py_ssize_t unknown_len;  // shortest per-unknown array
  Py_ssize_t element_len;  // shortest per-element array
};

// Checks index values before they are stored: no position −1 or beyond the
// bound arrays can ever reach an operation.
bool check_indices(const char* cls, const IndexField* fields, const INT_t* values, size_t n,
                   const BindingState& state);

// Converts params[item] to a float, or 1.0 / params[item] with Python's true
// division (so a zero raises ZeroDivisionError).
bool convert_parameter(PyObject* params, const ParamField& p, double& out);

// Requires `needed` items so that no field changes when some are missing.
bool check_parameter_count(PyObject* params, Py_ssize_t needed);

template <class D, class M>
int construct(M& m, BindingState& state, PyObject* args, PyObject* kwds) {
  constexpr size_t n = std::size(D::indices);
  const char* names[n];
  for (size_t k = 0; k < n; ++k) names[k] = D::indices[k].name;
  PyObject* a[n];
  if (!pyglue::parse_args("__init__", args, kwds, names, n, a)) return -1;
  INT_t values[n];
  for (size_t k = 0; k < n; ++k)
    if (!pyglue::to_int32(a[k], values[k])) return -1;
  if (!check_indices(D::name, D::indices, values, n, state)) return -1;
  for (size_t k = 0; k < n; ++k) field_at<INT_t>(&m, D::indices[k].offset) = values[k];
  m.defaults();
  ++binding_epoch;
  return 0;
}

template <class D, class M, size_t N>
PyObject* init_model(M& m, BindingState& state, PyObject* (&held)[N], PyObject* args, PyObject* kwds) {
  constexpr size_t nslots = std::size(D::slots);
  const char* names[nslots];
  for (size_t k = 0; k < nslots; ++k) names[k] = D::slots[k].name;
  PyObject* a[nslots];
  if (!pyglue::parse_args("InitModel", args, kwds, names, nslots, a)) return nullptr;
  ++binding_epoch;
  for (size_t k = 0; k < nslots; ++k)
    if (!pyglue::to_int32(a[k], field_at<INT_t>(&m, D::slots[k].offset))) return nullptr;

  pyglue::Buffer buffers[N];
  pyglue::Ref objects[N];
  BindingState next{true, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX};
  for (size_t k = 0; k < N; ++k) {
    const HostArrayInfo& info = host_array_info(D::arrays[k].array);
    objects[k] = pyglue::getattr(host::kvglobals_module, info.attr);
    if (!objects[k] || !host::acquire_array(objects[k].get(), *info.type, info.written, buffers[k]))
      return nullptr;
    Py_ssize_t& len = info.per_unknown ? next.unknown_len : next.element_len;
    len = std::min(len, buffers[k].len());
  }
  constexpr size_t nidx = std::size(D::indices);
  INT_t values[nidx];
  for (size_t k = 0; k < nidx; ++k) values[k] = field_at<INT_t>(&m, D::indices[k].offset);
  if (!check_indices(D::name, D::indices, values, nidx, next)) return nullptr;

  for (size_t k = 0; k < N; ++k) {
    field_at<void*>(&m, D::arrays[k].offset) = buffers[k].template data<void>();
    Py_XSETREF(held[k], objects[k].release());
  }
  state = next;
  return pyglue::none();
}

template <class D, class M>
PyObject* set_parameters(M& m, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"params"};
  PyObject* a[1];
  if (!pyglue::parse_args("SetParameters", args, kwds, names, a)) return nullptr;
  Py_ssize_t needed = 0;
  for (const ParamField& p : D::params) needed = std::max(needed, p.item + 1);
  if (!check_parameter_count(a[0], needed)) return nullptr;
  for (const ParamField& p : D::params)
    if (!convert_parameter(a[0], p, field_at<FLOAT_t>(&m, p.offset))) return nullptr;
  return pyglue::none();
}

}  // namespace stampworks

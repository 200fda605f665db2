// A large circuit is mostly resistors, capacitors, inductors, junctions and
// bias sources; binding each through three Python calls (constructor,
// InitModel, SetParameters) costs a few microseconds, most of it looking up
// and viewing the same nine host arrays again.  Here the arrays are viewed
// once and every model goes through the same steps as the binding procedure
// in stampworks/linear/binding.hpp: index checks, defaults, slots, arrays,
// parameters.
#include "elements/bulk_binding.hpp"

#include "stampworks/framework/host_state.hpp"
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/rsj.hpp"
#include "stampworks/linear/capacitor.hpp"
#include "stampworks/linear/current_source.hpp"
#include "stampworks/linear/inductor.hpp"
#include "stampworks/linear/resistor.hpp"

#include <algorithm>
#include <iterator>
#include <vector>

using pyglue::Ref;
using namespace stampworks;

namespace elements {

namespace {

constexpr int kHostArrays = 9;

// The host arrays, viewed once for the whole call.
struct HostViews {
  pyglue::Buffer buffers[kHostArrays];
  Ref objects[kHostArrays];
  bool acquired[kHostArrays] = {};

  bool get(HostArray a) {
    int k = static_cast<int>(a);
    if (acquired[k]) return true;
    const HostArrayInfo& info = host_array_info(a);
    objects[k] = pyglue::getattr(host::kvglobals_module, info.attr);
    if (!objects[k] || !host::acquire_array(objects[k].get(), *info.type, info.written, buffers[k]))
      return false;
    acquired[k] = true;
    return true;
  }
};

// Where the next model's numbers are read from.
struct Cursor {
  const INT_t* args;
  const INT_t* slots;
  const FLOAT_t* params;
  const FLOAT_t* params_end;
};

using BindOne = PyObject* (*)(INT_t eindex, Cursor& at, HostViews& views);

template <class M>
PyObject* bind_one(INT_t eindex, Cursor& at, HostViews& views) {
  using D = Declaration<M>;
  using Self = PyModel<M>;
  PyTypeObject* type = &ModelType<M>::type;
  Ref empty(PyTuple_New(0));
  Ref object(empty ? type->tp_new(type, empty.get(), nullptr) : nullptr);
  if (!object) return nullptr;
  Self* self = reinterpret_cast<Self*>(object.get());
  M& m = self->m;

  // The constructor: node and branch numbers from `args`, the element index given.
  constexpr size_t nidx = std::size(D::indices);
  INT_t values[nidx];
  for (size_t k = 0; k < nidx; ++k)
    values[k] = D::indices[k].role == Role::element ? eindex : *at.args++;
  if (!check_indices(D::name, D::indices, values, nidx, self->state)) return nullptr;
  for (size_t k = 0; k < nidx; ++k) field_at<INT_t>(&m, D::indices[k].offset) = values[k];
  m.defaults();

  // InitModel: the slots, then the arrays, checked against the indices as there.
  for (const SlotField& slot : D::slots) field_at<INT_t>(&m, slot.offset) = *at.slots++;
  constexpr size_t narrays = std::size(D::arrays);
  BindingState next{true, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX};
  for (size_t k = 0; k < narrays; ++k) {
    HostArray a = D::arrays[k].array;
    if (!views.get(a)) return nullptr;
    Py_ssize_t& len = host_array_info(a).per_unknown ? next.unknown_len : next.element_len;
    len = std::min(len, views.buffers[static_cast<int>(a)].len());
  }
  if (!check_indices(D::name, D::indices, values, nidx, next)) return nullptr;
  for (size_t k = 0; k < narrays; ++k) {
    int a = static_cast<int>(D::arrays[k].array);
    field_at<void*>(&m, D::arrays[k].offset) = views.buffers[a].template data<void>();
    Py_XSETREF(self->held[k], Ref(views.objects[a]).release());
  }
  self->state = next;

  // SetParameters with the model's items in order.
  Py_ssize_t needed = 0;
  for (const ParamField& p : D::params) needed = std::max(needed, p.item + 1);
  if (at.params_end - at.params < needed)
    return pyglue::index_error("bind_models: %s needs %zd parameters, %zd left", D::name, needed,
                               static_cast<Py_ssize_t>(at.params_end - at.params));
  for (const ParamField& p : D::params) {
    FLOAT_t value = at.params[p.item];
    if (p.convert == Convert::reciprocal) {
      if (value == 0.0) return pyglue::raise(PyExc_ZeroDivisionError, "float division by zero");
      value = 1.0 / value;
    }
    field_at<FLOAT_t>(&m, p.offset) = value;
  }
  at.params += needed;
  return object.release();
}

struct Binder {
  PyTypeObject* type;
  BindOne bind;
  size_t nargs;   // index fields other than the element index
  size_t nslots;
};

template <class M>
Binder binder() {
  using D = Declaration<M>;
  size_t nargs = 0;
  for (const IndexField& f : D::indices) nargs += f.role != Role::element;
  return {&ModelType<M>::type, bind_one<M>, nargs, std::size(D::slots)};
}

bool find_binder(PyObject* type, Binder& out) {
  static const Binder known[] = {binder<ResistorModel>(), binder<CapacitorModel>(),
                                 binder<InductorModel>(), binder<JunctionModel>(),
                                 binder<CurrentSourceModel>()};
  for (const Binder& b : known)
    if (reinterpret_cast<PyObject*>(b.type) == type) {
      out = b;
      return true;
    }
  return pyglue::type_error("bind_models: %R is not a class bound here", type);
}

}  // namespace

PyObject* bind_models(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"types", "codes", "eindex", "args", "slots", "params"};
  PyObject* a[6];
  if (!pyglue::parse_args("bind_models", args, kwds, names, a)) return nullptr;
  if (!PyTuple_Check(a[0])) return pyglue::type_error("bind_models: types must be a tuple");
  Py_ssize_t ntypes = PyTuple_GET_SIZE(a[0]);
  std::vector<Binder> binders(static_cast<size_t>(ntypes));
  for (Py_ssize_t k = 0; k < ntypes; ++k)
    if (!find_binder(PyTuple_GET_ITEM(a[0], k), binders[static_cast<size_t>(k)])) return nullptr;
  pyglue::Buffer codes, eindex, indices, slots, params;
  if (!codes.acquire(a[1], pyglue::UINT8_t, false) || !eindex.acquire(a[2], pyglue::INT_t, false) ||
      !indices.acquire(a[3], pyglue::INT_t, false) || !slots.acquire(a[4], pyglue::INT_t, false) ||
      !params.acquire(a[5], pyglue::FLOAT_t, false))
    return nullptr;
  Py_ssize_t n = codes.len();
  if (eindex.len() != n) return pyglue::value_error("bind_models: %zd codes but %zd element indices", n, eindex.len());
  // Every count is checked before the first model is made.
  size_t want_args = 0, want_slots = 0;
  const uint8_t* code = codes.data<uint8_t>();
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (code[k] >= ntypes) return pyglue::value_error("bind_models: code %d names no type", code[k]);
    want_args += binders[code[k]].nargs;
    want_slots += binders[code[k]].nslots;
  }
  if (static_cast<size_t>(indices.len()) != want_args || static_cast<size_t>(slots.len()) != want_slots)
    return pyglue::value_error("bind_models: %zd node numbers and %zd slots given, %zu and %zu wanted",
                               indices.len(), slots.len(), want_args, want_slots);
  Ref out(PyList_New(n));
  if (!out) return nullptr;
  HostViews views;
  Cursor at{indices.data<INT_t>(), slots.data<INT_t>(), params.data<FLOAT_t>(),
            params.data<FLOAT_t>() + params.len()};
  const INT_t* element = eindex.data<INT_t>();
  ++binding_epoch;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* model = binders[code[k]].bind(element[k], at, views);
    if (!model) return nullptr;
    PyList_SET_ITEM(out.get(), k, model);
  }
  if (at.params != at.params_end)
    return pyglue::value_error("bind_models: %zd parameters left over",
                               static_cast<Py_ssize_t>(at.params_end - at.params));
  return out.release();
}

}  // namespace elements

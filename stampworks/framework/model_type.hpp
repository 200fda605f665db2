// Builds a model class's Python type and operation table from its plain
// C++ struct M and its Declaration<M> (name, index fields, slots, bound
// arrays, parameters, optional extra methods).
#pragma once
#include "stampworks/linear/binding.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace stampworks {

template <class M>
struct Declaration;

template <class M>
struct PyModel {
  ModelObject head;
  M m;
  BindingState state;
  PyObject* held[std::size(Declaration<M>::arrays)];  // keeps bound arrays alive
};

template <class M>
M& model_of(PyObject* self) {
  return reinterpret_cast<PyModel<M>*>(self)->m;
}

template <class D, class = void>
struct HasExtraMethods : std::false_type {};
template <class D>
struct HasExtraMethods<D, std::void_t<decltype(D::extra_methods)>> : std::true_type {};

// A model may offer Admitance2AndRHSCurrent(a2, vec, ctx), doing exactly what
// Admitance2 then RHSCurrent do, to share work between the two (one sincos,
// one power); the drivers' fused sweeps then call it instead.
template <class M, class = void>
struct HasFusedStep : std::false_type {};
template <class M>
struct HasFusedStep<M, std::void_t<decltype(&M::Admitance2AndRHSCurrent)>> : std::true_type {};

// A model may own memory outside Python's view (a delay line's history),
// freed by release() when the object goes.
template <class M, class = void>
struct HasRelease : std::false_type {};
template <class M>
struct HasRelease<M, std::void_t<decltype(&M::release)>> : std::true_type {};

// A declaration may state its class's RhsKind (see OpTable); general if not.
template <class D, class = void>
struct RhsKindOf {
  static constexpr int value = rhs_general;
};
template <class D>
struct RhsKindOf<D, std::void_t<decltype(D::rhs_kind)>> {
  static constexpr int value = D::rhs_kind;
};

// The module a class is exposed in: the core's own unless its declaration
// names another (the element models beside it).
template <class D, class = void>
struct ModuleOf {
  static constexpr const char* name = "kivrun.Stampworks";
};
template <class D>
struct ModuleOf<D, std::void_t<decltype(D::module_name)>> {
  static constexpr const char* name = D::module_name;
};

template <class M>
inline void admitance2_and_rhs(M& m, View a2, View b, pModelContext_t c) {
  if constexpr (HasFusedStep<M>::value) {
    m.Admitance2AndRHSCurrent(a2, b, c);
  } else {
    m.Admitance2(a2, c);
    m.RHSCurrent(b, c);
  }
}

template <class M>
class ModelType {
  using D = Declaration<M>;
  using Self = PyModel<M>;

  static Self* self(ModelObject* o) { return reinterpret_cast<Self*>(o); }
  static const Self* self(const ModelObject* o) { return reinterpret_cast<const Self*>(o); }
  static Self* self(PyObject* o) { return reinterpret_cast<Self*>(o); }

  static void adm0(ModelObject* o, View m) { self(o)->m.Admitance0(m); }
  static void adm1(ModelObject* o, View m, pModelContext_t c) { self(o)->m.Admitance1(m, c); }
  static void adm2(ModelObject* o, View m, pModelContext_t c) { self(o)->m.Admitance2(m, c); }
  static void rhs(ModelObject* o, View v, pModelContext_t c) { self(o)->m.RHSCurrent(v, c); }
  static void values(ModelObject* o, pModelContext_t c) { self(o)->m.Values(c); }
  // Objects are scattered over the heap, and on big circuits each is a cache
  // miss: fetching a few models ahead overlaps the misses.
  static void rhs_sweep(ModelObject* const* models, size_t count, View v, pModelContext_t c) {
    constexpr size_t ahead = 16;
    for (size_t k = 0; k < count; ++k) {
      if (k + ahead < count) prefetch_model(models[k + ahead]);
      self(models[k])->m.RHSCurrent(v, c);
    }
  }
  static void pack(ModelObject* const* models, size_t count, void* out) {
    if constexpr (std::is_trivially_copyable_v<M>) {
      M* copies = static_cast<M*>(out);
      for (size_t k = 0; k < count; ++k) std::memcpy(&copies[k], &self(models[k])->m, sizeof(M));
    }
  }
  static void rhs_packed(void* copies, size_t count, View v, pModelContext_t c) {
    M* models = static_cast<M*>(copies);
    for (size_t k = 0; k < count; ++k) models[k].RHSCurrent(v, c);
  }
  static void prefetch_model(ModelObject* o) {
#if defined(__GNUC__)
    const char* m = reinterpret_cast<const char*>(&self(o)->m);
    for (size_t line = 0; line < sizeof(M); line += 64) __builtin_prefetch(m + line);
#else
    (void)o;
#endif
  }
  static void build(ModelObject* o, View a1, View a2, View b, pModelContext_t c) {
    M& m = self(o)->m;
    m.Admitance1(a1, c);
    admitance2_and_rhs(m, a2, b, c);
  }
  static void update(ModelObject* o, View a2, View b, pModelContext_t c) {
    admitance2_and_rhs(self(o)->m, a2, b, c);
  }

  static void extent(const ModelObject* o, Extent& e) {
    const Self* s = self(o);
    if (!s->state.bound) {
      e.bound = false;
      return;
    }
    if (const char* reason = s->m.not_ready()) {
      e.ready = false;
      e.not_ready_reason = reason;
    }
    for (const SlotField& slot : D::slots) {
      if (!slot.used || !field_at<INT_t>(&s->m, slot.row) || !field_at<INT_t>(&s->m, slot.col))
        continue;
      int64_t v = field_at<INT_t>(&s->m, slot.offset);
      e.min_slot = std::min(e.min_slot, v);
      e.max_slot = std::max(e.max_slot, v);
    }
    for (const IndexField& f : D::indices)
      if (f.role != Role::element)
        e.max_unknown = std::max<int64_t>(e.max_unknown, field_at<INT_t>(&s->m, f.offset));
  }

  static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);  // zero-filled: null pointers, zero slots
    if (o) reinterpret_cast<ModelObject*>(o)->ops = &table;
    return o;
  }
  static int tp_init(PyObject* o, PyObject* args, PyObject* kwds) {
    return construct<D>(self(o)->m, self(o)->state, args, kwds);
  }
  static void tp_dealloc(PyObject* o) {
    if constexpr (HasRelease<M>::value) self(o)->m.release();
    for (PyObject*& ref : self(o)->held) Py_CLEAR(ref);
    Py_TYPE(o)->tp_free(o);
  }
  static PyObject* InitModel(PyObject* o, PyObject* args, PyObject* kwds) {
    return init_model<D>(self(o)->m, self(o)->state, self(o)->held, args, kwds);
  }
  static PyObject* SetParameters(PyObject* o, PyObject* args, PyObject* kwds) {
    ++parameter_epoch;
    return set_parameters<D>(self(o)->m, args, kwds);
  }
  static PyObject* refuse_pickle(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, pickle_message.c_str());
    return nullptr;
  }

  // The borrowed array fields, sorted, as the pickling refusal names them.
  static std::string make_pickle_message() {
    std::vector<std::string> names;
    for (const BoundArray& b : D::arrays) {
      std::string f = host_array_info(b.array).field;
      if (f != "elem_inc" && f != "elem_dec") names.push_back("self." + f);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ",") + n;
    return text + " cannot be converted to a Python object for pickling";
  }

  static inline std::string pickle_message;
  static inline std::string qualified_name;
  static inline std::vector<PyMethodDef> methods;

 public:
  static constexpr bool kOwn = RhsKindOf<D>::value == rhs_own;
  static_assert(!kOwn || (std::is_trivially_copyable_v<M> && alignof(M) <= alignof(std::max_align_t)),
                "an own-kind model is read through copies");
  static inline const OpTable table = {adm0,    adm1,      adm2,
                                       rhs,     values,    build,
                                       update,  extent,    rhs_sweep,
                                       RhsKindOf<D>::value, kOwn ? sizeof(M) : 0,
                                       kOwn ? pack : nullptr, kOwn ? rhs_packed : nullptr};
  static inline PyTypeObject type;

  static bool ready(PyObject* module) {
    static_assert(std::is_standard_layout_v<M>, "model fields are addressed by offset");
    pickle_message = make_pickle_message();
    qualified_name = std::string(ModuleOf<D>::name) + "." + D::name;
    auto kw = METH_VARARGS | METH_KEYWORDS;
    methods = {
        {"InitModel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(InitModel)), kw, nullptr},
        {"SetParameters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(SetParameters)), kw, nullptr},
        {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
        {"__setstate__", refuse_pickle, METH_O, nullptr}};
    if constexpr (HasExtraMethods<D>::value)
      for (const PyMethodDef& def : D::extra_methods) methods.push_back(def);
    methods.push_back({nullptr, nullptr, 0, nullptr});

    pyglue::reset_static_type(type);
    type.tp_name = qualified_name.c_str();
    type.tp_doc = D::doc;
    type.tp_basicsize = sizeof(Self);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_base = &ElementModel_Type;
    type.tp_new = tp_new;
    type.tp_init = tp_init;
    type.tp_dealloc = tp_dealloc;
    type.tp_methods = methods.data();
    if (PyType_Ready(&type) < 0) return false;
    Py_INCREF(&type);
    return PyModule_AddObject(module, D::name, reinterpret_cast<PyObject*>(&type)) == 0;
  }
};

}  // namespace stampworks

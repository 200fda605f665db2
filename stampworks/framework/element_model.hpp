// The ElementModel base: every model object starts with a pointer to its
// class's operation table, so a driver dispatches with one indirect call.
#pragma once
#include "stampworks/framework/types.hpp"

#include <cstdint>
#include <string>

namespace stampworks {

struct ModelObject;

// What the drivers check once per call instead of inside the operations:
// the slots and unknowns a model touches, and whether it may run at all.
struct Extent {
  bool bound = true;       // InitModel has given it valid arrays
  bool ready = true;       // model-specific set-up (e.g. a kernel) is done
  int64_t min_slot = INT64_MAX;
  int64_t max_slot = -1;
  int64_t max_unknown = 0;  // highest 1-based unknown number used
  const char* not_ready_reason = nullptr;
};

struct OpTable {
  // The five operations, in their fixed slot order.
  void (*Admitance0)(ModelObject*, View);
  void (*Admitance1)(ModelObject*, View, pModelContext_t);
  void (*Admitance2)(ModelObject*, View, pModelContext_t);
  void (*RHSCurrent)(ModelObject*, View, pModelContext_t);
  void (*Values)(ModelObject*, pModelContext_t);
  // The drivers' fused sweeps: the same operations, one dispatch per model.
  void (*build_step)(ModelObject*, View a1, View a2, View b, pModelContext_t);
  void (*update_step)(ModelObject*, View a2, View b, pModelContext_t);
  void (*extent)(const ModelObject*, Extent&);
  // RHSCurrent over a run of models of this class: the compiled loop's
  // per-iteration sweep, one dispatch per class instead of per model.
  void (*rhs_sweep)(ModelObject* const* models, size_t count, View, pModelContext_t);
  // What the class's RHSCurrent is, for a loop that may batch it: general;
  // linear (minus its unit stamps times the state: Admitance0 on phases,
  // Admitance1 at coeff_dt = 1 on voltages and at coeff_ddt = 1 on their
  // derivatives, no Admitance2); constant (independent of the state); or
  // own (general, but reading only the context and its own fields, which
  // the loop does not change, and writing only the vector).
  int rhs_kind;
  // For own: copies a run's models into `out` (model_bytes each, aligned as
  // a model is), and RHSCurrent over such copies.  A loop that keeps the
  // copies side by side streams them instead of chasing scattered objects.
  size_t model_bytes;
  void (*pack)(ModelObject* const* models, size_t count, void* out);
  void (*rhs_packed)(void* copies, size_t count, View, pModelContext_t);
};

enum RhsKind : int { rhs_general = 0, rhs_linear = 1, rhs_constant = 2, rhs_own = 3 };

struct ModelObject {
  PyObject_HEAD
  const OpTable* ops;
};

extern PyTypeObject ElementModel_Type;
extern const OpTable base_ops;

// Incremented whenever a model's nodes, slots, arrays or readiness change,
// so the registry knows when to recompute what it checks at driver entry.
extern uint64_t binding_epoch;

// Incremented by every SetParameters: a loop that keeps copies of models
// renews them only after this or the binding epoch moved.
extern uint64_t parameter_epoch;

// The module's `_unpickle_ElementModel`, kept for `__reduce__`.
extern PyObject* unpickle_function;

bool ready_element_model_type(PyObject* module);
PyObject* unpickle_element_model(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace stampworks

// The module functions that sweep the registry.  Each reads the host's
// state afresh, checks everything it will hand to a model, and only then
// runs the models one after the other in registry order.
#include "stampworks/framework/drivers.hpp"

#include "pyglue/pyglue.hpp"
#include "stampworks/framework/host_state.hpp"
#include "stampworks/framework/registry.hpp"

using pyglue::Buffer;
using pyglue::Ref;

namespace stampworks::drivers {

namespace {

View view_of(const Buffer& b) { return View{b.data<FLOAT_t>(), b.len(), 1}; }

bool total_elements(int32_t& nelem) {
  Ref kvglobals = host::global("kvglobals");
  return kvglobals && pyglue::attr_to_int32(kvglobals.get(), "TotalElements", nelem);
}

bool item0_to_double(PyObject* owner, const char* name, double& out) {
  Ref seq = pyglue::getattr(owner, name);
  return seq && pyglue::item_to_double(seq.get(), 0, out);
}

// SP.X[SP.Xind], SP.X[SP.Xind - 1], SP.DX, SP.DDX and, when asked, SP.DXprev.
struct StepArrays {
  Buffer phases, phases_prev, voltages, voltages_deriv, voltages_prev;
  bool with_prev = false;

  bool read(PyObject* sp) {
    Ref x = pyglue::getattr(sp, "X");
    Ref xind = x ? pyglue::getattr(sp, "Xind") : Ref();
    Ref one(PyLong_FromLong(1));
    Ref before = xind ? Ref(PyNumber_Subtract(xind.get(), one.get())) : Ref();
    if (!before) return false;
    Ref now(PyObject_GetItem(x.get(), xind.get()));
    if (!now || !host::acquire_array(now.get(), pyglue::FLOAT_t, false, phases)) return false;
    Ref prev(PyObject_GetItem(x.get(), before.get()));
    if (!prev || !host::acquire_array(prev.get(), pyglue::FLOAT_t, false, phases_prev)) return false;
    return host::acquire_attr_array(sp, "DX", voltages) &&
           host::acquire_attr_array(sp, "DDX", voltages_deriv) &&
           (!with_prev || host::acquire_attr_array(sp, "DXprev", voltages_prev));
  }

  void fill(ModelContext& ctx) const {
    ctx.phases = phases.data<FLOAT_t>();
    ctx.phases_prev = phases_prev.data<FLOAT_t>();
    ctx.voltages = voltages.data<FLOAT_t>();
    ctx.voltages_deriv = voltages_deriv.data<FLOAT_t>();
    if (with_prev) ctx.voltages_prev = voltages_prev.data<FLOAT_t>();
  }

  bool fit(const Extent& e) const {
    return registry::check_vector(e, phases.len(), "SP.X[SP.Xind]") &&
           registry::check_vector(e, phases_prev.len(), "SP.X[SP.Xind - 1]") &&
           registry::check_vector(e, voltages.len(), "SP.DX") &&
           registry::check_vector(e, voltages_deriv.len(), "SP.DDX") &&
           (!with_prev || registry::check_vector(e, voltages_prev.len(), "SP.DXprev"));
  }
};

bool step_coefficients(PyObject* sp, ModelContext& ctx) {
  return item0_to_double(sp, "InterpCoeffDt", ctx.coeff_dt) &&
         item0_to_double(sp, "InterpCoeffDDt", ctx.coeff_ddt) &&
         pyglue::attr_to_double(sp, "InitialSmoothFactor", ctx.smooth_factor) &&
         item0_to_double(sp, "TimeSteps", ctx.time_step);
}

// Everything BuildMatrix, UpdateMatrix and UpdateRHS share up to the sweep.
struct StepCall {
  StepArrays arrays;
  ModelContext ctx{};
  const Extent* extent = nullptr;

  bool prepare(bool with_prev) {
    arrays.with_prev = with_prev;
    Ref sp = host::global("SP");
    int32_t nelem = 0;
    if (!sp || !arrays.read(sp.get()) || !total_elements(nelem) || !step_coefficients(sp.get(), ctx))
      return false;
    arrays.fill(ctx);
    extent = registry::check(nelem);
    return extent && arrays.fit(*extent);
  }
};

bool parse_arrays(const char* fname, PyObject* args, PyObject* kwds, const char* const* names,
                  Py_ssize_t n, Buffer* out) {
  PyObject* a[3];
  if (!pyglue::parse_args(fname, args, kwds, names, n, a)) return false;
  for (Py_ssize_t k = 0; k < n; ++k)
    if (!pyglue::check_arg_type(a[k], host::ndarray_type, names[k])) return false;
  for (Py_ssize_t k = 0; k < n; ++k)
    if (!out[k].acquire(a[k], pyglue::FLOAT_t, true)) return false;
  return true;
}

bool refresh_parameters() {
  Ref kvglobals = host::global("kvglobals");
  if (!kvglobals) return false;
  Ref optimize = pyglue::getattr(kvglobals.get(), "OptimizeSimulation");
  int only_sources = optimize ? PyObject_IsTrue(optimize.get()) : -1;
  if (only_sources > 0) {
    Ref sp = host::global("SP");
    Ref now = pyglue::getattr(kvglobals.get(), "CurrentTime");
    Ref ramp = now && sp ? pyglue::getattr(sp.get(), "INITIAL_RAMP") : Ref();
    only_sources = ramp ? PyObject_RichCompareBool(now.get(), ramp.get(), Py_GT) : -1;
  }
  if (only_sources < 0) return false;
  Ref elements = pyglue::getattr(kvglobals.get(), only_sources ? "SourceElementList" : "ElementList");
  Ref it(elements ? PyObject_GetIter(elements.get()) : nullptr);
  if (!it) return false;
  while (Ref element{PyIter_Next(it.get())}) {
    Ref result(PyObject_CallMethod(element.get(), "UpdateParameters", nullptr));
    if (!result) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

PyObject* BuildStaticMatrix(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"A0"};
  Buffer a0;
  int32_t nelem = 0;
  if (!parse_arrays("BuildStaticMatrix", args, kwds, names, 1, &a0) || !total_elements(nelem) ||
      !registry::check(nelem) || !refresh_parameters())
    return nullptr;
  // The refresh ran host code, which may have rebound models.
  if (!total_elements(nelem)) return nullptr;
  const Extent* e = registry::check(nelem);
  if (!e || !registry::check_matrix(*e, a0.len(), "A0")) return nullptr;
  View m = view_of(a0);
  for (ModelObject* model : registry::models()) model->ops->Admitance0(model, m);
  Py_RETURN_NONE;
}

PyObject* BuildMatrix(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"A1", "A2", "B"};
  Buffer arrays[3];
  StepCall call;
  if (!parse_arrays("BuildMatrix", args, kwds, names, 3, arrays) || !call.prepare(true) ||
      !registry::check_matrix(*call.extent, arrays[0].len(), "A1") ||
      !registry::check_matrix(*call.extent, arrays[1].len(), "A2") ||
      !registry::check_vector(*call.extent, arrays[2].len(), "B"))
    return nullptr;
  View a1 = view_of(arrays[0]), a2 = view_of(arrays[1]), b = view_of(arrays[2]);
  for (ModelObject* model : registry::models()) model->ops->build_step(model, a1, a2, b, &call.ctx);
  Py_RETURN_NONE;
}

PyObject* UpdateMatrix(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"A2", "B"};
  Buffer arrays[2];
  StepCall call;
  if (!parse_arrays("UpdateMatrix", args, kwds, names, 2, arrays) || !call.prepare(true) ||
      !registry::check_matrix(*call.extent, arrays[0].len(), "A2") ||
      !registry::check_vector(*call.extent, arrays[1].len(), "B"))
    return nullptr;
  View a2 = view_of(arrays[0]), b = view_of(arrays[1]);
  for (ModelObject* model : registry::models()) model->ops->update_step(model, a2, b, &call.ctx);
  Py_RETURN_NONE;
}

PyObject* UpdateRHS(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"B"};
  Buffer rhs;
  StepCall call;
  if (!parse_arrays("UpdateRHS", args, kwds, names, 1, &rhs) || !call.prepare(false) ||
      !registry::check_vector(*call.extent, rhs.len(), "B"))
    return nullptr;
  View b = view_of(rhs);
  for (ModelObject* model : registry::models()) model->ops->RHSCurrent(model, b, &call.ctx);
  Py_RETURN_NONE;
}

PyObject* UpdateValues(PyObject*, PyObject* args, PyObject* kwds) {
  if (!pyglue::parse_no_args("UpdateValues", args, kwds)) return nullptr;
  ModelContext ctx{};
  int32_t nelem = 0;
  Ref sp = host::global("SP");
  if (!total_elements(nelem) || !sp || !pyglue::attr_to_double(sp.get(), "InitialSmoothFactor", ctx.smooth_factor) ||
      !item0_to_double(sp.get(), "TimeSteps", ctx.time_step) ||
      !pyglue::attr_to_double(sp.get(), "PHASE_HISTERESIS", ctx.histeresis) || !registry::check(nelem))
    return nullptr;
  for (ModelObject* model : registry::models()) model->ops->Values(model, &ctx);
  Py_RETURN_NONE;
}

}  // namespace stampworks::drivers

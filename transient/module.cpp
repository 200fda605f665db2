// kivrun.Transient: the compiled time loop.  `run` binds a built circuit
// (its models, state arrays, pattern, source waveforms and recorded
// channels), checks all of it once, and steps to the end without calling
// Python except to poll for interrupts and report progress.
#include "pyglue/pyglue.hpp"
#include "stampworks/linear/current_source.hpp"
#include "stampworks/linear/phase_source.hpp"
#include "stampworks/linear/voltage_source.hpp"
#include "transient/stepper.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <list>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_set>

using pyglue::Buffer;
using pyglue::Ref;
using stampworks::ModelObject;
using stampworks::PyModel;

namespace {

// Stampworks' types, looked up once at import: the loop dispatches through
// the operation table every model object starts with, and writes a source's
// value field directly, so both must be exactly these types' layouts.
PyTypeObject* element_model_type = nullptr;
PyTypeObject* current_source_type = nullptr;
PyTypeObject* voltage_source_type = nullptr;
PyTypeObject* phase_source_type = nullptr;

bool read_double(PyObject* settings, const char* name, double& out, double lo, bool allow_inf = false) {
  if (!pyglue::attr_to_double(settings, name, out)) return false;
  if (std::isnan(out) || out < lo || (!allow_inf && std::isinf(out)))
    return pyglue::value_error("settings.%s = %g is out of range", name, out);
  return true;
}

bool read_flag(PyObject* obj, const char* name, bool& out) {
  Ref value = pyglue::getattr(obj, name);
  const int truth = value ? PyObject_IsTrue(value.get()) : -1;
  out = truth > 0;
  return truth >= 0;
}

bool read_settings(PyObject* obj, transient::Settings& s) {
  int32_t order = 0, max_newton = 0;
  double max_events = 0;
  if (!read_double(obj, "stop", s.stop, 0.0) || !read_double(obj, "start", s.start, 0.0) ||
      !read_double(obj, "tolerance", s.tolerance, 0.0) ||
      !read_double(obj, "relative_tolerance", s.relative_tolerance, 0.0) ||
      !read_double(obj, "max_step", s.max_step, 0.0, true) ||
      !read_double(obj, "fixed_step", s.fixed_step, 0.0) || !read_double(obj, "ramp", s.ramp, 0.0) ||
      !read_double(obj, "initial_step", s.initial_step, 0.0) ||
      !read_double(obj, "min_step", s.min_step, 0.0) ||
      !read_double(obj, "time_unit", s.time_unit, 0.0) ||
      !read_double(obj, "max_events", max_events, 0.0) ||
      !pyglue::attr_to_int32(obj, "order", order) ||
      !pyglue::attr_to_int32(obj, "max_newton", max_newton))
    return false;
  if (!(s.stop > 0) || !(s.tolerance > 0) || !(s.max_step > 0) || !(s.initial_step > 0) ||
      !(s.min_step > 0) || !(s.time_unit > 0))
    return pyglue::value_error("stop, tolerance, max_step, initial_step, min_step and time_unit must be > 0");
  if (order != 2 && order != 3) return pyglue::value_error("order must be 2 or 3, not %d", order);
  if (max_newton < 1 || max_newton > 1000) return pyglue::value_error("max_newton must be in 1..1000");
  s.order = order;
  s.max_newton = max_newton;
  s.max_events = static_cast<int64_t>(std::min(max_events, 1e15));
  return read_flag(obj, "linear_newton", s.linear_newton) &&
         read_flag(obj, "resync_before_commit", s.resync_before_commit) &&
         read_flag(obj, "audit_newton", s.audit_newton) &&
         read_flag(obj, "reuse_factorization", s.reuse_factorization) &&
         read_flag(obj, "profile", s.profile);
}

// Everything held for the run: buffers stay acquired (no resize), the model
// list stays referenced.
struct Binding {
  transient::Circuit circuit;
  Ref models;
  Buffer node_block, element_block, flag_block, counts, col_ptr, row_idx, breakpoints;
  std::list<Buffer> channel_buffers;
};

bool check_models(Binding& b) {
  transient::Circuit& c = b.circuit;
  for (ModelObject* model : c.models) {
    stampworks::Extent e;
    model->ops->extent(model, e);
    if (!e.bound) return pyglue::value_error("a model has not been initialised (InitModel)");
    if (!e.ready) return pyglue::value_error("a model is not ready: %s", e.not_ready_reason);
    if (e.max_slot >= c.nnz || (e.max_slot >= 0 && e.min_slot < 0))
      return pyglue::value_error("a model's slot lies outside the %d-entry pattern", c.nnz);
    if (e.max_unknown > c.n) return pyglue::value_error("a model uses an unknown beyond the %d unknowns", c.n);
  }
  return true;
}

bool bind_models(PyObject* models, Binding& b) {
  b.models = Ref(PySequence_Tuple(models));
  if (!b.models) return false;
  Py_ssize_t count = PyTuple_GET_SIZE(b.models.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* m = PyTuple_GET_ITEM(b.models.get(), k);
    if (!PyObject_TypeCheck(m, element_model_type))
      return pyglue::type_error("models[%zd] is not a kivrun.Stampworks element model", k);
    ModelObject* model = reinterpret_cast<ModelObject*>(m);
    if (!model->ops) return pyglue::value_error("models[%zd] has no operations", k);
    b.circuit.models.push_back(model);
  }
  return true;
}

// A KLU pattern: n columns, pointers from 0 non-decreasing to nnz, rows in range.
bool bind_pattern(PyObject* col_ptr, PyObject* row_idx, Binding& b) {
  transient::Circuit& c = b.circuit;
  if (!b.col_ptr.acquire(col_ptr, pyglue::INT_t, false) || !b.row_idx.acquire(row_idx, pyglue::INT_t, false))
    return false;
  c.n = static_cast<int>(b.col_ptr.len()) - 1;
  c.nnz = static_cast<int>(b.row_idx.len());
  if (c.n < 1) return pyglue::value_error("the circuit has no unknowns");
  const int32_t* p = b.col_ptr.data<int32_t>();
  const int32_t* r = b.row_idx.data<int32_t>();
  if (p[0] != 0 || p[c.n] != c.nnz) return pyglue::value_error("column pointers must run from 0 to nnz");
  for (int j = 0; j < c.n; ++j)
    if (p[j + 1] < p[j]) return pyglue::value_error("column pointers must not decrease");
  for (int k = 0; k < c.nnz; ++k)
    if (r[k] < 0 || r[k] >= c.n) return pyglue::value_error("row index %d out of range", r[k]);
  c.col_ptr.assign(p, p + c.n + 1);
  c.row_idx.assign(r, r + c.nnz);
  return true;
}

bool bind_state(PyObject* node_block, PyObject* element_block, PyObject* flag_block, PyObject* counts,
                Binding& b) {
  transient::Circuit& c = b.circuit;
  if (!b.node_block.acquire(node_block, pyglue::FLOAT_t, true, 2) ||
      !b.element_block.acquire(element_block, pyglue::FLOAT_t, true, 2) ||
      !b.flag_block.acquire(flag_block, pyglue::UINT8_t, true, 2) ||
      !b.counts.acquire(counts, pyglue::INT_t, true))
    return false;
  c.m = static_cast<int>(b.counts.len());
  if (b.node_block.shape(0) != 3 || b.node_block.shape(1) != c.n)
    return pyglue::value_error("node_block must have shape (3, %d)", c.n);
  if (b.element_block.shape(0) != 2 || b.element_block.shape(1) != c.m ||
      b.flag_block.shape(0) != 2 || b.flag_block.shape(1) != c.m)
    return pyglue::value_error("element_block and flag_block must have shape (2, %d)", c.m);
  c.node_block = b.node_block.data<double>();
  c.element_phase = b.element_block.data<double>();
  c.element_voltage = c.element_phase + c.m;
  c.flag_inc = b.flag_block.data<uint8_t>();
  c.flag_dec = c.flag_inc + c.m;
  c.counts = b.counts.data<int32_t>();
  return true;
}

template <class M>
double* value_field(PyObject* model, stampworks::FLOAT_t M::*member) {
  return &(reinterpret_cast<PyModel<M>*>(model)->m.*member);
}

double* source_field(PyObject* model) {
  if (PyObject_TypeCheck(model, current_source_type))
    return value_field(model, &stampworks::CurrentSourceModel::current);
  if (PyObject_TypeCheck(model, voltage_source_type))
    return value_field(model, &stampworks::VoltageSourceModel::voltage);
  if (PyObject_TypeCheck(model, phase_source_type))
    return value_field(model, &stampworks::PhaseSourceModel::phase);
  return nullptr;
}

// The field must be the one SetParameters writes: tried once per source.
bool confirm_field(PyObject* model, double* field) {
  const double kept = *field, probe = 0.3183098861837907;
  Ref set(PyObject_CallMethod(model, "SetParameters", "([d])", probe));
  if (!set) return false;
  const bool same = *field == probe;
  Ref restore(PyObject_CallMethod(model, "SetParameters", "([d])", kept));
  if (!restore) return false;
  if (!same) return pyglue::runtime_error("a source model's value field is not where this build expects it");
  return true;
}

bool bind_waveform(PyObject* kind, PyObject* params, transient::Waveform& w) {
  int32_t code = 0;
  if (!pyglue::to_int32(kind, code)) return false;
  Ref seq(PySequence_Fast(params, "waveform parameters must be a sequence"));
  if (!seq) return false;
  Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    double v = 0;
    if (!pyglue::to_double(PySequence_Fast_GET_ITEM(seq.get(), k), v)) return false;
    if (std::isnan(v)) return pyglue::value_error("waveform parameter %zd is NaN", k);
    w.p.push_back(v);
  }
  w.kind = static_cast<transient::WaveKind>(code);
  switch (w.kind) {
    case transient::WaveKind::pwl:
    case transient::WaveKind::pws:
      if (count < 2 || count % 2) return pyglue::value_error("PWL needs time-value pairs");
      w.points = static_cast<int>(count / 2);
      for (int k = 0; k < w.points; ++k)
        if (!std::isfinite(w.p[k]) || (k && w.p[k] < w.p[k - 1]))
          return pyglue::value_error("PWL times must be finite and must not decrease");
      return true;
    case transient::WaveKind::pulse:
      if (count != 7) return pyglue::value_error("PULSE takes 7 parameters");
      return true;
    case transient::WaveKind::sine:
      if (count != 5) return pyglue::value_error("SIN takes 5 parameters");
      return true;
    case transient::WaveKind::exp:
      if (count != 6 || !(w.p[3] > 0) || !(w.p[5] > 0)) return pyglue::value_error("EXP takes 6 parameters, taus > 0");
      return true;
    case transient::WaveKind::cus:
      if (count < 5 || !(w.p[0] > 0) || !std::isfinite(w.p[0]) || w.p[1] < 0 || w.p[1] > 2)
        return pyglue::value_error("CUS takes step (> 0), interpolation (0..2), delay, periodic, samples");
      w.points = static_cast<int>(count - 4);
      return true;
    case transient::WaveKind::noise:
    case transient::WaveKind::cubic_noise:
      if (count != 5 || !(w.p[3] > 0) || !std::isfinite(w.p[3]) || w.p[0] < 0 || w.p[0] >= 4294967296.0 ||
          w.p[1] < 0 || w.p[1] >= 4294967296.0)
        return pyglue::value_error("noise takes key_high key_low sigma interval delay (interval > 0)");
      w.key = (static_cast<uint64_t>(w.p[0]) << 32) | static_cast<uint64_t>(w.p[1]);
      {
        auto clock = std::make_shared<transient::NoiseClock>();
        clock->interval = w.p[3];
        clock->delay = w.p[4];
        clock->cubic = w.kind == transient::WaveKind::cubic_noise;
        w.amplitude = clock->cubic ? w.p[2] / 6.0 : w.p[2];
        w.clock = std::move(clock);
      }
      return true;
  }
  return pyglue::value_error("unknown waveform kind %d", code);
}

// Noise sources of one interval, delay and join share a clock (see NoiseClock).
void share_noise_clocks(std::vector<transient::Source>& sources) {
  std::map<std::tuple<double, double, bool>, std::shared_ptr<const transient::NoiseClock>> distinct;
  for (transient::Source& source : sources) {
    auto& clock = source.wave.clock;
    if (!clock) continue;
    auto [kept, fresh] = distinct.try_emplace({clock->interval, clock->delay, clock->cubic}, clock);
    if (!fresh) clock = kept->second;
  }
}

bool bind_sources(PyObject* sources, Binding& b) {
  std::vector<PyTypeObject*> confirmed;
  // A set, not a scan per source: a 10 000-stage circuit has 10⁴ sources and 10⁵ models.
  std::unordered_set<const PyObject*> models;
  for (ModelObject* m : b.circuit.models) models.insert(reinterpret_cast<const PyObject*>(m));
  Ref seq(PySequence_Fast(sources, "sources must be a sequence"));
  if (!seq) return false;
  Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject *model, *kind, *params;
    double scale = 0;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), k), "OOOd", &model, &kind, &params, &scale))
      return false;
    // The model must be one of the run's models, which the binding holds.
    const bool held = models.count(model) > 0;
    double* field = held ? source_field(model) : nullptr;
    if (!field) return pyglue::type_error("sources[%zd] is not a source model of this circuit", k);
    // The layout is the type's: one source of each type is enough to confirm it.
    PyTypeObject* type = Py_TYPE(model);
    if (std::find(confirmed.begin(), confirmed.end(), type) == confirmed.end()) {
      if (!confirm_field(model, field)) return false;
      confirmed.push_back(type);
    }
    transient::Source source{field, {}, scale, 0.0, reinterpret_cast<ModelObject*>(model)};
    if (!std::isfinite(scale) || !bind_waveform(kind, params, source.wave)) return false;
    source.settle = source.wave.settle();
    b.circuit.sources.push_back(std::move(source));
  }
  share_noise_clocks(b.circuit.sources);
  return true;
}

bool bind_channels(PyObject* channels, Binding& b) {
  Ref seq(PySequence_Fast(channels, "channels must be a sequence"));
  if (!seq) return false;
  Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* array;
    Py_ssize_t index = 0;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), k), "On", &array, &index)) return false;
    Buffer& buffer = b.channel_buffers.emplace_back();
    if (!buffer.acquire(array, pyglue::FLOAT_t, false)) return false;
    if (index < 0 || index >= buffer.len()) return pyglue::index_error("channel %zd index out of range", k);
    b.circuit.channels.push_back(buffer.data<double>() + index);
  }
  return true;
}

// Element indices (positions in the model list) whose Values run after every
// step, and those recorded; the loop runs the recorded ones that are not
// stepwise only before recording.  A stepwise entry is an index, or a tuple
// (index, i, j, shift) for a junction whose Values may wait until its phase
// nears the next count (see Stepper::stepwise_values).
bool bind_model_sets(PyObject* stepwise, PyObject* recorded, Binding& b) {
  transient::Circuit& c = b.circuit;
  const Py_ssize_t count = static_cast<Py_ssize_t>(c.models.size());
  std::vector<char> seen(count, 0);
  for (int pass = 0; pass < 2; ++pass) {
    Ref seq(PySequence_Fast(pass ? recorded : stepwise, "model sets must be sequences"));
    if (!seq) return false;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
      int32_t index = 0, i = 0, j = 0;
      double shift = 0.0;
      const bool watch = !pass && PyTuple_Check(item);
      if (watch ? !PyArg_ParseTuple(item, "iiid", &index, &i, &j, &shift) : !pyglue::to_int32(item, index))
        return false;
      if (index < 0 || index >= count) return pyglue::index_error("model index %d out of range", index);
      if (seen[index]) continue;  // once only
      seen[index] = 1;
      if (pass) {
        c.recorded_only.push_back(c.models[index]);
        continue;
      }
      if (index >= c.m) return pyglue::index_error("stepwise model %d has no element entry", index);
      if (watch && (i < 1 || i > c.n || j < 0 || j > c.n || !std::isfinite(shift)))
        return pyglue::value_error("watched junction %d: terminals or shift out of range", index);
      c.stepwise.push_back(c.models[index]);
      c.stepwise_elements.push_back(index);
      c.watched.push_back(watch);
      c.watch_i.push_back(i);
      c.watch_j.push_back(j);
      c.watch_shift.push_back(shift);
    }
  }
  return true;
}

bool bind_breakpoints(PyObject* breakpoints, double stop, Binding& b) {
  if (!b.breakpoints.acquire(breakpoints, pyglue::FLOAT_t, false)) return false;
  const double* p = b.breakpoints.data<double>();
  std::vector<double>& out = b.circuit.breakpoints;
  for (Py_ssize_t k = 0; k < b.breakpoints.len(); ++k)
    if (p[k] > 0.0 && p[k] < stop && (out.empty() || p[k] > out.back())) out.push_back(p[k]);
  out.push_back(stop);
  return true;
}

struct PollState {
  PyObject* progress;
  Binding* binding;
  const uint64_t* epoch;  // the core's count of binding changes (null: unknown)
  uint64_t checked;       // its value when the models were last checked
  bool error = false;
};

// One of the core's change counters, published beside it; null if absent.
const uint64_t* core_counter(const char* name, const char* capsule_name) {
  Ref elements(PyImport_ImportModule("kivrun.Elements"));
  Ref capsule(elements ? PyObject_GetAttrString(elements.get(), name) : nullptr);
  void* pointer = capsule ? PyCapsule_GetPointer(capsule.get(), capsule_name) : nullptr;
  if (!pointer) PyErr_Clear();
  return static_cast<const uint64_t*>(pointer);
}

// Runs Python: other threads may take the interpreter meanwhile and rebind
// a model, so the models are checked again before stepping on.
bool poll(void* context, double fraction) {
  PollState& state = *static_cast<PollState*>(context);
  Py_BEGIN_ALLOW_THREADS Py_END_ALLOW_THREADS
  if (PyErr_CheckSignals() < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) state.error = true;
    else PyErr_Clear();
    return false;
  }
  if (state.progress != Py_None) {
    Ref done(PyObject_CallFunction(state.progress, "d", fraction));
    if (!done) {
      state.error = true;
      return false;
    }
  }
  if (state.epoch && *state.epoch == state.checked) return true;
  if (!check_models(*state.binding)) {
    state.error = true;
    return false;
  }
  if (state.epoch) state.checked = *state.epoch;
  return true;
}

PyObject* bytes_of(const void* data, size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

PyObject* outcome_dict(const transient::Stepper& stepper, transient::Outcome outcome, size_t width) {
  const char* status = outcome == transient::Outcome::done ? "done"
                       : outcome == transient::Outcome::interrupted ? "interrupted" : "failed";
  const transient::Stats& s = stepper.stats;
  const transient::Lu& lu = stepper.lu();
  return Py_BuildValue(
      "{s:s,s:s,s:d,s:N,s:N,s:n,s:N,s:{s:L,s:L,s:L,s:L,s:L,s:L,s:L,s:L,s:L,s:L,s:d,s:d,s:d}}", "status", status, "message",
      stepper.message.c_str(), "failed_at", stepper.failed_at, "system",
      bytes_of(stepper.system().data(), stepper.system().size() * sizeof(double)), "recorded",
      bytes_of(stepper.recorded.data(), stepper.recorded.size() * sizeof(double)), "width",
      static_cast<Py_ssize_t>(width), "events",
      bytes_of(stepper.events.data(), stepper.events.size() * sizeof(transient::Event)), "stats",
      "accepted", (long long)s.accepted, "rejected", (long long)s.rejected, "newton_failures",
      (long long)s.newton_failures, "newton_iterations", (long long)s.newton_iterations,
      "factorizations", (long long)lu.factorizations, "refactorizations", (long long)lu.refactorizations,
      "solves", (long long)lu.solves, "events_dropped", (long long)s.events_dropped,
      "linear_models", (long long)s.linear_models, "copied_models", (long long)s.copied_models,
      "newton_leftover", s.newton_leftover,
      "model_seconds", s.model_seconds, "lu_seconds", s.lu_seconds);
}

const char* run_doc =
    "run(models, sources, node_block, element_block, flag_block, counts, col_ptr, row_idx, n_nodes,\n"
    "    breakpoints, channels, stepwise, recorded, settings, progress) -> dict\n\n"
    "One transient run of a bound circuit from its present (resting) state.";

PyObject* run(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"models", "sources", "node_block", "element_block", "flag_block",
                                "counts", "col_ptr", "row_idx", "n_nodes", "breakpoints",
                                "channels", "stepwise", "recorded", "settings", "progress", nullptr};
  PyObject *models, *sources, *node_block, *element_block, *flag_block, *counts, *col_ptr, *row_idx;
  PyObject *breakpoints, *channels, *stepwise, *recorded, *settings_obj, *progress;
  int n_nodes = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOOiOOOOOO:run", const_cast<char**>(names), &models,
                                   &sources, &node_block, &element_block, &flag_block, &counts, &col_ptr,
                                   &row_idx, &n_nodes, &breakpoints, &channels, &stepwise, &recorded,
                                   &settings_obj, &progress))
    return nullptr;
  if (progress != Py_None && !PyCallable_Check(progress))
    return pyglue::type_error("progress must be callable or None");
  transient::Settings settings;
  auto binding = std::make_unique<Binding>();
  Binding& b = *binding;
  if (!read_settings(settings_obj, settings) || !bind_models(models, b) || !bind_pattern(col_ptr, row_idx, b) ||
      !bind_state(node_block, element_block, flag_block, counts, b) || !check_models(b) ||
      !bind_sources(sources, b) || !bind_channels(channels, b) || !bind_model_sets(stepwise, recorded, b) ||
      !bind_breakpoints(breakpoints, settings.stop, b))
    return nullptr;
  if (n_nodes < 0 || n_nodes > b.circuit.n) return pyglue::value_error("n_nodes out of range");
  b.circuit.n_nodes = n_nodes;
  transient::Stepper stepper(b.circuit, settings);
  const uint64_t* epoch = core_counter("_binding_epoch", "kivrun.Elements._binding_epoch");
  PollState state{progress, &b, epoch, epoch ? *epoch : 0};
  transient::Host host{poll, &state, epoch,
                       core_counter("_parameter_epoch", "kivrun.Elements._parameter_epoch")};
  const transient::Outcome outcome = stepper.run(host);
  if (state.error) return nullptr;
  return outcome_dict(stepper, outcome, 1 + b.circuit.channels.size());
}

PyObject* hermite(PyObject*, PyObject* args) {
  double y0, y1, s0, s1, level;
  if (!PyArg_ParseTuple(args, "ddddd:hermite_crossing", &y0, &y1, &s0, &s1, &level)) return nullptr;
  return PyFloat_FromDouble(transient::hermite_crossing(y0, y1, s0, s1, level));
}

// Seconds per full factorisation, per refactorisation and per solve of one
// matrix: the unit the benchmarks state the loop's cost in.
PyObject* klu_costs(PyObject*, PyObject* args) {
  PyObject *col_ptr, *row_idx, *values;
  int repeats = 0;
  if (!PyArg_ParseTuple(args, "OOOi:klu_costs", &col_ptr, &row_idx, &values, &repeats)) return nullptr;
  Binding b;
  Buffer v;
  if (!bind_pattern(col_ptr, row_idx, b) || !v.acquire(values, pyglue::FLOAT_t, false)) return nullptr;
  if (v.len() != b.circuit.nnz || repeats < 1) return pyglue::value_error("values must have nnz entries, repeats >= 1");
  std::vector<double> matrix(v.data<double>(), v.data<double>() + v.len()), rhs(b.circuit.n, 1.0);
  transient::Lu lu;
  if (!lu.analyze(b.circuit.n, b.circuit.col_ptr.data(), b.circuit.row_idx.data()) || !lu.factor(matrix.data()))
    return pyglue::value_error("the matrix is singular");
  using Clock = std::chrono::steady_clock;
  struct Times {
    double best, median;
  };
  auto times = [&](auto&& work) {
    std::vector<double> all(repeats);
    for (double& t : all) {
      const auto t0 = Clock::now();
      work();
      t = std::chrono::duration<double>(Clock::now() - t0).count();
    }
    std::sort(all.begin(), all.end());
    return Times{all.front(), all[all.size() / 2]};
  };
  auto seconds = [&](auto&& work) { return times(work).best; };
  const double refactor = seconds([&] { lu.factor(matrix.data()); });
  // Each solve starts from the same right-hand side; refilling it is timed
  // apart and taken off, so the unit is the solve alone.
  const Times fill = times([&] { std::fill(rhs.begin(), rhs.end(), 1.0); });
  const Times solve = times([&] {
    std::fill(rhs.begin(), rhs.end(), 1.0);
    lu.library_solve(rhs.data());
  });
  const Times own = times([&] {
    std::fill(rhs.begin(), rhs.end(), 1.0);
    lu.solve(rhs.data());
  });
  const double factor = seconds([&] {
    transient::Lu once;
    once.analyze(b.circuit.n, b.circuit.col_ptr.data(), b.circuit.row_idx.data());
    once.factor(matrix.data());
  });
  // The fastest solve is the unit; the median says what a typical one costs
  // (a loop's average step meets the machine's noise that the fastest escaped).
  return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "analyze_factor", factor, "refactor", refactor, "solve",
                       solve.best - fill.best, "solve_median", solve.median - fill.median, "own_solve",
                       own.best - fill.best);
}

// The loop's own solve, for checking it against a dense one.
PyObject* lu_solve(PyObject*, PyObject* args) {
  PyObject *col_ptr, *row_idx, *values, *rhs_obj, *first_obj = Py_None;
  if (!PyArg_ParseTuple(args, "OOOO|O:lu_solve", &col_ptr, &row_idx, &values, &rhs_obj, &first_obj)) return nullptr;
  Binding b;
  Buffer v, r, f;
  if (!bind_pattern(col_ptr, row_idx, b) || !v.acquire(values, pyglue::FLOAT_t, false) ||
      !r.acquire(rhs_obj, pyglue::FLOAT_t, false) ||
      (first_obj != Py_None && !f.acquire(first_obj, pyglue::FLOAT_t, false)))
    return nullptr;
  if (v.len() != b.circuit.nnz || r.len() != b.circuit.n || (first_obj != Py_None && f.len() != v.len()))
    return pyglue::value_error("values (and first) must have nnz entries and rhs n");
  std::vector<double> matrix(v.data<double>(), v.data<double>() + v.len());
  std::vector<double> x(r.data<double>(), r.data<double>() + r.len());
  transient::Lu lu;
  if (!lu.analyze(b.circuit.n, b.circuit.col_ptr.data(), b.circuit.row_idx.data()))
    return pyglue::value_error("the pattern has no valid ordering");
  if (first_obj != Py_None) {  // factored first, so that `values` is a refactorisation
    std::vector<double> first(f.data<double>(), f.data<double>() + f.len());
    if (!lu.factor(first.data())) return pyglue::value_error("the first matrix is singular");
  }
  if (!lu.factor(matrix.data())) return pyglue::value_error("the matrix is singular");
  lu.solve(x.data());
  Ref out(PyList_New(static_cast<Py_ssize_t>(x.size())));
  for (size_t k = 0; out && k < x.size(); ++k) {
    PyObject* f = PyFloat_FromDouble(x[k]);
    if (!f) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), f);
  }
  return out.release();
}

// The compiled waveforms at given SI times, for comparing with their Python definitions.
PyObject* waveform_values(PyObject*, PyObject* args) {
  PyObject *kind, *params, *times;
  if (!PyArg_ParseTuple(args, "OOO:waveform_values", &kind, &params, &times)) return nullptr;
  transient::Waveform w;
  if (!bind_waveform(kind, params, w)) return nullptr;
  Ref seq(PySequence_Fast(times, "times must be a sequence"));
  if (!seq) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  Ref out(PyList_New(count));
  for (Py_ssize_t k = 0; out && k < count; ++k) {
    double t = 0;
    if (!pyglue::to_double(PySequence_Fast_GET_ITEM(seq.get(), k), t)) return nullptr;
    PyObject* v = PyFloat_FromDouble(w.value(t));
    if (!v) return nullptr;
    PyList_SET_ITEM(out.get(), k, v);
  }
  return out.release();
}

PyMethodDef functions[] = {
    {"waveform_values", waveform_values, METH_VARARGS,
     "waveform_values(kind, params, times): the compiled waveform's values at SI times."},
    {"klu_costs", klu_costs, METH_VARARGS,
     "klu_costs(col_ptr, row_idx, values, repeats): best seconds of analyse+factor, refactor (with the\n"
     "loop's unpacking), klu_solve; the median seconds of a klu_solve; best seconds of the loop's solve."},
    {"lu_solve", lu_solve, METH_VARARGS,
     "lu_solve(col_ptr, row_idx, values, rhs, first=None): the loop's solve of A x = rhs, as a list;\n"
     "with `first`, that matrix is factored before A, so A's is a refactorisation."},
    {"hermite_crossing", hermite, METH_VARARGS,
     "hermite_crossing(y0, y1, slope0, slope1, level): where the loop times an event within a step."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_VARARGS | METH_KEYWORDS,
     run_doc},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kivrun.Transient",
                          "The compiled transient loop of kivrun.", -1, functions,
                          nullptr, nullptr, nullptr, nullptr};

bool find_type(PyObject* core, const char* name, PyTypeObject*& out) {
  Ref type = pyglue::getattr(core, name);
  if (!type) return false;
  if (!PyType_Check(type.get())) return pyglue::type_error("kivrun.Stampworks.%s is not a type", name);
  out = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_Transient() {
  Ref core(PyImport_ImportModule("kivrun.Stampworks"));
  if (!core || !find_type(core.get(), "ElementModel", element_model_type) ||
      !find_type(core.get(), "CurrentSourceModel", current_source_type) ||
      !find_type(core.get(), "VoltageSourceModel", voltage_source_type) ||
      !find_type(core.get(), "PhaseSourceModel", phase_source_type))
    return nullptr;
  return PyModule_Create(&module_def);
}

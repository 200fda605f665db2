// The transient loop: variable-step BDF (order 2 or 3) on the unknown phases,
// a predictor for the error estimate, Newton with KLU, breakpoints, native
// source waveforms, flux-quantum events timed inside their step, recording.
// It reaches the models only through their operation tables, as the
// drivers do, and touches no Python object: the module binds and checks
// everything before the loop starts.
#pragma once
#include "stampworks/framework/element_model.hpp"
#include "transient/lu.hpp"
#include "transient/waveform.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace transient {

using stampworks::ModelObject;

struct Settings {
  double stop = 0, start = 0;
  double tolerance = 1e-4;  // local error bound per step on node phases, radians
  // ... or this fraction of the phase, where larger: a node whose phase
  // has run through millions of quanta (behind a voltage source, over
  // milliseconds) cannot be held to 1e-4 rad, and need not be.
  double relative_tolerance = 1e-9;
  double max_step = 0, fixed_step = 0, ramp = 0, initial_step = 1e-2, min_step = 1e-9;
  int max_newton = 8, order = 2;
  double time_unit = 1e-12;   // SI seconds per core time unit (waveforms are SI)
  bool linear_newton = false;  // Jacobian is quasi-static (tunnel junctions)
  bool resync_before_commit = false;
  int64_t max_events = 0;
  // Diagnostics: after each converged step, iterate on to measure the
  // Newton error the step left (costly; for tests).
  bool audit_newton = false;
  // Keep a factorisation across Newton iterations and steps while the
  // iteration contracts fast enough (a chord iteration); off: a fresh
  // factorisation at every iteration.
  bool reuse_factorization = true;
  // Time the model sweeps and KLU apart (two clock reads each; for benchmarks).
  bool profile = false;
};

struct Stats {
  int64_t accepted = 0, rejected = 0, newton_failures = 0, newton_iterations = 0;
  int64_t events_dropped = 0;
  int64_t linear_models = 0;  // whose right-hand side a chord iteration forms as a product
  int64_t copied_models = 0;  // which a chord iteration sweeps through copies
  double newton_leftover = 0.0;  // largest audited Newton error on node phases
  double model_seconds = 0.0, lu_seconds = 0.0;  // with profiling
};

struct Event {
  double time;
  int32_t element;
  int32_t direction;
};

struct Source {
  double* field;  // the model's value parameter
  Waveform wave;
  double scale;   // SI value -> core value, with the orientation's sign
  double settle;  // SI time from which the value no longer changes
  ModelObject* model;
  int constant_index = -1;  // its model's place among the loop's constant models
};

// What the module binds for one run; the arrays outlive the run.
struct Circuit {
  std::vector<ModelObject*> models;
  int n = 0, n_nodes = 0, nnz = 0;
  std::vector<int> col_ptr, row_idx;
  double* node_block = nullptr;  // phase, voltage, derivative rows of n
  int m = 0;                     // elements
  double *element_phase = nullptr, *element_voltage = nullptr;
  uint8_t *flag_inc = nullptr, *flag_dec = nullptr;
  int32_t* counts = nullptr;
  std::vector<Source> sources;
  std::vector<const double*> channels;  // recorded after every accepted step
  // Models whose Values must run after every step (phase counters, internal
  // state), and those whose element values are recorded; the rest are pure
  // functions of the node state and run once at the end.
  std::vector<ModelObject*> stepwise, recorded_only;
  std::vector<int32_t> stepwise_elements;  // their element indices (counters live there)
  // A junction whose phase counter is all its step needs (not recorded, no
  // state): Values runs only when its phase φ_i − φ_j + shift comes within
  // reach of the next count.  Per stepwise model: watched, i, j, shift.
  std::vector<char> watched;
  std::vector<int32_t> watch_i, watch_j;
  std::vector<double> watch_shift;
  std::vector<double> breakpoints;      // core time, sorted, ending with stop
};

enum class Outcome { done, interrupted, failed };

// Between steps the loop asks the host, at most every ~50 ms, whether to go on.
struct Host {
  bool (*poll)(void* context, double fraction) = nullptr;  // false: stop
  void* context = nullptr;
  // The core's counters of binding and parameter changes (null: unknown,
  // assume a change at every poll).
  const uint64_t* binding_epoch = nullptr;
  const uint64_t* parameter_epoch = nullptr;
};

// A sparse matrix by rows.  Stamps take few distinct values (1, 1/R, 1/L
// ...) and their rows are short: where every row has at most kMaxWidth
// entries and the values fit a byte, the rows are padded to one width and
// an entry is its column and a byte naming its value in `table` (5 bytes
// read instead of 12, and no loop bound per row).
struct SparseRows {
  static constexpr int kMaxWidth = 8;
  std::vector<int> ptr, col;  // by rows (col: padded, when width > 0)
  std::vector<double> val;    // by rows, when width = 0
  int width = 0;
  std::vector<uint8_t> code;
  std::vector<double> table;
  void encode();
};

// The predictor's polynomial at the new time, as weights on the phase history.
struct Prediction {
  const double* rows[4];
  double weights[4];
  double at(int x) const {
    return weights[0] * rows[0][x] + weights[1] * rows[1][x] + weights[2] * rows[2][x] + weights[3] * rows[3][x];
  }
};

class Stepper {
 public:
  Stepper(Circuit& circuit, const Settings& settings);
  Outcome run(const Host& host);

  Stats stats;
  std::vector<double> recorded;  // rows of (t, channels...)
  std::vector<Event> events;
  std::string message;
  double failed_at = 0.0;
  const Lu& lu() const { return lu_; }
  const std::vector<double>& system() const { return system_; }  // the last matrix factored

 private:
  bool step(double t, double h, double& h_next);
  int newton(double a0, double h);
  void audit_newton(double h);
  double apply_correction(double a0);
  Prediction prediction() const;
  stampworks::ModelContext values_context(double h) const;
  void coefficients(double t_new);
  void predict();
  void update_sources(double t_new);
  void accept(double t_new, double h);
  void find_events(double t_new, double h);
  void sort_events();
  void record(double t);
  double clip(double t, double h, double breakpoint) const;
  double expected_rate(double a0);
  double predicted_chord_rate(double a0) const;
  void values(const std::vector<ModelObject*>& models, double h);
  void stepwise_values(double h);
  void renew_band(size_t s);
  double newton_limit() const;
  double newton_error_bound() const;
  stampworks::ModelContext step_context(double h) const;
  Outcome fail(double t, std::string why);

  Circuit& c_;
  Settings s_;
  Lu lu_;
  int k_;       // the formula's order, and the history kept for it
  int ko_ = 2;  // this step's order: k_, or 2 for the steps just past a corner
  int after_corner_ = 0;
  std::vector<double> a0_matrix_, a01_, a2_, system_, rhs_;
  // order + 1 phase rows and order voltage rows, newest first through the
  // row pointers, which rotate instead of the rows moving.
  std::vector<double> history_;
  double* phase_rows_[4];
  double* voltage_rows_[3];
  double* state_ = nullptr;         // estimate, voltage, derivative: the bound node arrays
  int corrections_ = 0;  // made since the prediction
  bool history_pending_ = false;  // the accepted state still to be copied into the newest history rows
  std::vector<double> audit_state_;
  std::vector<double> prev_phase_, prev_voltage_;
  std::vector<int32_t> prev_counts_;
  std::vector<double> times_;  // accepted times, newest first
  std::vector<double> bdf_, predictor_;
  std::vector<Source*> active_;
  // Every model, class by class (the sweeps that build the matrix), and those
  // whose RHSCurrent a chord iteration sweeps, in runs of one class; the
  // linear models' right-hand side is a product with their stamps instead,
  // and the constant models' a vector kept while nothing drives them.
  std::vector<ModelObject*> sweep_, chord_sweep_, constant_sweep_;
  struct Run {
    size_t begin, count;  // models of one class in a sweep
  };
  std::vector<Run> chord_runs_;
  // Per chord run of an own-kind class: copies of its models side by side
  // (empty: swept in place), renewed after each poll (the host may have set
  // parameters).
  std::vector<std::vector<std::max_align_t>> packed_;
  void set_up_copies(const stampworks::ModelContext& probe);
  void pack_runs();
  void renew_copies(const Host& host);
  bool counters_moved(const Host& host);
  uint64_t copied_binding_ = 0, copied_parameters_ = 0;  // the counters the copies were made at
  // Constant models a varying source drives (summed once per step into
  // step_rhs_) and the rest (summed into constant_rhs_ while the ramp moves or
  // a source settles); per constant model, driven or not.
  std::vector<ModelObject*> driven_, kept_;
  std::vector<Run> driven_runs_, kept_runs_;
  std::vector<char> drive_flag_;
  double next_settle_ = 0.0;  // SI time at which the next active source settles
  SparseRows linear_;  // the linear stamps, on the node block's phase, voltage and derivative rows
  std::vector<double> constant_rhs_, step_rhs_;  // kept sources; kept + driven at driven_time_
  double driven_time_ = 0.0;                       // the step time step_rhs_ was summed for (NaN: none)
  double constant_smooth_ = -1.0;  // the ramp the kept vector was summed at (−1: none)
  void split_sweeps();
  bool gather_linear(const std::vector<ModelObject*>& linear, const stampworks::ModelContext& probe);
  void chord_rhs(const stampworks::ModelContext& ctx);
  void note_constant_drive();
  static void make_runs(const std::vector<ModelObject*>& models, std::vector<Run>& out);
  // Per stepwise model: a watched junction's terminals and the open band of
  // node phase difference within which its count cannot move.
  struct Band {
    int32_t i = 0, j = 0;
    double low = 0.0, high = 0.0;
  };
  std::vector<Band> bands_;
  std::vector<int32_t> ran_;  // stepwise models whose Values ran in the last accepted step
  double smooth_ = 1.0, a0_ = 1.0, h_ = 0.0, t_new_ = 0.0;
  // From the last correction: max |estimate − prediction| and max |estimate| on node phases.
  double predictor_distance_ = 0.0, largest_phase_ = 0.0;
  bool fatal_ = false;
  double* model_clock_ = nullptr;
  double* lu_clock_ = nullptr;
  // Contraction rate last measured (at BDF coefficient a0) and its age.
  double newton_rate_ = 1.0, rate_a0_ = 1.0;
  int rate_age_;
  // The factorisation kept for chord iterations: its a0, its age in steps,
  // and the contraction rate last measured with it (−1: none yet).
  bool factored_ = false;
  double factor_a0_ = 1.0, chord_rate_ = -1.0, drift_per_step_ = -1.0;
  int64_t factor_age_ = 0, chord_rate_age_ = 0;
};

double ramp_factor(double t, double ramp);
double hermite_crossing(double y0, double y1, double s0, double s1, double level);

}  // namespace transient

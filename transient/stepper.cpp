// The unknowns are phases φ; voltages V = dφ/dt and their derivatives
// D = dV/dt follow from the phase history by the same BDF formula:
//
//   V(t+h) = a0·φ(t+h) + Σ b_j φ_j,   D(t+h) = a0·V(t+h) + Σ b_j V_j
//
// hence dV/dφ = a0 and dD/dφ = a0², the coefficients the models read.  The
// predictor is the polynomial through the last order + 1 accepted points;
// its distance to the corrector, times h/(t_{n+1} − t_{n−order}), estimates
// the local error (Milne's device), kept below the tolerance on every node
// phase.  The circuit starts at rest, so any history spacing is exact there.
#include "transient/stepper.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace transient {

namespace {

constexpr int kRateLifetime = 4;       // steps a measured contraction rate stays in use
constexpr double kCounterBand = 0.5;   // no dead band: a counter is always the nearest quantum
constexpr double kTwoPi = 6.283185307179586;
constexpr int64_t kFloodLevels = 8;
// Chord iterations: refactor when the predicted contraction rate exceeds
// kRefactorRate or the factorisation is kMaxFactorAge steps old; accept a
// step whose remaining error (rate·change/(1 − rate)) is below
// kChordErrorShare of the tolerance.
constexpr double kRefactorRate = 0.25;
// The contraction rate of a chord iteration is about the relative change of
// a0² since the factorisation (the capacitive term dominates the diagonal):
// the step after a change of h still has a0 of the transition (ω ≠ 1), so a
// factorisation made there would serve no step after it.
constexpr double kMismatchRefactor = 0.02;
constexpr int64_t kMaxFactorAge = 200;
constexpr double kChordErrorShare = 0.05;
// An accepted step's successor keeps its length unless the error control
// asks for at least kMinGrowth more (an accepted step never asks for less
// than 0.9 of it), so the matrix (through a0) stays the same across runs of
// equal steps and its factorisation serves.  Few changes of step also keep
// the variable-step formula near its constant-step form, whose error
// estimate is sharper: on the benchmark JTLs 1.5 rather than 1.25 cut the
// rejected steps from 12 % to 0.5 % and the arrival error 10× for 10 % more
// accepted steps (bench/transient.py).
constexpr double kMinGrowth = 1.5;
constexpr double kMinShrink = 0.9;

// With profiling on, adds the time its scope takes to *sink (nothing when null).
class Span {
 public:
  explicit Span(double* sink) : sink_(sink) {
    if (sink_) began_ = std::chrono::steady_clock::now();
  }
  ~Span() {
    if (sink_) *sink_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
  }

 private:
  double* sink_;
  std::chrono::steady_clock::time_point began_;
};

}  // namespace

// Where in [0, 1] the cubic Hermite interpolant of (y0, s0), (y1, s1) (slopes
// per unit interval) reaches `level`: bisection on a bracketing sign change,
// else the chord (rounding at the ends).
double hermite_crossing(double y0, double y1, double s0, double s1, double level) {
  auto value = [&](double s) {
    const double s2 = s * s, s3 = s2 * s;
    return (2 * s3 - 3 * s2 + 1) * y0 + (s3 - 2 * s2 + s) * s0 + (-2 * s3 + 3 * s2) * y1 +
           (s3 - s2) * s1 - level;
  };
  double lo = 0.0, hi = 1.0, f_lo = value(lo);
  if (f_lo * value(hi) > 0) {
    const double span = y1 - y0;
    return span != 0.0 ? std::clamp((level - y0) / span, 0.0, 1.0) : 1.0;
  }
  for (int k = 0; k < 40; ++k) {
    const double mid = 0.5 * (lo + hi), f_mid = value(mid);
    if ((f_mid > 0) == (f_lo > 0)) {
      lo = mid;
      f_lo = f_mid;
    } else {
      hi = mid;
    }
  }
  return 0.5 * (lo + hi);
}

double ramp_factor(double t, double ramp) {
  if (ramp <= 0.0 || t >= ramp) return 1.0;
  const double x = t / ramp;
  return x * x * (3.0 - 2.0 * x);  // smooth 0→1: no kink for the step control to trip on
}

Stepper::Stepper(Circuit& circuit, const Settings& settings)
    : c_(circuit), s_(settings), k_(settings.order), rate_age_(kRateLifetime) {
  if (s_.profile) {
    model_clock_ = &stats.model_seconds;
    lu_clock_ = &stats.lu_seconds;
  }
  const size_t n = c_.n, nnz = c_.nnz, m = c_.m;
  a0_matrix_.assign(nnz, 0.0);
  a01_.assign(nnz, 0.0);
  a2_.assign(nnz, 0.0);
  system_.assign(nnz, 0.0);
  rhs_.assign(n, 0.0);
  history_.assign((2 * k_ + 1) * n, 0.0);
  for (int j = 0; j <= k_; ++j) phase_rows_[j] = history_.data() + j * n;
  for (int j = 0; j < k_; ++j) voltage_rows_[j] = history_.data() + (k_ + 1 + j) * n;
  // The Newton state is the node arrays the models are bound to (their
  // Values read them after an accepted step; no copy is needed then).
  state_ = c_.node_block;
  prev_phase_.assign(m, 0.0);
  prev_voltage_.assign(m, 0.0);
  prev_counts_.assign(m, 0);
  times_.assign(k_ + 1, 0.0);
  bdf_.assign(k_ + 1, 0.0);
  predictor_.assign(k_ + 1, 0.0);
  for (Source& source : c_.sources) active_.push_back(&source);
  // The per-iteration sweeps visit the models class by class (classes in
  // order of first appearance, models in circuit order within each): the
  // indirect call then always goes where it went last, and objects of one
  // class, allocated together, are read in address order.
  sweep_ = c_.models;
  std::vector<const stampworks::OpTable*> classes;
  for (ModelObject* model : sweep_)
    if (std::find(classes.begin(), classes.end(), model->ops) == classes.end()) classes.push_back(model->ops);
  std::stable_sort(sweep_.begin(), sweep_.end(), [&classes](ModelObject* a, ModelObject* b) {
    return std::find(classes.begin(), classes.end(), a->ops) < std::find(classes.begin(), classes.end(), b->ops);
  });
  recorded.reserve(1024 * (1 + c_.channels.size()));
  ran_.reserve(c_.stepwise.size());
  bands_.resize(c_.stepwise.size());
  for (size_t s = 0; s < c_.stepwise.size(); ++s) {
    if (!c_.watched[s]) continue;
    bands_[s].i = c_.watch_i[s];
    bands_[s].j = c_.watch_j[s];
    renew_band(s);
  }
}

Outcome Stepper::fail(double t, std::string why) {
  failed_at = t;
  message = std::move(why);
  return Outcome::failed;
}

stampworks::ModelContext Stepper::step_context(double h) const {
  const size_t n = c_.n;
  stampworks::ModelContext ctx{};
  ctx.coeff_dt = a0_;
  ctx.coeff_ddt = a0_ * a0_;
  ctx.smooth_factor = smooth_;
  ctx.time_step = h;
  ctx.time = t_new_;
  ctx.phases = state_;
  ctx.voltages = state_ + n;
  ctx.voltages_deriv = state_ + 2 * n;
  ctx.phases_prev = phase_rows_[0];
  ctx.voltages_prev = voltage_rows_[0];
  return ctx;
}

Outcome Stepper::run(const Host& host) {
  using Clock = std::chrono::steady_clock;
  const double stop = s_.stop;
  if (!lu_.analyze(c_.n, c_.col_ptr.data(), c_.row_idx.data()))
    return fail(0.0, "the circuit matrix has no valid ordering (an unknown without any equation?)");
  // Static elements never change, so A0 is built once: a rebuild would also
  // restart the history of tunnel junctions.
  stampworks::View a0{a0_matrix_.data(), c_.nnz, 1};
  for (ModelObject* model : c_.models) model->ops->Admitance0(model, a0);
  split_sweeps();
  counters_moved(host);  // the copies were just made

  const std::vector<double>& bps = c_.breakpoints;
  size_t next_bp = 0;
  double h = s_.fixed_step > 0 ? s_.fixed_step : std::min(s_.initial_step, s_.max_step);
  for (int j = 0; j <= k_; ++j) times_[j] = -j * h;
  double t = 0.0;
  smooth_ = ramp_factor(0.0, s_.ramp);
  if (s_.start <= 0.0) record(0.0);
  auto last_poll = Clock::now();
  while (t < stop * (1.0 - 1e-14)) {
    while (next_bp + 1 < bps.size() && bps[next_bp] <= t * (1.0 + 1e-14) + 1e-15) ++next_bp;
    h = clip(t, h, bps[next_bp]);
    // Below a few units in the last place of t the step would not move t
    // by h, and the formula's coefficients would be noise.
    const double resolution = 16.0 * (std::nextafter(t, HUGE_VAL) - t);
    if (!(h > resolution))
      return fail(t, "the time step fell below the resolution of the time (" + std::to_string(h) +
                         " time units): the circuit changes faster than time can be told apart here");
    double h_next = h;
    const bool accepted = step(t, h, h_next);
    if (fatal_) return Outcome::failed;
    if (!accepted) {
      if (h_next < s_.min_step) return fail(t, "time step underflow: " + message);
      h = h_next;
      continue;
    }
    t = times_[0];
    h_ = h;
    h = h_next;
    if (after_corner_ > 0) --after_corner_;
    if (t >= bps[next_bp] * (1.0 - 1e-14) && next_bp + 1 < bps.size()) after_corner_ = k_ - 1;
    const auto now = Clock::now();
    if (now - last_poll >= std::chrono::milliseconds(50)) {
      last_poll = now;
      if (host.poll && !host.poll(host.context, t / stop)) {
        values(c_.models, h_);
        sort_events();  // the partial result is ordered as a whole one is
        return Outcome::interrupted;
      }
      renew_copies(host);
    }
  }
  values(c_.models, h_);  // every element's values at the end, not only the recorded ones
  sort_events();
  return Outcome::done;
}

// A step's events are found element by element: in time order only per element.
void Stepper::sort_events() {
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.time < b.time || (a.time == b.time && a.element < b.element);
  });
}

double Stepper::clip(double t, double h, double breakpoint) const {
  h = std::min(h, s_.max_step);
  const double remaining = breakpoint - t;
  if (h >= remaining) return remaining;
  if (h > 0.5 * remaining && !(s_.fixed_step > 0)) return 0.5 * remaining;  // two even steps, no sliver
  return h;
}

// BDF weights (derivative at t_new of the interpolant through t_new and the
// last `order` points) and predictor weights (extrapolation of the
// polynomial through the last order + 1 points).
void Stepper::coefficients(double t_new) {
  const std::vector<double>& past = times_;
  if (ko_ == 2) {
    const double t0 = past[0], t1 = past[1], t2 = past[2];
    const double h = t_new - t0, omega = h / (t0 - t1);
    bdf_[0] = (1.0 + 2.0 * omega) / ((1.0 + omega) * h);
    bdf_[1] = -(1.0 + omega) / h;
    bdf_[2] = omega * omega / ((1.0 + omega) * h);
    const double d01 = t0 - t1, d02 = t0 - t2, d12 = t1 - t2;
    const double u0 = t_new - t0, u1 = t_new - t1, u2 = t_new - t2;
    predictor_[0] = u1 * u2 / (d01 * d02);
    predictor_[1] = -u0 * u2 / (d01 * d12);
    predictor_[2] = u0 * u1 / (d02 * d12);
    return;
  }
  double nodes[8];
  nodes[0] = t_new;
  for (int j = 0; j < ko_; ++j) nodes[j + 1] = past[j];
  double a0 = 0.0;
  for (int j = 1; j <= ko_; ++j) a0 += 1.0 / (t_new - nodes[j]);
  bdf_[0] = a0;
  for (int j = 1; j <= ko_; ++j) {
    double num = 1.0, den = 1.0;
    for (int m = 0; m <= ko_; ++m) {
      if (m == j) continue;
      den *= nodes[j] - nodes[m];
      if (m) num *= t_new - nodes[m];
    }
    bdf_[j] = num / den;
  }
  for (int j = 0; j <= ko_; ++j) {
    double w = 1.0;
    for (int m = 0; m <= ko_; ++m)
      if (m != j) w *= (t_new - past[m]) / (past[j] - past[m]);
    predictor_[j] = w;
  }
}

// est = Σ c_j φ_j;  V = a0·est + Σ b_j φ_j;  D = a0·V + Σ b_j V_j.  One pass
// over the unknowns, the history rows read once each (this runs every step).
namespace {

// predict()'s pass, apart so that the compiler sees the rows cannot overlap.
// With kFill the newest history rows p0, v0 are first filled from the state
// (the step just accepted), in the same pass.
template <bool kFill>
void predict_rows(size_t n, double* __restrict est, double* __restrict volt,
                  double* __restrict dvolt, double* __restrict p0, const double* __restrict p1,
                  const double* __restrict p2, const double* __restrict p3, double* __restrict v0,
                  const double* __restrict v1, const double* __restrict v2, const double c[4],
                  const double w[4], const double b[3], double a0) {
  const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
  const double w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3], b0 = b[0], b1 = b[1], b2 = b[2];
  for (size_t x = 0; x < n; ++x) {
    double newest = p0[x], newest_voltage = v0[x];
    if constexpr (kFill) {
      newest = p0[x] = est[x];
      newest_voltage = v0[x] = volt[x];
    }
    const double e = c0 * newest + c1 * p1[x] + c2 * p2[x] + c3 * p3[x];
    const double v = w0 * newest + w1 * p1[x] + w2 * p2[x] + w3 * p3[x];
    est[x] = e;
    volt[x] = v;
    dvolt[x] = a0 * v + b0 * newest_voltage + b1 * v1[x] + b2 * v2[x];
  }
}

// apply_correction()'s pass over unknowns [begin, end): two lanes at a
// time where SSE2 is there (the compiler will not vectorise max() on doubles
// by itself, as it must keep NaN's meaning).  The prediction is not stored:
// before the first correction the estimate is the prediction, so its
// distance is the correction's size; later ones recompute it from the phase
// history (`history`, else null: not measured).
struct Correction {
  double change = 0.0, distance = 0.0, size = 0.0;
  bool nan = false;
};

template <int kMeasure>  // 0: nothing, 1: distance is |Δ| (first correction), 2: from the history
Correction correct_rows(int begin, int end, double a0, double* __restrict delta, double* __restrict est,
                        double* __restrict volt, double* __restrict dvolt, const Prediction* history) {
  const double a0sq = a0 * a0;
  Correction out;
  int x = begin;
#ifdef __SSE2__
  const __m128d sign = _mm_set1_pd(-0.0), va0 = _mm_set1_pd(a0), va0sq = _mm_set1_pd(a0sq);
  __m128d change = _mm_setzero_pd(), distance = change, size = change, nan = change;
  for (; x + 2 <= end; x += 2) {
    const __m128d d = _mm_loadu_pd(delta + x), e = _mm_add_pd(_mm_loadu_pd(est + x), d);
    _mm_storeu_pd(delta + x, _mm_setzero_pd());
    _mm_storeu_pd(est + x, e);
    _mm_storeu_pd(volt + x, _mm_add_pd(_mm_loadu_pd(volt + x), _mm_mul_pd(va0, d)));
    _mm_storeu_pd(dvolt + x, _mm_add_pd(_mm_loadu_pd(dvolt + x), _mm_mul_pd(va0sq, d)));
    change = _mm_max_pd(change, _mm_andnot_pd(sign, d));
    nan = _mm_or_pd(nan, _mm_cmpunord_pd(d, d));
    if constexpr (kMeasure == 2) {
      const __m128d p = _mm_set_pd(history->at(x + 1), history->at(x));
      distance = _mm_max_pd(distance, _mm_andnot_pd(sign, _mm_sub_pd(e, p)));
    }
    if constexpr (kMeasure != 0) size = _mm_max_pd(size, _mm_andnot_pd(sign, e));
  }
  double lanes[2];
  auto fold = [&lanes](__m128d v) {
    _mm_storeu_pd(lanes, v);
    return std::max(lanes[0], lanes[1]);
  };
  out.change = fold(change);
  out.distance = fold(distance);
  out.size = fold(size);
  out.nan = _mm_movemask_pd(nan) != 0;
#endif
  for (; x < end; ++x) {
    const double d = delta[x], e = est[x] + d;
    delta[x] = 0.0;
    est[x] = e;
    volt[x] += a0 * d;
    dvolt[x] += a0sq * d;
    out.change = std::max(out.change, std::fabs(d));
    out.nan |= std::isnan(d);  // max() drops NaN
    if constexpr (kMeasure == 2) out.distance = std::max(out.distance, std::fabs(e - history->at(x)));
    if constexpr (kMeasure != 0) out.size = std::max(out.size, std::fabs(e));
  }
  if constexpr (kMeasure == 1) out.distance = out.change;  // the estimate was the prediction
  return out;
}

template <int W>
void subtract_padded(int rows, const int* __restrict col, const uint8_t* __restrict code,
                     const double* __restrict table, const double* __restrict x, const double* __restrict add,
                     double* __restrict out) {
  for (int r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (int w = 0; w < W; ++w) sum += table[code[r * W + w]] * x[col[r * W + w]];
    out[r] += add ? add[r] - sum : -sum;
  }
}

// out[r] += add[r] − Σ a_rk x_k (add may be null), row by row (one running
// sum per row, in the entries' order: padding adds exact zeros at the end).
void subtract_product(const SparseRows& m, const double* __restrict x, const double* __restrict add,
                      double* __restrict out) {
  const int rows = static_cast<int>(m.ptr.size()) - 1;
  const int* col = m.col.data();
  const uint8_t* code = m.code.data();
  const double* table = m.table.data();
  switch (m.width) {
    case 1: return subtract_padded<1>(rows, col, code, table, x, add, out);
    case 2: return subtract_padded<2>(rows, col, code, table, x, add, out);
    case 3: return subtract_padded<3>(rows, col, code, table, x, add, out);
    case 4: return subtract_padded<4>(rows, col, code, table, x, add, out);
    case 5: return subtract_padded<5>(rows, col, code, table, x, add, out);
    case 6: return subtract_padded<6>(rows, col, code, table, x, add, out);
    case 7: return subtract_padded<7>(rows, col, code, table, x, add, out);
    case 8: return subtract_padded<8>(rows, col, code, table, x, add, out);
    default: break;
  }
  const int* __restrict ptr = m.ptr.data();
  const double* __restrict val = m.val.data();
  for (int r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (int k = ptr[r]; k < ptr[r + 1]; ++k) sum += val[k] * x[col[k]];
    out[r] += add ? add[r] - sum : -sum;
  }
}

}  // namespace

void SparseRows::encode() {
  const int rows = static_cast<int>(ptr.size()) - 1;
  int widest = 0;
  for (int r = 0; r < rows; ++r) widest = std::max(widest, ptr[r + 1] - ptr[r]);
  if (widest == 0 || widest > kMaxWidth) return;
  std::vector<double> distinct{0.0};  // sorted; 0 is the padding's
  for (const double v : val) {
    const auto at = std::lower_bound(distinct.begin(), distinct.end(), v);
    if (at != distinct.end() && *at == v) continue;
    if (distinct.size() == 256) return;  // more than a byte can name
    distinct.insert(at, v);
  }
  auto code_of = [&distinct](double v) {
    return static_cast<uint8_t>(std::lower_bound(distinct.begin(), distinct.end(), v) - distinct.begin());
  };
  std::vector<int> padded(static_cast<size_t>(rows) * widest);
  code.assign(padded.size(), code_of(0.0));
  for (int r = 0; r < rows; ++r)
    for (int w = 0; w < widest; ++w) {
      const int k = ptr[r] + w;
      const size_t at = static_cast<size_t>(r) * widest + w;
      padded[at] = k < ptr[r + 1] ? col[k] : (w ? padded[at - 1] : 0);  // a column read anyway
      if (k < ptr[r + 1]) code[at] = code_of(val[k]);
    }
  table = std::move(distinct);
  col = std::move(padded);
  width = widest;
  std::vector<double>().swap(val);
}

// The predictor's rows and weights, to recompute the prediction where needed.
Prediction Stepper::prediction() const {
  Prediction p{};
  for (int r = 0; r < 4; ++r) {
    p.rows[r] = phase_rows_[std::min(r, k_)];
    p.weights[r] = r <= ko_ ? predictor_[r] : 0.0;
  }
  return p;
}

void Stepper::predict() {
  const size_t n = c_.n;
  const double a0 = bdf_[0];
  double* est = state_;
  double* volt = state_ + n;
  double* dvolt = state_ + 2 * n;
  double c[4] = {0, 0, 0, 0}, vw[4] = {0, 0, 0, 0}, b[3] = {0, 0, 0};
  for (int r = 0; r <= ko_; ++r) {
    c[r] = predictor_[r];
    vw[r] = a0 * c[r] + (r < ko_ ? bdf_[r + 1] : 0.0);
  }
  for (int r = 0; r < ko_; ++r) b[r] = bdf_[r + 1];
  // Rows past the order carry zero weights (they stay finite: zeroed history).
  double* p0 = phase_rows_[0];
  const double* p1 = phase_rows_[1];
  const double* p2 = phase_rows_[std::min(2, k_)];
  const double* p3 = phase_rows_[std::min(3, k_)];
  double* v0 = voltage_rows_[0];
  const double* v1 = voltage_rows_[std::min(1, k_ - 1)];
  const double* v2 = voltage_rows_[std::min(2, k_ - 1)];
  if (history_pending_) predict_rows<true>(n, est, volt, dvolt, p0, p1, p2, p3, v0, v1, v2, c, vw, b, a0);
  else predict_rows<false>(n, est, volt, dvolt, p0, p1, p2, p3, v0, v1, v2, c, vw, b, a0);
  history_pending_ = false;
  corrections_ = 0;
}

void Stepper::update_sources(double t_new) {
  smooth_ = ramp_factor(t_new, s_.ramp);
  const double t_si = t_new * s_.time_unit;
  for (Source* source : active_) *source->field = source->wave.value(t_si) * source->scale;
}

bool Stepper::step(double t, double h, double& h_next) {
  const double t_new = t + h;
  t_new_ = t_new;
  // Past a source's corner the history holds a kink: the third-order
  // formula's error estimate misses it, the second-order one does not.
  ko_ = after_corner_ > 0 ? std::min(k_, 2) : k_;
  coefficients(t_new);
  a0_ = bdf_[0];
  h_ = h;
  predict();
  update_sources(t_new);
  const int iterations = newton(a0_, h);
  if (fatal_) return false;
  if (!iterations) {
    ++stats.newton_failures;
    message = "Newton's iteration does not converge even at short steps";
    h_next = 0.25 * h;
    return false;
  }
  if (s_.audit_newton) audit_newton(h);
  if (s_.fixed_step > 0) {
    accept(t_new, h);
    h_next = s_.fixed_step;
    return true;
  }
  // Node phases only: branch currents are algebraic and may jump at a
  // source's corner (a capacitive current), where no step would do.
  const double* est = state_;
  double largest = predictor_distance_ / s_.tolerance;  // of the error over its bound
  const double tol = s_.tolerance, rtol = s_.relative_tolerance;
  // The relative bound takes over only beyond tol/rtol radians (1e5 by
  // default), rare enough to spare a division per node otherwise.
  if (rtol * largest_phase_ > tol) {
    largest = 0.0;
    const Prediction history = prediction();
    for (int x = 0; x < c_.n_nodes; ++x)
      largest = std::max(largest, std::fabs(est[x] - history.at(x)) / std::max(tol, rtol * std::fabs(est[x])));
  }
  const double ratio = largest * h / (t_new - times_[ko_]);
  const double factor = ratio < 1e-3 ? 2.0 : 0.9 * std::pow(ratio, -1.0 / (ko_ + 1));
  if (ratio > 1.0) {
    ++stats.rejected;
    message = "the local error stays above the tolerance at short steps";
    h_next = h * std::min(0.9, std::max(0.1, factor));
    return false;
  }
  accept(t_new, h);
  h_next = h * std::min(2.0, std::max(0.2, factor));
  if (s_.reuse_factorization && h_next > kMinShrink * h && h_next < kMinGrowth * h) h_next = h;
  return true;
}

// Largest last correction accepted: its square (the size of the remaining
// Newton error) stays 1 % of the local error bound.  Fixed steps keep the
// same share of tol: their truncation error, unbounded by tol, dwarfs it.
double Stepper::newton_limit() const { return 0.1 * std::sqrt(s_.tolerance); }

// Newton error left in an accepted step when convergence is linear.
double Stepper::newton_error_bound() const { return 1e-2 * s_.tolerance; }

// Contraction rate for a step at a0, from a recent measurement: the
// Jacobian's error relative to the capacitive and resistive terms grows like
// h² and h, so scale by the larger, and by 2 for the motion of the phase
// since; a stale measurement says nothing.
double Stepper::expected_rate(double a0) {
  if (++rate_age_ > kRateLifetime) return 1.0;
  const double ratio = rate_a0_ / a0;
  return 2.0 * newton_rate_ * std::max(ratio, ratio * ratio);
}

// Contraction rate a chord iteration with the kept factorisation is
// expected to reach at this a0: the capacitive and resistive terms, which
// dominate the diagonal, moved with a0² and a0; the junctions' slopes drift
// with every step since the rate was measured.  Negative while no rate has
// been measured with this factorisation (only the a0 part is known then).
double Stepper::predicted_chord_rate(double a0) const {
  const double q = a0 / factor_a0_;
  const double mismatch = std::max(std::fabs(q * q - 1.0), std::fabs(q - 1.0));
  if (chord_rate_ < 0) return -mismatch;
  return mismatch + chord_rate_ * static_cast<double>(factor_age_ + 1) / static_cast<double>(chord_rate_age_ + 1);
}

// The drivers only add, so A1 is accumulated onto a copy of A0 and, in later
// iterations, A2 onto a copy of A0 + A1.  A fresh factorisation makes the
// iteration Newton's (quadratic: a small last correction bounds the error
// left); a kept one makes it a chord iteration (linear at a measured or
// predicted rate r: the error left is change·r/(1 − r)).  With tunnel
// junctions even Newton is linear (their Jacobian is quasi-static), so they
// refactor every iteration and bound the error by the measured rate.
// Returns the iterations made, 0 on failure.
int Stepper::newton(double a0, double h) {
  const size_t nnz = c_.nnz;
  const stampworks::ModelContext ctx = step_context(h);
  stampworks::View a01{a01_.data(), c_.nnz, 1}, a2{a2_.data(), c_.nnz, 1};
  stampworks::View system{system_.data(), c_.nnz, 1}, rhs{rhs_.data(), c_.n, 1};
  const double limit = newton_limit(), bound = newton_error_bound();
  const bool chord = s_.reuse_factorization && !s_.linear_newton;
  const double chord_bound = kChordErrorShare * s_.tolerance;
  const double predicted = factored_ ? predicted_chord_rate(a0) : 1.0;
  const double q = a0 / factor_a0_;
  bool refresh = !chord || !factored_ || factor_age_ >= kMaxFactorAge || std::fabs(predicted) > kRefactorRate ||
                 std::max(std::fabs(q * q - 1.0), std::fabs(q - 1.0)) > kMismatchRefactor;
  bool step_part_built = false;  // a01 holds A0 + A1 at this a0
  double previous = 0.0;
  // rhs_ is zero here: apply_correction leaves it so.
  for (int iteration = 0; iteration < s_.max_newton; ++iteration) {
    const bool exact = refresh;
    if (refresh) {
      if (!step_part_built) {
        std::memcpy(a01_.data(), a0_matrix_.data(), nnz * sizeof(double));
        std::fill(a2_.begin(), a2_.end(), 0.0);
        Span span(model_clock_);
        for (ModelObject* model : sweep_) model->ops->build_step(model, a01, a2, rhs, &ctx);
        for (size_t x = 0; x < nnz; ++x) system_[x] = a01_[x] + a2_[x];
        step_part_built = true;
      } else {
        std::memcpy(system_.data(), a01_.data(), nnz * sizeof(double));
        Span span(model_clock_);
        for (ModelObject* model : sweep_) model->ops->update_step(model, system, rhs, &ctx);
      }
      Span span(lu_clock_);
      if (!lu_.factor(system_.data())) {
        std::fill(rhs_.begin(), rhs_.end(), 0.0);
        factored_ = false;
        if (!stats.newton_iterations) {
          fatal_ = true;
          fail(0.0, "the circuit matrix is singular (a loop of voltage or phase sources, "
                    "or part of the circuit without a path to ground?)");
        }
        return 0;  // a shorter step may do
      }
      factored_ = true;
      factor_a0_ = a0;
      factor_age_ = 0;
      // The junctions drift from the Jacobian at about the pace measured with
      // the last factorisation (twice it, to be safe), so the next steps need
      // not iterate twice just to measure it again.
      chord_rate_ = drift_per_step_ > 0 ? 2.0 * drift_per_step_ : -1.0;
      chord_rate_age_ = 0;
      refresh = !chord;
    } else {
      Span span(model_clock_);
      chord_rhs(ctx);
    }
    {
      Span span(lu_clock_);
      lu_.solve(rhs_.data());
    }
    ++stats.newton_iterations;
    const double change = apply_correction(a0);
    if (!(change <= 1e30)) return 0;  // NaN or overflow: the step is hopeless
    if (!exact) {
      double rate = predicted >= 0 ? predicted : 1.0;  // unknown: iterate once more to measure it
      if (previous > 0) {
        rate = change / previous;
        chord_rate_ = rate;
        chord_rate_age_ = factor_age_;
        // Only a rate measured at a0 close to the factorisation's is drift.
        const double qq = a0 / factor_a0_;
        if (std::fabs(qq * qq - 1.0) < 1e-3) drift_per_step_ = rate / static_cast<double>(factor_age_ + 1);
      }
      if (rate < 1.0 && change <= limit && change * rate <= chord_bound * (1.0 - rate)) return iteration + 1;
      if (previous > 0 && rate > kRefactorRate) refresh = true;  // slow: a Jacobian at this iterate
      previous = change;
      continue;
    }
    if (previous > 0 && s_.linear_newton) {
      newton_rate_ = change / previous;
      rate_a0_ = a0;
      rate_age_ = 0;
    }
    if (change <= limit) {
      if (!s_.linear_newton || change <= bound) return iteration + 1;
      // Linear convergence at rate r leaves change·r/(1 − r).
      const double rate = previous > 0 ? newton_rate_ : expected_rate(a0);
      if (rate < 1.0 && change * rate <= bound * (1.0 - rate)) return iteration + 1;
    } else if (s_.linear_newton && previous > 0 && change >= previous && iteration >= 2) {
      return 0;  // not contracting: a shorter step will
    }
    previous = change;
  }
  return 0;
}

// Adds the solved correction Δ (in rhs_) to the estimate: φ moves by Δ, V by
// a0·Δ and D by a0²·Δ, and zeroes rhs_ for the next sweep.  On the node
// phases it also measures the predictor's distance and the largest phase,
// which the error control reads after the last iteration (one pass instead
// of three).  Returns the largest |Δ|, or NaN when Δ holds one.
double Stepper::apply_correction(double a0) {
  const int n = c_.n;
  double* est = state_;
  Correction nodes;
  if (corrections_++ == 0) {
    nodes = correct_rows<1>(0, c_.n_nodes, a0, rhs_.data(), est, est + n, est + 2 * n, nullptr);
  } else {
    const Prediction history = prediction();
    nodes = correct_rows<2>(0, c_.n_nodes, a0, rhs_.data(), est, est + n, est + 2 * n, &history);
  }
  const Correction rest = correct_rows<0>(c_.n_nodes, n, a0, rhs_.data(), est, est + n, est + 2 * n, nullptr);
  predictor_distance_ = nodes.distance;
  largest_phase_ = nodes.size;
  if (nodes.nan || rest.nan) return std::nan("");
  return std::max(nodes.change, rest.change);
}

// Iterates on from the accepted estimate to (near) the converged solution,
// notes how far that is, and puts everything back as it was.
void Stepper::audit_newton(double h) {
  const size_t n = c_.n, nnz = c_.nnz;
  audit_state_.assign(state_, state_ + 3 * n);
  const double distance = predictor_distance_, size = largest_phase_;
  const stampworks::ModelContext ctx = step_context(h);
  stampworks::View system{system_.data(), c_.nnz, 1}, rhs{rhs_.data(), c_.n, 1};
  for (int k = 0; k < 40; ++k) {
    std::fill(rhs_.begin(), rhs_.end(), 0.0);
    std::memcpy(system_.data(), a01_.data(), nnz * sizeof(double));
    for (ModelObject* model : sweep_) model->ops->update_step(model, system, rhs, &ctx);
    if (!lu_.factor(system_.data())) break;
    lu_.solve(rhs_.data());
    apply_correction(a0_);
  }
  for (int x = 0; x < c_.n_nodes; ++x)
    stats.newton_leftover = std::max(stats.newton_leftover, std::fabs(state_[x] - audit_state_[x]));
  std::copy(audit_state_.begin(), audit_state_.end(), state_);
  predictor_distance_ = distance;
  largest_phase_ = size;
  std::fill(rhs_.begin(), rhs_.end(), 0.0);
  std::memcpy(system_.data(), a01_.data(), nnz * sizeof(double));
  for (ModelObject* model : sweep_) model->ops->update_step(model, system, rhs, &ctx);
  std::fill(rhs_.begin(), rhs_.end(), 0.0);
}

void Stepper::accept(double t_new, double h) {
  ++stats.accepted;
  if (s_.resync_before_commit) {
    // Tunnel junctions commit their history at the phase their residual
    // last saw, which is one Newton correction behind the accepted phase.
    const stampworks::ModelContext ctx = step_context(h);
    std::fill(rhs_.begin(), rhs_.end(), 0.0);
    stampworks::View rhs{rhs_.data(), c_.n, 1};
    for (ModelObject* model : sweep_) model->ops->RHSCurrent(model, rhs, &ctx);
    std::fill(rhs_.begin(), rhs_.end(), 0.0);
  }
  std::rotate(phase_rows_, phase_rows_ + k_, phase_rows_ + k_ + 1);
  std::rotate(voltage_rows_, voltage_rows_ + k_ - 1, voltage_rows_ + k_);
  // The state is copied into the newest history rows by the next prediction,
  // in its own pass; until then only older rows are read.
  history_pending_ = true;
  for (int j = k_; j > 0; --j) times_[j] = times_[j - 1];
  times_[0] = t_new;
  ++factor_age_;
  stepwise_values(h);
  for (const int32_t r : ran_) {
    const int32_t e = c_.stepwise_elements[r];
    if (c_.flag_inc[e] | c_.flag_dec[e]) {
      find_events(t_new, h);
      break;
    }
  }
  // A source retires once the accepted time has passed its last change.
  const double t_si = t_new * s_.time_unit;
  if (t_si >= next_settle_) {
    active_.erase(std::remove_if(active_.begin(), active_.end(),
                                 [t_si](const Source* s) { return t_si >= s->settle; }),
                  active_.end());
    note_constant_drive();
  }
  if (t_new >= s_.start) {
    values(c_.recorded_only, h);
    record(t_new);
  }
}

// What Values reads: the accepted time and step, the ramp, no counter dead band.
stampworks::ModelContext Stepper::values_context(double h) const {
  stampworks::ModelContext ctx{};
  ctx.smooth_factor = smooth_;
  ctx.time_step = h;
  ctx.time = times_[0];
  ctx.histeresis = kCounterBand;
  return ctx;
}

// Only models that run Values every step have counters that can move.  A
// watched junction whose phase stays within half a quantum of its count
// cannot move its counter: its Values (a sine and a few stores) waits; when
// it runs, the phase and voltage it had a step earlier come from the node
// history, since its element arrays may be older than that.  The half
// quantum is kept as a band of the node phase difference, renewed when the
// count moves, so a quiet junction costs two loads and two compares.
void Stepper::stepwise_values(double h) {
  const stampworks::ModelContext ctx = values_context(h);
  Span span(model_clock_);
  const double* now = state_;
  const double* before = phase_rows_[1];
  const double* before_voltage = voltage_rows_[1];
  auto across = [](const double* x, int32_t i, int32_t j) { return j ? x[i - 1] - x[j - 1] : x[i - 1]; };
  // Flags a watched junction raised last step would stand while it waits.
  for (const int32_t s : ran_)
    if (c_.watched[s]) c_.flag_inc[c_.stepwise_elements[s]] = c_.flag_dec[c_.stepwise_elements[s]] = 0;
  ran_.clear();
  for (size_t s = 0; s < c_.stepwise.size(); ++s) {
    const int32_t e = c_.stepwise_elements[s];
    if (c_.watched[s]) {
      const Band& band = bands_[s];
      const double phase = across(now, band.i, band.j);
      if (phase > band.low && phase < band.high) continue;
      prev_phase_[e] = across(before, band.i, band.j) + c_.watch_shift[s];
      prev_voltage_[e] = across(before_voltage, band.i, band.j);
    } else {
      prev_phase_[e] = c_.element_phase[e];
      prev_voltage_[e] = c_.element_voltage[e];
    }
    prev_counts_[e] = c_.counts[e];
    ModelObject* model = c_.stepwise[s];
    model->ops->Values(model, &ctx);
    ran_.push_back(static_cast<int32_t>(s));
    if (c_.watched[s]) renew_band(s);
  }
}

// The node phase differences over which watched junction s keeps its count.
void Stepper::renew_band(size_t s) {
  const double count = c_.counts[c_.stepwise_elements[s]], margin = 0.5 - 1e-9;
  bands_[s].low = (count - margin) * kTwoPi - c_.watch_shift[s];
  bands_[s].high = (count + margin) * kTwoPi - c_.watch_shift[s];
}

void Stepper::values(const std::vector<ModelObject*>& models, double h) {
  const stampworks::ModelContext ctx = values_context(h);
  Span span(model_clock_);
  for (ModelObject* model : models) model->ops->Values(model, &ctx);
}

// One event per quantum crossed (a step may carry a phase over several),
// each timed where the cubic Hermite interpolant of the step crosses
// (n ± ½)·2π.
void Stepper::find_events(double t_new, double h) {
  for (const int32_t r : ran_) {
    const int32_t e = c_.stepwise_elements[r];
    if (!(c_.flag_inc[e] | c_.flag_dec[e])) continue;
    const int64_t old = prev_counts_[e], now = c_.counts[e];
    const int direction = now > old ? 1 : -1;
    // A phase run through many quanta in one step (a source's counter) is
    // timed on the chord: its events are a count, not a switching time.
    const bool flood = (now - old) * direction > kFloodLevels;
    const double y0 = prev_phase_[e], y1 = c_.element_phase[e];
    for (int64_t level = old; level != now; level += direction) {
      if (static_cast<int64_t>(events.size()) >= s_.max_events) {
        stats.events_dropped += (now - level) * direction;
        break;
      }
      const double threshold = (static_cast<double>(level) + 0.5 * direction) * kTwoPi;
      const double fraction =
          flood ? std::clamp((threshold - y0) / (y1 - y0), 0.0, 1.0)
                : hermite_crossing(y0, y1, prev_voltage_[e] * h, c_.element_voltage[e] * h, threshold);
      events.push_back({t_new - h + h * fraction, e, direction});
    }
  }
}

void Stepper::record(double t) {
  recorded.push_back(t);
  for (const double* channel : c_.channels) recorded.push_back(*channel);
}

// The linear models' stamps gathered at unit coefficients into one sparse
// matrix, checked against their own RHSCurrent on the made-up state `probe`
// (a class whose declaration claims too much stays on the sweep).  Returns
// whether the product stands for them.
bool Stepper::gather_linear(const std::vector<ModelObject*>& linear, const stampworks::ModelContext& probe) {
  const int n = c_.n;
  const Py_ssize_t nnz = c_.nnz;
  std::vector<double> s0(nnz, 0.0), s1(nnz, 0.0), s2(nnz, 0.0);
  stampworks::ModelContext unit_dt{}, unit_ddt{};
  unit_dt.coeff_dt = 1.0;
  unit_ddt.coeff_ddt = 1.0;
  for (ModelObject* model : linear) {
    model->ops->Admitance0(model, {s0.data(), nnz, 1});
    model->ops->Admitance1(model, {s1.data(), nnz, 1}, &unit_dt);
    model->ops->Admitance1(model, {s2.data(), nnz, 1}, &unit_ddt);
  }
  // By rows, over the state's three rows side by side (phase, voltage,
  // derivative: the node block's layout); the pattern is by columns, so
  // count, then place.
  const std::vector<double>* parts[3] = {&s0, &s1, &s2};
  SparseRows& m = linear_;
  m.ptr.assign(n + 1, 0);
  for (const std::vector<double>* values : parts)
    for (Py_ssize_t k = 0; k < nnz; ++k)
      if ((*values)[k] != 0.0) ++m.ptr[c_.row_idx[k] + 1];
  for (int r = 0; r < n; ++r) m.ptr[r + 1] += m.ptr[r];
  m.col.assign(m.ptr[n], 0);
  m.val.assign(m.ptr[n], 0.0);
  std::vector<int> next(m.ptr.begin(), m.ptr.begin() + n);  // where each row's next entry goes
  for (int col = 0; col < n; ++col)
    for (int k = c_.col_ptr[col]; k < c_.col_ptr[col + 1]; ++k)
      for (int part = 0; part < 3; ++part)
        if ((*parts[part])[k] != 0.0) {
          const int at = next[c_.row_idx[k]]++;
          m.col[at] = col + part * n;
          m.val[at] = (*parts[part])[k];
        }
  m.encode();
  std::vector<double> swept(n, 0.0), product(n, 0.0);
  for (ModelObject* model : linear) model->ops->RHSCurrent(model, {swept.data(), n, 1}, &probe);
  subtract_product(linear_, probe.phases, nullptr, product.data());
  double scale = 0.0, gap = 0.0;
  for (int x = 0; x < n; ++x) {
    scale = std::max(scale, std::fabs(swept[x]));
    gap = std::max(gap, std::fabs(swept[x] - product[x]));
  }
  if (gap <= 1e-12 * scale) return true;
  linear_ = SparseRows{};
  linear_.ptr.assign(n + 1, 0);
  return false;
}

// Sorts the models by what a chord iteration needs of them (see the header):
// the linear ones as one product, the constant ones as kept vectors, the
// own-kind ones through copies, the rest swept.
void Stepper::split_sweeps() {
  const int n = c_.n;
  std::vector<ModelObject*> linear;
  for (ModelObject* model : sweep_)
    if (model->ops->rhs_kind == stampworks::rhs_linear) linear.push_back(model);
  // A made-up state for the set-up checks: phase, voltage, derivative rows.
  std::vector<double> state(3 * static_cast<size_t>(n));
  for (size_t x = 0; x < state.size(); ++x) state[x] = std::sin(0.7 * static_cast<double>(x) + 0.3) * (1 + x % 7);
  stampworks::ModelContext probe{};
  probe.smooth_factor = 1.0;
  probe.phases = probe.phases_prev = state.data();
  probe.voltages = probe.voltages_prev = state.data() + n;
  probe.voltages_deriv = state.data() + 2 * n;
  const bool trusted = gather_linear(linear, probe);
  stats.linear_models = trusted ? static_cast<int64_t>(linear.size()) : 0;
  for (ModelObject* model : sweep_) {
    const int kind = model->ops->rhs_kind;
    if (kind == stampworks::rhs_constant) constant_sweep_.push_back(model);
    else if (kind != stampworks::rhs_linear || !trusted) chord_sweep_.push_back(model);
  }
  make_runs(chord_sweep_, chord_runs_);
  set_up_copies(probe);
  constant_rhs_.assign(n, 0.0);
  step_rhs_.assign(n, 0.0);
  // Capacity for any split of the constant models: no allocation later.
  for (auto* list : {&driven_, &kept_}) list->reserve(constant_sweep_.size());
  for (auto* runs : {&driven_runs_, &kept_runs_}) runs->reserve(constant_sweep_.size());
  drive_flag_.assign(constant_sweep_.size(), 0);
  std::unordered_map<const ModelObject*, int> place;
  for (size_t k = 0; k < constant_sweep_.size(); ++k) place[constant_sweep_[k]] = static_cast<int>(k);
  for (Source& source : c_.sources) {
    const auto found = place.find(source.model);
    source.constant_index = found == place.end() ? -1 : found->second;
  }
  note_constant_drive();
}

// Copies of the own-kind runs' models, checked once on the made-up state
// against the models themselves (bit for bit: the same code ran on the same
// fields).  A source writes its model's value field at every step: such a
// model is read in place.
void Stepper::set_up_copies(const stampworks::ModelContext& probe) {
  const int n = c_.n;
  std::unordered_set<const ModelObject*> driven;
  for (const Source& source : c_.sources) driven.insert(source.model);
  packed_.assign(chord_runs_.size(), {});
  std::vector<double> direct(n), copied(n);
  for (size_t r = 0; r < chord_runs_.size(); ++r) {
    const Run& run = chord_runs_[r];
    ModelObject* const* models = &chord_sweep_[run.begin];
    const stampworks::OpTable* ops = models[0]->ops;
    if (!ops->pack) continue;
    bool fixed = true;
    for (size_t k = 0; k < run.count && fixed; ++k) fixed = !driven.count(models[k]);
    if (!fixed) continue;
    const size_t bytes = run.count * ops->model_bytes;
    std::vector<std::max_align_t>& block = packed_[r];
    block.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    ops->pack(models, run.count, block.data());
    std::fill(direct.begin(), direct.end(), 0.0);
    std::fill(copied.begin(), copied.end(), 0.0);
    ops->rhs_sweep(models, run.count, {direct.data(), n, 1}, &probe);
    ops->rhs_packed(block.data(), run.count, {copied.data(), n, 1}, &probe);
    if (!direct.empty() && std::memcmp(direct.data(), copied.data(), direct.size() * sizeof(double)) != 0)
      std::vector<std::max_align_t>().swap(block);
    else
      stats.copied_models += static_cast<int64_t>(run.count);
  }
}

// Whether the core's binding or parameter counters moved since last asked
// (always, when the host does not know them); notes their values.
bool Stepper::counters_moved(const Host& host) {
  if (!host.binding_epoch || !host.parameter_epoch) return true;
  const bool moved = *host.binding_epoch != copied_binding_ || *host.parameter_epoch != copied_parameters_;
  copied_binding_ = *host.binding_epoch;
  copied_parameters_ = *host.parameter_epoch;
  return moved;
}

// After a poll: the host may have set parameters or rebound models.
void Stepper::renew_copies(const Host& host) {
  if (counters_moved(host)) pack_runs();
}

void Stepper::pack_runs() {
  for (size_t r = 0; r < chord_runs_.size(); ++r) {
    if (packed_[r].empty()) continue;
    ModelObject** models = &chord_sweep_[chord_runs_[r].begin];
    models[0]->ops->pack(models, chord_runs_[r].count, packed_[r].data());
  }
}

void Stepper::make_runs(const std::vector<ModelObject*>& models, std::vector<Run>& out) {
  out.clear();
  for (size_t k = 0; k < models.size(); ++k)
    if (out.empty() || models[k]->ops != models[out.back().begin]->ops) out.push_back({k, 1});
    else ++out.back().count;
}

// After the active sources changed: which constant models they drive, and
// when the next of them settles.
void Stepper::note_constant_drive() {
  constexpr double never = std::numeric_limits<double>::infinity();
  next_settle_ = never;
  std::fill(drive_flag_.begin(), drive_flag_.end(), 0);
  for (const Source* source : active_) {
    next_settle_ = std::min(next_settle_, source->settle);
    if (source->constant_index >= 0) drive_flag_[source->constant_index] = 1;
  }
  driven_.clear();
  kept_.clear();
  for (size_t k = 0; k < constant_sweep_.size(); ++k) (drive_flag_[k] ? driven_ : kept_).push_back(constant_sweep_[k]);
  make_runs(driven_, driven_runs_);
  make_runs(kept_, kept_runs_);
  constant_smooth_ = -1.0;  // the kept sum is stale
  driven_time_ = std::nan("");
}

// A chord iteration's right-hand side (rhs_ is zero on entry).
void Stepper::chord_rhs(const stampworks::ModelContext& ctx) {
  stampworks::View rhs{rhs_.data(), c_.n, 1};
  for (size_t r = 0; r < chord_runs_.size(); ++r) {
    const Run& run = chord_runs_[r];
    const stampworks::OpTable* ops = chord_sweep_[run.begin]->ops;
    if (packed_[r].empty()) ops->rhs_sweep(&chord_sweep_[run.begin], run.count, rhs, &ctx);
    else ops->rhs_packed(packed_[r].data(), run.count, rhs, &ctx);
  }
  auto sweep = [this, &ctx](const std::vector<ModelObject*>& models, const std::vector<Run>& runs, double* out) {
    stampworks::View view{out, c_.n, 1};
    for (const Run& run : runs) models[run.begin]->ops->rhs_sweep(&models[run.begin], run.count, view, &ctx);
  };
  if (!kept_.empty() && constant_smooth_ != smooth_) {
    std::fill(constant_rhs_.begin(), constant_rhs_.end(), 0.0);
    sweep(kept_, kept_runs_, constant_rhs_.data());
    constant_smooth_ = smooth_;
    driven_time_ = std::nan("");
  }
  const double* constant = kept_.empty() ? nullptr : constant_rhs_.data();
  // The driven sources' currents hold for the whole step (its time fixes
  // their values and the ramp): summed once with the kept ones, not at every
  // iteration.
  if (!driven_.empty()) {
    if (!(driven_time_ == t_new_)) {
      if (constant) std::copy(constant_rhs_.begin(), constant_rhs_.end(), step_rhs_.begin());
      else std::fill(step_rhs_.begin(), step_rhs_.end(), 0.0);
      sweep(driven_, driven_runs_, step_rhs_.data());
      driven_time_ = t_new_;
    }
    constant = step_rhs_.data();
  }
  subtract_product(linear_, state_, constant, rhs_.data());
}

}  // namespace transient

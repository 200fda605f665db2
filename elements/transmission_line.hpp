// Lossless transmission line between port 1 (i, j) and port 2 (k, l), with
// characteristic impedance Z0 and delay td, by the method of characteristics:
// each port is its impedance in series with a source that carries the wave
// arriving from the other end td earlier.
//
//   port currents  x_q1 enters the line at i and leaves at j; x_q2 likewise at k, l
//   row q1         F = (V1 − Z0·x_q1 − E1)/coeff_dt,  E1 = V2(t − td) + Z0·x_q2(t − td)
//   row q2         F = (V2 − Z0·x_q2 − E2)/coeff_dt,  E2 = V1(t − td) + Z0·x_q1(t − td)
//   stamps (A1)    iq1, q1i +1; jq1, q1j −1; q1q1 −Z0/coeff_dt; the same for port 2
//
// The delayed values come from the line's own history of accepted points
// (t, V1, I1, V2, I2), interpolated linearly (second order, as the default
// integration formula), at rest before t = 0.  Values appends a point at the
// accepted time the context carries; a time earlier than the last one starts
// a new run.  The history keeps what one delay back needs and grows, by
// doubling, only to the number of steps within one delay.  The step must not
// exceed td (the host caps it), so the delayed time is always accepted history.
#pragma once
#include "elements/controlled_sources.hpp"

#include <cstdlib>
#include <cstring>

namespace elements {

struct TransmissionLineModel : NoOperations {
  static constexpr int kRow = 5;  // t, V1, I1, V2, I2

  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t impedance;
  FLOAT_t delay;
  FLOAT_t* history;  // rows of kRow, live from `first` for `count` rows
  Py_ssize_t capacity, first, count;
  INT_t i, j, k, l, q1, q2, eindex;
  INT_t ind_iq1, ind_jq1, ind_q1i, ind_q1j, ind_q1q1;
  INT_t ind_kq2, ind_lq2, ind_q2k, ind_q2l, ind_q2q2;

  void defaults() {
    impedance = 1.0;
    delay = 1.0;
  }

  void release() {
    std::free(history);
    history = nullptr;
    capacity = first = count = 0;
  }

  void Admitance1(View a, pModelContext_t ctx) {
    const FLOAT_t z = -impedance / ctx->coeff_dt;
    add(a, i, q1, ind_iq1, 1.0);
    add(a, q1, i, ind_q1i, 1.0);
    add(a, j, q1, ind_jq1, -1.0);
    add(a, q1, j, ind_q1j, -1.0);
    a[ind_q1q1] += z;
    add(a, k, q2, ind_kq2, 1.0);
    add(a, q2, k, ind_q2k, 1.0);
    add(a, l, q2, ind_lq2, -1.0);
    add(a, q2, l, ind_q2l, -1.0);
    a[ind_q2q2] += z;
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    FLOAT_t past[kRow];
    delayed(ctx->time - delay, past);
    const FLOAT_t x1 = ctx->phases[q1 - 1], x2 = ctx->phases[q2 - 1];
    const FLOAT_t e1 = past[3] + impedance * past[4], e2 = past[1] + impedance * past[2];
    port_rhs(vec, i, j, q1, x1, (across(ctx->voltages, i, j) - impedance * x1 - e1) / ctx->coeff_dt);
    port_rhs(vec, k, l, q2, x2, (across(ctx->voltages, k, l) - impedance * x2 - e2) / ctx->coeff_dt);
  }

  void Values(pModelContext_t ctx) {
    const FLOAT_t row[kRow] = {ctx->time, across(node_voltages, i, j), node_phases[q1 - 1],
                               across(node_voltages, k, l), node_phases[q2 - 1]};
    append(row);
    elem_currents[eindex] = row[2];
    report_across(*this);
  }

 private:
  static void port_rhs(View vec, INT_t a, INT_t b, INT_t q, FLOAT_t x, FLOAT_t residual) {
    if (a) vec[a - 1] -= x;
    if (b) vec[b - 1] += x;
    vec[q - 1] -= residual;
  }

  const FLOAT_t* row(Py_ssize_t r) const { return history + (first + r) * kRow; }

  // The port quantities at time tau: zero at rest before the first point,
  // linear between accepted points, the last point held beyond it.
  void delayed(FLOAT_t tau, FLOAT_t out[kRow]) const {
    std::memset(out, 0, sizeof(FLOAT_t) * kRow);
    if (!count || tau < row(0)[0]) return;
    Py_ssize_t lo = 0, hi = count - 1;
    if (tau >= row(hi)[0]) {
      std::memcpy(out, row(hi), sizeof(FLOAT_t) * kRow);
      return;
    }
    while (hi - lo > 1) {  // row(lo)[0] <= tau < row(hi)[0]
      const Py_ssize_t mid = (lo + hi) / 2;
      (row(mid)[0] <= tau ? lo : hi) = mid;
    }
    const FLOAT_t* a = row(lo);
    const FLOAT_t* b = row(hi);
    const FLOAT_t s = (tau - a[0]) / (b[0] - a[0]);
    for (int c = 0; c < kRow; ++c) out[c] = a[c] + s * (b[c] - a[c]);
  }

  void append(const FLOAT_t* values) {
    if (count && values[0] < row(count - 1)[0]) count = first = 0;  // time went back: a new run
    if (count && values[0] == row(count - 1)[0]) --count;   // the same time again: replace it
    // Points more than one delay back, but the last of them, are no longer needed.
    while (count > 2 && row(1)[0] <= values[0] - delay) {
      ++first;
      --count;
    }
    if (!count && values[0] > 0) {  // every run starts at rest at t = 0
      const FLOAT_t rest[kRow] = {0.0, 0.0, 0.0, 0.0, 0.0};
      push(rest);
    }
    push(values);
  }

  void push(const FLOAT_t* values) {
    if (first + count == capacity && !make_room()) return;
    std::memcpy(history + (first + count) * kRow, values, sizeof(FLOAT_t) * kRow);
    ++count;
  }

  bool make_room() {
    if (first > capacity / 2) {  // slide the live rows down
      std::memmove(history, history + first * kRow, sizeof(FLOAT_t) * kRow * count);
      first = 0;
      return true;
    }
    const Py_ssize_t grown = capacity ? 2 * capacity : 64;
    void* bigger = std::realloc(history, sizeof(FLOAT_t) * kRow * grown);
    if (!bigger) return false;  // keeps the old history; this point is lost
    history = static_cast<FLOAT_t*>(bigger);
    capacity = grown;
    return true;
  }
};

}  // namespace elements

namespace stampworks {

template <>
struct Declaration<elements::TransmissionLineModel> : LinearArrays<elements::TransmissionLineModel> {
  using M = elements::TransmissionLineModel;
  static constexpr const char* module_name = "kivrun.Elements";
  static constexpr const char* name = "TransmissionLineModel";
  static constexpr const char* doc =
      "TransmissionLineModel(i, j, k, l, q1, q2, eindex): lossless line between ports (i, j) and (k, l).\n"
      "SetParameters([impedance, delay]).";
  static constexpr IndexField indices[] = {
      KV_INDEX(M, i, terminal), KV_INDEX(M, j, terminal), KV_INDEX(M, k, terminal),
      KV_INDEX(M, l, terminal), KV_INDEX(M, q1, branch),  KV_INDEX(M, q2, branch),
      KV_INDEX(M, eindex, element)};
  static constexpr SlotField slots[] = {
      KV_SLOT(M, ind_iq1, i, q1), KV_SLOT(M, ind_jq1, j, q1), KV_SLOT(M, ind_q1i, q1, i),
      KV_SLOT(M, ind_q1j, q1, j), KV_SLOT(M, ind_q1q1, q1, q1), KV_SLOT(M, ind_kq2, k, q2),
      KV_SLOT(M, ind_lq2, l, q2), KV_SLOT(M, ind_q2k, q2, k), KV_SLOT(M, ind_q2l, q2, l),
      KV_SLOT(M, ind_q2q2, q2, q2)};
  static constexpr ParamField params[] = {{0, offsetof(M, impedance), Convert::value},
                                          {1, offsetof(M, delay), Convert::value}};
};

}  // namespace stampworks

// Ideal voltage source between nodes i and j with branch current x_q.
//
//   row q     r = ((V_i − V_j) − s) / coeff_dt,  s = smooth_factor × voltage
//   stamp     unit coupling stamp into the per-step matrix (A1)
//
// The unknowns are phases and a node voltage moves by coeff_dt per unit of
// its phase, so dividing by coeff_dt makes the row's derivative exactly ±1.
// The stamp is constant, yet it goes into the per-step matrix: it is ±1 only
// through the step's integration formula, like every voltage-based term.
#pragma once
#include "stampworks/linear/source_common.hpp"

namespace stampworks {

struct VoltageSourceModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  INT_t* elem_n;
  UINT8_t* elem_inc;
  UINT8_t* elem_dec;
  FLOAT_t Rinternal;  // kept for the host's element description; the source is ideal
  FLOAT_t voltage;
  INT_t i, j, q, eindex;
  INT_t ind_iq, ind_jq, ind_qi, ind_qj;

  void defaults() { voltage = 0.0; }

  void Admitance1(View a, pModelContext_t) { unit_coupling_stamp(*this, a); }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    FLOAT_t s = ctx->smooth_factor * voltage;
    source_rhs(*this, vec, ctx, (across(ctx->voltages, i, j) - s) / ctx->coeff_dt);
  }

  void Values(pModelContext_t ctx) { source_values(*this, ctx); }
};

template <>
struct Declaration<VoltageSourceModel> : SourceShape<VoltageSourceModel> {
  static constexpr const char* name = "VoltageSourceModel";
  static constexpr const char* doc =
      "VoltageSourceModel(i, j, q, eindex): ideal voltage source with branch current unknown q.";
  static constexpr ParamField params[] = {{0, offsetof(VoltageSourceModel, voltage), Convert::value}};
};

}  // namespace stampworks

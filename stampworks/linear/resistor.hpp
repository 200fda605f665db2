// Resistor between nodes i and j.
//
//   current   c = (V_i − V_j) / R, from i to j
//   stamp     g = coeff_dt / R into the per-step matrix (A1):
//               i,j ≠ 0: +g at ii, −g at ij and ji, +g at jj
//               j = 0:   +g at ii        i = 0: +g at jj
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/two_terminal.hpp"

namespace stampworks {

struct ResistorModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t resistance;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() { resistance = 1.0; }

  void Admitance1(View a, pModelContext_t ctx) { stamp(*this, a, ctx->coeff_dt / resistance); }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    branch_rhs(*this, vec, across(ctx->voltages, i, j) / resistance);
  }

  void Values(pModelContext_t) {
    elem_currents[eindex] = across(node_voltages, i, j) / resistance;
    report_across(*this);
  }
};

template <>
struct Declaration<ResistorModel> : TwoTerminalShape<ResistorModel>, LinearArrays<ResistorModel> {
  static constexpr const char* name = "ResistorModel";
  static constexpr int rhs_kind = rhs_linear;
  static constexpr const char* doc = "ResistorModel(i, j, eindex): linear resistor.";
  static constexpr ParamField params[] = {{0, offsetof(ResistorModel, resistance), Convert::value}};
};

}  // namespace stampworks

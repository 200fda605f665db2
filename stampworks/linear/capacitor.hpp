// Capacitor between nodes i and j.
//
//   current   c = C (dV_i/dt − dV_j/dt), from i to j
//   stamp     g = coeff_ddt × C into the per-step matrix (A1), resistor pattern
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/two_terminal.hpp"

namespace stampworks {

struct CapacitorModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* node_dvoltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t capacitance;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() { capacitance = 1.0; }

  void Admitance1(View a, pModelContext_t ctx) { stamp(*this, a, ctx->coeff_ddt * capacitance); }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    branch_rhs(*this, vec, capacitance * across(ctx->voltages_deriv, i, j));
  }

  void Values(pModelContext_t) {
    elem_currents[eindex] = across(node_dvoltages, i, j) * capacitance;
    report_across(*this);
  }
};

template <>
struct Declaration<CapacitorModel> : TwoTerminalShape<CapacitorModel>, CapacitiveArrays<CapacitorModel> {
  static constexpr const char* name = "CapacitorModel";
  static constexpr int rhs_kind = rhs_linear;
  static constexpr const char* doc = "CapacitorModel(i, j, eindex): linear capacitor.";
  static constexpr ParamField params[] = {{0, offsetof(CapacitorModel, capacitance), Convert::value}};
};

}  // namespace stampworks

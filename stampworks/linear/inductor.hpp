// Inductor between nodes i and j in nodal form: its current is the phase
// difference times the stored reciprocal inductance.
//
//   current   c = (φ_i − φ_j) / L, from i to j
//   stamp     g = 1 / L into the static matrix (A0), same pattern as a
//             resistor: ii, ij, ji, jj; only ii when j = 0, only jj when i = 0
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/two_terminal.hpp"

namespace stampworks {

struct InductorModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t admitance;  // 1 / L: the per-step code multiplies, never divides
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() { admitance = 1.0; }

  void Admitance0(View a) { stamp(*this, a, admitance); }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    branch_rhs(*this, vec, admitance * across(ctx->phases, i, j));
  }

  void Values(pModelContext_t) {
    elem_currents[eindex] = across(node_phases, i, j) * admitance;
    report_across(*this);
  }
};

template <>
struct Declaration<InductorModel> : TwoTerminalShape<InductorModel>, LinearArrays<InductorModel> {
  static constexpr const char* name = "InductorModel";
  static constexpr int rhs_kind = rhs_linear;
  static constexpr const char* doc = "InductorModel(i, j, eindex): linear inductor in nodal form.";
  static constexpr ParamField params[] = {{0, offsetof(InductorModel, admitance), Convert::reciprocal}};
};

}  // namespace stampworks

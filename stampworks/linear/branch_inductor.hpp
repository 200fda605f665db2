// Inductor between nodes i and j in branch form: its current I = x_q is an
// unknown, so a mutual inductance can couple to it.
//
//   node rows  +I in row i, −I in row j (I leaves node i)
//   row q      −φ_i + φ_j + L I = 0
//   stamp      into the static matrix (A0), all incidence entries ±1:
//                i,j ≠ 0: +1 at iq, −1 at jq, −1 at qi, +1 at qj
//                j = 0:   +1 at iq, −1 at qi
//                i = 0:   −1 at jq, +1 at qj
//              then +L at qq in every case
//
// L = 0 is allowed: the branch becomes an ideal short whose current is
// still an unknown.
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/branch_form.hpp"
#include "stampworks/linear/two_terminal.hpp"

namespace stampworks {

struct InductorImpedanceModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t impedance;  // the inductance itself, not its reciprocal
  INT_t i, j, q, eindex;
  INT_t ind_iq, ind_jq, ind_qi, ind_qj, ind_qq;

  void defaults() { impedance = 1.0; }

  void Admitance0(View a) {
    if (i) {
      a[ind_iq] += 1.0;
      if (j) {
        a[ind_jq] -= 1.0;
        a[ind_qi] -= 1.0;
        a[ind_qj] += 1.0;
      } else {
        a[ind_qi] -= 1.0;
      }
    } else {
      a[ind_jq] -= 1.0;
      a[ind_qj] += 1.0;
    }
    a[ind_qq] += impedance;
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    const FLOAT_t* P = ctx->phases;
    FLOAT_t current = P[q - 1];
    FLOAT_t x;
    if (i) {
      vec[i - 1] -= current;
      if (j) {
        vec[j - 1] += current;
        x = (P[j - 1] - P[i - 1]) + impedance * current;
      } else {
        x = impedance * current - P[i - 1];
      }
    } else {
      vec[j - 1] += current;
      x = impedance * current + P[j - 1];
    }
    vec[q - 1] -= x;
  }

  // The current is the solved unknown itself, not L⁻¹ times the phase.
  void Values(pModelContext_t) {
    report_across(*this);
    elem_currents[eindex] = node_phases[q - 1];
  }
};

template <>
struct Declaration<InductorImpedanceModel> : BranchIndices<InductorImpedanceModel>,
                                             LinearArrays<InductorImpedanceModel> {
  using M = InductorImpedanceModel;
  static constexpr const char* name = "InductorImpedanceModel";
  static constexpr int rhs_kind = rhs_linear;
  static constexpr const char* doc =
      "InductorImpedanceModel(i, j, q, eindex): inductor whose current is the unknown q.";
  static constexpr SlotField slots[] = {
      {"ind_iq", offsetof(M, ind_iq), offsetof(M, i), offsetof(M, q), true},
      {"ind_jq", offsetof(M, ind_jq), offsetof(M, j), offsetof(M, q), true},
      {"ind_qi", offsetof(M, ind_qi), offsetof(M, q), offsetof(M, i), true},
      {"ind_qj", offsetof(M, ind_qj), offsetof(M, q), offsetof(M, j), true},
      {"ind_qq", offsetof(M, ind_qq), offsetof(M, q), offsetof(M, q), true}};
  static constexpr ParamField params[] = {{0, offsetof(M, impedance), Convert::value}};
};

}  // namespace stampworks

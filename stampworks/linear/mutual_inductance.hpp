// Mutual inductance M between two branch-form inductors whose currents are
// the unknowns q and v.  It owns no node and no unknown: it adds M × I_v to
// row q and M × I_q to row v, so the coupled branch rows read
//
//   −φ_i1 + φ_j1 + L1 I_q + M I_v = 0
//   −φ_i2 + φ_j2 + L2 I_v + M I_q = 0
//
//   stamp   +M at qv and vq of the static matrix (A0); the diagonal entries
//           qq and vv belong to the inductors, so those slots stay unused
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/binding.hpp"

namespace stampworks {

struct MutualInductanceModel : NoOperations {
  FLOAT_t* node_phases;    // bound with the other linear elements' arrays, never read
  FLOAT_t* node_voltages;  // likewise
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t minductance;  // used with the sign the host gives it
  INT_t q, v, eindex;
  INT_t ind_qq, ind_qv, ind_vq, ind_vv;

  void defaults() { minductance = 0.0; }

  void Admitance0(View a) {
    a[ind_qv] += minductance;
    a[ind_vq] += minductance;
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    const FLOAT_t* P = ctx->phases;
    vec[q - 1] -= P[v - 1] * minductance;
    vec[v - 1] -= P[q - 1] * minductance;
  }

  // The coupling has no current, phase or voltage of its own.
  void Values(pModelContext_t) {
    elem_currents[eindex] = 0.0;
    elem_phases[eindex] = 0.0;
    elem_voltages[eindex] = 0.0;
  }
};

template <>
struct Declaration<MutualInductanceModel> : LinearArrays<MutualInductanceModel> {
  using M = MutualInductanceModel;
  static constexpr const char* name = "MutualInductanceModel";
  static constexpr int rhs_kind = rhs_linear;
  static constexpr const char* doc =
      "MutualInductanceModel(q, v, eindex): coupling between the branch-form inductors whose "
      "currents are the unknowns q and v.";
  // q and v are branch unknowns: at least 1 and distinct, checked on construction.
  static constexpr IndexField indices[] = {
      {"q", offsetof(M, q), Role::branch},
      {"v", offsetof(M, v), Role::branch},
      {"eindex", offsetof(M, eindex), Role::element}};
  static constexpr SlotField slots[] = {
      {"ind_qq", offsetof(M, ind_qq), offsetof(M, q), offsetof(M, q), false},
      {"ind_qv", offsetof(M, ind_qv), offsetof(M, q), offsetof(M, v), true},
      {"ind_vq", offsetof(M, ind_vq), offsetof(M, v), offsetof(M, q), true},
      {"ind_vv", offsetof(M, ind_vv), offsetof(M, v), offsetof(M, v), false}};
  static constexpr ParamField params[] = {{0, offsetof(M, minductance), Convert::value}};
};

}  // namespace stampworks

// Ideal phase source between nodes i and j with branch current x_q.
//
//   row q     r = (φ_i − φ_j) − s,  s = smooth_factor × phase
//   stamp     unit coupling stamp into the static matrix (A0): the
//             constraint is linear in the unknowns and needs no coefficient
#pragma once
#include "stampworks/linear/source_common.hpp"

namespace stampworks {

struct PhaseSourceModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  INT_t* elem_n;
  UINT8_t* elem_inc;
  UINT8_t* elem_dec;
  FLOAT_t Linternal;  // kept for the host's element description; the source is ideal
  FLOAT_t phase;
  INT_t i, j, q, eindex;
  INT_t ind_iq, ind_jq, ind_qi, ind_qj;

  void defaults() {
    Linternal = 0.2;
    phase = 0.0;
  }

  void Admitance0(View a) { unit_coupling_stamp(*this, a); }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    FLOAT_t s = ctx->smooth_factor * phase;
    source_rhs(*this, vec, ctx, across(ctx->phases, i, j) - s);
  }

  void Values(pModelContext_t ctx) { source_values(*this, ctx); }
};

template <>
struct Declaration<PhaseSourceModel> : SourceShape<PhaseSourceModel> {
  static constexpr const char* name = "PhaseSourceModel";
  static constexpr const char* doc =
      "PhaseSourceModel(i, j, q, eindex): ideal phase source with branch current unknown q.";
  static constexpr ParamField params[] = {{0, offsetof(PhaseSourceModel, phase), Convert::value}};
};

}  // namespace stampworks

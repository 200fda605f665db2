// Independent current source: delivers s = smooth_factor × current into
// node i and draws it from node j.  A ground terminal is simply dropped, so
// the orientation is the same in every configuration (with i = 0 the source
// draws s from node j).  No matrix entry; its slots are stored, never used.
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/two_terminal.hpp"

namespace stampworks {

struct CurrentSourceModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t current;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() { current = 0.0; }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    FLOAT_t s = ctx->smooth_factor * current;
    if (i) vec[i - 1] += s;
    if (j) vec[j - 1] -= s;
  }

  void Values(pModelContext_t ctx) {
    elem_currents[eindex] = ctx->smooth_factor * current;
    report_across(*this);
  }
};

template <>
struct Declaration<CurrentSourceModel> : TwoTerminalShape<CurrentSourceModel, false>,
                                         LinearArrays<CurrentSourceModel> {
  static constexpr const char* name = "CurrentSourceModel";
  static constexpr int rhs_kind = rhs_constant;
  static constexpr const char* doc = "CurrentSourceModel(i, j, eindex): independent current source.";
  static constexpr ParamField params[] = {{0, offsetof(CurrentSourceModel, current), Convert::value}};
};

}  // namespace stampworks

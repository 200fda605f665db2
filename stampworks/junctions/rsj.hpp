// Josephson junction in the resistively and capacitively shunted model (RSJ)
// between nodes i and j.
//
//   current   I = ΔV / R + Ic sin Δφ + C ΔD, from i to j, with Δx = x_i − x_j
//             (a ground j counts as 0; a ground i: evaluated from j's side,
//             see junction_terminals.hpp)
//   stamps    A1: g = coeff_dt / R + coeff_ddt × C   (linear in V and D, whose
//                 change per unit phase is coeff_dt and coeff_ddt)
//             A2: g = Ic cos Δφ at the present estimate
//             i,j ≠ 0: +g at ii, −g at ij and ji, +g at jj
//             j = 0:   +g at ii        i = 0: +g at jj
//   values    element current, phase and voltage, then the flux-quantum counter
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/junction_terminals.hpp"

#include <cmath>

namespace stampworks {

struct JunctionModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* node_dvoltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  INT_t* elem_n;
  UINT8_t* elem_inc;
  UINT8_t* elem_dec;
  FLOAT_t crit_current;
  FLOAT_t resistance;
  FLOAT_t capacitance;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() {
    crit_current = 0.0;
    resistance = 1.0;
    capacitance = 1.0;
  }

  // From the sine of the junction phase, so the fused step can share one sincos.
  FLOAT_t current(FLOAT_t sine, FLOAT_t dv, FLOAT_t dd) const {
    return dv / resistance + crit_current * sine + capacitance * dd;
  }

  void Admitance1(View a, pModelContext_t ctx) {
    stamp(*this, a, ctx->coeff_dt / resistance + ctx->coeff_ddt * capacitance);
  }

  void Admitance2(View a, pModelContext_t ctx) {
    stamp(*this, a, crit_current * std::cos(junction_across(ctx->phases, i, j)));
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    junction_rhs(*this, vec,
                 current(std::sin(junction_across(ctx->phases, i, j)),
                         junction_across(ctx->voltages, i, j),
                         junction_across(ctx->voltages_deriv, i, j)));
  }

  void Admitance2AndRHSCurrent(View a, View vec, pModelContext_t ctx) {
    FLOAT_t sine, cosine;
    sin_cos(junction_across(ctx->phases, i, j), sine, cosine);
    FLOAT_t c = current(sine, junction_across(ctx->voltages, i, j),
                        junction_across(ctx->voltages_deriv, i, j));
    stamp(*this, a, crit_current * cosine);
    junction_rhs(*this, vec, c);
  }

  void Values(pModelContext_t ctx) {
    FLOAT_t dphi = junction_across(node_phases, i, j);
    FLOAT_t dv = junction_across(node_voltages, i, j);
    FLOAT_t dd = junction_across(node_dvoltages, i, j);
    junction_report(*this, current(std::sin(dphi), dv, dd), dphi, dv, ctx);
  }
};

template <>
struct Declaration<JunctionModel> : TwoTerminalShape<JunctionModel>, JunctionArrays<JunctionModel> {
  static constexpr const char* name = "JunctionModel";
  static constexpr const char* doc =
      "JunctionModel(i, j, eindex): resistively and capacitively shunted Josephson junction.\n"
      "SetParameters([crit_current, resistance, capacitance]).";
  static constexpr ParamField params[] = {
      {0, offsetof(JunctionModel, crit_current), Convert::value},
      {1, offsetof(JunctionModel, resistance), Convert::value},
      {2, offsetof(JunctionModel, capacitance), Convert::value}};
};

}  // namespace stampworks

// Josephson junction whose shunt is a nonlinear quasiparticle branch (RSJN),
// between nodes i and j.
//
//   branch    p = (ΔV / Vg)^n,  I_qp = ΔV p / ((p + 1) R): almost no current
//             below the gap scale Vg, ΔV / R above it, steepness n
//   current   I = I_qp + Ic sin Δφ + C ΔD, from i to j (ground i: evaluated
//             from j's side, so I_qp(V_j); see junction_terminals.hpp)
//   stamps    A1: g = coeff_ddt × C  (the only term linear in the phase)
//             A2: g = Ic cos Δφ + g_qp at the present estimate, where
//                 g_qp = dI_qp/dΔV × coeff_dt = (1 + n + p) p coeff_dt / (R (p + 1)²)
//             two-terminal pattern: ii, ij, ji, jj; only ii when j = 0, only jj when i = 0
//   values    element current, phase and voltage, then the flux-quantum counter
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/junction_terminals.hpp"

#include <cmath>

namespace stampworks {

struct JunctionRSJNModel : NoOperations {
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
  FLOAT_t rsjn_vg;
  FLOAT_t rsjn_n;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() {
    crit_current = 0.0;
    resistance = 1.0;
    capacitance = 1.0;
    rsjn_vg = 4.3;
    rsjn_n = 10.0;
  }

  // One power evaluation per operation, shared by the current and its
  // derivative; std::pow keeps the library's rules for negative bases (an
  // even n gives an odd I_qp).
  FLOAT_t power(FLOAT_t dv) const { return std::pow(dv / rsjn_vg, rsjn_n); }

  FLOAT_t quasiparticle_current(FLOAT_t dv, FLOAT_t p) const {
    return dv * p / ((p + 1) * resistance);
  }

  FLOAT_t quasiparticle_conductance(FLOAT_t p, FLOAT_t coeff_dt) const {
    return ((1 + rsjn_n) + p) * (p * coeff_dt) / (resistance * (p + 1) * (p + 1));
  }

  FLOAT_t current(FLOAT_t sine, FLOAT_t dv, FLOAT_t p, FLOAT_t dd) const {
    return quasiparticle_current(dv, p) + crit_current * sine + dd * capacitance;
  }

  void Admitance1(View a, pModelContext_t ctx) { stamp(*this, a, ctx->coeff_ddt * capacitance); }

  void Admitance2(View a, pModelContext_t ctx) {
    FLOAT_t p = power(junction_across(ctx->voltages, i, j));
    stamp(*this, a,
          crit_current * std::cos(junction_across(ctx->phases, i, j)) +
              quasiparticle_conductance(p, ctx->coeff_dt));
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    FLOAT_t dv = junction_across(ctx->voltages, i, j);
    junction_rhs(*this, vec,
                 current(std::sin(junction_across(ctx->phases, i, j)), dv, power(dv),
                         junction_across(ctx->voltages_deriv, i, j)));
  }

  void Admitance2AndRHSCurrent(View a, View vec, pModelContext_t ctx) {
    FLOAT_t sine, cosine;
    sin_cos(junction_across(ctx->phases, i, j), sine, cosine);
    FLOAT_t dv = junction_across(ctx->voltages, i, j);
    FLOAT_t p = power(dv);
    FLOAT_t c = current(sine, dv, p, junction_across(ctx->voltages_deriv, i, j));
    stamp(*this, a, crit_current * cosine + quasiparticle_conductance(p, ctx->coeff_dt));
    junction_rhs(*this, vec, c);
  }

  void Values(pModelContext_t ctx) {
    FLOAT_t dphi = junction_across(node_phases, i, j);
    FLOAT_t dv = junction_across(node_voltages, i, j);
    FLOAT_t dd = junction_across(node_dvoltages, i, j);
    junction_report(*this, current(std::sin(dphi), dv, power(dv), dd), dphi, dv, ctx);
  }
};

template <>
struct Declaration<JunctionRSJNModel> : TwoTerminalShape<JunctionRSJNModel>,
                                        JunctionArrays<JunctionRSJNModel> {
  static constexpr const char* name = "JunctionRSJNModel";
  static constexpr int rhs_kind = rhs_own;
  static constexpr const char* doc =
      "JunctionRSJNModel(i, j, eindex): Josephson junction with a nonlinear quasiparticle branch.\n"
      "SetParameters([crit_current, resistance, rsjn_vg, rsjn_n, capacitance]).";
  // The capacitance comes last, after the two quasiparticle parameters.
  static constexpr ParamField params[] = {
      {0, offsetof(JunctionRSJNModel, crit_current), Convert::value},
      {1, offsetof(JunctionRSJNModel, resistance), Convert::value},
      {2, offsetof(JunctionRSJNModel, rsjn_vg), Convert::value},
      {3, offsetof(JunctionRSJNModel, rsjn_n), Convert::value},
      {4, offsetof(JunctionRSJNModel, capacitance), Convert::value}};
};

}  // namespace stampworks

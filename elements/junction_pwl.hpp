// Josephson junction with the common dialect's piecewise-linear quasiparticle
// curve (rtype=1), between nodes i and j, with an optional phase shift θ.
//
//   branch    |ΔV| < V1 = vg − delv/2:        I_qp = ΔV / r0
//             V1 ≤ |ΔV| < V2 = vg + delv/2:   the straight line from (V1, V1/r0) to (V2, V2/rn)
//             |ΔV| ≥ V2:                      I_qp = ΔV / rn          (odd in ΔV)
//   current   I = I_qp + Ic sin(θ + Δφ) + C ΔD, from i to j
//   stamps    A1: g = coeff_ddt × C
//             A2: g = Ic cos(θ + Δφ) + coeff_dt × dI_qp/dΔV at the present estimate
//   values    element phase Δφ + θ, its current and voltage, then the counter
//
// The host keeps i non-ground (a grounded first terminal is built reversed).
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/junction_terminals.hpp"

#include <cmath>

namespace elements {

using namespace stampworks;

struct JunctionPWLModel : NoOperations {
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
  FLOAT_t subgap_resistance;
  FLOAT_t normal_resistance;
  FLOAT_t gap_voltage;
  FLOAT_t gap_width;
  FLOAT_t capacitance;
  FLOAT_t phase_shift;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() {
    subgap_resistance = normal_resistance = 1.0;
    gap_voltage = 1.0;
    gap_width = 0.1;
  }

  // The quasiparticle current and its slope at ΔV.
  void quasiparticle(FLOAT_t dv, FLOAT_t& current, FLOAT_t& slope) const {
    const FLOAT_t v = std::fabs(dv), v1 = gap_voltage - 0.5 * gap_width, v2 = gap_voltage + 0.5 * gap_width;
    FLOAT_t magnitude;
    if (v < v1) {
      slope = 1.0 / subgap_resistance;
      magnitude = v * slope;
    } else if (v < v2) {
      const FLOAT_t low = v1 / subgap_resistance;
      slope = (v2 / normal_resistance - low) / gap_width;
      magnitude = low + (v - v1) * slope;
    } else {
      slope = 1.0 / normal_resistance;
      magnitude = v * slope;
    }
    current = dv < 0 ? -magnitude : magnitude;
  }

  FLOAT_t total(FLOAT_t sine, FLOAT_t dv, FLOAT_t dd, FLOAT_t* conductance) const {
    FLOAT_t qp, slope;
    quasiparticle(dv, qp, slope);
    if (conductance) *conductance = slope;
    return qp + crit_current * sine + capacitance * dd;
  }

  FLOAT_t phase(const FLOAT_t* x) const { return phase_shift + junction_across(x, i, j); }

  void Admitance1(View a, pModelContext_t ctx) { stamp(*this, a, ctx->coeff_ddt * capacitance); }

  void Admitance2(View a, pModelContext_t ctx) {
    FLOAT_t qp, slope;
    quasiparticle(junction_across(ctx->voltages, i, j), qp, slope);
    stamp(*this, a, crit_current * std::cos(phase(ctx->phases)) + slope * ctx->coeff_dt);
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    junction_rhs(*this, vec, total(std::sin(phase(ctx->phases)), junction_across(ctx->voltages, i, j),
                                   junction_across(ctx->voltages_deriv, i, j), nullptr));
  }

  void Admitance2AndRHSCurrent(View a, View vec, pModelContext_t ctx) {
    FLOAT_t sine, cosine, slope;
    sin_cos(phase(ctx->phases), sine, cosine);
    const FLOAT_t c = total(sine, junction_across(ctx->voltages, i, j),
                            junction_across(ctx->voltages_deriv, i, j), &slope);
    stamp(*this, a, crit_current * cosine + slope * ctx->coeff_dt);
    junction_rhs(*this, vec, c);
  }

  void Values(pModelContext_t ctx) {
    const FLOAT_t shifted = phase(node_phases), dv = junction_across(node_voltages, i, j);
    junction_report(*this, total(std::sin(shifted), dv, junction_across(node_dvoltages, i, j), nullptr),
                    shifted, dv, ctx);
  }
};

}  // namespace elements

namespace stampworks {

template <>
struct Declaration<elements::JunctionPWLModel> : TwoTerminalShape<elements::JunctionPWLModel>,
                                                 JunctionArrays<elements::JunctionPWLModel> {
  using M = elements::JunctionPWLModel;
  static constexpr const char* module_name = "kivrun.Elements";
  static constexpr const char* name = "JunctionPWLModel";
  static constexpr int rhs_kind = rhs_own;
  static constexpr const char* doc =
      "JunctionPWLModel(i, j, eindex): junction with a piecewise-linear quasiparticle curve.\n"
      "SetParameters([crit_current, r0, rn, vg, delv, capacitance, phase_shift]).";
  static constexpr ParamField params[] = {
      {0, offsetof(M, crit_current), Convert::value},     {1, offsetof(M, subgap_resistance), Convert::value},
      {2, offsetof(M, normal_resistance), Convert::value}, {3, offsetof(M, gap_voltage), Convert::value},
      {4, offsetof(M, gap_width), Convert::value},        {5, offsetof(M, capacitance), Convert::value},
      {6, offsetof(M, phase_shift), Convert::value}};
};

}  // namespace stampworks

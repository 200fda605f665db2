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
#include "stampworks/junctions/shunted_junction.hpp"

namespace stampworks {

struct JunctionModel : ShuntedJunctionOperations<JunctionModel> {
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

  // The supercurrent sees the junction phase itself.
  FLOAT_t supercurrent_phase(FLOAT_t dphi) const { return dphi; }
};

template <>
struct Declaration<JunctionModel> : TwoTerminalShape<JunctionModel>, JunctionArrays<JunctionModel> {
  static constexpr const char* name = "JunctionModel";
  static constexpr int rhs_kind = rhs_own;
  static constexpr const char* doc =
      "JunctionModel(i, j, eindex): resistively and capacitively shunted Josephson junction.\n"
      "SetParameters([crit_current, resistance, capacitance]).";
  static constexpr ParamField params[] = {
      {0, offsetof(JunctionModel, crit_current), Convert::value},
      {1, offsetof(JunctionModel, resistance), Convert::value},
      {2, offsetof(JunctionModel, capacitance), Convert::value}};
};

}  // namespace stampworks

// Josephson junction with a constant phase shift θ (RSJPH), between nodes i
// and j: the RSJ junction with θ added to its phase.
//
//   current   I = ΔV / R + Ic sin(θ + Δφ) + C ΔD, from i to j
//   stamps    A1: g = coeff_dt / R + coeff_ddt × C
//             A2: g = Ic cos(θ + Δφ) at the present estimate
//             two-terminal pattern: ii, ij, ji, jj; only ii when j = 0, only jj when i = 0
//   values    element phase Δφ + θ, its current and voltage, then the counter
//             on the shifted phase (a junction at rest with θ = π counts one)
//
// With i at ground the junction is evaluated from node j's side, so θ is added
// to φ_j: the element phase reads −(φ_j + θ), not θ − φ_j.
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/shunted_junction.hpp"

namespace stampworks {

struct JunctionRSJPHModel : ShuntedJunctionOperations<JunctionRSJPHModel> {
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
  FLOAT_t phase_shift;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;

  void defaults() {
    crit_current = 0.0;
    resistance = 1.0;
    capacitance = 1.0;
    phase_shift = 0.0;
  }

  // The shift is added to the already formed difference (to φ_j when i = 0).
  FLOAT_t supercurrent_phase(FLOAT_t dphi) const { return phase_shift + dphi; }
};

template <>
struct Declaration<JunctionRSJPHModel> : TwoTerminalShape<JunctionRSJPHModel>,
                                         JunctionArrays<JunctionRSJPHModel> {
  static constexpr const char* name = "JunctionRSJPHModel";
  static constexpr int rhs_kind = rhs_own;
  static constexpr const char* doc =
      "JunctionRSJPHModel(i, j, eindex): Josephson junction with a constant phase shift.\n"
      "SetParameters([crit_current, resistance, capacitance, phase_shift]).";
  static constexpr ParamField params[] = {
      {0, offsetof(JunctionRSJPHModel, crit_current), Convert::value},
      {1, offsetof(JunctionRSJPHModel, resistance), Convert::value},
      {2, offsetof(JunctionRSJPHModel, capacitance), Convert::value},
      {3, offsetof(JunctionRSJPHModel, phase_shift), Convert::value}};
};

}  // namespace stampworks

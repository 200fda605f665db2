// The two rules every two-terminal element shares: the +g −g −g +g stamp and
// the branch-current right-hand side, both skipping ground.
#pragma once
#include "stampworks/framework/types.hpp"

namespace stampworks {

// x[i−1] − x[j−1] with a ground terminal's value taken as 0.
inline FLOAT_t across(const FLOAT_t* x, INT_t i, INT_t j) {
  if (i) return j ? x[i - 1] - x[j - 1] : x[i - 1];
  return -x[j - 1];
}

template <class M>
inline void stamp(const M& m, View a, FLOAT_t g) {
  if (m.i) {
    a[m.ind_ii] += g;
    if (m.j) {
      a[m.ind_ij] -= g;
      a[m.ind_ji] -= g;
      a[m.ind_jj] += g;
    }
  } else {
    a[m.ind_jj] += g;
  }
}

// Current c flows from node i through the element to node j: it leaves the
// equation of i and enters that of j.
template <class M>
inline void branch_rhs(const M& m, View vec, FLOAT_t c) {
  if (m.i) {
    vec[m.i - 1] -= c;
    if (m.j) vec[m.j - 1] += c;
  } else {
    vec[m.j - 1] += c;
  }
}

// Element phase and voltage from the accepted node arrays.
template <class M>
inline void report_across(const M& m) {
  m.elem_phases[m.eindex] = across(m.node_phases, m.i, m.j);
  m.elem_voltages[m.eindex] = across(m.node_voltages, m.i, m.j);
}

}  // namespace stampworks

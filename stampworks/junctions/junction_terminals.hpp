// How every junction of the RSJ family treats its terminals.
//
// With both terminals non-ground, or only j at ground, a junction sees the
// differences x_i − x_j (a ground node counting as 0) and its current c flows
// from i to j.  With i at ground it is evaluated from node j's side instead:
// the differences are x_j themselves, unnegated, the current c flows from j
// to ground and leaves j's equation, and the reported element quantities are
// negated.  For a current that is odd in its arguments the two views agree;
// a phase shift or a non-odd quasiparticle law is applied on j's side.
#pragma once
#include "stampworks/framework/types.hpp"
#include "stampworks/junctions/phase_counter.hpp"
#include "stampworks/linear/two_terminal.hpp"

#include <cmath>

namespace stampworks {

// The junction's own difference of x: x_i − x_j, x_i, or x_j when i = 0.
inline FLOAT_t junction_across(const FLOAT_t* x, INT_t i, INT_t j) {
  if (i) return j ? x[i - 1] - x[j - 1] : x[i - 1];
  return x[j - 1];
}

// Sine and cosine of one angle: the stamp needs the cosine of the junction
// phase and the residual its sine, and glibc's sincos gives both, bit for bit
// what sin and cos give, for little more than one of them.
inline void sin_cos(FLOAT_t x, FLOAT_t& s, FLOAT_t& c) {
#ifdef __GLIBC__
  ::sincos(x, &s, &c);
#else
  s = std::sin(x);
  c = std::cos(x);
#endif
}

// The branch current c leaves the equation of the node it was evaluated
// from: i normally, j when i is ground.
template <class M>
inline void junction_rhs(const M& m, View vec, FLOAT_t c) {
  if (m.i) {
    vec[m.i - 1] -= c;
    if (m.j) vec[m.j - 1] += c;
  } else {
    vec[m.j - 1] -= c;
  }
}

// Writes the element's current, phase and voltage as seen from i (negated
// when the junction was evaluated from j's side), then updates its counter.
template <class M>
inline void junction_report(const M& m, FLOAT_t current, FLOAT_t phase, FLOAT_t voltage,
                            pModelContext_t ctx) {
  const INT_t e = m.eindex;
  if (m.i) {
    m.elem_currents[e] = current;
    m.elem_phases[e] = phase;
    m.elem_voltages[e] = voltage;
  } else {
    m.elem_currents[e] = -current;
    m.elem_phases[e] = -phase;
    m.elem_voltages[e] = -voltage;
  }
  NQuanta(m.elem_phases[e], m.elem_n[e], m.elem_inc[e], m.elem_dec[e], ctx->histeresis);
}

}  // namespace stampworks

// Ideal sources written as a constraint with a branch current of their own.
// The current x_q flows from node i through the source to node j; row q is
// the source's constraint on the difference between its terminals.
//
//   node rows      +x_q in row i, −x_q in row j
//   row q          r = (u_i − u_j) − s, u the constrained quantity
//   unit stamp     i,j ≠ 0: +1 at iq and qi, then −1 at jq and qj
//                  j = 0:   +1 at iq and qi      i = 0: −1 at jq and qj
//
// The stamp is symmetric and its entries are exactly ±1 for both sources:
// the phase constraint is linear in the phases, and the voltage constraint is
// scaled so that its derivative with respect to the phases is ±1 as well.
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/phase_counter.hpp"
#include "stampworks/linear/branch_form.hpp"
#include "stampworks/linear/two_terminal.hpp"

namespace stampworks {

template <class M>
inline void unit_coupling_stamp(const M& m, View a) {
  if (m.i) {
    a[m.ind_iq] += 1.0;
    a[m.ind_qi] += 1.0;
    if (m.j) {
      a[m.ind_jq] -= 1.0;
      a[m.ind_qj] -= 1.0;
    }
  } else {
    a[m.ind_jq] -= 1.0;
    a[m.ind_qj] -= 1.0;
  }
}

// Node rows take the branch current at the present estimate; row q takes
// the constraint residual r.
template <class M>
inline void source_rhs(const M& m, View vec, pModelContext_t ctx, FLOAT_t r) {
  FLOAT_t x = ctx->phases[m.q - 1];
  if (m.i) vec[m.i - 1] -= x;
  if (m.j) vec[m.j - 1] += x;
  vec[m.q - 1] -= r;
}

// The solved quantities, not the prescribed value: the ramp plays no part.
template <class M>
inline void source_values(const M& m, pModelContext_t ctx) {
  const INT_t e = m.eindex;
  report_across(m);
  m.elem_currents[e] = m.node_phases[m.q - 1];
  NQuanta(m.elem_phases[e], m.elem_n[e], m.elem_inc[e], m.elem_dec[e], ctx->histeresis);
}

// No ind_qq: a source puts nothing on the diagonal of its own row.
template <class M>
struct SourceShape : BranchIndices<M>, SourceArrays<M> {
  static constexpr SlotField slots[] = {
      {"ind_iq", offsetof(M, ind_iq), offsetof(M, i), offsetof(M, q), true},
      {"ind_jq", offsetof(M, ind_jq), offsetof(M, j), offsetof(M, q), true},
      {"ind_qi", offsetof(M, ind_qi), offsetof(M, q), offsetof(M, i), true},
      {"ind_qj", offsetof(M, ind_qj), offsetof(M, q), offsetof(M, j), true}};
};

}  // namespace stampworks

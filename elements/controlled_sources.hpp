// Controlled sources E, F, G, H.  Output terminals i (n+) and j (n−); a
// voltage control across k and l; a current control is a branch-current
// unknown s (of a voltage or phase source, an inductor in branch form, or the
// zero-volt sense branch the builder puts between two control nodes).  As
// everywhere, J = ∂F/∂x and the right-hand side takes −F, where F sums the
// currents leaving each node.
//
//   E  V(i) − V(j) = gain·(V(k) − V(l))   row q: F = (ΔV_ij − gain·ΔV_kl)/coeff_dt
//      A1: iq, qi +1; jq, qj −1; qk −gain; ql +gain        (a voltage source's scaling)
//   H  V(i) − V(j) = r·x_s                row q: F = (ΔV_ij − r·x_s)/coeff_dt
//      A1: iq, qi +1; jq, qj −1; qs −r/coeff_dt
//   G  gm·(V(k) − V(l)) flows from i through the source to j
//      A1: ik, jl +gm·coeff_dt; il, jk −gm·coeff_dt
//   F  gain·x_s flows from i through the source to j
//      A0: is +gain; js −gain
// Any terminal may be ground: its row and column are dropped.
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/linear/source_common.hpp"

namespace elements {

using namespace stampworks;

inline void add(View a, INT_t row, INT_t col, INT_t slot, FLOAT_t v) {
  if (row && col) a[slot] += v;
}

inline FLOAT_t node(const FLOAT_t* x, INT_t n) { return n ? x[n - 1] : 0.0; }

// The output branch of E and H: +x_q leaves node i, enters node j.
template <class M>
inline void output_branch_stamp(const M& m, View a) {
  add(a, m.i, m.q, m.ind_iq, 1.0);
  add(a, m.q, m.i, m.ind_qi, 1.0);
  add(a, m.j, m.q, m.ind_jq, -1.0);
  add(a, m.q, m.j, m.ind_qj, -1.0);
}

// A current c flowing from i through the element to j (either may be ground;
// unlike branch_rhs, both may be: a control-only model from the host's API).
template <class M>
inline void output_current_rhs(const M& m, View vec, FLOAT_t c) {
  if (m.i) vec[m.i - 1] -= c;
  if (m.j) vec[m.j - 1] += c;
}

struct VCVSModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t gain;
  INT_t i, j, k, l, q, eindex;
  INT_t ind_iq, ind_jq, ind_qi, ind_qj, ind_qk, ind_ql;

  void defaults() { gain = 1.0; }
  void Admitance1(View a, pModelContext_t) {
    output_branch_stamp(*this, a);
    add(a, q, k, ind_qk, -gain);
    add(a, q, l, ind_ql, gain);
  }
  void RHSCurrent(View vec, pModelContext_t ctx) {
    const FLOAT_t v = across(ctx->voltages, i, j) - gain * (node(ctx->voltages, k) - node(ctx->voltages, l));
    source_rhs(*this, vec, ctx, v / ctx->coeff_dt);
  }
  void Values(pModelContext_t) {
    elem_currents[eindex] = node_phases[q - 1];
    report_across(*this);
  }
};

struct CCVSModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t transresistance;
  INT_t i, j, q, s, eindex;
  INT_t ind_iq, ind_jq, ind_qi, ind_qj, ind_qs;

  void defaults() { transresistance = 0.0; }
  void Admitance1(View a, pModelContext_t ctx) {
    output_branch_stamp(*this, a);
    add(a, q, s, ind_qs, -transresistance / ctx->coeff_dt);
  }
  void RHSCurrent(View vec, pModelContext_t ctx) {
    const FLOAT_t v = across(ctx->voltages, i, j) - transresistance * ctx->phases[s - 1];
    source_rhs(*this, vec, ctx, v / ctx->coeff_dt);
  }
  void Values(pModelContext_t) {
    elem_currents[eindex] = node_phases[q - 1];
    report_across(*this);
  }
};

struct VCCSModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t transconductance;
  INT_t i, j, k, l, eindex;
  INT_t ind_ik, ind_il, ind_jk, ind_jl;

  void defaults() { transconductance = 0.0; }
  void Admitance1(View a, pModelContext_t ctx) {
    const FLOAT_t g = transconductance * ctx->coeff_dt;
    add(a, i, k, ind_ik, g);
    add(a, i, l, ind_il, -g);
    add(a, j, k, ind_jk, -g);
    add(a, j, l, ind_jl, g);
  }
  void RHSCurrent(View vec, pModelContext_t ctx) {
    output_current_rhs(*this, vec, transconductance * (node(ctx->voltages, k) - node(ctx->voltages, l)));
  }
  void Values(pModelContext_t) {
    elem_currents[eindex] = transconductance * (node(node_voltages, k) - node(node_voltages, l));
    report_across(*this);
  }
};

struct CCCSModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  FLOAT_t gain;
  INT_t i, j, s, eindex;
  INT_t ind_is, ind_js;

  void defaults() { gain = 1.0; }
  void Admitance0(View a) {
    add(a, i, s, ind_is, gain);
    add(a, j, s, ind_js, -gain);
  }
  void RHSCurrent(View vec, pModelContext_t ctx) { output_current_rhs(*this, vec, gain * ctx->phases[s - 1]); }
  void Values(pModelContext_t) {
    elem_currents[eindex] = gain * node_phases[s - 1];
    report_across(*this);
  }
};

// ---- declarations ----------------------------------------------------------

#define KV_SLOT(M, name, row, col) {#name, offsetof(M, name), offsetof(M, row), offsetof(M, col), true}
#define KV_INDEX(M, name, role) {#name, offsetof(M, name), Role::role}

}  // namespace elements

namespace stampworks {

template <>
struct Declaration<elements::VCVSModel> : LinearArrays<elements::VCVSModel> {
  using M = elements::VCVSModel;
  static constexpr const char* module_name = "kivrun.Elements";
  static constexpr const char* name = "VCVSModel";
  static constexpr const char* doc =
      "VCVSModel(i, j, k, l, q, eindex): V(i) - V(j) = gain (V(k) - V(l)); SetParameters([gain]).";
  static constexpr IndexField indices[] = {
      KV_INDEX(M, i, terminal), KV_INDEX(M, j, terminal), KV_INDEX(M, k, terminal),
      KV_INDEX(M, l, terminal), KV_INDEX(M, q, branch), KV_INDEX(M, eindex, element)};
  static constexpr SlotField slots[] = {KV_SLOT(M, ind_iq, i, q), KV_SLOT(M, ind_jq, j, q),
                                        KV_SLOT(M, ind_qi, q, i), KV_SLOT(M, ind_qj, q, j),
                                        KV_SLOT(M, ind_qk, q, k), KV_SLOT(M, ind_ql, q, l)};
  static constexpr ParamField params[] = {{0, offsetof(M, gain), Convert::value}};
};

template <>
struct Declaration<elements::CCVSModel> : LinearArrays<elements::CCVSModel> {
  using M = elements::CCVSModel;
  static constexpr const char* module_name = "kivrun.Elements";
  static constexpr const char* name = "CCVSModel";
  static constexpr const char* doc =
      "CCVSModel(i, j, q, s, eindex): V(i) - V(j) = r x_s; SetParameters([r]).";
  static constexpr IndexField indices[] = {KV_INDEX(M, i, terminal), KV_INDEX(M, j, terminal),
                                           KV_INDEX(M, q, branch), KV_INDEX(M, s, branch),
                                           KV_INDEX(M, eindex, element)};
  static constexpr SlotField slots[] = {KV_SLOT(M, ind_iq, i, q), KV_SLOT(M, ind_jq, j, q),
                                        KV_SLOT(M, ind_qi, q, i), KV_SLOT(M, ind_qj, q, j),
                                        KV_SLOT(M, ind_qs, q, s)};
  static constexpr ParamField params[] = {{0, offsetof(M, transresistance), Convert::value}};
};

template <>
struct Declaration<elements::VCCSModel> : LinearArrays<elements::VCCSModel> {
  using M = elements::VCCSModel;
  static constexpr const char* module_name = "kivrun.Elements";
  static constexpr const char* name = "VCCSModel";
  static constexpr const char* doc =
      "VCCSModel(i, j, k, l, eindex): gm (V(k) - V(l)) from i through the source to j; "
      "SetParameters([gm]).";
  static constexpr IndexField indices[] = {KV_INDEX(M, i, terminal), KV_INDEX(M, j, terminal),
                                           KV_INDEX(M, k, terminal), KV_INDEX(M, l, terminal),
                                           KV_INDEX(M, eindex, element)};
  static constexpr SlotField slots[] = {KV_SLOT(M, ind_ik, i, k), KV_SLOT(M, ind_il, i, l),
                                        KV_SLOT(M, ind_jk, j, k), KV_SLOT(M, ind_jl, j, l)};
  static constexpr ParamField params[] = {{0, offsetof(M, transconductance), Convert::value}};
};

template <>
struct Declaration<elements::CCCSModel> : LinearArrays<elements::CCCSModel> {
  using M = elements::CCCSModel;
  static constexpr const char* module_name = "kivrun.Elements";
  static constexpr const char* name = "CCCSModel";
  static constexpr const char* doc =
      "CCCSModel(i, j, s, eindex): gain x_s from i through the source to j; SetParameters([gain]).";
  static constexpr IndexField indices[] = {KV_INDEX(M, i, terminal), KV_INDEX(M, j, terminal),
                                           KV_INDEX(M, s, branch), KV_INDEX(M, eindex, element)};
  static constexpr SlotField slots[] = {KV_SLOT(M, ind_is, i, s), KV_SLOT(M, ind_js, j, s)};
  static constexpr ParamField params[] = {{0, offsetof(M, gain), Convert::value}};
};

}  // namespace stampworks

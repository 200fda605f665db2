// The operations the RSJ junction and its phase-shifted variant share.  The
// model M holds the fields and says, through supercurrent_phase(Δφ), which
// phase its supercurrent and its counter see (Δφ itself, or Δφ plus a shift).
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/junction_terminals.hpp"

#include <cmath>

namespace stampworks {

template <class M>
struct ShuntedJunctionOperations : NoOperations {
  // From the sine of the junction phase, so the fused step can share one sincos.
  FLOAT_t current(FLOAT_t sine, FLOAT_t dv, FLOAT_t dd) const {
    const M& m = model();
    return dv / m.resistance + m.crit_current * sine + m.capacitance * dd;
  }

  void Admitance1(View a, pModelContext_t ctx) {
    const M& m = model();
    stamp(m, a, ctx->coeff_dt / m.resistance + ctx->coeff_ddt * m.capacitance);
  }

  void Admitance2(View a, pModelContext_t ctx) {
    const M& m = model();
    stamp(m, a, m.crit_current * std::cos(phase(ctx->phases)));
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    const M& m = model();
    junction_rhs(m, vec, current(std::sin(phase(ctx->phases)), across(ctx->voltages),
                                 across(ctx->voltages_deriv)));
  }

  void Admitance2AndRHSCurrent(View a, View vec, pModelContext_t ctx) {
    const M& m = model();
    FLOAT_t sine, cosine;
    sin_cos(phase(ctx->phases), sine, cosine);
    FLOAT_t c = current(sine, across(ctx->voltages), across(ctx->voltages_deriv));
    stamp(m, a, m.crit_current * cosine);
    junction_rhs(m, vec, c);
  }

  void Values(pModelContext_t ctx) {
    const M& m = model();
    FLOAT_t shifted = phase(m.node_phases);
    FLOAT_t dv = across(m.node_voltages);
    junction_report(m, current(std::sin(shifted), dv, across(m.node_dvoltages)), shifted, dv, ctx);
  }

 private:
  const M& model() const { return static_cast<const M&>(*this); }
  FLOAT_t across(const FLOAT_t* x) const { return junction_across(x, model().i, model().j); }
  FLOAT_t phase(const FLOAT_t* phases) const { return model().supercurrent_phase(across(phases)); }
};

}  // namespace stampworks

// Tunnel junction whose supercurrent remembers the phase history through a
// sum of exponential kernel terms (at most 20), each carried by two complex
// convolution states so that a step costs the same however long the run.
//
//   current   I = Ic (sgw ΔV + beta sgw² ΔD − curr), from i to j
//   tunnel    curr = sin(Δφ/2) Re Σk Fc[k] (A[k] + B[k])
//                  + cos(Δφ/2) Re Σk Fs[k] (A[k] − B[k])
//   states    Fc[k], Fs[k]: e^(P[k] t) convolved with cos(φ/2), sin(φ/2)
//
//   stamps    A1: g = ((beta sgw coeff_ddt + coeff_dt) sgw) Ic   (linear terms)
//             A2: g = −Ic (cos(Δφ/2) Re Σ A Fc − sin(Δφ/2) Re Σ A Fs)
//             both with the resistor pattern: ii, ij, ji, jj; only ii when
//             j = 0; only jj when i = 0, where Δ of every quantity is −x[j−1]
//
// Within a step A1 runs first and leaves the part of each end-of-step state
// that does not depend on the end-of-step phase (Fcdt, Fsdt) and the weight
// of that phase (alpha1); A2 and RHSCurrent complete the states at the
// present estimate; Values commits them as the history of the next step.
// A0 resets the history to rest at phase 0.  The kernel comes from the host's
// fitted table through InitTJMModel (tjm_kernel.cpp); until one is installed
// the drivers refuse to run the junction.
#pragma once
#include "stampworks/framework/model_type.hpp"
#include "stampworks/junctions/phase_counter.hpp"
#include "stampworks/linear/two_terminal.hpp"

#include <cmath>
#include <complex>

namespace stampworks {

using Complex = std::complex<double>;
constexpr int kMaxKernelTerms = 20;
using KernelArray = Complex[kMaxKernelTerms];

// Exact one-step integrals of e^(p(h − u)) against the quadratic in u that
// matches a function's value and slope at the step start and its value at
// the end.  One closed form for every h, so the weights are a single smooth
// function of the step size (they lose digits to cancellation as p h → 0).
struct StepWeights {
  Complex epq, alpha0, beta0, alpha1;

  StepWeights(Complex p, double h) {
    Complex pq(p.real() * h, p.imag() * h);
    epq = std::exp(pq);
    Complex q2 = pq * pq;
    Complex pq2 = p * q2;
    alpha0 = (epq * (q2 - 2.0) + (pq + pq) + 2.0) / pq2;
    beta0 = (epq * pq - (epq + epq) + pq + 2.0) / (p * (p * pq));
    alpha1 = ((epq + epq) - 2.0 - (pq + pq) - q2) / pq2;
  }
};

struct JunctionTJMModel : NoOperations {
  FLOAT_t* node_phases;
  FLOAT_t* node_voltages;
  FLOAT_t* node_dvoltages;
  FLOAT_t* elem_currents;
  FLOAT_t* elem_phases;
  FLOAT_t* elem_voltages;
  INT_t* elem_n;
  UINT8_t* elem_inc;
  UINT8_t* elem_dec;
  INT_t narray;  // 0..20: the only writers are defaults() and InitTJMModel
  FLOAT_t crit_current;
  FLOAT_t beta;
  FLOAT_t wvg;
  FLOAT_t wvrat;
  FLOAT_t wrrat;
  FLOAT_t sgw;
  KernelArray A, B, P;
  KernelArray Fc, Fs;          // states at the present estimate
  KernelArray Fcdt, Fsdt;      // end-of-step states less the alpha1 term
  KernelArray Fcprev, Fsprev;  // states at the last accepted step
  KernelArray alpha0, beta0, alpha1;
  FLOAT_t sinphi2;
  FLOAT_t cosphi2;
  INT_t i, j, eindex;
  INT_t ind_ii, ind_ij, ind_ji, ind_jj;
  bool kernel_installed;  // a successful InitTJMModel since construction

  void defaults() {
    narray = 6;
    crit_current = 1.0;
    beta = 1.0;
    wvg = 4.126984126984127;  // 260/63
    wvrat = 0.6;
    wrrat = 0.1;
    kernel_installed = false;  // a reconstructed junction needs its kernel again
  }

  const char* not_ready() const {
    return kernel_installed ? nullptr : "no TJM kernel installed: call InitTJMModel() first";
  }

  // The states of a junction that has rested at phase 0 forever.
  void Admitance0(View) {
    for (int k = 0; k < narray; ++k) {
      Fcprev[k] = Complex(-1.0, 0.0) / P[k];
      Fsprev[k] = 0.0;
    }
  }

  void Admitance1(View a, pModelContext_t ctx) {
    stamp(*this, a, ((beta * sgw * ctx->coeff_ddt + ctx->coeff_dt) * sgw) * crit_current);
    FLOAT_t dphase_prev = across(ctx->phases_prev, i, j);
    FLOAT_t dvoltage_prev = across(ctx->voltages_prev, i, j);
    FLOAT_t s = std::sin(dphase_prev * 0.5), c = std::cos(dphase_prev * 0.5);
    // Slopes of cos(φ/2) and sin(φ/2) at the step start: ∓ sin/cos × V / 2.
    for (int k = 0; k < narray; ++k) {
      StepWeights w(P[k], ctx->time_step);
      alpha0[k] = w.alpha0;
      beta0[k] = w.beta0;
      alpha1[k] = w.alpha1;
      Fcdt[k] = w.alpha0 * c + Fcprev[k] * w.epq - w.beta0 * s * dvoltage_prev * 0.5;
      Fsdt[k] = w.alpha0 * s + Fsprev[k] * w.epq + w.beta0 * c * dvoltage_prev * 0.5;
    }
  }

  void Admitance2(View a, pModelContext_t ctx) {
    store_half_angle(across(ctx->phases, i, j));
    Complex fc_an_sum = 0.0, fs_an_sum = 0.0;
    for (int k = 0; k < narray; ++k) {
      Fc[k] = alpha1[k] * cosphi2 + Fcdt[k];
      Fs[k] = alpha1[k] * sinphi2 + Fsdt[k];
      fc_an_sum += A[k] * Fc[k];
      fs_an_sum += Fs[k] * A[k];
    }
    stamp(*this, a, (cosphi2 * fc_an_sum.real() - fs_an_sum.real() * sinphi2) * (-crit_current));
  }

  void RHSCurrent(View vec, pModelContext_t ctx) {
    store_half_angle(across(ctx->phases, i, j));
    residual(vec, ctx);
  }

  // The drivers' linearised step: both at one estimate, so the half angles
  // Admitance2 stored are those RHSCurrent would compute again.
  void Admitance2AndRHSCurrent(View a2, View vec, pModelContext_t ctx) {
    Admitance2(a2, ctx);
    residual(vec, ctx);
  }

  // Commits the states from the latest estimate A2 or RHSCurrent saw (the
  // stored half angles), so a second call recomputes the same commit; the
  // reported current uses the accepted node phases.
  void Values(pModelContext_t ctx) {
    FLOAT_t dphase = across(node_phases, i, j);
    FLOAT_t s = std::sin(dphase * 0.5), c = std::cos(dphase * 0.5);
    Complex fc_sum = 0.0, fs_sum = 0.0;
    for (int k = 0; k < narray; ++k) {
      Fc[k] = alpha1[k] * cosphi2 + Fcdt[k];
      Fs[k] = alpha1[k] * sinphi2 + Fsdt[k];
      Fcprev[k] = Fc[k];
      Fsprev[k] = Fs[k];
      fc_sum += Fc[k] * (A[k] + B[k]);
      fs_sum += Fs[k] * (A[k] - B[k]);
    }
    FLOAT_t curr = fs_sum.real() * c + fc_sum.real() * s;
    elem_currents[eindex] =
        full_current(across(node_voltages, i, j), across(node_dvoltages, i, j), curr);
    report_across(*this);
    NQuanta(elem_phases[eindex], elem_n[eindex], elem_inc[eindex], elem_dec[eindex], ctx->histeresis);
  }

 private:
  void store_half_angle(FLOAT_t dphase) {
    sinphi2 = std::sin(dphase * 0.5);
    cosphi2 = std::cos(dphase * 0.5);
  }

  // The residual from the stored states and half angles.
  void residual(View vec, pModelContext_t ctx) const {
    Complex fc_sum = 0.0, fs_sum = 0.0;
    for (int k = 0; k < narray; ++k) {
      fc_sum += Fc[k] * (A[k] + B[k]);
      fs_sum += Fs[k] * (A[k] - B[k]);
    }
    FLOAT_t curr = fs_sum.real() * cosphi2 + sinphi2 * fc_sum.real();
    branch_rhs(*this, vec,
               full_current(across(ctx->voltages, i, j), across(ctx->voltages_deriv, i, j), curr));
  }

  FLOAT_t full_current(FLOAT_t dvoltage, FLOAT_t ddvoltage, FLOAT_t curr) const {
    return ((beta * sgw * ddvoltage + dvoltage) * sgw - curr) * crit_current;
  }
};

// Selects the kernel named by params[0] in kvconfig.tjm_models, scales and
// normalises it with params[1..5], and makes the junction ready to run.
PyObject* InitTJMModel(PyObject* self, PyObject* args, PyObject* kwds);

template <>
struct Declaration<JunctionTJMModel> : TwoTerminalShape<JunctionTJMModel>,
                                       JunctionArrays<JunctionTJMModel> {
  static constexpr const char* name = "JunctionTJMModel";
  static constexpr const char* doc =
      "JunctionTJMModel(i, j, eindex): tunnel junction with a fitted history kernel; "
      "call InitTJMModel(params) before the first simulation.";
  // Item 0 is the kernel's name, read only by InitTJMModel.
  static constexpr ParamField params[] = {
      {1, offsetof(JunctionTJMModel, crit_current), Convert::value},
      {2, offsetof(JunctionTJMModel, beta), Convert::value}};
  static inline PyMethodDef extra_methods[] = {
      {"InitTJMModel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(InitTJMModel)),
       METH_VARARGS | METH_KEYWORDS,
       "InitTJMModel(params): install the kernel named params[0] in kvconfig.tjm_models with "
       "crit_current, beta, wvg, wvrat, wrrat = params[1:6]."}};
};

}  // namespace stampworks

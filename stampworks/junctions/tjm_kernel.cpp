// InitTJMModel: installs a fitted kernel from kvconfig.tjm_models into a
// JunctionTJMModel.  The poles are scaled by wvg / 2 and the amplitudes
// normalised so that Σ Re(A/P) = 1: in the steady state of a constant phase
// φ each state is −f(φ)/P, so the tunnel term becomes −sin φ and
// crit_current is the amplitude of the supercurrent.
//
// Everything that could fail is checked on local copies first; the junction
// receives the kernel in one piece or not at all, and is ready to run only
// after a call that succeeded.
#include "stampworks/junctions/tjm.hpp"

#include "pyglue/pyglue.hpp"
#include "stampworks/framework/host_state.hpp"

#include <cstdio>

using pyglue::Ref;

namespace stampworks {

namespace {

constexpr Py_ssize_t kParamCount = 6;  // name, crit_current, beta, wvg, wvrat, wrrat

struct Kernel {
  Py_ssize_t n = 0;
  Complex A[kMaxKernelTerms], B[kMaxKernelTerms], P[kMaxKernelTerms];
};

bool item_at(PyObject* seq, Py_ssize_t k, Ref& out) {
  Ref index(PyLong_FromSsize_t(k));
  out = Ref(index ? PyObject_GetItem(seq, index.get()) : nullptr);
  return bool(out);
}

// complex(float(z.real), float(z.imag)) for a number z of any numeric type.
bool to_complex(PyObject* seq, Py_ssize_t k, Complex& out) {
  Ref z;
  double re, im;
  if (!item_at(seq, k, z)) return false;
  Ref real = pyglue::getattr(z.get(), "real");
  if (!real || !pyglue::to_double(real.get(), re)) return false;
  Ref imag = pyglue::getattr(z.get(), "imag");
  if (!imag || !pyglue::to_double(imag.get(), im)) return false;
  out = Complex(re, im);
  return true;
}

// Exception(b"Unknown TJM model: " + name.encode("utf-8")): the argument is
// bytes, so a name that is not text fails in its encode.
pyglue::Failure unknown_model(PyObject* name) {
  Ref encoded(PyObject_CallMethod(name, "encode", "s", "utf-8"));
  Ref prefix(encoded ? PyBytes_FromString("Unknown TJM model: ") : nullptr);
  Ref message(prefix ? PyNumber_Add(prefix.get(), encoded.get()) : nullptr);
  Ref error(message ? PyObject_CallFunctionObjArgs(PyExc_Exception, message.get(), nullptr) : nullptr);
  if (error) PyErr_SetObject(PyExc_Exception, error.get());
  return pyglue::propagate();
}

// a, b, c = entry, with the interpreter's unpacking messages.
bool unpack_three(PyObject* entry, Ref (&lists)[3]) {
  Ref it(PyObject_GetIter(entry));
  if (!it) return false;
  for (Py_ssize_t k = 0; k < 3; ++k) {
    lists[k] = Ref(PyIter_Next(it.get()));
    if (lists[k]) continue;
    if (PyErr_Occurred()) return false;
    return pyglue::value_error("need more than %zd value%.1s to unpack", k, k == 1 ? "" : "s");
  }
  Ref extra(PyIter_Next(it.get()));
  if (extra) return pyglue::value_error("too many values to unpack (expected %zd)", Py_ssize_t(3));
  return !PyErr_Occurred();
}

// The three lists of an entry, with the poles scaled by wvg / 2; every
// term is read before the junction is touched.
bool read_entry(PyObject* entry, double wvg, Kernel& kernel) {
  Ref lists[3];
  if (!unpack_three(entry, lists)) return false;
  Py_ssize_t len[3];
  for (int l = 0; l < 3; ++l)
    if ((len[l] = PyObject_Length(lists[l].get())) < 0) return false;
  if (len[0] > kMaxKernelTerms)
    return pyglue::value_error("a TJM kernel has at most %d terms, this one has %zd",
                               kMaxKernelTerms, len[0]);
  if (len[1] != len[0] || len[2] != len[0])
    return pyglue::value_error("the A-, B- and P-lists of a TJM kernel must have one length, "
                               "not %zd, %zd and %zd", len[0], len[1], len[2]);
  kernel.n = len[0];
  for (Py_ssize_t k = 0; k < kernel.n; ++k) {
    Complex p;
    if (!to_complex(lists[0].get(), k, kernel.A[k]) || !to_complex(lists[1].get(), k, kernel.B[k]) ||
        !to_complex(lists[2].get(), k, p))
      return false;
    kernel.P[k] = Complex((p.real() * wvg) * 0.5, (p.imag() * wvg) * 0.5);
  }
  return true;
}

// Scales A so that Σ Re(A/P) = 1 and B by wvg (wrrat − 1) / (2 wvrat).
bool normalise(PyObject* name, const JunctionTJMModel& m, Kernel& kernel) {
  double x = 0.0;
  for (Py_ssize_t k = 0; k < kernel.n; ++k) x = x - (kernel.A[k] / kernel.P[k]).real();
  // A zero pole also lands here: its A/P is infinite or NaN.
  if (kernel.n > 0 && (x == 0.0 || !std::isfinite(x))) {
    char sum[32];
    std::snprintf(sum, sizeof sum, "%g", -x);
    return pyglue::value_error("TJM model %R cannot be normalised: the sum of Re(A/P) over its "
                               "scaled poles is %s", name, sum);
  }
  for (Py_ssize_t k = 0; k < kernel.n; ++k) {
    kernel.A[k] = Complex(-kernel.A[k].real(), -kernel.A[k].imag()) / x;
    const Complex b = kernel.B[k];
    kernel.B[k] = Complex(((b.real() * m.wvg) * (m.wrrat - 1.0)) / (m.wvrat + m.wvrat),
                          ((b.imag() * m.wvg) * (m.wrrat - 1.0)) / (m.wvrat + m.wvrat));
  }
  return true;
}

bool store_scalars(PyObject* params, JunctionTJMModel& m) {
  FLOAT_t* fields[] = {&m.crit_current, &m.beta, &m.wvg, &m.wvrat, &m.wrrat};
  for (Py_ssize_t k = 1; k < kParamCount; ++k)
    if (!convert_parameter(params, ParamField{k, 0, Convert::value}, *fields[k - 1])) return false;
  return true;
}

}  // namespace

PyObject* InitTJMModel(PyObject* self, PyObject* args, PyObject* kwds) {
  JunctionTJMModel& m = model_of<JunctionTJMModel>(self);
  // Readiness changes here, whatever the outcome: the registry re-checks.
  ++binding_epoch;
  m.kernel_installed = false;

  static const char* const names[] = {"params"};
  PyObject* a[1];
  if (!pyglue::parse_args("InitTJMModel", args, kwds, names, a)) return nullptr;
  PyObject* params = a[0];
  Py_ssize_t given = PyObject_Length(params);
  if (given < 0) return nullptr;
  if (given < kParamCount)
    return pyglue::index_error("InitTJMModel() needs %zd parameters (name, crit_current, beta, "
                               "wvg, wvrat, wrrat), got %zd", kParamCount, given);
  // The scalars are stored as they convert, even when the name is unknown.
  if (!store_scalars(params, m)) return nullptr;

  Ref name, models = pyglue::getattr(host::kvconfig_module, "tjm_models");
  if (!models || !item_at(params, 0, name)) return nullptr;
  int known = PySequence_Contains(models.get(), name.get());
  if (known < 0) return nullptr;
  if (!known) return unknown_model(name.get());
  Ref entry(PyObject_GetItem(models.get(), name.get()));
  Kernel kernel;
  if (!entry || !read_entry(entry.get(), m.wvg, kernel) || !normalise(name.get(), m, kernel))
    return nullptr;

  m.narray = static_cast<INT_t>(kernel.n);
  for (Py_ssize_t k = 0; k < kernel.n; ++k) {
    m.A[k] = kernel.A[k];
    m.B[k] = kernel.B[k];
    m.P[k] = kernel.P[k];
  }
  m.sgw = 1.0 / (m.wvg * m.wvrat);
  m.kernel_installed = true;
  return pyglue::none();
}

}  // namespace stampworks

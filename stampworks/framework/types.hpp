// Element types, the matrix/vector view and the per-call context that every
// model operation receives.
#pragma once
#include <Python.h>

#include <cstdint>

namespace stampworks {

using FLOAT_t = double;
using INT_t = int32_t;
using UINT8_t = uint8_t;

// A one-dimensional window onto a host array of FLOAT_t.  Operations index
// it through its stride (in items) and never look at its length: the driver
// checked every position a model can use before the sweep began.
struct View {
  FLOAT_t* data;
  Py_ssize_t len;
  Py_ssize_t stride;
  FLOAT_t& operator[](Py_ssize_t k) const noexcept { return data[k * stride]; }
};

// Built on a driver's stack for one call; fields a driver does not fill are
// zero and are read by no operation of that driver.
struct ModelContext {
  FLOAT_t coeff_dt;
  FLOAT_t coeff_ddt;
  FLOAT_t smooth_factor;
  FLOAT_t histeresis;
  FLOAT_t time_step;
  const FLOAT_t* phases;
  const FLOAT_t* phases_prev;
  const FLOAT_t* voltages;
  const FLOAT_t* voltages_deriv;
  const FLOAT_t* voltages_prev;
  // The time the operation is for (the step's new time; the accepted time in
  // Values), filled by the compiled loop for models with a delayed history.
  FLOAT_t time;
};

using pModelContext_t = const ModelContext*;

}  // namespace stampworks

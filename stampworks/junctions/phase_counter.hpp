// The flux-quantum counter rule shared by every counter-keeping model: the
// element phase over 2π, rounded, with a dead band so that a phase hovering
// near a half quantum does not make the counter chatter.
#pragma once
#include "stampworks/framework/types.hpp"

#include <cmath>
#include <cstdint>

namespace stampworks {

inline void NQuanta(FLOAT_t phase, INT_t& n, UINT8_t& inc, UINT8_t& dec, FLOAT_t histeresis) {
  const FLOAT_t two_pi = 6.283185307179586;
  FLOAT_t x = std::fabs(phase) / two_pi;
  // Converting NaN to an integer is undefined: a NaN phase holds the count.
  if (std::isnan(x) || x - 0.5 - std::floor(x) > histeresis) {
    inc = 0;
    dec = 0;
    return;
  }
  FLOAT_t rounded = std::floor(x + 0.5);
  INT_t nq;
  if (rounded >= 2147483648.0)  // saturate instead of overflowing
    nq = phase < 0 ? INT32_MIN : INT32_MAX;
  else
    nq = phase < 0 ? -static_cast<INT_t>(rounded) : static_cast<INT_t>(rounded);
  INT_t oldn = n;
  n = nq;
  inc = oldn < nq;
  dec = oldn > nq;
}

}  // namespace stampworks

// Source waveforms evaluated inside the time loop, in SI time and SI value.
// Each mirrors a `kivrun.waveforms` class (its `native()` gives the kind and
// the parameters below); `settle` is when it turns constant, after which the
// loop stops evaluating it.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace transient {

enum class WaveKind : int { pwl = 1, pulse = 2, sine = 3, noise = 4 };

// Thermal noise: independent standard-normal samples z_k at t = delay + k·Δ,
// joined linearly.  Sample k of a stream is a pure function of the stream's
// key (from the seed and the element's name) and k, so every step control
// sees the same path.  SplitMix64 output pairs through Box–Muller; the
// Python side (kivrun.noise) computes the same bits.
inline uint64_t mix64(uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline double noise_sample(uint64_t key, uint64_t k) noexcept {
  constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;
  const uint64_t a = mix64(key + (2 * k + 1) * golden), b = mix64(key + (2 * k + 2) * golden);
  const double u1 = static_cast<double>((a >> 11) + 1) * 0x1p-53;
  const double u2 = static_cast<double>(b >> 11) * 0x1p-53;
  return std::sqrt(-2.0 * std::log(u1)) * std::cos((2.0 * M_PI) * u2);
}

struct Waveform {
  WaveKind kind = WaveKind::pwl;
  // pwl: t0..t(n-1) then v0..v(n-1); pulse: v1 v2 td tr tf pw per;
  // sine: vo va freq td theta; noise: key (high, low 32 bits) sigma Δ delay.
  std::vector<double> p;
  int points = 0;  // pwl only
  // noise: the stream's key and the last pair of samples (consecutive
  // steps mostly fall between the same two).
  uint64_t key = 0;
  mutable int64_t pair_index = -2;
  mutable double pair[2] = {0.0, 0.0};

  double value(double t) const noexcept {
    switch (kind) {
      case WaveKind::pwl: return pwl(t);
      case WaveKind::pulse: return pulse(t);
      case WaveKind::sine: return sine(t);
      case WaveKind::noise: return noise(t);
    }
    return 0.0;
  }

  double settle() const noexcept {
    constexpr double never = std::numeric_limits<double>::infinity();
    switch (kind) {
      case WaveKind::pwl: return p[points - 1];
      case WaveKind::pulse: {
        const double per = p[6];
        if (std::isfinite(per) && per > 0) return never;
        return p[2] + p[3] + p[5] + p[4];
      }
      case WaveKind::sine: return p[1] == 0.0 ? p[3] : never;
      case WaveKind::noise: return p[2] == 0.0 ? 0.0 : never;
    }
    return never;
  }

 private:
  double noise(double t) const noexcept {
    const double sigma = p[2], interval = p[3], delay = p[4];
    if (t < delay) return 0.0;
    const double x = (t - delay) / interval, kf = std::floor(x), s = x - kf;
    const int64_t k = static_cast<int64_t>(kf);
    if (pair_index != k) {
      pair[0] = pair_index == k - 1 ? pair[1] : noise_sample(key, static_cast<uint64_t>(k));
      pair[1] = noise_sample(key, static_cast<uint64_t>(k) + 1);
      pair_index = k;
    }
    return sigma * (pair[0] + s * (pair[1] - pair[0]));
  }

  double pwl(double t) const noexcept {
    const double* times = p.data();
    const double* values = times + points;
    // First time strictly after t, as bisect_right does.
    const int k = static_cast<int>(std::upper_bound(times, times + points, t) - times);
    if (k == 0) return values[0];
    if (k == points) return values[points - 1];
    const double t0 = times[k - 1], t1 = times[k], v0 = values[k - 1], v1 = values[k];
    return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
  }

  double pulse(double t) const noexcept {
    const double v1 = p[0], v2 = p[1], delay = p[2], rise = p[3], fall = p[4], width = p[5], per = p[6];
    if (t < delay) return v1;
    double local = t - delay;
    if (std::isfinite(per) && per > 0) local = std::fmod(local, per);
    const double width_end = rise + width, fall_end = width_end + fall;
    if (local < rise) return v1 + (v2 - v1) * local / rise;
    if (local <= width_end) return v2;
    if (local < fall_end) return v2 + (v1 - v2) * (local - width_end) / fall;
    return v1;
  }

  double sine(double t) const noexcept {
    const double vo = p[0], va = p[1], freq = p[2], delay = p[3], damping = p[4];
    if (t < delay) return vo;
    const double local = t - delay;
    return vo + va * std::exp(-damping * local) * std::sin(2.0 * M_PI * freq * local);
  }
};

}  // namespace transient

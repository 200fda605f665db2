// Source waveforms evaluated inside the time loop, in SI time and SI value.
// Each mirrors a `kivrun.waveforms` class (its `native()` gives the kind and
// the parameters below); `settle` is when it turns constant, after which the
// loop stops evaluating it.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace transient {

enum class WaveKind : int { pwl = 1, pulse = 2, sine = 3, noise = 4, exp = 5, pws = 6, cus = 7, cubic_noise = 8 };

// Noise: independent standard-normal samples z_k every Δ from the delay on,
// joined linearly (NOISE sources) or by their cubic B-spline (thermal noise,
// C² so that the third-order error estimate sees no corner).  Sample k of a
// stream is a pure function of the stream's key (from the seed and the
// element's name) and k, so every step control sees the same path.  A
// SplitMix64 word per sample through a ziggurat; kivrun.randoms documents the
// generator and computes the same bits.
inline uint64_t mix64(uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The normal density exp(-x²/2) cut into 128 layers of equal area v: the
// base layer (with the tail beyond r) and 127 rectangles of half-width x[i]
// between heights f[i] and f[i + 1].  Computed at first use, in the order
// kivrun.randoms computes it (the same C library: the same bits).
struct Ziggurat {
  static constexpr int kLayers = 128;
  static constexpr double kTail = 3.442619855899, kArea = 9.91256303526217e-3;
  double x[kLayers + 1], ratio[kLayers], f[kLayers + 1];

  Ziggurat() noexcept {
    x[0] = kArea / std::exp(-0.5 * kTail * kTail);
    x[1] = kTail;
    for (int i = 2; i < kLayers; ++i)
      x[i] = std::sqrt(-2.0 * std::log(kArea / x[i - 1] + std::exp(-0.5 * x[i - 1] * x[i - 1])));
    x[kLayers] = 0.0;
    for (int i = 0; i < kLayers; ++i) ratio[i] = x[i + 1] / x[i];
    for (int i = 0; i <= kLayers; ++i) f[i] = std::exp(-0.5 * x[i] * x[i]);
  }
};

inline const Ziggurat& ziggurat() noexcept {
  static const Ziggurat table;
  return table;
}

// The rare rest of a sample (1.2 %): the tail beyond r or a wedge test,
// drawing further words from a second key; one round fails with
// probability below 0.1, so thirty never all do.
inline double noise_sample_rest(uint64_t key, uint64_t k, double u, int i) noexcept {
  constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;
  const Ziggurat& z = ziggurat();
  const uint64_t extra = mix64(key ^ 0xD1B54A32D192ED03ull);
  uint64_t n = k << 6;
  auto word = [&]() { return mix64(extra + (++n) * golden); };
  auto unit = [&]() { return static_cast<double>(word() >> 11) * 0x1p-53; };  // [0, 1)
  for (int round = 0; round < 30; ++round) {
    if (i == 0) {
      const double tail = -std::log(1.0 - unit()) / Ziggurat::kTail, y = -std::log(1.0 - unit());
      if (y + y >= tail * tail) return u < 0.0 ? -(Ziggurat::kTail + tail) : Ziggurat::kTail + tail;
      continue;
    }
    const double candidate = u * z.x[i];
    if (z.f[i] + unit() * (z.f[i + 1] - z.f[i]) < std::exp(-0.5 * candidate * candidate)) return candidate;
    const uint64_t a = word();
    u = static_cast<double>(a >> 11) * 0x1p-52 - 1.0;
    i = static_cast<int>(a & 127);
    if (std::fabs(u) < z.ratio[i]) return u * z.x[i];
  }
  return 0.0;
}

// Standard-normal sample k of the stream with this key.
inline double noise_sample(uint64_t key, uint64_t k) noexcept {
  constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;
  const Ziggurat& z = ziggurat();
  const uint64_t a = mix64(key + (k + 1) * golden);
  const double u = static_cast<double>(a >> 11) * 0x1p-52 - 1.0;  // [-1, 1)
  const int i = static_cast<int>(a & 127);
  if (std::fabs(u) < z.ratio[i]) return u * z.x[i];
  return noise_sample_rest(key, k, u, i);
}

// Where a time falls among the samples of a noise waveform, and the join's
// weights of the samples there: the same for every source of one interval,
// delay and join, so those share one clock and the loop computes it once
// per time rather than once per source.
struct NoiseClock {
  static constexpr double kLastSample = 0x1p62;
  double interval = 1.0, delay = 0.0;
  bool cubic = false;
  mutable double time = std::numeric_limits<double>::quiet_NaN();
  mutable int64_t k = -1;       // first sample of the segment (-1 before the delay)
  mutable double w[4] = {};     // linear: w[0] = s; cubic: the B-spline weights

  void at(double t) const noexcept {
    if (t == time) return;
    time = t;
    if (!(t >= delay)) {  // NaN too
      k = -1;
      return;
    }
    // Past 2^62 samples (absurd times) the last segment holds: no overflow.
    const double x = std::min((t - delay) / interval, kLastSample), kf = std::floor(x), s = x - kf;
    k = static_cast<int64_t>(kf);
    if (!cubic) {
      w[0] = s;
      return;
    }
    const double u = 1.0 - s, s2 = s * s, s3 = s2 * s;
    w[0] = u * u * u;
    w[1] = 3.0 * s3 - 6.0 * s2 + 4.0;
    w[2] = 3.0 * (s + s2 - s3) + 1.0;
    w[3] = s3;
  }
};

struct Waveform {
  WaveKind kind = WaveKind::pwl;
  // noise: a run of the stream's samples, [base, base + kHeld), made a few
  // at a time (independent samples overlap in the pipeline, and the branch
  // that asks for more is taken once per several of them).  What a value
  // reads comes first, to touch few cache lines per source.
  static constexpr int kHeld = 8;
  double amplitude = 0.0;  // σ (linear), σ/6 (cubic)
  std::shared_ptr<const NoiseClock> clock;
  mutable int64_t base = -2 * kHeld;  // none held yet
  mutable double held[kHeld] = {};
  uint64_t key = 0;  // of the stream
  // pwl: t0..t(n-1) then v0..v(n-1); pulse: v1 v2 td tr tf pw per;
  // sine: vo va freq td theta; noise, cubic_noise: key (high, low 32 bits) sigma Δ delay;
  // exp: v1 v2 td1 tau1 td2 tau2; pws: as pwl; cus: step interpolation
  // (0 hold, 1 linear, 2 cubic) delay periodic, then the samples.
  std::vector<double> p;
  int points = 0;  // pwl, pws: time-value pairs; cus: samples

  double value(double t) const noexcept {
    switch (kind) {
      case WaveKind::pwl: return pwl(t);
      case WaveKind::pulse: return pulse(t);
      case WaveKind::sine: return sine(t);
      case WaveKind::noise: return noise(t);
      case WaveKind::cubic_noise: return cubic_noise(t);
      case WaveKind::exp: return exponential(t);
      case WaveKind::pws: return pws(t);
      case WaveKind::cus: return custom(t);
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
      case WaveKind::noise:
      case WaveKind::cubic_noise: return p[2] == 0.0 ? 0.0 : never;
      // Forty time constants after its last start an exponential has moved
      // by e⁻⁴⁰ of its swing: constant to double precision.
      case WaveKind::exp: return std::max(p[2] + 40.0 * p[3], p[4] + 40.0 * p[5]);
      case WaveKind::pws: return p[points - 1];
      case WaveKind::cus: return p[3] != 0.0 ? never : p[2] + (points - 1) * p[0];
    }
    return never;
  }

 private:
  // Samples k .. k + count - 1 (count <= kHeld - 1).
  const double* samples(int64_t k, int count) const noexcept {
    if (k < base || k + count > base + kHeld) refill(k);
    return held + (k - base);
  }

  void refill(int64_t k) const noexcept {
    int kept = 0;  // moving on keeps the samples both runs share
    if (k > base && k < base + kHeld) {
      kept = static_cast<int>(base + kHeld - k);
      std::copy(held + (k - base), held + kHeld, held);
    }
    base = k;
    for (int j = kept; j < kHeld; ++j) held[j] = noise_sample(key, static_cast<uint64_t>(base + j));
  }

  double noise(double t) const noexcept {
    clock->at(t);
    if (clock->k < 0) return 0.0;
    const double* z = samples(clock->k, 2);
    return amplitude * (z[0] + clock->w[0] * (z[1] - z[0]));
  }

  // Uniform cubic B-spline, sample k + 1 at the knot x = k (kivrun.noise
  // computes the same in the same order).
  double cubic_noise(double t) const noexcept {
    clock->at(t);
    if (clock->k < 0) return 0.0;
    const double* z = samples(clock->k, 4);
    const double* w = clock->w;
    return amplitude * (w[0] * z[0] + w[1] * z[1] + w[2] * z[2] + w[3] * z[3]);
  }

  // PWL joins its points by straight lines, PWS by smoothsteps (zero slope
  // at every point); both hold the first and last values outside.
  double pwl(double t, bool smooth = false) const noexcept {
    const double* times = p.data();
    const double* values = times + points;
    // First time strictly after t, as bisect_right does.
    const int k = static_cast<int>(std::upper_bound(times, times + points, t) - times);
    if (k == 0) return values[0];
    if (k == points) return values[points - 1];
    const double t0 = times[k - 1], t1 = times[k], v0 = values[k - 1], v1 = values[k];
    const double s = (t - t0) / (t1 - t0);
    return v0 + (v1 - v0) * (smooth ? s * s * (3.0 - 2.0 * s) : s);
  }

  double pws(double t) const noexcept { return pwl(t, true); }

  // Rises towards v2 from td1 with tau1, back towards v1 from td2 with tau2.
  double exponential(double t) const noexcept {
    const double v1 = p[0], v2 = p[1], td1 = p[2], tau1 = p[3], td2 = p[4], tau2 = p[5];
    if (t < td1) return v1;
    const double swing = v2 - v1;
    double level = v1 - swing * std::expm1(-(t - td1) / tau1);
    if (t >= td2) level += swing * std::expm1(-(t - td2) / tau2);
    return level;
  }

  // Samples every `step` from `delay` on (zero before); after the last one
  // it holds, or repeats when periodic.  Cubic segments take Catmull–Rom slopes.
  double custom(double t) const noexcept {
    const double step = p[0], delay = p[2];
    const int mode = static_cast<int>(p[1]);
    const bool periodic = p[3] != 0.0;
    const double* samples = p.data() + 4;
    const int n = points;
    if (t < delay) return 0.0;
    double position = (t - delay) / step;
    if (periodic)
      position = std::fmod(position, static_cast<double>(n));
    else if (position >= n - 1)
      return samples[n - 1];
    const int k = std::min(static_cast<int>(position), n - 1);
    const double s = position - k;
    const int next = periodic ? (k + 1) % n : std::min(k + 1, n - 1);
    if (mode == 0 || n == 1) return samples[k];
    const double v0 = samples[k], v1 = samples[next];
    if (mode == 1) return v0 + (v1 - v0) * s;
    const double before = periodic ? samples[(k - 1 + n) % n] : samples[std::max(k - 1, 0)];
    const double after = periodic ? samples[(next + 1) % n] : samples[std::min(next + 1, n - 1)];
    const double m0 = 0.5 * (v1 - before), m1 = 0.5 * (after - v0);
    const double s2 = s * s, s3 = s2 * s;
    return (2 * s3 - 3 * s2 + 1) * v0 + (s3 - 2 * s2 + s) * m0 + (-2 * s3 + 3 * s2) * v1 + (s3 - s2) * m1;
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

"""Johnson–Nyquist noise as source waveforms, reproducible by seed.

Model
-----
A noisy resistance R at temperature T is an ideal R with a current source
in parallel whose one-sided spectral density is 4kT/R.  The source is a
:class:`ThermalNoise` waveform: independent standard-normal samples z_n,
n = 0, 1, 2, ..., one every Δ from ``delay`` on, joined by a kernel g and
scaled by σ::

    x = (t - delay)/Δ,  k = floor(x),  s = x - k           (0 before delay)
    cubic (thermal noise):  value(t) = σ/6·((1-s)³·z_k + (3s³ - 6s² + 4)·z_{k+1}
                                            + (-3s³ + 3s² + 3s + 1)·z_{k+2} + s³·z_{k+3})
    linear (NOISE sources): value(t) = σ·(z_k + s·(z_{k+1} - z_k))

The cubic join is the uniform cubic B-spline of the samples (sample n at
x = n - 1): its path is C², so the third-order formula's error estimate
sees no corner (the linear join's slope jumps at every sample, which made
the adaptive step reject a quarter of its steps).  Either path is a fixed
function of time, so an adaptive stepper and a fixed stepper sample the
same noise; the waveform has no breakpoints (the stepper need not land on
every sample), but the step is capped (:func:`step_cap`) so that the noise
is resolved.

Spectrum of the path (time-averaged over the sample phase): the kernel's
transform is Δ·sinc^p(fΔ), p = 2 linear, 4 cubic, so S(f) = σ²Δ·sinc^2p(fΔ)
two-sided, sinc(u) = sin(πu)/(πu).  Both kernels sum to one over the
samples, hence

* one-sided density at low frequency 2σ²Δ;
* time-averaged variance σ²·∫g² : 2/3·σ² linear, 151/315·σ² cubic;
* equivalent noise bandwidth (variance / low-frequency density) 1/(3Δ)
  linear, 151/(630Δ) cubic.

For a noise bandwidth B the cubic join takes Δ = 151/(630B) (≈ 0.24/B) and
σ² = 2kT/(RΔ): the low-frequency density is exactly 4kT/R and the variance
of the current exactly 4kT·B/R, so B is the equivalent noise bandwidth.  The
density is flat within 10 % up to 0.37·B and is 0.46 of its low-frequency
value at B (the linear join at the same B: the same to a few %), but falls
as f⁻⁸ beyond, where the linear join's falls as f⁻⁴.

Generator (a counter-based SplitMix64; all arithmetic on unsigned 64-bit
integers modulo 2^64, so another implementation can reproduce it bit for bit)::

    G = 0x9E3779B97F4A7C15
    mix(z):  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
             z = (z ^ (z >> 27)) * 0x94D049BB133111EB
             return z ^ (z >> 31)
    key(seed, stream) = mix(mix(seed) ^ stream)
    bits(seed, stream, n) = mix(key + (n + 1)·G)          n-th output, n >= 0
    normal(seed, stream, k):              a ziggurat of 128 layers of equal area v
        a = bits(.., k);  u = (a >> 11)·2^-52 - 1 in [-1, 1);  i = a & 127
        if |u| < x[i+1]/x[i]: return u·x[i]                                 (98.8 %)
        else further words w_j = mix(mix(key ^ 0xD1B54A32D192ED03) + (64k + j)·G),
        j = 1, 2, ..., U(w) = (w >> 11)·2^-53, for at most 30 rounds (0 after):
          i = 0:  t = -log(1 - U)/r, y = -log(1 - U'); if 2y >= t² return ±(r + t)
                  (the sign of u), else another round
          i > 0:  X = u·x[i]; if f[i] + U·(f[i+1] - f[i]) < exp(-X²/2) return X;
                  else (u, i) from the next word as above: |u| < x[i+1]/x[i] returns
                  u·x[i], else another round
    with r = 3.442619855899, v = 9.91256303526217e-3, f(x) = exp(-x²/2), and
        x[0] = v/f(r), x[1] = r, x[i] = sqrt(-2·log(v/x[i-1] + f(x[i-1]))) for
        i = 2..127, x[128] = 0, f[i] = f(x[i])     (C doubles, in that order)

Sample k of stream e is a pure function of (seed, e, k).  The stream of an
element is the 64-bit FNV-1a hash of its lower-case name (UTF-8), so adding
or reordering other elements leaves its noise unchanged.  The layers and the
rare rest use the C library's exp and log (Python's math module), exactly
what the compiled loop (transient/waveform.hpp) gets on the same platform,
and the NumPy version (:func:`normals`) takes the rest from the scalar one:
all three give the same bits.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, replace

import numpy as np

from .circuit import Circuit, CircuitElement
from .waveforms import Waveform

BOLTZMANN = 1.380649e-23
#: Noise bandwidth unless ``.neb`` or ``neb=`` sets one (Hz).
DEFAULT_BANDWIDTH = 1e12
#: Suffix of the name of the noise source added to a resistance.
SUFFIX = "#noise"

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
_M1 = 0xBF58476D1CE4E5B9
_M2 = 0x94D049BB133111EB
_TWO_M53 = 2.0 ** -53
_FNV_OFFSET = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3
#: Past this many sample intervals (absurd times) a path holds its last segment.
_LAST_SAMPLE = 2.0 ** 62


def mix64(z: int) -> int:
    """SplitMix64 finalizer."""
    z = ((z ^ (z >> 30)) * _M1) & MASK
    z = ((z ^ (z >> 27)) * _M2) & MASK
    return z ^ (z >> 31)


def stream_id(name: str) -> int:
    """FNV-1a (64 bit) of the lower-case name: the noise stream of an element."""
    h = _FNV_OFFSET
    for byte in name.lower().encode("utf-8"):
        h = ((h ^ byte) * _FNV_PRIME) & MASK
    return h


def stream_key(seed: int, stream: int) -> int:
    return mix64(mix64(seed & MASK) ^ (stream & MASK))


def bits(seed: int, stream: int, n: int) -> int:
    """The n-th 64-bit output of stream ``stream`` under ``seed``."""
    return mix64((stream_key(seed, stream) + (n + 1) * GOLDEN) & MASK)


def uniform(seed: int, stream: int, n: int) -> float:
    """The n-th uniform in [0, 1) of a stream."""
    return (bits(seed, stream, n) >> 11) * _TWO_M53


_LAYERS = 128
_TAIL = 3.442619855899
_AREA = 9.91256303526217e-3
_EXTRA = 0xD1B54A32D192ED03
_TWO_M52 = 2.0 ** -52


def _ziggurat() -> tuple[list[float], list[float], list[float]]:
    """Half-widths x, ratios x[i+1]/x[i] and heights f of the layers, as transient/waveform.hpp makes them."""
    x = [0.0] * (_LAYERS + 1)
    x[0] = _AREA / math.exp(-0.5 * _TAIL * _TAIL)
    x[1] = _TAIL
    for i in range(2, _LAYERS):
        x[i] = math.sqrt(-2.0 * math.log(_AREA / x[i - 1] + math.exp(-0.5 * x[i - 1] * x[i - 1])))
    ratio = [x[i + 1] / x[i] for i in range(_LAYERS)]
    f = [math.exp(-0.5 * v * v) for v in x]
    return x, ratio, f


_X, _RATIO, _F = _ziggurat()
_X_ARRAY, _RATIO_ARRAY = np.array(_X), np.array(_RATIO)


def _rest(key: int, k: int, u: float, i: int) -> float:
    """The rare rest of a sample: the tail beyond r or a wedge test (see the module's docstring)."""
    extra = mix64(key ^ _EXTRA)
    n = (k << 6) & MASK

    def word() -> int:
        nonlocal n
        n = (n + 1) & MASK
        return mix64((extra + n * GOLDEN) & MASK)

    def unit() -> float:
        return (word() >> 11) * _TWO_M53

    for _ in range(30):
        if i == 0:
            tail = -math.log(1.0 - unit()) / _TAIL
            y = -math.log(1.0 - unit())
            if y + y >= tail * tail:
                return -(_TAIL + tail) if u < 0.0 else _TAIL + tail
            continue
        candidate = u * _X[i]
        if _F[i] + unit() * (_F[i + 1] - _F[i]) < math.exp(-0.5 * candidate * candidate):
            return candidate
        a = word()
        u = (a >> 11) * _TWO_M52 - 1.0
        i = a & 127
        if abs(u) < _RATIO[i]:
            return u * _X[i]
    return 0.0


def _normal(key: int, k: int) -> float:
    a = mix64((key + (k + 1) * GOLDEN) & MASK)
    u = (a >> 11) * _TWO_M52 - 1.0
    i = a & 127
    if abs(u) < _RATIO[i]:
        return u * _X[i]
    return _rest(key, k, u, i)


def normal(seed: int, stream: int, k: int) -> float:
    """Standard-normal sample k of a stream (k >= 0)."""
    return _normal(stream_key(seed, stream), k)


def _mix64_array(z: np.ndarray) -> np.ndarray:
    z = (z ^ (z >> np.uint64(30))) * np.uint64(_M1)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(_M2)
    return z ^ (z >> np.uint64(31))


def normals(seed: int, stream: int, ks: np.ndarray) -> np.ndarray:
    """Samples ``ks`` (non-negative integers) of a stream at once: :func:`normal`'s bits, with NumPy."""
    key = stream_key(seed, stream)
    ks = np.asarray(ks, dtype=np.uint64)
    with np.errstate(over="ignore"):
        a = _mix64_array(np.uint64(key) + (ks + np.uint64(1)) * np.uint64(GOLDEN))
    u = (a >> np.uint64(11)).astype(np.float64) * _TWO_M52 - 1.0
    i = (a & np.uint64(127)).astype(np.intp)
    z = u * _X_ARRAY[i]
    for j in np.flatnonzero(~(np.abs(u) < _RATIO_ARRAY[i])):  # 1.2 %: one at a time
        z.flat[j] = _rest(key, int(ks.flat[j]), float(u.flat[j]), int(i.flat[j]))
    return z


#: ∫g² of the cubic B-spline kernel (in units of Δ): the path's variance over σ².
CUBIC_POWER = 151.0 / 315.0


def cubic_interval(bandwidth: float) -> float:
    """Sample interval Δ of the cubic join whose equivalent noise bandwidth is ``bandwidth``."""
    return CUBIC_POWER / (2.0 * bandwidth)


@dataclass
class ThermalNoise(Waveform):
    """White noise: samples every ``interval`` seconds, joined by a cubic B-spline or linearly."""

    seed: int
    stream: int
    sigma: float
    interval: float
    delay: float = 0.0
    #: The cubic B-spline join (thermal noise) rather than the linear one (NOISE sources).
    cubic: bool = False

    def values(self, t: np.ndarray) -> np.ndarray:
        """The path at many times (NumPy; for analysis, not the stepper)."""
        with np.errstate(over="ignore"):
            x = np.minimum((np.asarray(t, dtype=float) - self.delay) / self.interval, _LAST_SAMPLE)
        live = x >= 0.0
        x = np.where(live, x, 0.0)
        k = np.floor(x)
        s = x - k
        first = k.astype(np.uint64)  # exact sample numbers, also past 2^53
        z0 = normals(self.seed, self.stream, first)
        z1 = normals(self.seed, self.stream, first + np.uint64(1))
        if not self.cubic:
            return np.where(live, self.sigma * (z0 + s * (z1 - z0)), 0.0)
        z2 = normals(self.seed, self.stream, first + np.uint64(2))
        z3 = normals(self.seed, self.stream, first + np.uint64(3))
        # The order of operations of transient/waveform.hpp.
        u = 1.0 - s
        s2 = s * s
        s3 = s2 * s
        total = u * u * u * z0 + (3.0 * s3 - 6.0 * s2 + 4.0) * z1 + (3.0 * (s + s2 - s3) + 1.0) * z2 + s3 * z3
        return np.where(live, (self.sigma / 6.0) * total, 0.0)

    def longest_step(self) -> float:
        """Longest step that resolves the noise: the sample interval Δ.

        A fixed step of Δ (0.24 ps at B = 1 THz) leaves the voltage variance
        of an RC node with RC = 2 ps about 2 % below its converged value,
        1/(3B) (the linear join's Δ) 3 %.
        """
        return self.interval

    def native(self) -> tuple[int, list[float]]:
        # The 64-bit stream key travels as two exact 32-bit halves.
        key = stream_key(self.seed, self.stream)
        return 8 if self.cubic else 4, [float(key >> 32), float(key & 0xFFFFFFFF), self.sigma, self.interval,
                                        self.delay]

    def seeded(self, seed: int) -> "ThermalNoise":
        return replace(self, seed=seed)


def thermal_sigma(resistance: float, temperature: float, interval: float) -> float:
    """σ of samples every Δ whose path has the one-sided density 4kT/R: 2σ²Δ = 4kT/R."""
    return math.sqrt(2.0 * BOLTZMANN * temperature / (resistance * interval))


def thermal_noise(seed: int, name: str, resistance: float, temperature: float,
                  bandwidth: float) -> ThermalNoise:
    """The Norton noise current of a resistance: density 4kT/R, bandwidth B (see above)."""
    interval = cubic_interval(bandwidth)
    return ThermalNoise(seed, stream_id(name), thermal_sigma(resistance, temperature, interval), interval,
                        cubic=True)


def density_source(seed: int, name: str, density: float, interval: float,
                   delay: float = 0.0) -> ThermalNoise:
    """``NOISE(A TD TSTEP)``: one-sided density A² per Hz, samples every TSTEP, joined linearly."""
    return ThermalNoise(seed, stream_id(name), density / math.sqrt(2.0 * interval), interval, delay)


def noisy_resistance(component: CircuitElement) -> float | None:
    """The linear resistance whose thermal noise an element carries, if any.

    A resistor: its value.  A junction: its linear shunt (rsj, rsjph), or
    its subgap resistance (rtype=1 and tunnel junctions) — the branch it is
    on while superconducting, where thermal noise acts; the quasiparticle
    branch above the gap carries none here.
    """
    if component.kind == "R":
        return component.value
    jj = component.junction
    if component.kind != "B" or jj is None:
        return None
    if jj.kind in ("rsj", "rsjph"):
        return jj.resistance
    return jj.subgap_resistance


def add_noise_sources(circuit: Circuit, seed: int) -> Circuit:
    """A copy of ``circuit`` with a noise current source across every noisy resistance.

    Global ``.temp``/``.neb`` (options ``temp``, ``neb``) apply to every
    resistor and junction unless it says ``nfree``; its own ``temp=``/``neb=``
    take precedence.  Resistances between the same two nodes with the same
    bandwidth (a junction and its shunt) share one source: independent white
    currents in parallel add their variances, so one source of the summed
    variance is the same noise at half the cost; it is named after the first
    of them.  NOISE sources of the netlist get the seed.  A circuit without
    any of these comes back unchanged.
    """
    options = circuit.options
    groups: dict[tuple, list] = {}  # (node pair, interval) -> [first element, summed variance]
    elements: list[CircuitElement] = []
    seeded = False
    for component in circuit.elements:
        if isinstance(component.waveform, ThermalNoise):
            component = replace(component, waveform=component.waveform.seeded(seed))
            seeded = True
        elements.append(component)
        if component.noise_free:
            continue
        temperature = component.temperature if component.temperature is not None else options.get("temp", 0.0)
        resistance = noisy_resistance(component)
        if not temperature or not resistance:
            continue
        bandwidth = component.bandwidth or options.get("neb") or DEFAULT_BANDWIDTH
        interval = cubic_interval(bandwidth)
        key = (frozenset(component.nodes), interval)
        variance = thermal_sigma(resistance, temperature, interval) ** 2
        group = groups.setdefault(key, [component, 0.0])
        group[1] += variance
    if not groups and not seeded:
        return circuit
    extra = []
    for (_, interval), (first, variance) in groups.items():
        name = first.name + SUFFIX
        # Sign is immaterial; `I n+ n-` like the first element's own nodes.
        extra.append(CircuitElement("I", name, first.nodes, first.where,
                                    waveform=ThermalNoise(seed, stream_id(name), math.sqrt(variance), interval,
                                                                  cubic=True)))
    return replace(circuit, elements=elements + extra)


def step_cap(circuit: Circuit) -> float:
    """Longest step that resolves every noise source (inf without noise)."""
    return min((e.waveform.longest_step() for e in circuit.elements if isinstance(e.waveform, ThermalNoise)),
               default=math.inf)


def wants_seed(circuit: Circuit) -> bool:
    """Whether a run of this circuit draws random numbers (noise or spread)."""
    options = circuit.options
    if options.get("temp") or any(k.startswith("spread") and v for k, v in options.items()):
        return True
    return any(e.temperature or e.spread or isinstance(e.waveform, ThermalNoise) for e in circuit.elements)

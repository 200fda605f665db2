"""Johnson–Nyquist noise as source waveforms, reproducible by seed.

Model
-----
A noisy resistance R at temperature T is an ideal R with a current source
in parallel whose one-sided spectral density is 4kT/R.  The source is a
:class:`ThermalNoise` waveform: independent standard-normal samples z_k
placed at t_k = delay + k·Δ, joined by straight lines and scaled by σ::

    x = (t - delay)/Δ,  k = floor(x),  s = x - k
    value(t) = σ·(z_k + s·(z_{k+1} - z_k))        (0 before delay)

The path is a fixed function of time, so an adaptive stepper and a fixed
stepper sample the same noise; the waveform has no breakpoints (the stepper
need not land on every sample), but the step is capped at Δ so that the
noise is resolved (:func:`step_cap`).

Spectrum of the interpolated path (time-averaged over the sample phase):
with g the triangle of half-width Δ, S(f) = σ²·|G(f)|²/Δ = σ²Δ·sinc⁴(fΔ)
two-sided, sinc(u) = sin(πu)/(πu).  Hence

* one-sided density at low frequency 2σ²Δ, flat within 10 % up to 0.2/Δ;
* time-averaged variance (2/3)·σ² (a point between samples mixes two of
  them: (1-s)² + s², averaging 2/3);
* equivalent noise bandwidth (variance / low-frequency density) 1/(3Δ).

For a noise bandwidth B we therefore take Δ = 1/(3B) and σ² = 6kTB/R: the
low-frequency density is exactly 4kT/R and the variance of the current
exactly 4kT·B/R, so B is the equivalent noise bandwidth of the source.
(Δ = 1/(2B) with σ² = 4kTB/R would give the samples, not the path, that
variance; the path's would be 2/3 of it and its bandwidth 2B/3.)

Generator (a counter-based SplitMix64; all arithmetic on unsigned 64-bit
integers modulo 2^64, so another implementation can reproduce it bit for bit)::

    G = 0x9E3779B97F4A7C15
    mix(z):  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
             z = (z ^ (z >> 27)) * 0x94D049BB133111EB
             return z ^ (z >> 31)
    key(seed, stream) = mix(mix(seed) ^ stream)
    bits(seed, stream, n) = mix(key + (n + 1)·G)          n-th output, n >= 0
    normal(seed, stream, k):             m = k >> 1 (a Box–Muller pair per two samples)
        a = bits(.., 2m),  b = bits(.., 2m + 1)
        u1 = ((a >> 11) + 1)·2^-53      in (0, 1]
        u2 = (b >> 11)·2^-53            in [0, 1)
        r = sqrt(-2·log(u1)),  θ = 2π·u2
        return r·cos θ for even k, r·sin θ for odd k     (Box–Muller, C doubles)

Sample k of stream e is a pure function of (seed, e, k).  The stream of an
element is the 64-bit FNV-1a hash of its lower-case name (UTF-8), so adding
or reordering other elements leaves its noise unchanged.  The scalar path
uses the C library's log, cos and sin (Python's math module), exactly what
the compiled loop (transient/waveform.hpp) gets on the same platform; the
NumPy version (:func:`normals`) may differ from it in the last bit or two.
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


def _box_muller(a: int, b: int, odd: bool) -> float:
    u1 = ((a >> 11) + 1) * _TWO_M53
    u2 = (b >> 11) * _TWO_M53
    angle = 2.0 * math.pi * u2
    return math.sqrt(-2.0 * math.log(u1)) * (math.sin(angle) if odd else math.cos(angle))


def normal(seed: int, stream: int, k: int) -> float:
    """Standard-normal sample k of a stream (k >= 0)."""
    key = stream_key(seed, stream)
    m = k >> 1
    a = mix64((key + (2 * m + 1) * GOLDEN) & MASK)
    b = mix64((key + (2 * m + 2) * GOLDEN) & MASK)
    return _box_muller(a, b, bool(k & 1))


def _mix64_array(z: np.ndarray) -> np.ndarray:
    z = (z ^ (z >> np.uint64(30))) * np.uint64(_M1)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(_M2)
    return z ^ (z >> np.uint64(31))


def normals(seed: int, stream: int, ks: np.ndarray) -> np.ndarray:
    """Samples ``ks`` (non-negative integers) of a stream at once, with NumPy."""
    key = np.uint64(stream_key(seed, stream))
    ks = np.asarray(ks, dtype=np.uint64)
    n = (ks >> np.uint64(1)) * np.uint64(2)
    with np.errstate(over="ignore"):
        a = _mix64_array(key + (n + np.uint64(1)) * np.uint64(GOLDEN))
        b = _mix64_array(key + (n + np.uint64(2)) * np.uint64(GOLDEN))
    u1 = ((a >> np.uint64(11)) + np.uint64(1)).astype(np.float64) * _TWO_M53
    u2 = (b >> np.uint64(11)).astype(np.float64) * _TWO_M53
    angle = 2.0 * np.pi * u2
    odd = (ks & np.uint64(1)).astype(bool)
    return np.sqrt(-2.0 * np.log(u1)) * np.where(odd, np.sin(angle), np.cos(angle))


@dataclass
class ThermalNoise(Waveform):
    """White noise up to 1/(3·interval): samples every ``interval`` seconds, joined linearly."""

    seed: int
    stream: int
    sigma: float
    interval: float
    delay: float = 0.0

    def values(self, t: np.ndarray) -> np.ndarray:
        """The path at many times (NumPy; for analysis, not the stepper)."""
        x = (np.asarray(t, dtype=float) - self.delay) / self.interval
        live = x >= 0.0
        x = np.where(live, x, 0.0)
        k = np.floor(x)
        z0 = normals(self.seed, self.stream, k)
        z1 = normals(self.seed, self.stream, k + 1)
        return np.where(live, self.sigma * (z0 + (x - k) * (z1 - z0)), 0.0)

    def native(self) -> tuple[int, list[float]]:
        # The 64-bit stream key travels as two exact 32-bit halves.
        key = stream_key(self.seed, self.stream)
        return 4, [float(key >> 32), float(key & 0xFFFFFFFF), self.sigma, self.interval, self.delay]

    def seeded(self, seed: int) -> "ThermalNoise":
        return replace(self, seed=seed)


def thermal_noise(seed: int, name: str, resistance: float, temperature: float,
                  bandwidth: float) -> ThermalNoise:
    """The Norton noise current of a resistance: density 4kT/R, bandwidth B (see above)."""
    sigma = math.sqrt(6.0 * BOLTZMANN * temperature * bandwidth / resistance)
    return ThermalNoise(seed, stream_id(name), sigma, 1.0 / (3.0 * bandwidth))


def density_source(seed: int, name: str, density: float, interval: float,
                   delay: float = 0.0) -> ThermalNoise:
    """``NOISE(A TD TSTEP)``: one-sided density A² per Hz, samples every TSTEP."""
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
        key = (frozenset(component.nodes), 1.0 / (3.0 * bandwidth))
        variance = 6.0 * BOLTZMANN * temperature * bandwidth / resistance
        group = groups.setdefault(key, [component, 0.0])
        group[1] += variance
    if not groups and not seeded:
        return circuit
    extra = []
    for (_, interval), (first, variance) in groups.items():
        name = first.name + SUFFIX
        # Sign is immaterial; `I n+ n-` like the first element's own nodes.
        extra.append(CircuitElement("I", name, first.nodes, first.where,
                                    waveform=ThermalNoise(seed, stream_id(name), math.sqrt(variance), interval)))
    return replace(circuit, elements=elements + extra)


def step_cap(circuit: Circuit) -> float:
    """Longest step that resolves every noise source (inf without noise)."""
    return min((e.waveform.interval for e in circuit.elements if isinstance(e.waveform, ThermalNoise)),
               default=math.inf)


def wants_seed(circuit: Circuit) -> bool:
    """Whether a run of this circuit draws random numbers (noise or spread)."""
    options = circuit.options
    if options.get("temp") or any(k.startswith("spread") and v for k, v in options.items()):
        return True
    return any(e.temperature or e.spread or isinstance(e.waveform, ThermalNoise) for e in circuit.elements)

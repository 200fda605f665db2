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

The samples come from :mod:`kivrun.randoms` (counter-based, documented bit
for bit there): sample k of stream e is a pure function of (seed, e, k).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, replace

import numpy as np

from .circuit import Circuit, CircuitElement
# normal and uniform are also taken from here (spread, analysis code).
from .randoms import normal, normals, stream_id, stream_key, uniform  # noqa: F401
from .waveforms import Waveform

BOLTZMANN = 1.380649e-23
#: Noise bandwidth unless ``.neb`` or ``neb=`` sets one (Hz).
DEFAULT_BANDWIDTH = 1e12
#: Suffix of the name of the noise source added to a resistance.
SUFFIX = "#noise"

#: Past this many sample intervals (absurd times) a path holds its last segment.
_LAST_SAMPLE = 2.0 ** 62


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

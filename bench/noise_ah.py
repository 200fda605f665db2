"""Overdamped junction with thermal noise vs the exact Ivanchenko–Zil'berman /
Ambegaokar–Halperin time-averaged voltage, over bias 0.5–2 Ic at two noise strengths.

Each bias point runs as several independent copies in one netlist (one
junction and bias source per node), so one run gives the statistics: the
time average of V over each copy is the phase advance divided by the
duration, and the spread of the copies gives the statistical error.

    python bench/noise_ah.py [--quick]
"""
from __future__ import annotations

import math
import sys

import numpy as np
from scipy.special import i0e

from kivrun import units
from kivrun.api import simulate
from kivrun.noise import BOLTZMANN

IC = 10e-6          # critical current (A)
R = 20.0            # shunt (ohm): Ic·R = 0.2 mV, fc = 96.7 GHz
BANDWIDTH = 3e12    # noise bandwidth, 30 fc


def iz_voltage(i: float, d: float, points: int = 200001) -> float:
    """<V>/(Ic R) of an overdamped junction at bias i = I/Ic, noise d = kT/E_J.

    Stationary Fokker–Planck solution of dφ/dτ = i - sin φ + ξ, <ξξ> = 2d δ:
    v = d (1 - exp(-2π i/d)) / ∫₀^{2π} exp(-i x/d) I₀(2 sin(x/2)/d) dx.
    """
    x = np.linspace(0.0, 2.0 * math.pi, points)
    a = 2.0 * np.sin(x / 2.0) / d
    log_f = -i * x / d + a + np.log(i0e(a))
    top = log_f.max()
    integral = np.trapezoid(np.exp(log_f - top), x)
    return d * (-math.expm1(-2.0 * math.pi * i / d)) * math.exp(-top) / integral


def temperature_for(d: float) -> float:
    return d * units.PHI0_2PI * IC / BOLTZMANN


def netlist(biases: list[float], copies: int, d: float, stop: float) -> str:
    lines = [f"* overdamped junctions, noise d = {d}", f".model od jj(icrit={IC}, rtype=0, rn={R}, cap=0)",
             f".temp {temperature_for(d)}", f".neb {BANDWIDTH}"]
    for b, bias in enumerate(biases):
        for c in range(copies):
            n = f"n{b}_{c}"
            lines += [f"B{b}_{c} {n} 0 od", f"I{b}_{c} 0 {n} dc {bias * IC}"]
    lines += [f".tran 1p {stop}"]
    lines += [f".print p(B{b}_{c})" for b in range(len(biases)) for c in range(copies)]
    return "\n".join(lines) + "\n"


def measure(biases: list[float], copies: int, d: float, stop: float, settle: float, seed: int
            ) -> list[tuple[float, float, float]]:
    """(bias, mean v, standard error) per bias point."""
    result = simulate(netlist(biases, copies, d, stop), seed=seed)
    t = result.time
    first = np.searchsorted(t, settle)
    omega_c = IC * R / units.PHI0_2PI
    rows = []
    for b, bias in enumerate(biases):
        v = [(result[f"P(B{b}_{c})"][-1] - result[f"P(B{b}_{c})"][first])
             / ((t[-1] - t[first]) * omega_c) for c in range(copies)]
        # Below Ic the voltage comes from rare phase slips, which a
        # few copies sample poorly: the error is at least the Poisson error of
        # the number of slips theory expects over all copies.
        span = copies * (t[-1] - t[first]) * omega_c
        poisson = math.sqrt(2.0 * math.pi * iz_voltage(bias, d) / span) if bias < 1 else 0.0
        sem = float(np.std(v, ddof=1) / math.sqrt(copies))
        rows.append((bias, float(np.mean(v)), max(sem, poisson)))
    return rows


def main() -> None:
    quick = "--quick" in sys.argv
    biases = [0.5, 0.75, 1.0, 1.25, 1.5, 2.0]
    copies, stop = (4, 300e-12) if quick else (8, 2000e-12)
    print(f"Ic = {IC * 1e6:.0f} uA, R = {R} ohm, B = {BANDWIDTH / 1e12:g} THz, "
          f"{copies} copies x {stop * 1e12:.0f} ps per point")
    worst = 0.0
    for d in (0.05, 0.2):
        print(f"\nd = kT/E_J = {d} (T = {temperature_for(d):.1f} K)")
        print("  bias    sim v     theory   noiseless   error/sigma")
        for bias, v, err in measure(biases, copies, d, stop, 20e-12, seed=2026):
            exact = iz_voltage(bias, d)
            z = (v - exact) / err
            worst = max(worst, abs(z))
            print(f"  {bias:4.2f}  {v:8.4f}  {exact:8.4f}  {math.sqrt(max(bias * bias - 1, 0)):8.4f}"
                  f"   {z:+6.2f}  (sigma {err:.4f})")
    print(f"\nlargest |error|/sigma: {worst:.2f} (statistics alone: |z| < 3 nearly always)")


if __name__ == "__main__":
    main()

"""Static current-voltage curves of junction models (the ``.iv`` card).

The curve is that of a current-biased junction of unit area, from -IMAX to
IMAX: on the zero-voltage branch while |I| <= Ic, and above it the voltage
at which the quasiparticle current alone carries I.  In the voltage state
the supercurrent Ic·sin φ oscillates at the Josephson frequency and averages
to zero, and the capacitor carries no DC current, so the DC current is the
quasiparticle one: V/rn for rtype=0, the smooth branch plus V/r0 for
rtype=1 (see the docs).  This is the curve of a junction whose voltage
barely ripples (large capacitance, the hysteretic case the dialect's curve
describes); a heavily overdamped RSJ averages to V = R·√(I² − Ic²) instead.
"""
from __future__ import annotations

import csv
import os

import numpy as np

from .circuit import Circuit, IVRequest, JunctionValues
from .errors import NetlistError

#: Points of a written curve.
IV_POINTS = 1001


def quasiparticle_current(jj: JunctionValues, voltage: np.ndarray, where=None) -> np.ndarray:
    """The model's DC current carried by quasiparticles at ``voltage`` (SI, odd in V)."""
    v = np.asarray(voltage, dtype=float)
    if jj.kind in ("rsj", "rsjph"):
        return v / jj.resistance if jj.resistance else np.zeros_like(v)
    if jj.kind == "rsjn":
        p = np.power(np.abs(v) / jj.gap_voltage, jj.exponent)
        # p/(1+p) written as 1/(1+1/p) stays finite for huge p.
        with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
            fraction = np.where(p > 1.0, 1.0 / (1.0 + 1.0 / p), p / (1.0 + p))
        current = v * fraction / jj.resistance
        if jj.subgap_resistance:
            current = current + v / jj.subgap_resistance
        return current
    if jj.kind == "pwl":
        # Through (0, 0), (V1, V1/r0), (V2, V2/rn), then slope 1/rn: odd in V.
        v1, v2 = jj.gap_voltage - 0.5 * jj.gap_width, jj.gap_voltage + 0.5 * jj.gap_width
        r0, rn = jj.subgap_resistance or 0.0, jj.resistance or 0.0
        magnitude = np.interp(np.abs(v), [0.0, v1, v2], [0.0, v1 / r0, v2 / rn])
        beyond = np.abs(v) > v2
        magnitude[beyond] = np.abs(v[beyond]) / rn
        return np.sign(v) * magnitude
    raise NetlistError(f"no static I-V curve for a '{jj.kind}' junction model", where, jj.kind)


def iv_curve(jj: JunctionValues, max_current: float, points: int = IV_POINTS,
             where=None) -> tuple[np.ndarray, np.ndarray]:
    """(voltage, current) of the static curve at ``points`` currents from -max to +max."""
    current = np.linspace(-max_current, max_current, points)
    target = np.abs(current)
    # Bracket the voltage: the quasiparticle current grows without bound with V.
    high = np.full_like(target, max(jj.gap_voltage, 1e-6))
    for _ in range(200):
        short = quasiparticle_current(jj, high, where) < target
        if not short.any():
            break
        high[short] *= 2.0
    else:
        raise NetlistError("the model's quasiparticle current does not reach the .iv maximum", where,
                           f"{max_current:g}")
    low = np.zeros_like(target)
    for _ in range(100):
        middle = 0.5 * (low + high)
        below = quasiparticle_current(jj, middle, where) < target
        low = np.where(below, middle, low)
        high = np.where(below, high, middle)
    voltage = np.sign(current) * 0.5 * (low + high)
    voltage[target <= jj.critical_current] = 0.0
    return voltage, current


def write_iv(path: str, voltage: np.ndarray, current: np.ndarray) -> None:
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["voltage", "current"])
        for v, i in zip(voltage, current):
            writer.writerow([f"{v:.9g}", f"{i:.9g}"])


def iv_curves(circuit: Circuit) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """The curve of every ``.iv`` card of a circuit, by the file it names."""
    curves = {}
    for request in circuit.iv_requests:
        curves[request.path] = _curve_of(request)
    return curves


def write_iv_files(circuit: Circuit, directory: str = "") -> list[str]:
    """Write every ``.iv`` card's CSV (paths relative to ``directory``); returns the paths."""
    written = []
    for path, (voltage, current) in iv_curves(circuit).items():
        full = path if os.path.isabs(path) else os.path.join(directory, path)
        write_iv(full, voltage, current)
        written.append(full)
    return written


def _curve_of(request: IVRequest) -> tuple[np.ndarray, np.ndarray]:
    assert request.junction is not None
    return iv_curve(request.junction, request.max_current, where=request.where)

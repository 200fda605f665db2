"""The circuit after subcircuit expansion, one element a line, values in engineering units."""
from __future__ import annotations

import math

from .circuit import Circuit, CircuitElement, JunctionValues
from .waveforms import Constant, PiecewiseLinear, Pulse, Sine, Waveform

_PREFIXES = [(1e12, "T"), (1e9, "G"), (1e6, "M"), (1e3, "k"), (1.0, ""), (1e-3, "m"), (1e-6, "µ"),
             (1e-9, "n"), (1e-12, "p"), (1e-15, "f"), (1e-18, "a")]
_UNITS = {"R": "Ω", "L": "H", "C": "F", "I": "A", "V": "V", "P": "rad"}


def eng(value: float, unit: str = "") -> str:
    """``2.5e-12, 'H'`` -> ``2.5 pH``."""
    if value == 0 or not math.isfinite(value) or unit == "rad":
        return f"{value:.6g} {unit}".strip()
    for scale, prefix in _PREFIXES:
        if abs(value) >= scale * (1 - 1e-12):
            return f"{value / scale:.6g} {prefix}{unit}"
    return f"{value:.6g} {unit}"


def waveform_text(wave: Waveform, unit: str) -> str:
    if isinstance(wave, Constant):
        return f"DC {eng(wave.level, unit)}"
    if isinstance(wave, PiecewiseLinear):
        points = " ".join(f"{eng(t, 's')} {eng(v, unit)}" for t, v in zip(wave.times, wave.values))
        return f"PWL({points})"
    if isinstance(wave, Pulse):
        fields = [eng(wave.v1, unit), eng(wave.v2, unit)] + [eng(x, "s") for x in
                                                             (wave.delay, wave.rise, wave.fall, wave.width, wave.period)]
        return "PULSE(" + " ".join(fields) + ")"
    if isinstance(wave, Sine):
        return (f"SIN({eng(wave.offset, unit)} {eng(wave.amplitude, unit)} {eng(wave.frequency, 'Hz')} "
                f"{eng(wave.delay, 's')} {wave.damping:g})")
    return type(wave).__name__


def junction_text(jj: JunctionValues) -> str:
    parts = [jj.kind, f"Ic={eng(jj.critical_current, 'A')}", f"C={eng(jj.capacitance, 'F')}"]
    if jj.resistance is not None:
        parts.append(f"R={eng(jj.resistance, 'Ω')}")
    if jj.subgap_resistance is not None:
        parts.append(f"Rsub={eng(jj.subgap_resistance, 'Ω')}")
    if jj.kind == "rsjn" or jj.kernel:
        parts.append(f"Vg={eng(jj.gap_voltage, 'V')}")
    if jj.kind == "rsjn":
        parts.append(f"n={jj.exponent:g}")
    if jj.phase_shift:
        parts.append(f"phi={jj.phase_shift:g}")
    if jj.kernel:
        parts.append(f"tjm={jj.kernel}")
    return " ".join(parts)


def element_line(element: CircuitElement) -> str:
    if element.kind == "K":
        value = f"k={element.value:g} couples {' '.join(element.coupled or ())}"
    elif element.junction is not None:
        value = junction_text(element.junction)
    elif element.waveform is not None:
        value = waveform_text(element.waveform, _UNITS.get(element.kind, ""))
    elif element.value is not None:
        value = eng(element.value, _UNITS.get(element.kind, ""))
    else:
        value = ""
    return f"{element.name:<14} {' '.join(element.nodes):<18} {value}".rstrip()


def listing(circuit: Circuit) -> str:
    """Every element after expansion, then the analysis and the outputs."""
    lines = [f"* {circuit.title}", f"* elements: {len(circuit.elements)}, nodes: {len(circuit.nodes())}"]
    lines += [element_line(e) for e in circuit.elements]
    tran = circuit.transient
    if tran is not None:
        lines.append(f".tran {eng(tran.step, 's')} {eng(tran.stop, 's')} {eng(tran.start, 's')}"
                     + (f" {eng(tran.max_step, 's')}" if tran.max_step else ""))
    if circuit.options:
        lines.append(".options " + " ".join(f"{k}={v:g}" for k, v in circuit.options.items()))
    if circuit.probes:
        lines.append(".print " + " ".join(p.label for p in circuit.probes))
    return "\n".join(lines)

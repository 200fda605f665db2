"""Range and finiteness checks of the run settings, before any work is done.

A NaN tolerance, a zero maximum step or a stop time a billion steps away
would otherwise surface as a foreign traceback deep in the stepper, or as a
run that never ends.  Each value is named with the card that set it (or as
an argument, when the caller passed it).
"""
from __future__ import annotations

import math
from typing import Callable, Mapping

from .circuit import Circuit
from .errors import Location, NetlistError
from .waveforms import MAX_BREAKPOINTS, PiecewiseLinear, TooManyBreakpoints

#: Most steps a fixed or maximum step may imply before the stop time.
MAX_STEPS = 1_000_000_000
#: Most points the .tran output step may put on the output grid.
MAX_OUTPUT_POINTS = 10_000_000

_RULES: dict[str, tuple[str, Callable[[float], bool]]] = {
    "tol": ("must be a number in (0, 1]", lambda v: 0.0 < v <= 1.0),
    "reltol": ("must be a number in [0, 1)", lambda v: 0.0 <= v < 1.0),
    "order": ("must be 2 or 3", lambda v: v in (2, 3)),
    "maxstep": ("must be positive", lambda v: v > 0.0),
    "fixedstep": ("must be a finite number >= 0", lambda v: 0.0 <= v < math.inf),
    "ramp": ("must be a finite number >= 0", lambda v: 0.0 <= v < math.inf),
    "maxbreakpoints": ("must be a whole number >= 1", lambda v: v >= 1 and v == int(v)),
}


def check_settings(circuit: Circuit, values: Mapping[str, float], arguments: set[str]) -> None:
    """Raise NetlistError for the first value of ``values`` (option name -> SI value) out of range.

    ``arguments`` names the values the caller passed rather than the netlist.
    """
    tran = circuit.transient
    assert tran is not None
    tran_where = tran.where or Location(circuit.source, 0)

    def fail(message: str, name: str, value: float) -> None:
        where = None if name in arguments else circuit.option_where.get(name, tran_where)
        origin = " argument" if name in arguments else ""
        raise NetlistError(f"{name}{origin} {message}", where, f"{name}={value:g}")

    for name, value in values.items():
        message, valid = _RULES[name]
        if not valid(value):
            fail(message, name, value)
    if not (0.0 < tran.stop < math.inf and 0.0 < tran.step < math.inf):
        raise NetlistError(".tran step and stop time must be finite and positive", tran_where,
                           f"{tran.step:g} {tran.stop:g}")
    if tran.stop / tran.step > MAX_OUTPUT_POINTS:
        raise NetlistError(f"output step gives more than {MAX_OUTPUT_POINTS} points", tran_where,
                           f"{tran.step:g}")
    for name in ("fixedstep", "maxstep"):
        step = values.get(name, 0.0)
        if step > 0.0 and (tran.stop - tran.start) / step > MAX_STEPS:
            fail(f"gives more than {MAX_STEPS} steps before the stop time", name, step)


def source_breakpoints(circuit: Circuit, limit: float = MAX_BREAKPOINTS) -> list[float]:
    """Sorted corners of all sources before the stop time; at most ``limit`` in all."""
    tran = circuit.transient
    assert tran is not None
    points: set[float] = set()
    left = int(limit)
    # Sources written alike share a waveform; a PWL's corners are the same each time
    # (and too many exactly when more than are left), so they are listed once.
    listed: dict[int, list[float]] = {}
    for element in circuit.elements:
        waveform = element.waveform
        if waveform is None:
            continue
        corners = listed.get(id(waveform))
        if corners is not None and len(corners) <= left:
            left -= len(corners)
            continue
        try:
            corners = waveform.breakpoints(tran.stop, left)
        except TooManyBreakpoints:
            raise NetlistError(f"sources have more than {int(limit)} corners before the stop time "
                               "(raise the limit with .options maxbreakpoints=N)",
                               element.where, element.name) from None
        if isinstance(waveform, PiecewiseLinear):
            listed[id(waveform)] = corners
        left -= len(corners)
        points.update(corners)
    return sorted(points)

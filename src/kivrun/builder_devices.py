"""Plans for the element models beside the core's: transmission lines and controlled sources.

Their terminals are taken as written (any may be ground: the models drop
ground rows and columns), so no element of these kinds is reversed.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Callable

from . import units
from .circuit import CircuitElement
from .waveforms import Constant

if TYPE_CHECKING:
    from .builder import _Plan

Number = Callable[[str], int]


def _flat(pairs: list[tuple[int, int]]) -> tuple[int, ...]:
    """(row, col) pairs as the plan keeps them: one flat tuple."""
    return tuple(x for pair in pairs for x in pair)


def line_plan(component: CircuitElement, number: Number, q1: int, q2: int, make: type) -> "_Plan":
    i, j, k, l = (number(n) for n in component.nodes)
    slots = [(i, q1), (j, q1), (q1, i), (q1, j), (q1, q1), (k, q2), (l, q2), (q2, k), (q2, l), (q2, q2)]
    params = [units.to_core(component.value or 0.0, "resistance"), units.to_core(component.delay or 0.0, "time")]
    return make(component, component.name, "TransmissionLineModel", (i, j, k, l, q1, q2), _flat(slots), params)


def controlled_plans(component: CircuitElement, number: Number, next_unknown: int,
                     branch_of: dict[str, tuple[int, float]], make: type) -> tuple[list["_Plan"], int]:
    """The source's plan (and, for a current control between two nodes, its
    zero-volt sense branch); returns them and the next free unknown."""
    kind, name, value = component.kind, component.name, component.value or 0.0
    i, j = number(component.nodes[0]), number(component.nodes[1])
    plans: list[_Plan] = []
    s, sign = 0, 1.0
    if kind in "FH":
        if component.coupled:
            s, sign = branch_of[component.coupled[0]]
        else:
            # The controlling current flows from c+ through a short to c-.
            plus, minus = component.nodes[2], component.nodes[3]
            sense = CircuitElement("V", name + "#sense", (plus, minus), component.where, waveform=Constant(0.0))
            a, b = number(plus), number(minus)
            if a == 0:
                a, b, sign = b, 0, -1.0
            s = next_unknown
            next_unknown += 1
            plans.append(make(sense, sense.name, "VoltageSourceModel", (a, b, s),
                              _flat([(a, s), (b, s), (s, a), (s, b)]),
                              waveform=(sense.waveform, units.VOLTAGE, sign), orientation=sign))
    if kind == "E":
        k, l = number(component.nodes[2]), number(component.nodes[3])
        q = next_unknown
        next_unknown += 1
        plans.append(make(component, name, "VCVSModel", (i, j, k, l, q),
                          _flat([(i, q), (j, q), (q, i), (q, j), (q, k), (q, l)]), [value]))
    elif kind == "G":
        k, l = number(component.nodes[2]), number(component.nodes[3])
        # A transconductance in core units: SI siemens times the core's resistance unit.
        plans.append(make(component, name, "VCCSModel", (i, j, k, l), _flat([(i, k), (i, l), (j, k), (j, l)]),
                          [value * units.RESISTANCE]))
    elif kind == "F":
        plans.append(make(component, name, "CCCSModel", (i, j, s), _flat([(i, s), (j, s)]), [value * sign]))
    else:
        q = next_unknown
        next_unknown += 1
        plans.append(make(component, name, "CCVSModel", (i, j, q, s),
                          _flat([(i, q), (j, q), (q, i), (q, j), (q, s)]),
                          [units.to_core(value, "resistance") * sign]))
    return plans, next_unknown


def line_delays(elements: list[CircuitElement]) -> list[float]:
    return sorted({e.delay for e in elements if e.kind == "T" and e.delay})


def delayed_corners(corners: list[float], delays: list[float], stop: float, limit: float) -> list[float]:
    """Source corners and their echoes one, two, ... delays later (a corner
    travelling through a line arrives sharp only if a step lands on it)."""
    out = set(corners)
    frontier = list(corners)
    while frontier and delays:
        later = {c + d for c in frontier for d in delays if c + d <= stop} - out
        out |= later
        if len(out) > limit:
            break
        frontier = sorted(later)
    return sorted(out)[: int(limit)]

"""Changing the values of a built circuit in place, and putting them back.

A *change* maps targets to multipliers of their nominal value:

- an element name or glob (``IB*``, ``L*.X3``, ``B1.X1``; case-insensitive):
  R, L, C and K values, source waveforms, and junction *areas* (critical
  current and capacitance times m, resistances divided by m);
- ``bias``: every current source whose value is constant after its ramp;
- a top-level ``.param`` name (or ``param:NAME`` when an element shares the
  name): its value times m, with every expression that uses it.

Element changes go through the models' ``SetParameters``; nothing is read or
built again.  A ``.param`` change needs the netlist read again with the new
value, which :class:`~kivrun.execution.Job` does (see ``Job.prepared``).
"""
from __future__ import annotations

import fnmatch
import math
from typing import Iterable, Mapping

from .builder import BuiltCircuit, Element, SourceElement
from .circuit import Circuit
from .errors import Location, NetlistError
from .waveforms import Constant, PiecewiseLinear

BIAS = "bias"
PARAM_PREFIX = "param:"

#: How an area multiplier m acts on each junction model's parameters: "m", "1/m" or "1".
_JUNCTION_SCALING = {
    "JunctionModel": ("m", "1/m", "m"),
    "JunctionRSJPHModel": ("m", "1/m", "m", "1"),
    "JunctionRSJNModel": ("m", "1/m", "1", "1", "m"),
    # [kernel, crit_current, beta, wvg, wvrat, wrrat]: only the current scales with area.
    "JunctionTJMModel": ("1", "m", "1", "1", "1", "1"),
}


def is_bias_source(element: Element) -> bool:
    """A current source that is constant after its ramp (a DC bias, or a PWL ramp to a level)."""
    if element.kind != "I" or not isinstance(element, SourceElement):
        return False
    waveform = element.waveform
    if isinstance(waveform, Constant):
        return True
    if isinstance(waveform, PiecewiseLinear):
        levels = [abs(v) for v in waveform.values]
        return levels[0] == 0.0 and all(b >= a for a, b in zip(levels, levels[1:])) and levels[-1] > 0
    return False


def _scaled(params: list, rule: tuple[str, ...], m: float) -> list:
    factors = {"m": m, "1/m": 1.0 / m if m else math.inf, "1": 1.0}
    return [p * factors[r] if r != "1" else p for p, r in zip(params, rule)]


class Variation:
    """Applies changes to one built circuit and restores its nominal values."""

    def __init__(self, built: BuiltCircuit, circuit: Circuit):
        self.built = built
        self.params = dict(circuit.params)
        self.nominal = [list(e.params) for e in built.elements]
        self.nominal_scale = {k: e.scale for k, e in enumerate(built.elements)
                              if isinstance(e, SourceElement)}
        self._resolved: dict[str, list[int]] = {}
        self._touched: set[int] = set()
        #: junction index -> indices of its companion elements (a subgap resistor)
        self.companions = built.companions
        #: K index -> indices of the two inductors it couples
        self.couplings: dict[int, tuple[int, int]] = {}
        for component in circuit.elements:
            if component.kind == "K" and component.coupled:
                a, b = (built.element_index[key] for key in component.coupled)
                self.couplings[built.element_index[component.key]] = (a, b)

    # -- resolving names ----------------------------------------------------
    def is_param(self, target: str) -> bool:
        """Does ``target`` name a ``.param`` (and no element)?"""
        key = target.lower()
        if key.startswith(PARAM_PREFIX):
            return True
        return key in self.params and not self._match(key)

    def param_name(self, target: str) -> str:
        key = target.lower()
        return key[len(PARAM_PREFIX):] if key.startswith(PARAM_PREFIX) else key

    def check(self, target: str) -> None:
        """Raise a NetlistError unless ``target`` names something to vary."""
        if self.is_param(target):
            if self.param_name(target) not in self.params:
                raise NetlistError("no such .param", Location(self.built.circuit.source, 0), target)
            return
        if not self.indices(target):
            raise NetlistError("no element matches", Location(self.built.circuit.source, 0), target)

    def _match(self, key: str) -> list[int]:
        elements = self.built.elements
        if key == BIAS:
            return [k for k, e in enumerate(elements) if is_bias_source(e)]
        # A junction's companion follows its junction; it is never a target of its own.
        return [k for k, e in enumerate(elements)
                if "#" not in e.name and fnmatch.fnmatchcase(e.name.lower(), key)]

    def indices(self, target: str) -> list[int]:
        key = target.lower()
        found = self._resolved.get(key)
        if found is None:
            found = self._resolved[key] = self._match(key)
        return found

    def param_values(self, change: Mapping[str, float]) -> dict[str, float]:
        """The ``.param`` values a change asks for (empty: no re-read needed)."""
        values: dict[str, float] = {}
        for target, m in change.items():
            if self.is_param(target):
                name = self.param_name(target)
                values[name] = values.get(name, self.params[name]) * m
        return values

    # -- applying -----------------------------------------------------------
    def multipliers(self, change: Mapping[str, float]) -> dict[int, float]:
        """Element index -> product of the multipliers that reach it."""
        factors: dict[int, float] = {}
        for target, m in change.items():
            if self.is_param(target):
                continue
            for k in self.indices(target):
                factors[k] = factors.get(k, 1.0) * m
        # A coupling keeps its coefficient: the mutual follows sqrt(L1*L2).
        for k, (a, b) in self.couplings.items():
            if a in factors or b in factors:
                factors[k] = factors.get(k, 1.0) * math.sqrt(factors.get(a, 1.0) * factors.get(b, 1.0))
        return factors

    def apply(self, change: Mapping[str, float]) -> None:
        """Set the circuit to nominal times the change (undoing any earlier change)."""
        self.restore()
        for k, m in self.multipliers(change).items():
            self._set(k, m)

    def restore(self) -> None:
        for k in self._touched:
            self._set(k, 1.0, record=False)
        self._touched.clear()

    def _set(self, k: int, m: float, record: bool = True) -> None:
        element = self.built.elements[k]
        if record:
            self._touched.add(k)
        if isinstance(element, SourceElement):
            element.scale = self.nominal_scale[k] * m
            element.UpdateParameters()
            return
        rule = _JUNCTION_SCALING.get(type(element.model).__name__, ("m",) * len(element.params))
        element.params = _scaled(self.nominal[k], rule, m)
        element.UpdateParameters()
        for c in self.companions.get(k, ()):
            if record:
                self._touched.add(c)
            companion = self.built.elements[c]
            companion.params = _scaled(self.nominal[c], ("1/m",), m)
            companion.UpdateParameters()


def element_names(built: BuiltCircuit, patterns: Iterable[str] = ("*",)) -> list[str]:
    """Names of the elements (not companions) matching any of ``patterns``."""
    keys = [p.lower() for p in patterns]
    return [e.name for e in built.elements
            if "#" not in e.name and any(fnmatch.fnmatchcase(e.name.lower(), p) for p in keys)]

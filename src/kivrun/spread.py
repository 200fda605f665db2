"""Process spread: element values drawn once per run from the seed.

``.spread S [L=..] [B=..] [C=..] [R=..]`` and per-element ``spread=`` give
a relative half-width s; the element's value is multiplied by a factor
drawn uniformly from [1 - s, 1 + s] (standard deviation s/√3), as the
dialect defines it.  Precedence: the element's own ``spread=``, then the
global value for its kind, then the global value.  A junction's factor
scales its area (critical current and capacitance by m, resistances by
1/m).

The factor of an element is a pure function of the seed and the element's
name: ``1 + s·(2u - 1)`` with u = ``noise.uniform(seed, stream_id("spread:" + name), 0)``,
so the draw does not depend on the order or number of other elements.
"""
from __future__ import annotations

from dataclasses import replace

from .circuit import Circuit, CircuitElement
from .noise import stream_id, uniform

#: Option keys ``.spread`` fills: the global value and one per element kind.
GLOBAL = "spread"
PER_KIND = {"L": "spreadl", "B": "spreadb", "C": "spreadc", "R": "spreadr"}


def relative_spread(component: CircuitElement, options: dict[str, float]) -> float:
    if component.kind not in PER_KIND:
        return 0.0
    if component.spread is not None:
        return component.spread
    if PER_KIND[component.kind] in options:
        return options[PER_KIND[component.kind]]
    return options.get(GLOBAL, 0.0)


def factor(seed: int, name: str, spread: float) -> float:
    """The multiplier of element ``name`` for relative half-width ``spread``."""
    u = uniform(seed, stream_id("spread:" + name), 0)
    return 1.0 + spread * (2.0 * u - 1.0)


def _scaled(component: CircuitElement, m: float) -> CircuitElement:
    if component.kind != "B":
        return replace(component, value=(component.value or 0.0) * m)
    jj = component.junction
    assert jj is not None
    divide = lambda r: None if r is None else r / m  # noqa: E731
    return replace(component, junction=replace(
        jj, critical_current=jj.critical_current * m, capacitance=jj.capacitance * m,
        resistance=divide(jj.resistance), subgap_resistance=divide(jj.subgap_resistance)))


def apply_spread(circuit: Circuit, seed: int) -> tuple[Circuit, dict[str, float]]:
    """The circuit with spread values, and the factor drawn for each spread element."""
    drawn: dict[str, float] = {}
    elements = []
    for component in circuit.elements:
        spread = relative_spread(component, circuit.options)
        if spread:
            m = drawn[component.name] = factor(seed, component.key, spread)
            component = _scaled(component, m)
        elements.append(component)
    if not drawn:
        return circuit, drawn
    return replace(circuit, elements=elements), drawn

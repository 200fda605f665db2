"""Circuit builder: numbering, sparse pattern, slots, bound element models.

Unknowns are numbered 1..N for the nodes (in order of first appearance),
then one branch unknown per voltage source, phase source and branch-form
inductor.  An inductor takes the branch form only when a K couples it;
otherwise it is a nodal InductorModel.

Two-terminal elements are oriented so that their first terminal is never
ground: an element written ``n1=0`` is built from ``n2`` to ground and its
reported current, phase and voltage (and flux-quantum counts) carry the
factor ``orientation = -1``.  This keeps every ground case on the plain
two-node rule, whatever a model does for a grounded first terminal.
"""
from __future__ import annotations

import array
import math
import threading
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import SimulationParameters as SP
from . import kvglobals, units
from .circuit import GROUND, Circuit, CircuitElement, JunctionValues
from .builder_devices import controlled_plans, line_plan, node_number
from .errors import NetlistError
from .waveforms import Waveform

#: Stands in for "no shunt" in the junction's ΔV/R term.
NO_SHUNT_RESISTANCE = 1e30


class Element:
    """A circuit element as the core sees it: ``model`` and ``UpdateParameters()``."""

    def __init__(self, name: str, kind: str, model: Any, params: list[float], orientation: float = 1.0):
        self.name = name
        self.kind = kind
        self.model = model
        self.params = params
        self.orientation = orientation
        #: A junction's (i, j) as built; None for other elements.
        self.terminals: tuple[int, int] | None = None

    def UpdateParameters(self) -> None:  # noqa: N802 - name fixed by the core
        self.model.SetParameters(self.params)


class SourceElement(Element):
    """A source whose value follows a waveform of the time ``kvglobals.CurrentTime``."""

    def __init__(self, name: str, kind: str, model: Any, waveform: Waveform, unit: float,
                 sign: float, orientation: float = 1.0):
        super().__init__(name, kind, model, [0.0], orientation)
        self.waveform = waveform
        self.scale = sign / unit
        self._value = [0.0]

    def value_at(self, core_time: float) -> float:
        return self.waveform.value(core_time * units.TIME) * self.scale

    def UpdateParameters(self) -> None:  # noqa: N802 - name fixed by the core
        self._value[0] = self.value_at(kvglobals.CurrentTime)
        self.model.SetParameters(self._value)


@dataclass
class BuiltCircuit:
    """Everything the engine needs, with the models bound to ``kvglobals``."""

    circuit: Circuit
    node_numbers: dict[str, int]
    n_nodes: int
    n_unknowns: int
    elements: list[Element]
    element_index: dict[str, int]
    #: Sources whose value changes with time (refreshed every step).
    varying_sources: list[SourceElement]
    col_pointers: array.array
    row_indices: array.array
    #: kvglobals' NodePhase, NodeVoltage, NodeDVoltage as rows of one array.
    node_block: np.ndarray
    #: kvglobals' ElementPhase, ElementVoltage as rows of one array.
    element_block: np.ndarray
    #: kvglobals' ElementInc, ElementDec as rows of one array.
    flag_block: np.ndarray
    #: Extra elements whose current belongs to another (a junction's subgap resistor).
    companions: dict[int, list[int]] = field(default_factory=dict)
    #: kvglobals' ElementCurrent and ElementN as bound at build time.
    element_current: np.ndarray = field(default_factory=lambda: np.zeros(0))
    element_counts: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int32))

    @property
    def nnz(self) -> int:
        return len(self.row_indices)


def _stampworks() -> Any:
    from . import Stampworks  # compiled core, imported on first build
    return Stampworks


def _elements() -> Any:
    """kivrun.Elements: the models beside the core's, published when the core loads."""
    import importlib

    _stampworks()
    return importlib.import_module("kivrun.Elements")


class _Pattern:
    """Collects the matrix entries the models touch and hands out slots."""

    def __init__(self) -> None:
        self.entries: set[tuple[int, int]] = set()
        self.positions: dict[tuple[int, int], int] = {}

    def need(self, *pairs: tuple[int, int]) -> None:
        for row, col in pairs:
            if row and col:
                self.entries.add((row, col))

    def freeze(self) -> tuple[array.array, array.array]:
        order = sorted(self.entries, key=lambda rc: (rc[1], rc[0]))
        self.positions = {rc: k for k, rc in enumerate(order)}
        n = max((max(rc) for rc in order), default=0)
        counts = np.bincount([c for _, c in order], minlength=n + 1)[1:]
        pointers = np.concatenate(([0], np.cumsum(counts)))
        rows = [r - 1 for r, _ in order]
        return array.array("i", pointers.astype(np.int32).tolist()), array.array("i", rows)

    def slot(self, row: int, col: int) -> int:
        # A slot in a ground row or column is never used; 0 is always in range.
        if not row or not col:
            return 0
        return self.positions[(row, col)]


@dataclass
class _Plan:
    """One model to create: its class, constructor arguments, slot pairs, parameters."""

    component: CircuitElement
    name: str
    cls: str
    args: tuple[int, ...]
    slot_pairs: list[tuple[int, int]]
    params: list[float] | None = None
    waveform: tuple[Waveform, float, float] | None = None
    orientation: float = 1.0
    companion_of: int | None = None


#: Building writes the host state in ``kvglobals`` that models bind to and
#: registers them with the core: two builds at once would bind each other's arrays.
_BUILD_LOCK = threading.Lock()


def build(circuit: Circuit) -> BuiltCircuit:
    """Number the circuit, bind one model per element and register them with the core.

    Builds are serialised (one at a time per process); the circuit built owns
    its state arrays, so runs of different built circuits may go on in threads.
    """
    with _BUILD_LOCK:
        return _build(circuit)


def _build(circuit: Circuit) -> BuiltCircuit:
    _check_nodes(circuit)
    node_numbers = {name: k + 1 for k, name in enumerate(circuit.nodes())}
    n_nodes = len(node_numbers)
    plans, n_unknowns = _plan(circuit, node_numbers, n_nodes)
    pattern = _Pattern()
    for n in range(1, n_nodes + 1):
        pattern.need((n, n))  # keeps every node row structurally non-singular
    for plan in plans:
        pattern.need(*plan.slot_pairs)
    col_pointers, row_indices = pattern.freeze()
    if len(col_pointers) != n_unknowns + 1:
        raise NetlistError("circuit has an unknown without any equation", circuit.elements[0].where, "")
    node_block, element_block, flag_block = _allocate_state(n_unknowns, len(plans))
    elements, varying, companions = _bind(plans, pattern)
    _register(elements, n_unknowns)
    return BuiltCircuit(circuit, node_numbers, n_nodes, n_unknowns, elements,
                        {e.name.lower(): k for k, e in enumerate(elements)}, varying,
                        col_pointers, row_indices, node_block, element_block, flag_block, companions,
                        kvglobals.ElementCurrent, kvglobals.ElementN)


def _check_nodes(circuit: Circuit) -> None:
    """A node that only current sources touch has no equation to solve."""
    touched: dict[str, CircuitElement] = {}
    sourced: dict[str, CircuitElement] = {}
    for component in circuit.elements:
        for node in component.nodes:
            (sourced if component.kind == "I" else touched).setdefault(node, component)
    for node, component in sourced.items():
        if node != GROUND and node not in touched:
            raise NetlistError("node is connected only to current sources", component.where, node)


def _plan(circuit: Circuit, node_numbers: dict[str, int], n_nodes: int) -> tuple[list[_Plan], int]:
    # Inductors whose current a K couples or an F/H senses carry it as an unknown.
    branch_form = {key for e in circuit.elements if e.kind in "KFH" for key in e.coupled or ()}
    inductors = {e.key: e for e in circuit.elements if e.kind == "L"}
    next_unknown = n_nodes + 1
    branch_of: dict[str, tuple[int, float]] = {}
    plans: list[_Plan] = []
    number = node_number(node_numbers)
    for component in circuit.elements:
        if component.kind in "KEFGH":
            continue
        if component.kind == "T":
            plans.append(line_plan(component, number, next_unknown, next_unknown + 1, _Plan))
            next_unknown += 2
            continue
        n1 = node_numbers.get(component.nodes[0], 0) if component.nodes[0] != GROUND else 0
        n2 = node_numbers.get(component.nodes[1], 0) if component.nodes[1] != GROUND else 0
        orientation = 1.0
        if n1 == 0 and component.kind != "I":
            n1, n2, orientation = n2, 0, -1.0
        q = 0
        if component.kind in "VP" or (component.kind == "L" and component.key in branch_form):
            q = next_unknown
            next_unknown += 1
            branch_of[component.key] = (q, orientation)
        plans.extend(_plan_element(component, n1, n2, q, orientation, len(plans)))
    for component in circuit.elements:
        if component.kind == "K":
            (q, s1), (v, s2) = (branch_of[k] for k in component.coupled or ())
            l1, l2 = (inductors[k].value or 0.0 for k in component.coupled or ())
            mutual = (component.value or 0.0) * math.sqrt(l1 * l2) * s1 * s2
            plans.append(_Plan(component, component.name, "MutualInductanceModel", (q, v),
                               [(q, q), (q, v), (v, q), (v, v)],
                               [units.to_core(mutual, "inductance")]))
        elif component.kind in "EFGH":
            more, next_unknown = controlled_plans(component, number, next_unknown, branch_of, _Plan)
            plans.extend(more)
    return plans, next_unknown - 1


def _two_terminal(i: int, j: int) -> list[tuple[int, int]]:
    return [(i, i), (i, j), (j, i), (j, j)]


#: Passive two-terminal elements: model class and the quantity of their value.
_PASSIVE = {"R": ("ResistorModel", "resistance"), "C": ("CapacitorModel", "capacitance"),
            "L": ("InductorModel", "inductance")}


def _plan_element(component: CircuitElement, i: int, j: int, q: int, orientation: float,
                  index: int) -> list[_Plan]:
    kind, name = component.kind, component.name
    if kind == "L" and q:
        value = units.to_core(component.value or 0.0, "inductance")
        return [_Plan(component, name, "InductorImpedanceModel", (i, j, q),
                      [(i, q), (j, q), (q, i), (q, j), (q, q)], [value], orientation=orientation)]
    if kind in _PASSIVE:
        cls, quantity = _PASSIVE[kind]
        value = units.to_core(component.value or 0.0, quantity)
        return [_Plan(component, name, cls, (i, j), _two_terminal(i, j), [value], orientation=orientation)]
    if kind == "I":
        # SPICE `I n+ n-` pushes current out of n- into the circuit: the model
        # delivers into its first terminal and draws from its second.
        return [_Plan(component, name, "CurrentSourceModel", (j, i), [],
                      waveform=(component.waveform, units.CURRENT, 1.0))]
    if kind in "VP":
        cls = "VoltageSourceModel" if kind == "V" else "PhaseSourceModel"
        unit = units.VOLTAGE if kind == "V" else 1.0
        return [_Plan(component, name, cls, (i, j, q), [(i, q), (j, q), (q, i), (q, j)],
                      waveform=(component.waveform, unit, orientation), orientation=orientation)]
    return _plan_junction(component, i, j, orientation, index)


def _plan_junction(component: CircuitElement, i: int, j: int, orientation: float, index: int) -> list[_Plan]:
    jj = component.junction
    assert jj is not None
    core = units.to_core
    ic = core(jj.critical_current, "current")
    cap = core(jj.capacitance, "capacitance")
    shunt = core(jj.resistance, "resistance") if jj.resistance else NO_SHUNT_RESISTANCE
    slots = _two_terminal(i, j)
    if jj.kind == "rsj":
        plans = [_Plan(component, component.name, "JunctionModel", (i, j), slots, [ic, shunt, cap],
                       orientation=orientation)]
    elif jj.kind == "tjm":
        plans = [_Plan(component, component.name, "JunctionTJMModel", (i, j), slots,
                       tunnel_parameters(jj), orientation=orientation)]
    elif jj.kind == "rsjph":
        # Reversed terminals see the shift with the opposite sign.
        plans = [_Plan(component, component.name, "JunctionRSJPHModel", (i, j), slots,
                       [ic, shunt, cap, jj.phase_shift * orientation], orientation=orientation)]
    elif jj.kind == "pwl":
        plans = [_Plan(component, component.name, "JunctionPWLModel", (i, j), slots,
                       [ic, core(jj.subgap_resistance or 0.0, "resistance"), shunt,
                        core(jj.gap_voltage, "voltage"), core(jj.gap_width, "voltage"), cap,
                        jj.phase_shift * orientation], orientation=orientation)]
    elif jj.phase_shift:
        # A shifted supercurrent on the quasiparticle curve: the shifted junction
        # without shunt, and the branch as a companion junction without supercurrent.
        plans = [_Plan(component, component.name, "JunctionRSJPHModel", (i, j), slots,
                       [ic, NO_SHUNT_RESISTANCE, cap, jj.phase_shift * orientation], orientation=orientation),
                 _Plan(component, component.name + "#qp", "JunctionRSJNModel", (i, j), slots,
                       [0.0, shunt, core(jj.gap_voltage, "voltage"), jj.exponent, 0.0],
                       orientation=orientation, companion_of=index)]
    else:
        plans = [_Plan(component, component.name, "JunctionRSJNModel", (i, j), slots,
                       [ic, shunt, core(jj.gap_voltage, "voltage"), jj.exponent, cap],
                       orientation=orientation)]
    if jj.kind == "rsjn":
        if jj.subgap_resistance:
            plans.append(_Plan(component, component.name + "#r0", "ResistorModel", (i, j), slots,
                               [core(jj.subgap_resistance, "resistance")], orientation=orientation,
                               companion_of=index))
    return plans


def tunnel_parameters(jj: JunctionValues) -> list:
    """InitTJMModel's [kernel, crit_current, beta, wvg, wvrat, wrrat] for a tunnel junction.

    The one mapping of physical parameters onto the model lives in
    ``kivrun.tjmfit.units``; here it only gets the core's voltage and current units.
    """
    from .tjmfit.units import tjm_init_params

    return tjm_init_params(jj.kernel, icrit=jj.critical_current, cap=jj.capacitance,
                           vg=jj.gap_voltage, rn=jj.resistance, rsub=jj.subgap_resistance,
                           v0=units.VOLTAGE, i0=units.CURRENT)


def _allocate_state(n_unknowns: int, n_elements: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Fresh state arrays in ``kvglobals``; returns the node and element blocks.

    The node phase, voltage and derivative are the rows of one block, and the
    element phase and voltage of another, so that the engine moves each set
    with one copy per step (a row of a C-ordered block is itself contiguous).
    """
    kvglobals.TotalNodes = n_unknowns
    node_block = np.zeros((3, n_unknowns))
    kvglobals.NodePhase, kvglobals.NodeVoltage, kvglobals.NodeDVoltage = node_block
    element_block = np.zeros((2, n_elements))
    kvglobals.ElementPhase, kvglobals.ElementVoltage = element_block
    kvglobals.ElementCurrent = np.zeros(n_elements)
    kvglobals.ElementN = np.zeros(n_elements, dtype=np.int32)
    # The two flag arrays share a block too: one test finds any event.
    flag_block = np.zeros((2, n_elements), dtype=np.uint8)
    kvglobals.ElementInc, kvglobals.ElementDec = flag_block
    kvglobals.CurrentTime = 0.0
    kvglobals.OptimizeSimulation = False
    SP.InitialSmoothFactor = 1.0
    return node_block, element_block, flag_block


def reset_state(built: BuiltCircuit) -> None:
    """Back to rest before a run: node and element state, counters and flags."""
    built.node_block.fill(0.0)
    built.element_block.fill(0.0)
    built.flag_block.fill(0)
    built.element_current.fill(0.0)
    built.element_counts.fill(0)


def _bind(plans: list[_Plan], pattern: _Pattern
          ) -> tuple[list[Element], list[SourceElement], dict[int, list[int]]]:
    core = _stampworks()
    elements: list[Element] = []
    varying: list[SourceElement] = []
    companions: dict[int, list[int]] = {}
    for eindex, plan in enumerate(plans):
        model = (getattr(core, plan.cls, None) or getattr(_elements(), plan.cls))(*plan.args, eindex)
        slots = [pattern.slot(r, c) for r, c in plan.slot_pairs] or [0, 0, 0, 0]
        model.InitModel(*slots)
        if plan.cls == "JunctionTJMModel":
            _install_kernel(model, plan)
        if plan.waveform is not None:
            waveform, unit, sign = plan.waveform
            element: Element = SourceElement(plan.name, plan.component.kind, model, waveform, unit, sign,
                                             plan.orientation)
            if not waveform.is_constant():
                varying.append(element)  # type: ignore[arg-type]
        else:
            element = Element(plan.name, plan.component.kind, model, list(plan.params or []),
                              plan.orientation)
        element.UpdateParameters()
        if plan.cls.startswith("Junction"):
            element.terminals = plan.args[:2]  # (i, j): the loop watches the phase between them
        if plan.companion_of is not None:
            companions.setdefault(plan.companion_of, []).append(eindex)
        elements.append(element)
    return elements, varying, companions


def _install_kernel(model: Any, plan: _Plan) -> None:
    from . import kvconfig

    params = plan.params or []
    if params[0] not in kvconfig.tjm_models:
        known = ", ".join(sorted(kvconfig.tjm_models)) or "none"
        raise NetlistError(f"unknown tunnel-junction kernel (known: {known})", plan.component.where,
                           params[0])
    model.InitTJMModel(params)


def _register(elements: list[Element], n_unknowns: int) -> None:
    kvglobals.ElementList = elements
    kvglobals.SourceElementList = [e for e in elements if isinstance(e, SourceElement)]
    kvglobals.TotalElements = len(elements)
    kvglobals.TotalSourceElements = len(kvglobals.SourceElementList)
    _stampworks().InitElementModels()

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
from itertools import chain, compress
from operator import itemgetter
from dataclasses import dataclass, field
from typing import Any, List, Tuple

import numpy as np

from . import SimulationParameters as SP
from . import kvglobals, units
from .builder_devices import controlled_plans, line_plan
from .circuit import GROUND, Circuit, CircuitElement, JunctionValues
from .errors import NetlistError
from .gcpause import collector_paused
from .waveforms import Waveform

#: A circuit of this many elements makes many objects to build (see gcpause).
LARGE_CIRCUIT = 50_000
#: Stands in for "no shunt" in the junction's ΔV/R term.
NO_SHUNT_RESISTANCE = 1e30


class Element:
    """A circuit element as the core sees it: ``model`` and ``UpdateParameters()``."""

    __slots__ = ("name", "kind", "model", "params", "orientation", "terminals")

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

    __slots__ = ("waveform", "scale", "_value")

    def __init__(self, name: str, kind: str, model: Any, waveform: Waveform, unit: float,
                 sign: float, orientation: float = 1.0):
        super().__init__(name, kind, model, [0.0], orientation)
        self.waveform = waveform
        self.scale = sign / unit
        self._value = [0.0]

    def value_at(self, core_time: float) -> float:
        return self.waveform.value(core_time * units.TIME) * self.scale

    def UpdateParameters(self) -> None:  # noqa: N802 - name fixed by the core
        self.apply(self.value_at(kvglobals.CurrentTime))

    def apply(self, value: float) -> None:
        """Hand the model this value (core units)."""
        self._value[0] = value
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


class _Plan:
    """One model to create: its class, constructor arguments, matrix entries, parameters."""

    __slots__ = ("component", "name", "cls", "args", "entries", "params", "waveform", "orientation",
                 "companion_of")

    def __init__(self, component: CircuitElement, name: str, cls: str, args: tuple[int, ...],
                 entries: tuple[int, ...], params: list[float] | None = None,
                 waveform: tuple[Waveform, float, float] | None = None, orientation: float = 1.0,
                 companion_of: int | None = None):
        self.component = component
        self.name = name
        self.cls = cls
        self.args = args
        #: (row, col) pairs of the entries the model stamps, flattened.
        self.entries = entries
        self.params = params
        self.waveform = waveform
        self.orientation = orientation
        self.companion_of = companion_of


#: The plain models, planned as rows of columns and bound in bulk (``kivrun.Elements.bind_models``):
#: a passive element's class by kind, then the junction and current source codes.
_PLAIN_CLASSES = ("ResistorModel", "CapacitorModel", "InductorModel", "JunctionModel", "CurrentSourceModel")
_PASSIVE_CODE = {"R": 0, "C": 1, "L": 2}
_JUNCTION, _SOURCE = 3, 4

#: One plain plan: (position among the plans, code, component, first node, second node,
#: orientation, parameters).  The model's arguments are the two nodes; all but the current
#: source stamp the four entries of a two-terminal element.  A source's parameters are the
#: one-item list that will hold its value.
PlainPlan = Tuple[int, int, CircuitElement, int, int, float, List[float]]


@dataclass
class Layout:
    """A circuit numbered, planned and given its sparse pattern, before any model exists."""

    circuit: Circuit
    node_numbers: dict[str, int]
    n_nodes: int
    n_unknowns: int
    #: One per model, in element order; None where the model is a plain one (in ``plain``).
    plans: list[_Plan | None]
    col_pointers: array.array
    row_indices: array.array
    #: Slot of every entry the other plans touch, in plan order (0 for a ground row or column).
    slots: list[int]
    plain: list[PlainPlan] = field(default_factory=list)
    #: Of each plain plan: its position among the plans, its code and its two nodes.
    plain_positions: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int32))
    plain_codes: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.uint8))
    plain_nodes: np.ndarray = field(default_factory=lambda: np.zeros((0, 2), dtype=np.int32))
    #: The four slots (ii, ij, ji, jj) of each plain plan, zeros for a current source.
    plain_slots: np.ndarray = field(default_factory=lambda: np.zeros((0, 4), dtype=np.int32))


#: Building writes the host state in ``kvglobals`` that models bind to and
#: registers them with the core: two builds at once would bind each other's arrays.
_BUILD_LOCK = threading.Lock()


def build(circuit: Circuit) -> BuiltCircuit:
    """Number the circuit, bind one model per element and register them with the core.

    Builds are serialised (one at a time per process); the circuit built owns
    its state arrays, so runs of different built circuits may go on in threads.
    """
    with _BUILD_LOCK, collector_paused(large=len(circuit.elements) > LARGE_CIRCUIT):
        # The plans die inside, so the collector never has to look at them.
        return _build(circuit)


def _build(circuit: Circuit) -> BuiltCircuit:
    layout = lay_out(circuit)
    return register(layout, bind_models(layout))


def lay_out(circuit: Circuit) -> Layout:
    """Unknowns, one plan per model, and the matrix pattern with every plan's slots."""
    try:
        plans, plain, node_numbers, n_unknowns = _plan(circuit)
    except NetlistError:
        _check_nodes(circuit)  # the first fault of the circuit is the one reported
        raise
    n_nodes = len(node_numbers)
    positions, codes, nodes = _plain_columns(plain)
    col_pointers, row_indices, slots, plain_slots, rows_used = _pattern(plans, codes, nodes, n_nodes)
    if rows_used < n_nodes:
        _check_nodes(circuit)
    if len(col_pointers) != n_unknowns + 1:
        raise NetlistError("circuit has an unknown without any equation", circuit.elements[0].where, "")
    return Layout(circuit, node_numbers, n_nodes, n_unknowns, plans, col_pointers, row_indices, slots,
                  plain, positions, codes, nodes, plain_slots)


def _plain_columns(plain: list[PlainPlan]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Positions, codes and (first, second) nodes of the plain plans as arrays."""
    table = np.fromiter(chain.from_iterable(map(itemgetter(0, 1, 3, 4), plain)), dtype=np.int64,
                        count=4 * len(plain)).reshape(len(plain), 4)
    return (table[:, 0].astype(np.int32), table[:, 1].astype(np.uint8),
            np.ascontiguousarray(table[:, 2:], dtype=np.int32))


def _check_nodes(circuit: Circuit) -> None:
    """A node that only current sources touch has no equation to solve."""
    elements = circuit.elements
    touched = set(chain.from_iterable(e.nodes for e in elements if e.kind != "I"))
    for component in elements:
        if component.kind == "I":
            for node in component.nodes:
                if node != GROUND and node not in touched:
                    raise NetlistError("node is connected only to current sources", component.where, node)


def _pattern(plans: list[_Plan | None], codes: np.ndarray, nodes: np.ndarray, n_nodes: int
             ) -> tuple[array.array, array.array, list[int], np.ndarray, int]:
    """Compressed-column pattern of all entries plus every node's diagonal, the slot of
    each entry (0 in a ground row or column, where it is never used) of the other plans
    and the four of each plain one (with ``codes`` and ``nodes``), and how many nodes
    some plan's entries reach (every model stamps a row of each of its nodes, except a
    current source)."""
    flat = np.fromiter(chain.from_iterable(plan.entries for plan in plans if plan is not None), dtype=np.int64)
    n_other = len(flat) >> 1
    stamping = codes != _SOURCE
    i = nodes[stamping, 0].astype(np.int64)
    j = nodes[stamping, 1].astype(np.int64)
    # The entries ii, ij, ji, jj of each, as (row, col) pairs.
    two = np.stack((i, i, i, j, j, i, j, j), axis=1).ravel()
    flat = np.concatenate((flat, two))
    rows, cols = flat[0::2], flat[1::2]
    used = (rows > 0) & (cols > 0)
    stride = int(max(flat.max(initial=0), n_nodes)) + 1
    used_rows = rows[used]
    keys = cols[used] * stride + used_rows
    reached = int(np.count_nonzero(np.bincount(used_rows, minlength=n_nodes + 1)[1:n_nodes + 1]))
    diagonal = np.arange(1, n_nodes + 1, dtype=np.int64) * (stride + 1)
    # Sorted keys order the entries by column, then row: the CSC order.  (A plain sort
    # and a neighbour test: np.unique's hashing is slower on a million keys.)
    unique = np.concatenate((keys, diagonal))
    unique.sort()
    if len(unique) > 1:
        unique = unique[np.concatenate(([True], unique[1:] != unique[:-1]))]
    slots = np.zeros(len(rows), dtype=np.int32)
    slots[used] = np.searchsorted(unique, keys)
    plain_slots = np.zeros((len(codes), 4), dtype=np.int32)
    plain_slots[stamping] = slots[n_other:].reshape(-1, 4)
    entry_cols, entry_rows = np.divmod(unique, stride)
    n = int(max(entry_cols.max(initial=0), entry_rows.max(initial=0)))
    pointers = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(np.bincount(entry_cols, minlength=n + 1)[1:], out=pointers[1:])
    rows_out = (entry_rows - 1).astype(np.int32)
    return (array.array("i", pointers.tobytes()), array.array("i", rows_out.tobytes()),
            slots[:n_other].tolist(), plain_slots, reached)


def _plan(circuit: Circuit) -> tuple[list[_Plan | None], list[PlainPlan], dict[str, int], int]:
    """Plans in element order (None for a plain one), the plain plans, nodes numbered 1..
    in order of first appearance, and the number of unknowns: the nodes, then one branch
    unknown per element that owns one."""
    couplings = [e for e in circuit.elements if e.kind == "K"]
    # Inductors whose current a K couples or an F/H senses carry it as an unknown.
    branch_form = {key for e in circuit.elements if e.kind in "KFH" for key in e.coupled or ()}
    #: Lines and controlled sources, planned once the branch unknowns are known.
    deferred: list[CircuitElement] = []
    numbers: dict[str, int] = {GROUND: 0}
    plans: list[_Plan | None] = []
    plain: list[PlainPlan] = []
    add_plain, add_plan = plain.append, plans.append
    rsj: dict[int, list[float]] = {}
    passive_units = {kind: unit for kind, (_, unit) in _PASSIVE_UNITS.items()}
    passive_codes = _PASSIVE_CODE
    #: Elements owning a branch unknown, planned once the nodes are counted.
    owners: list[tuple[int, CircuitElement, int, int, float]] = []
    get = numbers.get
    for component in circuit.elements:
        kind = component.kind
        unit = passive_units.get(kind)
        if unit is not None and not (branch_form and kind == "L" and component.key in branch_form):
            # The commonest plan, a nodal two-terminal element, first and in full.
            first, second = component.nodes
            n1 = get(first)
            if n1 is None:
                n1 = numbers[first] = len(numbers)
            n2 = get(second)
            if n2 is None:
                n2 = numbers[second] = len(numbers)
            params = [(component.value or 0.0) / unit]
            if n1:
                add_plain((len(plans), passive_codes[kind], component, n1, n2, 1.0, params))
            else:
                add_plain((len(plans), passive_codes[kind], component, n2, 0, -1.0, params))
            add_plan(None)
            continue
        if kind == "K":
            continue
        if kind in "TEFGH":
            for node in component.nodes:
                if node not in numbers:
                    numbers[node] = len(numbers)
            deferred.append(component)
            continue
        first, second = component.nodes
        n1 = numbers.get(first)
        if n1 is None:
            n1 = numbers[first] = len(numbers)
        n2 = numbers.get(second)
        if n2 is None:
            n2 = numbers[second] = len(numbers)
        if kind == "I":
            # SPICE `I n+ n-` pushes current out of n- into the circuit: the model
            # delivers into its first terminal and draws from its second.
            add_plain((len(plans), _SOURCE, component, n2, n1, 1.0, [0.0]))
            add_plan(None)
            continue
        orientation = 1.0
        if n1 == 0:
            n1, n2, orientation = n2, 0, -1.0
        if kind == "B" and component.junction is not None and component.junction.kind == "rsj":
            jj = component.junction
            params = rsj.get(id(jj))  # junctions of one model at one area are one object
            if params is None:
                params = rsj[id(jj)] = _rsj_parameters(jj)
            add_plain((len(plans), _JUNCTION, component, n1, n2, orientation, list(params)))
            add_plan(None)
        elif kind in "VP" or (kind == "L" and branch_form and component.key in branch_form):
            owners.append((len(plans), component, n1, n2, orientation))
            add_plan(None)  # replaced below, once the branch unknown is known
        else:
            plans.extend(_plan_element(component, n1, n2, 0, orientation, len(plans)))
    del numbers[GROUND]
    n_nodes = len(numbers)
    branch_of: dict[str, tuple[int, float]] = {}
    for q, (at, component, n1, n2, orientation) in enumerate(owners, n_nodes + 1):
        branch_of[component.key] = (q, orientation)
        (plans[at],) = _plan_element(component, n1, n2, q, orientation, at)
    inductors = {e.key: e for e in circuit.elements if e.kind == "L"} if couplings else {}
    for component in couplings:
        (q, s1), (v, s2) = (branch_of[k] for k in component.coupled or ())
        l1, l2 = (inductors[k].value or 0.0 for k in component.coupled or ())
        mutual = (component.value or 0.0) * math.sqrt(l1 * l2) * s1 * s2
        plans.append(_Plan(component, component.name, "MutualInductanceModel", (q, v),
                           (q, q, q, v, v, q, v, v), [units.to_core(mutual, "inductance")]))
    next_unknown = n_nodes + len(owners) + 1
    number = lambda name: numbers.get(name, 0)  # noqa: E731  (ground is no longer listed)
    for component in deferred:
        if component.kind == "T":
            plans.append(line_plan(component, number, next_unknown, next_unknown + 1, _Plan))
            next_unknown += 2
        else:
            more, next_unknown = controlled_plans(component, number, next_unknown, branch_of, _Plan)
            plans.extend(more)
    return plans, plain, numbers, next_unknown - 1


def _two_terminal(i: int, j: int) -> tuple[int, ...]:
    return (i, i, i, j, j, i, j, j)


#: Passive two-terminal elements: model class and the quantity of their value.
_PASSIVE = {"R": ("ResistorModel", "resistance"), "C": ("CapacitorModel", "capacitance"),
            "L": ("InductorModel", "inductance")}
_PASSIVE_UNITS = {kind: (cls, units.UNIT_OF[quantity]) for kind, (cls, quantity) in _PASSIVE.items()}


def _plan_element(component: CircuitElement, i: int, j: int, q: int, orientation: float,
                  index: int) -> list[_Plan]:
    kind, name = component.kind, component.name
    if kind == "L" and q:
        value = units.to_core(component.value or 0.0, "inductance")
        return [_Plan(component, name, "InductorImpedanceModel", (i, j, q),
                      (i, q, j, q, q, i, q, j, q, q), [value], orientation=orientation)]
    if kind in _PASSIVE:
        cls, quantity = _PASSIVE[kind]
        value = units.to_core(component.value or 0.0, quantity)
        return [_Plan(component, name, cls, (i, j), _two_terminal(i, j), [value], orientation=orientation)]
    if kind == "I":
        # SPICE `I n+ n-` pushes current out of n- into the circuit: the model
        # delivers into its first terminal and draws from its second.
        return [_Plan(component, name, "CurrentSourceModel", (j, i), (),
                      waveform=(component.waveform, units.CURRENT, 1.0))]
    if kind in "VP":
        cls = "VoltageSourceModel" if kind == "V" else "PhaseSourceModel"
        unit = units.VOLTAGE if kind == "V" else 1.0
        return [_Plan(component, name, cls, (i, j, q), (i, q, j, q, q, i, q, j),
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
        plans = [_Plan(component, component.name, "JunctionModel", (i, j), slots, _rsj_parameters(jj),
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


def _rsj_parameters(jj: JunctionValues) -> list[float]:
    """JunctionModel's [Ic, R, C] in core units."""
    core = units.to_core
    shunt = core(jj.resistance, "resistance") if jj.resistance else NO_SHUNT_RESISTANCE
    return [core(jj.critical_current, "current"), shunt, core(jj.capacitance, "capacitance")]


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
    kvglobals.CurrentTime = 0.0  # bind_models relies on it
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


@dataclass
class Bound:
    """The models of a layout, created, bound to their slots and given their parameters."""

    elements: list[Element]
    #: Lower-case name of each element, in order.
    keys: list[str]
    sources: list[SourceElement]
    #: Sources whose value changes with time.
    varying: list[SourceElement]
    companions: dict[int, list[int]]
    node_block: np.ndarray
    element_block: np.ndarray
    flag_block: np.ndarray


def bind_models(layout: Layout) -> Bound:
    """Fresh state arrays in ``kvglobals``, then one core model per plan."""
    plans = layout.plans
    blocks = _allocate_state(layout.n_unknowns, len(plans))
    core = _stampworks()
    classes: dict[str, Any] = {}
    companions: dict[int, list[int]] = {}
    slots = layout.slots
    at = 0
    # The run starts at t = 0; sources written alike share a waveform, evaluated once.
    start_values: dict[int, float] = {}
    plain = layout.plain
    source_scale = 1.0 / units.CURRENT  # SourceElement's sign / unit for a current source
    for row in compress(plain, (layout.plain_codes == _SOURCE).tolist()):
        waveform = row[2].waveform
        value = start_values.get(id(waveform))
        if value is None:
            value = start_values[id(waveform)] = waveform.value(0.0)
        row[6][0] = value * source_scale  # what UpdateParameters at t = 0 hands the model
    elements: list[Element] = [None] * len(plans)  # type: ignore[list-item]
    #: Sources by position: the plain ones come in order, the others are merged in after.
    placed: list[tuple[int, SourceElement]] = []
    for (eindex, code, component, n1, n2, orientation, params), model in zip(plain, _bind_plain(layout, core)):
        if code == _SOURCE:
            source = SourceElement(component.name, "I", model, component.waveform, units.CURRENT, 1.0)
            source._value = params
            placed.append((eindex, source))
            elements[eindex] = source
        else:
            element = elements[eindex] = Element(component.name, component.kind, model, params, orientation)
            if code == _JUNCTION:
                element.terminals = (n1, n2)  # the loop watches the phase between them
    n_plain_sources = len(placed)
    for eindex, plan in enumerate(plans):
        if plan is None:
            continue
        cls = classes.get(plan.cls)
        if cls is None:
            cls = classes[plan.cls] = getattr(core, plan.cls, None) or getattr(_elements(), plan.cls)
        model = cls(*plan.args, eindex)
        entries = plan.entries
        if entries:
            count = len(entries) >> 1
            model.InitModel(*slots[at:at + count])
            at += count
        else:
            model.InitModel(0, 0, 0, 0)
        if plan.cls == "JunctionTJMModel":
            _install_kernel(model, plan)
        if plan.waveform is None:
            params = plan.params if plan.params is not None else []
            element = Element(plan.name, plan.component.kind, model, params, plan.orientation)
            model.SetParameters(params)  # Element.UpdateParameters, without the call
        else:
            waveform, unit, sign = plan.waveform
            source = SourceElement(plan.name, plan.component.kind, model, waveform, unit, sign,
                                   plan.orientation)
            value = start_values.get(id(waveform))
            if value is None:
                value = start_values[id(waveform)] = waveform.value(0.0)
            source.apply(value * source.scale)  # UpdateParameters at t = 0
            placed.append((eindex, source))
            element = source
        if plan.cls.startswith("Junction"):
            element.terminals = plan.args[:2]  # (i, j): the loop watches the phase between them
        if plan.companion_of is not None:
            companions.setdefault(plan.companion_of, []).append(eindex)
        elements[eindex] = element
    if len(placed) > n_plain_sources:
        placed.sort(key=itemgetter(0))
    sources = [source for _, source in placed]
    varying = [source for source in sources if not source.waveform.is_constant()]
    keys = [element.name.lower() for element in elements]
    return Bound(elements, keys, sources, varying, companions, *blocks)


def _bind_plain(layout: Layout, core: Any) -> list[Any]:
    """The plain plans' models, made, bound and given their parameters in one native call."""
    plain = layout.plain
    if not plain:
        return []
    values = array.array("d", chain.from_iterable(row[6] for row in plain))
    types = tuple(getattr(core, name) for name in _PLAIN_CLASSES)
    return _elements().bind_models(types, layout.plain_codes, layout.plain_positions, layout.plain_nodes.ravel(),
                                   layout.plain_slots.ravel(), values)


def _install_kernel(model: Any, plan: _Plan) -> None:
    from . import kvconfig

    params = plan.params or []
    if params[0] not in kvconfig.tjm_models:
        known = ", ".join(sorted(kvconfig.tjm_models)) or "none"
        raise NetlistError(f"unknown tunnel-junction kernel (known: {known})", plan.component.where,
                           params[0])
    model.InitTJMModel(params)


def register(layout: Layout, bound: Bound) -> BuiltCircuit:
    """Hand the bound models to the core; the built circuit the engine runs."""
    elements = bound.elements
    kvglobals.ElementList = elements
    kvglobals.SourceElementList = bound.sources
    kvglobals.TotalElements = len(elements)
    kvglobals.TotalSourceElements = len(kvglobals.SourceElementList)
    _stampworks().InitElementModels()
    return BuiltCircuit(layout.circuit, layout.node_numbers, layout.n_nodes, layout.n_unknowns, elements,
                        dict(zip(bound.keys, range(len(elements)))), bound.varying,
                        layout.col_pointers, layout.row_indices, bound.node_block, bound.element_block,
                        bound.flag_block, bound.companions, kvglobals.ElementCurrent, kvglobals.ElementN)

"""Netlist reader: SPICE-style text in, a flattened :class:`Circuit` out.

Names are case-insensitive.  Elements inside subcircuit instances are named
``element.instance`` from the innermost instance outwards (``B1.X2.X1``);
internal nodes likewise.  Every error is a :class:`NetlistError` naming the
file, the line and the offending token.
"""
from __future__ import annotations

import copy
import math
import os
import warnings
from dataclasses import dataclass, field
from typing import Callable, Mapping

from .circuit import GROUND, GROUND_NAMES, Circuit, CircuitElement, JunctionValues, node_key
from .errors import ExpressionError, Location, NetlistError
from .expressions import evaluate, literal, names_in
from .gcpause import collector_paused
from .junction_models import junction_from_model, kernel_name, tunnel_junction_from_model
from .netlist_devices import controlled_source, transmission_line
from .netlist_dialect import iv_request, model_values, transient
from .netlist_files import read_text
from .netlist_lines import Card, read_cards
from .netlist_outputs import OutputReader
from .waveforms import Waveform, WaveformContext, parse_waveform

MAX_SUBCIRCUIT_DEPTH = 50
#: Netlist text from this length on (about 40 000 lines) makes a large circuit (see gcpause).
LARGE_TEXT = 1_000_000
#: Two-terminal elements whose plain card `X1 a b value` is read on the fast path.
_PLAIN_KINDS = {"r": "R", "l": "L", "c": "C"}
#: First letters of element cards (instances included).
_ELEMENT_LEADS = frozenset("rlckbivpxtefgh")
#: Source forms whose waveform is fixed by their numbers alone.
_SHAREABLE_FORMS = ("dc", "pwl", "pws", "pulse", "sin", "exp")
#: Controls a ``.control`` block may hold, written there without their '.'.
CONTROL_WORDS = (".tran", ".print", ".plot", ".save", ".probe", ".param", ".model", ".options",
                 ".option", ".iv", ".file", ".temp")
#: Most elements a netlist may expand to unless ``.options maxelements=N`` says otherwise.
MAX_ELEMENTS = 1_000_000
#: Options a netlist may set with ``.options``; see the simulator docs.
KNOWN_OPTIONS = ("tol", "reltol", "ramp", "maxstep", "fixedstep", "order", "temp", "neb", "seed", "maxelements",
                 "maxbreakpoints")


@dataclass
class Subcircuit:
    name: str
    ports: list[str]
    defaults: dict[str, str]
    where: Location
    cards: list[Card] = field(default_factory=list)


def read_netlist(path: str, params: Mapping[str, float] | None = None) -> Circuit:
    """Read a netlist file; ``params`` overrides top-level ``.param`` values."""
    text = read_text(path, path, Location(path, 0), path, what="netlist")
    return parse_netlist(text, path, os.path.dirname(os.path.abspath(path)), params)


def parse_netlist(text: str, name: str = "<netlist>", base_dir: str = ".",
                  params: Mapping[str, float] | None = None) -> Circuit:
    """Parse netlist text; ``.include`` paths are relative to ``base_dir``.

    ``params`` replaces the values of top-level ``.param`` names (every
    expression using them is evaluated with the new value).
    """
    with collector_paused(large=len(text) > LARGE_TEXT):
        # The cards die inside, so the collector never has to look at them.
        return expand_cards(*read_cards(text, name, base_dir), name, base_dir, params)


def expand_cards(title: str, cards: list[Card], name: str = "<netlist>", base_dir: str = ".",
                 params: Mapping[str, float] | None = None) -> Circuit:
    """The flat circuit of a netlist's cards (see :func:`parse_netlist`)."""
    return _Reader(title, cards, name, base_dir, params).run()


class _Reader:
    def __init__(self, title: str, cards: list[Card], source: str, base_dir: str = ".",
                 overrides: Mapping[str, float] | None = None):
        self.circuit = Circuit(title=title, source=source)
        self.overrides = {k.lower(): float(v) for k, v in (overrides or {}).items()}
        self.base_dir = base_dir
        self.tran_card: Card | None = None
        self.iv_cards: list[Card] = []
        #: Output cards, each with the ``.file`` in force where it stands.
        self.output_cards: list[tuple[Card, str | None]] = []
        self.output_file: str | None = None
        self.cards = cards
        self.subcircuits: dict[str, Subcircuit] = {}
        #: Models by name; one defined inside a subcircuit by ``name|cell``.
        self.models: dict[str, tuple[dict[str, tuple[str, Location]], Location]] = {}
        #: Subcircuits being expanded, innermost last.
        self._cells: list[str] = []
        self.global_params: dict[str, float] = {}
        self.param_cards: list[Card] = []
        self.top: list[Card] = []
        self.element_keys: dict[str, CircuitElement] = {}
        self._nodes: set[str] | None = None
        #: The top-level card being expanded, named when the circuit grows too large.
        self._top_card: Card | None = None
        self._limit = MAX_ELEMENTS
        #: Values of the plain numbers read so far, by their text.
        self._literals: dict[str, float] = {}
        #: The .param cards of each list of cards expanded (a cell's, the top level's), by id.
        self._param_cards: dict[int, list[Card]] = {}
        #: Waveforms written in plain numbers, by their tokens.
        self._waveforms: dict[tuple[str, ...], Waveform] = {}
        #: Junction values of each model used so far, at unit area.
        self._junctions: dict[str, JunctionValues] = {}
        #: Plain numbers already found usable as an element value (positive, finite 1/value).
        self._element_values: dict[str, float] = {}
        #: The K, F and H elements, in circuit order: the ones _check_couplings looks at.
        self._coupled: list[CircuitElement] = []
        #: The node names (as written, and their keys) of each cell's element cards, by id of the cards.
        self._cell_nodes: dict[int, list[tuple[str, str]]] = {}
        #: Per stack of cells being expanded: junction model names (as written) resolved.
        self._junction_names: dict[tuple[str, ...], dict[str, JunctionValues]] = {}

    # -- collection -------------------------------------------------------
    def run(self) -> Circuit:
        self._collect()
        self.global_params = _evaluate_params(self.param_cards, {}, self.overrides)
        unknown = set(self.overrides) - set(self.global_params)
        if unknown:
            raise NetlistError("no such .param to override", Location(self.circuit.source, 0),
                               sorted(unknown)[0])
        self.circuit.params = dict(self.global_params)
        if self.tran_card is not None:
            card = self.tran_card
            self.circuit.transient = transient(card, lambda text: self._number(text, card, {}))
        for card in self.iv_cards:
            request = iv_request(card, lambda text: self._number(text, card, {}))
            request.model = self._model_key(request.model) or request.model.split("|")[0]
            if request.model not in self.models:
                raise NetlistError("unknown junction model", card.where, card.tokens[1])
            request.junction = self._junction_values(request.model)
            self.circuit.iv_requests.append(request)
        self._limit = self.circuit.options.get("maxelements", MAX_ELEMENTS)
        self._expand(self.top, self.global_params, {}, "", 0)
        self._check_couplings()
        outputs = OutputReader(self.circuit, self.element_keys)
        for card, path in self.output_cards:
            before = len(self.circuit.probes)
            outputs.read(card)
            if path is not None:
                self.circuit.output_files.setdefault(path, []).extend(
                    p.label for p in self.circuit.probes[before:])
        if not self.circuit.elements:
            raise NetlistError("netlist has no elements", Location(self.circuit.source, 0), "")
        return self.circuit

    def _collect(self) -> None:
        open_subckt: Subcircuit | None = None
        control: Card | None = None
        skipped: list[str] = []
        add_top = self.top.append
        for card in self.cards:
            keyword = card.keyword
            lead = keyword[0]
            if lead in _ELEMENT_LEADS and control is None:
                # An element card, the commonest by far.
                if open_subckt is None:
                    add_top(card)
                else:
                    open_subckt.cards.append(card)
                continue
            if control is not None:
                # Inside .control the dialect writes its controls without the '.';
                # anything else there (run, set, ...) is a script with no meaning here.
                if keyword == ".endc":
                    if skipped:
                        warnings.warn(f"{control.where}: .control block: {', '.join(skipped)} skipped",
                                      stacklevel=2)
                    control, skipped = None, []
                    continue
                if "." + keyword not in CONTROL_WORDS:
                    skipped.append(card.tokens[0])
                    continue
                card = Card(["." + card.tokens[0]] + card.tokens[1:], card.where)
                keyword = card.keyword
            if keyword == ".control":
                control = card
                continue
            if keyword == ".end":
                break
            if keyword == ".subckt":
                if open_subckt is not None:
                    raise NetlistError("subcircuit definitions cannot nest", card.where, card.tokens[-1])
                open_subckt = self._subckt_header(card)
                continue
            if keyword == ".ends":
                if open_subckt is None:
                    raise NetlistError(".ends without .subckt", card.where, card.tokens[0])
                self.subcircuits[open_subckt.name.lower()] = open_subckt
                open_subckt = None
                continue
            if keyword == ".model":
                self._model(card, open_subckt.name.lower() if open_subckt else None)
            elif keyword == ".param":
                (open_subckt.cards if open_subckt else self.param_cards).append(card)
            elif keyword[0] == ".":
                if open_subckt is not None:
                    raise NetlistError("control card inside a subcircuit", card.where, card.tokens[0])
                self._control(card)
            elif keyword[0] in "rlckbivpxtefgh":
                (open_subckt.cards if open_subckt else self.top).append(card)
            else:
                raise NetlistError("unknown element type", card.where, card.tokens[0])
        if open_subckt is not None:
            raise NetlistError("subcircuit without .ends", open_subckt.where, open_subckt.name)
        if control is not None:
            raise NetlistError(".control without .endc", control.where, control.tokens[0])

    def _subckt_header(self, card: Card) -> Subcircuit:
        tokens = card.tokens
        if len(tokens) < 2:
            raise NetlistError("missing subcircuit name", card.where, tokens[0])
        ports, defaults = _split_assignments(tokens[2:], card)
        ports = [p for p in ports if p.lower() != "params:"]
        if tokens[1].lower() in self.subcircuits:
            raise NetlistError("subcircuit defined twice", card.where, tokens[1])
        return Subcircuit(tokens[1], [node_key(p) for p in ports], defaults, card.where)

    def _model(self, card: Card, cell: str | None) -> None:
        tokens = card.tokens
        if len(tokens) < 3:
            raise NetlistError("incomplete model card", card.where, tokens[-1])
        name, mtype = tokens[1], tokens[2].lower()
        if mtype != "jj":
            raise NetlistError("unsupported model type (only jj)", card.where, tokens[2])
        rest = [t for t in tokens[3:] if t not in ("(", ")")]
        positional, assignments = _split_assignments(rest, card)
        if positional:
            raise NetlistError("expected name=value in model card", card.where, positional[0])
        key = name.lower() if cell is None else f"{name.lower()}|{cell}"
        self.models[key] = ({k: (v, card.where) for k, v in assignments.items()}, card.where)

    def _model_key(self, name: str) -> str | None:
        """The model a name means here: the enclosing subcircuits' own first, then the global one."""
        name = name.lower()
        for cell in reversed(self._cells):
            if f"{name}|{cell}" in self.models:
                return f"{name}|{cell}"
        return name if name in self.models else None

    def _control(self, card: Card) -> None:
        keyword = card.keyword
        if keyword == ".tran":
            # Evaluated once the .param cards are: its values may name them.
            self.tran_card = card
        elif keyword in (".print", ".save", ".plot", ".probe"):
            self.output_cards.append((card, self.output_file))
        elif keyword in (".options", ".option"):
            self._options(card)
        elif keyword in (".temp", ".neb"):
            self._noise_card(card)
        elif keyword == ".spread":
            self._spread_card(card)
        elif keyword == ".iv":
            self.iv_cards.append(card)
        elif keyword == ".file":
            if len(card.tokens) != 2:
                raise NetlistError(".file needs one file name", card.where, " ".join(card.tokens))
            self.output_file = card.tokens[1].strip("'\"")
        elif keyword in (".title", ".endc"):
            pass  # no meaning for this simulator
        else:
            raise NetlistError("unknown control card", card.where, card.tokens[0])

    def _noise_card(self, card: Card) -> None:
        """``.temp T`` (kelvin) and ``.neb B`` (noise bandwidth, Hz)."""
        if len(card.tokens) != 2:
            raise NetlistError(f"{card.keyword} needs one value", card.where, card.tokens[0])
        key = card.keyword[1:]
        self.circuit.options[key] = self._checked(key, card.tokens[1], card, {})

    def _spread_card(self, card: Card) -> None:
        """``.spread S [L=..] [B=..] [C=..] [R=..]``: relative half-widths."""
        positional, assignments = _split_assignments(card.tokens[1:], card)
        if len(positional) > 1:
            raise NetlistError(".spread takes one global value", card.where, positional[1])
        for key in assignments:
            if key not in ("l", "b", "c", "r"):
                raise NetlistError("unknown .spread kind (L, B, C or R)", card.where, key)
        for key, text in [("", t) for t in positional] + list(assignments.items()):
            self.circuit.options["spread" + key] = self._checked("spread", text, card, {})

    def _checked(self, key: str, text: str, card: Card, scope: Mapping[str, float]) -> float:
        """A noise or spread setting, range-checked."""
        value = self._number(text, card, scope)
        ok = {"temp": value >= 0, "neb": value > 0, "spread": 0 <= value < 1,
              "seed": value >= 0 and value == int(value)}.get(key, True)
        if not ok:
            rule = {"temp": "must not be negative", "neb": "must be positive",
                    "spread": "must lie in [0, 1)", "seed": "must be a non-negative integer"}[key]
            raise NetlistError(f"{key} {rule}", card.where, text)
        return value

    def _variation(self, element: CircuitElement, assignments: dict[str, str], card: Card,
                   scope: Mapping[str, float]) -> CircuitElement:
        """Per-element ``temp=``, ``neb=``, ``spread=`` onto ``element``."""
        for key, text in assignments.items():
            field_name = {"temp": "temperature", "neb": "bandwidth", "spread": "spread"}[key]
            setattr(element, field_name, self._checked(key, text, card, scope))
        return element

    def _options(self, card: Card) -> None:
        positional, assignments = _split_assignments(card.tokens[1:], card)
        for flag in positional:
            assignments[flag.lower()] = "1"
        for key, text in assignments.items():
            if key not in KNOWN_OPTIONS:
                warnings.warn(f"{card.where}: option '{key}' ignored", stacklevel=2)
                continue
            self.circuit.options[key] = self._checked(key, text, card, {})
            self.circuit.option_where[key] = card.where

    def _number(self, token: str, card: Card, scope: Mapping[str, float]) -> float:
        value = self._literals.get(token)
        if value is not None:
            return value
        value = literal(token)
        if value is not None:
            # A plain number means the same wherever it stands: worth keeping.
            self._literals[token] = value
            return value
        try:
            return evaluate(token, scope or self.global_params)
        except ExpressionError as exc:
            raise NetlistError(exc.message, card.where, exc.token) from None

    # -- expansion --------------------------------------------------------
    def _expand(self, cards: list[Card], scope: dict[str, float], port_map: dict[str, str],
                suffix: str, depth: int, element_values: Mapping[str, float] | None = None) -> None:
        """Add the elements of ``cards``; ``suffix`` is the instance path (``.X2.X1``).

        ``element_values`` replaces the value of the named elements (an
        instance's ``L1=3p``).
        """
        element_values = element_values or {}
        param_cards = self._param_cards.get(id(cards))
        if param_cards is None:
            # A cell's cards are looked through once, not at every instance.
            param_cards = self._param_cards[id(cards)] = [c for c in cards if c.keyword == ".param"]
        if param_cards:
            scope = dict(scope)
            scope.update(_evaluate_params(param_cards, scope))
        lower_suffix = suffix.lower()
        mapped = port_map.get
        # One string per node of this instance: less memory, and its hash is computed once.
        # A cell's own nodes are named up front, as node() would name them.
        written = self._cell_nodes.get(id(cards)) if depth else ()
        if written is None:
            written = self._cell_nodes[id(cards)] = _written_nodes(cards)
        known: dict[str, str] = {name: GROUND if key in GROUND_NAMES else mapped(key) or key + lower_suffix
                                 for name, key in written}

        def node(name: str) -> str:
            got = known.get(name)
            if got is None:
                key = name.lower()
                got = known[name] = GROUND if key in GROUND_NAMES else mapped(key) or key + lower_suffix
            return got

        make, keys, elements, limit = self._element, self.element_keys, self.circuit.elements, self._limit
        literals, waveforms, isfinite, plain_kinds = self._literals, self._waveforms, math.isfinite, _PLAIN_KINDS
        usable = self._element_values
        add = elements.append
        # Junction models as this stack of cells resolves their names (the fast path's only).
        junctions = self._junction_names.setdefault(tuple(self._cells), {})
        for card in cards:
            keyword = card.keyword
            lead = keyword[0]
            if lead == "x":
                if depth == 0:
                    self._top_card = card
                self._instance(card, scope, node, suffix, depth, known)
                continue
            if keyword == ".param":
                continue
            tokens = card.tokens
            if not element_values and len(tokens) >= 4:
                # The commonest cards, `R1 a b 5ohm`, `B1 a b model` and a source with the
                # waveform of one before it, built here when all is well; anything else (or
                # a fault) goes the full way through _element.
                kind = value = waveform = jj = None
                if len(tokens) == 4:
                    kind = plain_kinds.get(lead)
                    if kind is not None:
                        value = usable.get(tokens[3])
                        if value is None:
                            value = literals.get(tokens[3])
                            if value is not None and value > 0 and isfinite(1.0 / value):
                                usable[tokens[3]] = value
                            else:
                                kind = None
                    elif lead == "b" and "=" not in tokens:
                        jj = junctions.get(tokens[3])
                        if jj is None and tokens[3].lower() != "nfree":
                            model_key = self._model_key(tokens[3])
                            if model_key is not None:
                                jj = junctions[tokens[3]] = self._unit_junction(model_key)
                        if jj is not None:
                            kind = "B"
                if kind is None and tokens[0][0] in "IVPivp":
                    waveform = waveforms.get(tuple(tokens[3:]))
                    if waveform is not None:
                        kind = tokens[0][0].upper()
                if kind is not None:
                    first, second = tokens[1], tokens[2]
                    n1 = known.get(first) or node(first)
                    n2 = known.get(second) or node(second)
                    name = tokens[0] + suffix
                    key = name.lower() if suffix else keyword
                    if len(elements) < limit and (n1 != GROUND or n2 != GROUND):
                        element = CircuitElement(kind, name, (n1, n2), card.where, value, waveform, jj)
                        if keys.setdefault(key, element) is element:  # not defined twice
                            add(element)
                            continue
            if depth == 0:
                self._top_card = card
            element = make(card, scope, node, suffix, element_values.get(keyword) if element_values else None)
            # _add's checks inline; it is called to report a failed one.
            key = element.name.lower()
            nodes = element.nodes
            if (key in keys or len(elements) >= limit
                    or (element.kind != "K" and nodes[0] == GROUND and nodes[1] == GROUND)):
                self._add(element)
                continue
            keys[key] = element
            add(element)
            if element.kind in "KFH":
                self._coupled.append(element)

    def _instance(self, card: Card, scope: dict[str, float], node: Callable[[str], str],
                  suffix: str, depth: int, known: Mapping[str, str]) -> None:
        """Expand an instance; ``node`` names the nodes where it stands (``known``: those named so far)."""
        tokens = card.tokens
        positional, overrides = _split_assignments(tokens[1:], card)
        if not positional:
            raise NetlistError("instance without subcircuit name", card.where, tokens[0])
        # Either `X1 cell a b` or `X1 a b cell`: the subcircuit name is at one end.
        cell = self.subcircuits.get(positional[0].lower())
        if cell is not None:
            nodes = positional[1:]
        elif positional[-1].lower() in self.subcircuits:
            cell, nodes = self.subcircuits[positional[-1].lower()], positional[:-1]
        else:
            # Name the end that reads like a cell name: the first, unless only the last does.
            first, last = positional[0], positional[-1]
            name = last if _looks_numeric(first) and not _looks_numeric(last) else first
            raise NetlistError("unknown subcircuit", card.where, name)
        if len(nodes) != len(cell.ports):
            raise NetlistError(f"subcircuit {cell.name} has {len(cell.ports)} ports, "
                               f"instance gives {len(nodes)}", card.where, tokens[0])
        if depth >= MAX_SUBCIRCUIT_DEPTH:
            raise NetlistError("subcircuits nested too deeply (recursive definition?)", card.where, tokens[0])
        inner = self.global_params
        if cell.defaults:
            inner = dict(inner)
            inner.update(_evaluate_assignments(cell.defaults, inner, cell.where))
        element_values: dict[str, float] = {}
        labels = {c.keyword for c in cell.cards if c.keyword[0] in "rlckb"} if overrides else ()
        for key, text in overrides.items():
            if key in cell.defaults:
                inner[key] = self._number(text, card, scope)
            elif key in labels:
                # The dialect's LABEL=VALUE: a new value for that element of this instance.
                element_values[key] = self._number(text, card, scope)
            else:
                raise NetlistError(f"subcircuit {cell.name} has no parameter or element", card.where, key)
        port_map = {port: known.get(n) or node(n) for port, n in zip(cell.ports, nodes)}
        self._cells.append(cell.name.lower())
        try:
            self._expand(cell.cards, inner, port_map, "." + tokens[0] + suffix, depth + 1, element_values)
        finally:
            self._cells.pop()

    def _add(self, element: CircuitElement) -> None:
        key = element.name.lower()
        if key in self.element_keys:
            raise NetlistError("element defined twice", element.where, element.name)
        if element.kind != "K" and element.nodes[0] == GROUND and element.nodes[1] == GROUND:
            raise NetlistError("element has both terminals at ground", element.where, element.name)
        limit = self._limit
        if len(self.circuit.elements) >= limit:
            card = self._top_card
            raise NetlistError(f"circuit grows past {limit:.0f} elements (raise the limit with "
                               f".options maxelements=N)", card.where if card else element.where,
                               card.tokens[0] if card else element.name)
        self.element_keys[key] = element
        self.circuit.elements.append(element)

    def _element(self, card: Card, scope: dict[str, float], node: Callable[[str], str],
                 suffix: str, override: float | None = None) -> CircuitElement:
        tokens = card.tokens
        kind = tokens[0][0].upper()
        name = tokens[0] + suffix
        if kind in "RLC" and len(tokens) == 4 and override is None:
            # The common card, `R1 a b value`, without the checks of options it cannot have.
            value = self._number(tokens[3], card, scope)
            if value <= 0:
                raise NetlistError("element value must be positive", card.where, tokens[3])
            if not math.isfinite(1.0 / value):
                raise NetlistError("element value too small", card.where, tokens[3])
            return CircuitElement(kind, name, (node(tokens[1]), node(tokens[2])), card.where, value)
        if kind in "RLC":
            extra, assignments = _split_assignments(tokens[4:], card)
            flags = [t for t in extra if t.lower() == "nfree" and kind == "R"]
            allowed = ("temp", "neb", "spread") if kind == "R" else ("spread",)
            wrong = [t for t in extra if t not in flags] + [k for k in assignments if k not in allowed]
            if len(tokens) < 4 or wrong:
                raise NetlistError(f"{kind} element needs two nodes and a value", card.where,
                                   wrong[0] if wrong else tokens[0])
            value = self._number(tokens[3], card, scope) if override is None else override
            if value <= 0:
                raise NetlistError("element value must be positive", card.where, tokens[3])
            if not math.isfinite(1.0 / value):
                raise NetlistError("element value too small", card.where, tokens[3])
            element = CircuitElement(kind, name, (node(tokens[1]), node(tokens[2])), card.where, value=value,
                                     noise_free=bool(flags))
            return self._variation(element, assignments, card, scope)
        if kind == "K":
            return self._coupling(card, scope, name, suffix, override)
        if kind == "B":
            if len(tokens) == 4 and override is None and "=" not in tokens and tokens[3].lower() != "nfree":
                # The commonest junction card, `B1 a b model`: unit area, no options.
                model_key = self._model_key(tokens[3])
                if model_key is None:
                    raise NetlistError("unknown junction model", card.where, tokens[3])
                return CircuitElement("B", name, (node(tokens[1]), node(tokens[2])), card.where,
                                      junction=self._unit_junction(model_key))
            return self._junction(card, scope, node, name, override)
        if kind in "IVP":
            if len(tokens) < 4:
                raise NetlistError("source needs two nodes and a value", card.where, tokens[0])
            nodes = (node(tokens[1]), node(tokens[2]))
            return CircuitElement(kind, name, nodes, card.where, waveform=self._waveform(card, scope, name))
        if kind == "T":
            positional, assignments = _split_assignments(tokens[1:], card)
            return transmission_line(card, positional, assignments, lambda text: self._number(text, card, scope),
                                     node, name)
        if kind in "EFGH":
            # An instance's NAME=VALUE sets a controlled source's gain.
            gain = lambda text: self._number(text, card, scope) if override is None else override  # noqa: E731
            return controlled_source(card, gain, node, name, suffix)
        raise NetlistError("unknown element type", card.where, tokens[0])

    def _waveform(self, card: Card, scope: Mapping[str, float], name: str) -> Waveform:
        """The source's waveform; one written in plain numbers only is parsed once per netlist
        and shared (a waveform is never changed once made)."""
        words = tuple(card.tokens[3:])
        known = self._waveforms.get(words)
        if known is not None:
            return known
        tran = self.circuit.transient
        context = WaveformContext(tran.step if tran else None, tran.stop if tran else None,
                                  self.base_dir, name)
        try:
            waveform = parse_waveform(list(words), lambda text: self._number(text, card, scope), context)
        except ValueError as exc:
            raise NetlistError(exc.args[0], card.where, exc.args[1]) from None
        literals = self._literals
        # A NOISE source's path depends on its name, a CUS one's on a file: never shared.
        if all(w in literals or w in ("(", ")") or w.lower() in _SHAREABLE_FORMS for w in words):
            self._waveforms[words] = waveform
        return waveform

    def _coupling(self, card: Card, scope: dict[str, float], name: str, suffix: str,
                  override: float | None = None) -> CircuitElement:
        positional, assignments = _split_assignments(card.tokens[1:], card)
        if len(positional) == 3 and not assignments:
            coefficient_text = positional.pop()
        elif len(positional) == 2 and set(assignments) == {"k"}:
            coefficient_text = assignments["k"]
        else:
            raise NetlistError("K needs two inductors and a coupling coefficient", card.where, card.tokens[0])
        coefficient = self._number(coefficient_text, card, scope) if override is None else override
        if not -1.0 < coefficient < 1.0:
            raise NetlistError("coupling coefficient must lie between -1 and 1", card.where, coefficient_text)
        coupled = tuple((p + suffix).lower() for p in positional)
        return CircuitElement("K", name, (), card.where, value=coefficient, coupled=coupled)  # type: ignore[arg-type]

    def _junction(self, card: Card, scope: dict[str, float], node: Callable[[str], str],
                  name: str, override: float | None = None) -> CircuitElement:
        positional, assignments = _split_assignments(card.tokens[1:], card)
        noise_free = any(t.lower() == "nfree" for t in positional)
        positional = [t for t in positional if t.lower() != "nfree"]
        variation = {k: assignments.pop(k) for k in ("temp", "neb", "spread") if k in assignments}
        # An optional third node (a phase-output node in some dialects) is ignored.
        if len(positional) not in (3, 4):
            raise NetlistError("junction needs two nodes and a model name", card.where, card.tokens[0])
        model_name = positional[-1]
        model_key = self._model_key(model_name)
        if model_key is None:
            raise NetlistError("unknown junction model", card.where, model_name)
        for key in assignments:
            if key not in ("area", "ic"):
                raise NetlistError("unknown junction instance parameter", card.where, key)
        area_text = assignments.get("area")
        ic_text = assignments.get("ic")
        if area_text is not None and ic_text is not None:
            raise NetlistError("give either area= or ic=, not both", card.where, "ic")
        jj = self._unit_junction(model_key)
        area = 1.0
        if override is not None:  # an instance's B1=VALUE sets the area
            area = override
        elif area_text is not None:
            area = self._number(area_text, card, scope)
        elif ic_text is not None:
            area = self._number(ic_text, card, scope) / jj.critical_current
        if area <= 0:
            raise NetlistError("junction area must be positive", card.where, area_text or ic_text)
        if area != 1.0:
            jj = JunctionValues(**{**vars(jj), "critical_current": jj.critical_current * area,
                                   "capacitance": jj.capacitance * area,
                                   "resistance": None if jj.resistance is None else jj.resistance / area,
                                   "subgap_resistance": None if jj.subgap_resistance is None
                                   else jj.subgap_resistance / area})
        element = CircuitElement("B", name, (node(positional[0]), node(positional[1])), card.where,
                                 junction=jj, noise_free=noise_free)
        return self._variation(element, variation, card, scope)

    def _junction_values(self, model: str) -> JunctionValues:
        """A fresh copy of the model's junction at unit area."""
        return copy.copy(self._unit_junction(model))

    def _unit_junction(self, model: str) -> JunctionValues:
        """The model's junction at unit area, read once; not to be changed."""
        known = self._junctions.get(model)
        if known is None:
            known = self._junctions[model] = self._read_junction(model)
        return known

    def _read_junction(self, model: str) -> JunctionValues:
        texts, where = self.models[model]

        def number(text: str, at: Location) -> float:
            try:
                return evaluate(text, self.global_params)
            except ExpressionError as exc:
                raise NetlistError(exc.message, at, exc.token) from None

        values, kernel_text = model_values(texts, number, where)
        kernel = kernel_name(kernel_text, where) if kernel_text is not None else None
        if kernel is not None:
            return tunnel_junction_from_model(values, kernel, where)
        return junction_from_model(values, where)

    def _check_couplings(self) -> None:
        for element in self._coupled:
            if element.kind in "FH" and element.coupled:
                target = self.element_keys.get(element.coupled[0])
                if target is None or target.kind not in "VPL":
                    raise NetlistError(f"{element.kind} senses the current of a V, P or L element",
                                       element.where, element.coupled[0])
                continue
            if element.kind != "K":
                continue
            assert element.coupled is not None
            for key in element.coupled:
                target = self.element_keys.get(key)
                if target is None or target.kind != "L":
                    raise NetlistError("K must name two inductors", element.where, key)
            if element.coupled[0] == element.coupled[1]:
                raise NetlistError("K couples an inductor with itself", element.where, element.coupled[0])


def _written_nodes(cards: list[Card]) -> list[tuple[str, str]]:
    """The two node names of each two-terminal element card, once each, with their keys."""
    seen: dict[str, str] = {}
    for card in cards:
        tokens = card.tokens
        if card.keyword[0] in "rlcbivp" and len(tokens) >= 3:
            for name in tokens[1:3]:
                if name not in seen:
                    seen[name] = name.lower()
    return list(seen.items())


def _looks_numeric(token: str) -> bool:
    return token[:1].isdigit()


def _split_assignments(tokens: list[str], card: Card) -> tuple[list[str], dict[str, str]]:
    """Split ``a b c=1 d = 2`` into positional tokens and name=value pairs."""
    if "=" not in tokens:
        return list(tokens), {}
    positional: list[str] = []
    assignments: dict[str, str] = {}
    k = 0
    while k < len(tokens):
        if k + 1 < len(tokens) and tokens[k + 1] == "=":
            if k + 2 >= len(tokens):
                raise NetlistError("missing value after '='", card.where, tokens[k])
            assignments[tokens[k].lower()] = tokens[k + 2]
            k += 3
        elif tokens[k] == "=":
            raise NetlistError("unexpected '='", card.where, "=")
        else:
            positional.append(tokens[k])
            k += 1
    return positional, assignments


def _param_assignments(card: Card) -> list[tuple[str, str]]:
    """``.param a = 2 * b  c=3``: a value runs up to the next ``name =``."""
    tokens = card.tokens[1:]
    pairs: list[tuple[str, list[str]]] = []
    k = 0
    while k < len(tokens):
        if k + 1 < len(tokens) and tokens[k + 1] == "=":
            pairs.append((tokens[k].lower(), []))
            k += 2
            continue
        if not pairs:
            raise NetlistError("expected name=value", card.where, tokens[k])
        pairs[-1][1].append(tokens[k])
        k += 1
    for key, words in pairs:
        if not words:
            raise NetlistError("missing value after '='", card.where, key)
    return [(key, " ".join(words)) for key, words in pairs]


def _evaluate_assignments(texts: Mapping[str, str], scope: Mapping[str, float],
                          where: Location) -> dict[str, float]:
    values: dict[str, float] = {}
    for key, text in texts.items():
        try:
            values[key] = evaluate(text, _Scope(values, scope))
        except ExpressionError as exc:
            raise NetlistError(exc.message, where, exc.token) from None
    return values


def _evaluate_params(cards: list[Card], scope: Mapping[str, float],
                     fixed: Mapping[str, float] | None = None) -> dict[str, float]:
    """Evaluate ``.param`` cards; a name may be used before the card that defines it.

    Definitions are evaluated in dependency order (linear in their number);
    a later definition of the same name replaces an earlier one.  What is
    left in a cycle is tried against the outer scope, as a name may be
    defined in terms of an outer value of the same or another name.  Names
    in ``fixed`` keep the given value whatever their card says.
    """
    fixed = fixed or {}
    definitions: dict[str, tuple[str, Card]] = {}
    values: dict[str, float] = {}
    for card in cards:
        for key, text in _param_assignments(card):
            if key in fixed:
                values[key] = fixed[key]
                continue
            definitions.pop(key, None)
            definitions[key] = (text, card)
    waiting_on: dict[str, set[str]] = {}
    users: dict[str, list[str]] = {}
    for key, (text, _) in definitions.items():
        needs = {name for name in names_in(text) if name in definitions and name != key}
        waiting_on[key] = needs
        for name in needs:
            users.setdefault(name, []).append(key)
    ready = [key for key, needs in waiting_on.items() if not needs]
    ready.reverse()
    while ready:
        key = ready.pop()
        text, card = definitions[key]
        values[key] = _evaluate_param(key, text, card, scope, values)
        for user in users.get(key, ()):
            waiting_on[user].discard(key)
            if not waiting_on[user]:
                ready.append(user)
    cyclic = [key for key in definitions if key not in values]
    while cyclic:
        failures = []
        for key in cyclic:
            text, card = definitions[key]
            try:
                values[key] = evaluate(text, {**scope, **values})
            except ExpressionError as exc:
                failures.append((key, card, exc))
        if len(failures) == len(cyclic):
            # Report a name no card defines; if every missing name is itself
            # pending, the definitions go round in a circle.
            waiting = {key for key, _, _ in failures}
            undefined = [f for f in failures if f[2].token.lower() not in waiting]
            _, card, exc = (undefined or failures)[0]
            message = exc.message if undefined else f"{exc.message} (circular definition)"
            raise NetlistError(message, card.where, exc.token)
        cyclic = [key for key, _, _ in failures]
    return values


def _evaluate_param(key: str, text: str, card: Card, scope: Mapping[str, float],
                    values: dict[str, float]) -> float:
    # A view, not a merged copy: copying the scope for each of n parameters is quadratic.
    try:
        return evaluate(text, _Scope(values, scope))
    except ExpressionError as exc:
        raise NetlistError(exc.message, card.where, exc.token) from None


class _Scope(Mapping[str, float]):
    """``inner`` over ``outer`` without copying either."""

    def __init__(self, inner: Mapping[str, float], outer: Mapping[str, float]):
        self.inner, self.outer = inner, outer

    def __getitem__(self, key: str) -> float:
        return self.inner[key] if key in self.inner else self.outer[key]

    def __contains__(self, key: object) -> bool:
        return key in self.inner or key in self.outer

    def __iter__(self):
        return iter({**self.outer, **self.inner})

    def __len__(self) -> int:
        return len({**self.outer, **self.inner})

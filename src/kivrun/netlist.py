"""Netlist reader: SPICE-style text in, a flattened :class:`Circuit` out.

Names are case-insensitive.  Elements inside subcircuit instances are named
``element.instance`` from the innermost instance outwards (``B1.X2.X1``);
internal nodes likewise.  Every error is a :class:`NetlistError` naming the
file, the line and the offending token.
"""
from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass, field
from typing import Callable, Mapping

from .circuit import GROUND, Circuit, CircuitElement, JunctionValues, Transient, node_key
from .errors import ExpressionError, Location, NetlistError
from .expressions import evaluate, names_in
from .junction_models import junction_from_model, kernel_name, tunnel_junction_from_model
from .netlist_files import read_text
from .netlist_lines import Card, read_cards
from .netlist_outputs import OutputReader
from .waveforms import parse_waveform

MAX_SUBCIRCUIT_DEPTH = 50
#: Most elements a netlist may expand to unless ``.options maxelements=N`` says otherwise.
MAX_ELEMENTS = 1_000_000
#: Options a netlist may set with ``.options``; see the simulator docs.
KNOWN_OPTIONS = ("tol", "ramp", "maxstep", "fixedstep", "order", "maxelements", "maxbreakpoints")
#: Junction model parameters of other dialects that do not apply here.
IGNORED_MODEL_PARAMETERS = ("cct", "icon", "tc", "t", "tnom", "gmin", "cpic", "vshunt", "lsh")


@dataclass
class Subcircuit:
    name: str
    ports: list[str]
    defaults: dict[str, str]
    where: Location
    cards: list[Card] = field(default_factory=list)


def read_netlist(path: str) -> Circuit:
    """Read a netlist file."""
    text = read_text(path, path, Location(path, 0), path, what="netlist")
    return parse_netlist(text, path, os.path.dirname(os.path.abspath(path)))


def parse_netlist(text: str, name: str = "<netlist>", base_dir: str = ".") -> Circuit:
    """Parse netlist text; ``.include`` paths are relative to ``base_dir``."""
    title, cards = read_cards(text, name, base_dir)
    return _Reader(title, cards, name).run()


class _Reader:
    def __init__(self, title: str, cards: list[Card], source: str):
        self.circuit = Circuit(title=title, source=source)
        self.cards = cards
        self.subcircuits: dict[str, Subcircuit] = {}
        self.models: dict[str, tuple[dict[str, tuple[str, Location]], Location]] = {}
        self.global_params: dict[str, float] = {}
        self.param_cards: list[Card] = []
        self.top: list[Card] = []
        self.print_cards: list[Card] = []
        self.element_keys: dict[str, CircuitElement] = {}
        self._nodes: set[str] | None = None
        #: The top-level card being expanded, named when the circuit grows too large.
        self._top_card: Card | None = None

    # -- collection -------------------------------------------------------
    def run(self) -> Circuit:
        self._collect()
        self.global_params = _evaluate_params(self.param_cards, {})
        self._expand(self.top, self.global_params, {}, "", 0)
        self._check_couplings()
        outputs = OutputReader(self.circuit, self.element_keys)
        for card in self.print_cards:
            outputs.read(card)
        if not self.circuit.elements:
            raise NetlistError("netlist has no elements", Location(self.circuit.source, 0), "")
        return self.circuit

    def _collect(self) -> None:
        open_subckt: Subcircuit | None = None
        for card in self.cards:
            keyword = card.keyword
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
                self._model(card)
            elif keyword == ".param":
                (open_subckt.cards if open_subckt else self.param_cards).append(card)
            elif keyword[0] == ".":
                if open_subckt is not None:
                    raise NetlistError("control card inside a subcircuit", card.where, card.tokens[0])
                self._control(card)
            elif keyword[0] in "rlckbivpx":
                (open_subckt.cards if open_subckt else self.top).append(card)
            else:
                raise NetlistError("unknown element type", card.where, card.tokens[0])
        if open_subckt is not None:
            raise NetlistError("subcircuit without .ends", open_subckt.where, open_subckt.name)

    def _subckt_header(self, card: Card) -> Subcircuit:
        tokens = card.tokens
        if len(tokens) < 2:
            raise NetlistError("missing subcircuit name", card.where, tokens[0])
        ports, defaults = _split_assignments(tokens[2:], card)
        ports = [p for p in ports if p.lower() != "params:"]
        if tokens[1].lower() in self.subcircuits:
            raise NetlistError("subcircuit defined twice", card.where, tokens[1])
        return Subcircuit(tokens[1], [node_key(p) for p in ports], defaults, card.where)

    def _model(self, card: Card) -> None:
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
        self.models[name.lower()] = ({k: (v, card.where) for k, v in assignments.items()}, card.where)

    def _control(self, card: Card) -> None:
        keyword = card.keyword
        if keyword == ".tran":
            self._tran(card)
        elif keyword in (".print", ".save", ".plot", ".probe"):
            self.print_cards.append(card)
        elif keyword in (".options", ".option"):
            self._options(card)
        elif keyword in (".temp", ".file", ".title", ".control", ".endc"):
            pass  # no meaning for this simulator
        else:
            raise NetlistError("unknown control card", card.where, card.tokens[0])

    def _tran(self, card: Card) -> None:
        args = [t for t in card.tokens[1:] if t.lower() != "uic"]
        if not 2 <= len(args) <= 4:
            raise NetlistError(".tran needs TSTEP TSTOP [TSTART [TMAX]]", card.where, " ".join(card.tokens))
        values = [self._number(t, card, {}) for t in args]
        if any(v < 0 for v in values) or values[0] <= 0 or values[1] <= 0:
            raise NetlistError("time values of .tran must be positive", card.where, " ".join(args))
        start = values[2] if len(values) > 2 else 0.0
        if start >= values[1]:
            raise NetlistError("TSTART must lie before TSTOP", card.where, args[2])
        max_step = values[3] if len(values) > 3 and values[3] > 0 else None
        self.circuit.transient = Transient(values[0], values[1], start, max_step, card.where)

    def _options(self, card: Card) -> None:
        positional, assignments = _split_assignments(card.tokens[1:], card)
        for flag in positional:
            assignments[flag.lower()] = "1"
        for key, text in assignments.items():
            if key not in KNOWN_OPTIONS:
                warnings.warn(f"{card.where}: option '{key}' ignored", stacklevel=2)
                continue
            self.circuit.options[key] = self._number(text, card, {})
            self.circuit.option_where[key] = card.where

    def _number(self, token: str, card: Card, scope: Mapping[str, float]) -> float:
        try:
            return evaluate(token, scope or self.global_params)
        except ExpressionError as exc:
            raise NetlistError(exc.message, card.where, exc.token) from None

    # -- expansion --------------------------------------------------------
    def _expand(self, cards: list[Card], scope: dict[str, float], port_map: dict[str, str],
                suffix: str, depth: int) -> None:
        """Add the elements of ``cards``; ``suffix`` is the instance path (``.X2.X1``)."""
        scope = dict(scope)
        scope.update(_evaluate_params([c for c in cards if c.keyword == ".param"], scope))

        def node(name: str) -> str:
            key = node_key(name)
            if key == GROUND:
                return GROUND
            if key in port_map:
                return port_map[key]
            return key + suffix.lower()

        for card in cards:
            kind = card.keyword[0]
            if card.keyword == ".param":
                continue
            if depth == 0:
                self._top_card = card
            if kind == "x":
                self._instance(card, scope, node, suffix, depth)
            else:
                self._add(self._element(card, scope, node, suffix))

    def _instance(self, card: Card, scope: dict[str, float], node: Callable[[str], str],
                  suffix: str, depth: int) -> None:
        tokens = card.tokens
        positional, overrides = _split_assignments(tokens[1:], card)
        if not positional:
            raise NetlistError("instance without subcircuit name", card.where, tokens[0])
        # Either `X1 cell a b` or `X1 a b cell`: the subcircuit name is at one end.
        if positional[0].lower() in self.subcircuits:
            cell, nodes = self.subcircuits[positional[0].lower()], positional[1:]
        elif positional[-1].lower() in self.subcircuits:
            cell, nodes = self.subcircuits[positional[-1].lower()], positional[:-1]
        else:
            raise NetlistError("unknown subcircuit", card.where, positional[-1])
        if len(nodes) != len(cell.ports):
            raise NetlistError(f"subcircuit {cell.name} has {len(cell.ports)} ports, "
                               f"instance gives {len(nodes)}", card.where, tokens[0])
        if depth >= MAX_SUBCIRCUIT_DEPTH:
            raise NetlistError("subcircuits nested too deeply (recursive definition?)", card.where, tokens[0])
        inner = dict(self.global_params)
        inner.update(_evaluate_assignments(cell.defaults, inner, cell.where))
        for key, text in overrides.items():
            if key not in cell.defaults:
                raise NetlistError(f"subcircuit {cell.name} has no parameter", card.where, key)
            inner[key] = self._number(text, card, scope)
        port_map = {port: node(n) for port, n in zip(cell.ports, nodes)}
        self._expand(cell.cards, inner, port_map, "." + tokens[0] + suffix, depth + 1)

    def _add(self, element: CircuitElement) -> None:
        if element.key in self.element_keys:
            raise NetlistError("element defined twice", element.where, element.name)
        if element.kind != "K" and all(n == GROUND for n in element.nodes[:2]):
            raise NetlistError("element has both terminals at ground", element.where, element.name)
        limit = self.circuit.options.get("maxelements", MAX_ELEMENTS)
        if len(self.circuit.elements) >= limit:
            card = self._top_card
            raise NetlistError(f"circuit grows past {limit:.0f} elements (raise the limit with "
                               f".options maxelements=N)", card.where if card else element.where,
                               card.tokens[0] if card else element.name)
        self.element_keys[element.key] = element
        self.circuit.elements.append(element)

    def _element(self, card: Card, scope: dict[str, float], node: Callable[[str], str],
                 suffix: str) -> CircuitElement:
        tokens = card.tokens
        kind = tokens[0][0].upper()
        name = tokens[0] + suffix
        if kind in "RLC":
            if len(tokens) != 4:
                raise NetlistError(f"{kind} element needs two nodes and a value", card.where,
                                   tokens[4] if len(tokens) > 4 else tokens[0])
            value = self._number(tokens[3], card, scope)
            if value <= 0:
                raise NetlistError("element value must be positive", card.where, tokens[3])
            if not math.isfinite(1.0 / value):
                raise NetlistError("element value too small", card.where, tokens[3])
            return CircuitElement(kind, name, (node(tokens[1]), node(tokens[2])), card.where, value=value)
        if kind == "K":
            return self._coupling(card, scope, name, suffix)
        if kind == "B":
            return self._junction(card, scope, node, name)
        if kind in "IVP":
            if len(tokens) < 4:
                raise NetlistError("source needs two nodes and a value", card.where, tokens[0])
            try:
                waveform = parse_waveform(tokens[3:], lambda text: self._number(text, card, scope))
            except ValueError as exc:
                raise NetlistError(exc.args[0], card.where, exc.args[1]) from None
            nodes = (node(tokens[1]), node(tokens[2]))
            return CircuitElement(kind, name, nodes, card.where, waveform=waveform)
        raise NetlistError("unknown element type", card.where, tokens[0])

    def _coupling(self, card: Card, scope: dict[str, float], name: str, suffix: str) -> CircuitElement:
        positional, assignments = _split_assignments(card.tokens[1:], card)
        if len(positional) == 3 and not assignments:
            coefficient_text = positional.pop()
        elif len(positional) == 2 and set(assignments) == {"k"}:
            coefficient_text = assignments["k"]
        else:
            raise NetlistError("K needs two inductors and a coupling coefficient", card.where, card.tokens[0])
        coefficient = self._number(coefficient_text, card, scope)
        if not -1.0 < coefficient < 1.0:
            raise NetlistError("coupling coefficient must lie between -1 and 1", card.where, coefficient_text)
        coupled = tuple((p + suffix).lower() for p in positional)
        return CircuitElement("K", name, (), card.where, value=coefficient, coupled=coupled)  # type: ignore[arg-type]

    def _junction(self, card: Card, scope: dict[str, float], node: Callable[[str], str],
                  name: str) -> CircuitElement:
        positional, assignments = _split_assignments(card.tokens[1:], card)
        # An optional third node (a phase-output node in some dialects) is ignored.
        if len(positional) not in (3, 4):
            raise NetlistError("junction needs two nodes and a model name", card.where, card.tokens[0])
        model_name = positional[-1]
        if model_name.lower() not in self.models:
            raise NetlistError("unknown junction model", card.where, model_name)
        for key in assignments:
            if key not in ("area", "ic"):
                raise NetlistError("unknown junction instance parameter", card.where, key)
        area_text = assignments.get("area")
        ic_text = assignments.get("ic")
        if area_text is not None and ic_text is not None:
            raise NetlistError("give either area= or ic=, not both", card.where, "ic")
        jj = self._junction_values(model_name.lower())
        area = 1.0
        if area_text is not None:
            area = self._number(area_text, card, scope)
        elif ic_text is not None:
            area = self._number(ic_text, card, scope) / jj.critical_current
        if area <= 0:
            raise NetlistError("junction area must be positive", card.where, area_text or ic_text)
        jj.critical_current *= area
        jj.capacitance *= area
        if jj.resistance is not None:
            jj.resistance /= area
        if jj.subgap_resistance is not None:
            jj.subgap_resistance /= area
        return CircuitElement("B", name, (node(positional[0]), node(positional[1])), card.where,
                              junction=jj)

    def _junction_values(self, model: str) -> JunctionValues:
        texts, where = self.models[model]
        values: dict[str, float] = {}
        kernel = None
        for key, (text, at) in texts.items():
            if key in IGNORED_MODEL_PARAMETERS:
                continue
            if key == "tjm":
                kernel = kernel_name(text, at)
                continue
            if key not in ("icrit", "cap", "rn", "r0", "rsub", "rtype", "vg", "delv", "phi", "n"):
                warnings.warn(f"{at}: junction model parameter '{key}' ignored", stacklevel=2)
                continue
            try:
                values[key] = evaluate(text, self.global_params)
            except ExpressionError as exc:
                raise NetlistError(exc.message, at, exc.token) from None
        if "rsub" in values:
            if "r0" in values:
                raise NetlistError("give either r0 or rsub, not both", where, "rsub")
            values["r0"] = values.pop("rsub")
        if kernel is not None:
            return tunnel_junction_from_model(values, kernel, where)
        return junction_from_model(values, where)

    def _check_couplings(self) -> None:
        for element in self.circuit.elements:
            if element.kind != "K":
                continue
            assert element.coupled is not None
            for key in element.coupled:
                target = self.element_keys.get(key)
                if target is None or target.kind != "L":
                    raise NetlistError("K must name two inductors", element.where, key)
            if element.coupled[0] == element.coupled[1]:
                raise NetlistError("K couples an inductor with itself", element.where, element.coupled[0])


def _split_assignments(tokens: list[str], card: Card) -> tuple[list[str], dict[str, str]]:
    """Split ``a b c=1 d = 2`` into positional tokens and name=value pairs."""
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


def _evaluate_params(cards: list[Card], scope: Mapping[str, float]) -> dict[str, float]:
    """Evaluate ``.param`` cards; a name may be used before the card that defines it.

    Definitions are evaluated in dependency order (linear in their number);
    a later definition of the same name replaces an earlier one.  What is
    left in a cycle is tried against the outer scope, as a name may be
    defined in terms of an outer value of the same or another name.
    """
    definitions: dict[str, tuple[str, Card]] = {}
    for card in cards:
        for key, text in _param_assignments(card):
            definitions.pop(key, None)
            definitions[key] = (text, card)
    waiting_on: dict[str, set[str]] = {}
    users: dict[str, list[str]] = {}
    for key, (text, _) in definitions.items():
        needs = {name for name in names_in(text) if name in definitions and name != key}
        waiting_on[key] = needs
        for name in needs:
            users.setdefault(name, []).append(key)
    values: dict[str, float] = {}
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
            _, card, exc = failures[0]
            raise NetlistError(exc.message, card.where, exc.token)
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

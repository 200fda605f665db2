"""Output requests: ``.print``/``.save`` cards in the SPICE, the keyword and the ``@X[q]`` form.

As in the common dialect, a request naming a node or element that does not
exist is skipped with a warning; the rest of the card still counts.
"""
from __future__ import annotations

import re
import warnings
from itertools import chain
from operator import attrgetter

from .circuit import GROUND, Circuit, CircuitElement, Probe, node_key
from .errors import NetlistError
from .netlist_lines import Card

#: ``@R1[v]``: a quantity of a device.
_AT_FORM = re.compile(r"@([^\[\]]+)\[([a-z]+)\]", re.IGNORECASE)
#: Letter of an element quantity (c is the dialect's other name for current).
_ELEMENT_QUANTITY = {"v": "ev", "i": "i", "c": "i", "p": "ep"}
_LETTER = {"ev": "V", "i": "I", "ep": "P"}


class _Missing(Exception):
    """A request naming something the circuit does not have: skipped, with a warning."""

    def __init__(self, what: str, name: str):
        super().__init__(what, name)
        self.what = what
        self.name = name


class OutputReader:
    """Turns output cards into probes of a circuit whose elements are all known."""

    def __init__(self, circuit: Circuit, element_keys: dict[str, CircuitElement]):
        self.circuit = circuit
        self.element_keys = element_keys
        #: Node names, gathered when a node is first asked for.
        self._nodes: set[str] | None = None

    def read(self, card: Card) -> None:
        tokens = [t for t in card.tokens[1:] if t.lower() != "tran"]
        if not tokens:
            raise NetlistError("nothing to print", card.where, card.tokens[0])
        keyword = tokens[0].lower()
        if keyword in ("nodev", "nodep", "devv", "devi", "phase", "devp"):
            self._skipping_missing(card, self._print_keyword, keyword, tokens[1:], card)
            return
        k = 0
        while k < len(tokens):
            at_form = _AT_FORM.fullmatch(tokens[k])
            if at_form:
                quantity = at_form.group(2).lower()
                if quantity not in _ELEMENT_QUANTITY:
                    raise NetlistError("expected @name[v], [i], [c] or [p]", card.where, tokens[k])
                self._skipping_missing(card, self._element_probe, _ELEMENT_QUANTITY[quantity],
                                       [at_form.group(1)], card)
                k += 1
                continue
            if k + 2 >= len(tokens) or tokens[k + 1] != "(":
                raise NetlistError("expected v(...), i(...) or p(...)", card.where, tokens[k])
            end = tokens.index(")", k) if ")" in tokens[k:] else -1
            if end < 0:
                raise NetlistError("missing ')'", card.where, tokens[k])
            self._skipping_missing(card, self._print_function, tokens[k].lower(), tokens[k + 2:end], card)
            k = end + 1

    def _skipping_missing(self, card: Card, read, *args) -> None:
        try:
            read(*args)
        except _Missing as missing:
            warnings.warn(f"{card.where}: output of unknown {missing.what} '{missing.name}' skipped",
                          stacklevel=4)

    def _print_keyword(self, keyword: str, args: list[str], card: Card) -> None:
        if keyword in ("nodev", "nodep"):
            if not 1 <= len(args) <= 2:
                raise NetlistError(f"{keyword.upper()} needs one or two nodes", card.where, keyword)
            self._node_probe("v" if keyword == "nodev" else "p", args, card)
            return
        if len(args) != 1:
            raise NetlistError(f"{keyword.upper()} needs one element name", card.where, keyword)
        quantity = {"devv": "ev", "devi": "i", "phase": "ep", "devp": "ep"}[keyword]
        self._element_probe(quantity, args, card)

    def _print_function(self, function: str, args: list[str], card: Card) -> None:
        if function not in _ELEMENT_QUANTITY:
            raise NetlistError("unknown output function", card.where, function)
        if not 1 <= len(args) <= 2:
            raise NetlistError(f"{function}() takes one or two names", card.where, ",".join(args))
        elements = [self._find_element(a) for a in args]
        # Whether a name is a node is asked only where it matters: the set of all nodes
        # is made on the first question.
        is_node = self._has_node
        for arg, element in zip(args, elements):
            if element is None and not is_node(arg):
                raise _Missing("element" if function in ("i", "c") else "element or node", arg)
        if function in ("i", "c"):
            self._element_probe("i", args, card)
        elif function == "v" and all(e is not None and not is_node(a) for a, e in zip(args, elements)):
            self._element_probe("ev", args, card)
        elif function == "p" and all(e is not None for e in elements):
            self._element_probe("ep", args, card)
        elif function == "p" or all(is_node(a) for a in args) or not any(e is not None for e in elements):
            self._node_probe(function, args, card)
        else:
            raise NetlistError(f"{function}() compares two nodes or two elements", card.where, ",".join(args))

    def _has_node(self, name: str) -> bool:
        key = node_key(name)
        if key == GROUND:
            return True
        if self._nodes is None:
            self._nodes = set(chain.from_iterable(map(attrgetter("nodes"), self.circuit.elements)))
        return key in self._nodes

    def _node_probe(self, quantity: str, args: list[str], card: Card) -> None:
        keys = tuple(node_key(a) for a in args)
        for arg in args:
            if not self._has_node(arg):
                raise _Missing("node", arg)
        if all(k == GROUND for k in keys):
            raise NetlistError("output between ground and ground", card.where, ",".join(args))
        label = f"{'V' if quantity == 'v' else 'P'}({','.join(args)})"
        self.circuit.probes.append(Probe(quantity, keys, label, card.where))

    def _element_probe(self, quantity: str, names: list[str], card: Card) -> None:
        found = []
        for name in names:
            element = self._find_element(name)
            if element is None:
                raise _Missing("element", name)
            found.append(element)
        label = _LETTER[quantity] + f"({','.join(e.name for e in found)})"
        self.circuit.probes.append(Probe(quantity, tuple(e.key for e in found), label, card.where))

    def _find_element(self, name: str) -> CircuitElement | None:
        key = name.lower().replace("|", ".")
        if key in self.element_keys:
            return self.element_keys[key]
        # Also accept the instance path written from the outside in (X1.X2.B1).
        parts = key.split(".")
        return self.element_keys.get(".".join([parts[-1]] + parts[-2::-1])) if len(parts) > 1 else None

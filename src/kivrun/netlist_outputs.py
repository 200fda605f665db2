"""Output requests: ``.print``/``.save`` cards in the SPICE and the keyword form."""
from __future__ import annotations

from .circuit import GROUND, Circuit, CircuitElement, Probe, node_key
from .errors import NetlistError
from .netlist_lines import Card


class OutputReader:
    """Turns output cards into probes of a circuit whose elements are all known."""

    def __init__(self, circuit: Circuit, element_keys: dict[str, CircuitElement]):
        self.circuit = circuit
        self.element_keys = element_keys
        self._nodes = set(circuit.nodes())

    def read(self, card: Card) -> None:
        tokens = [t for t in card.tokens[1:] if t.lower() != "tran"]
        if not tokens:
            raise NetlistError("nothing to print", card.where, card.tokens[0])
        keyword = tokens[0].lower()
        if keyword in ("nodev", "nodep", "devv", "devi", "phase", "devp"):
            self._print_keyword(keyword, tokens[1:], card)
            return
        k = 0
        while k < len(tokens):
            if k + 2 >= len(tokens) or tokens[k + 1] != "(":
                raise NetlistError("expected v(...), i(...) or p(...)", card.where, tokens[k])
            end = tokens.index(")", k) if ")" in tokens[k:] else -1
            if end < 0:
                raise NetlistError("missing ')'", card.where, tokens[k])
            self._print_function(tokens[k].lower(), tokens[k + 2:end], card)
            k = end + 1

    def _print_keyword(self, keyword: str, args: list[str], card: Card) -> None:
        if keyword in ("nodev", "nodep"):
            if not 1 <= len(args) <= 2:
                raise NetlistError(f"{keyword.upper()} needs one or two nodes", card.where, keyword)
            self._node_probe("v" if keyword == "nodev" else "p", args, card)
            return
        if len(args) != 1:
            raise NetlistError(f"{keyword.upper()} needs one element name", card.where, keyword)
        quantity = {"devv": "ev", "devi": "i", "phase": "ep", "devp": "ep"}[keyword]
        self._element_probe(quantity, args[0], card)

    def _print_function(self, function: str, args: list[str], card: Card) -> None:
        if function == "v":
            if not 1 <= len(args) <= 2:
                raise NetlistError("v() takes one or two nodes", card.where, ",".join(args))
            if len(args) == 1 and self._find_element(args[0]) and not self._has_node(args[0]):
                self._element_probe("ev", args[0], card)
            else:
                self._node_probe("v", args, card)
        elif function in ("i", "p"):
            if len(args) != 1:
                raise NetlistError(f"{function}() takes one name", card.where, ",".join(args))
            if function == "p" and not self._find_element(args[0]):
                self._node_probe("p", args, card)
            else:
                self._element_probe("i" if function == "i" else "ep", args[0], card)
        else:
            raise NetlistError("unknown output function", card.where, function)

    def _has_node(self, name: str) -> bool:
        key = node_key(name)
        return key == GROUND or key in self._nodes

    def _node_probe(self, quantity: str, args: list[str], card: Card) -> None:
        keys = tuple(node_key(a) for a in args)
        for arg in args:
            if not self._has_node(arg):
                raise NetlistError("unknown node", card.where, arg)
        if all(k == GROUND for k in keys):
            raise NetlistError("output between ground and ground", card.where, ",".join(args))
        label = f"{'V' if quantity == 'v' else 'P'}({','.join(args)})"
        self.circuit.probes.append(Probe(quantity, keys, label, card.where))

    def _element_probe(self, quantity: str, name: str, card: Card) -> None:
        element = self._find_element(name)
        if element is None:
            raise NetlistError("unknown element", card.where, name)
        label = {"ev": "V", "i": "I", "ep": "P"}[quantity] + f"({element.name})"
        self.circuit.probes.append(Probe(quantity, (element.key,), label, card.where))

    def _find_element(self, name: str) -> CircuitElement | None:
        key = name.lower().replace("|", ".")
        if key in self.element_keys:
            return self.element_keys[key]
        # Also accept the instance path written from the outside in (X1.X2.B1).
        parts = key.split(".")
        return self.element_keys.get(".".join([parts[-1]] + parts[-2::-1])) if len(parts) > 1 else None

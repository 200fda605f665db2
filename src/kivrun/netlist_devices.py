"""Transmission lines (T) and controlled sources (E, F, G, H) as the common dialect writes them.

    T1 a1 b1 a2 b2 [LOSSLESS] TD=10p Z0=5   lossless line, port 1 (a1, b1), port 2 (a2, b2)
    E1 o+ o- c+ c- gain                      V(o+, o-) = gain · V(c+, c-)
    G1 o+ o- c+ c- gm                        gm · V(c+, c-) from o+ through G1 to o-
    F1 o+ o- c+ c- gain                      gain · I(c+ → c-) from o+ through F1 to o-
    H1 o+ o- c+ c- r                         V(o+, o-) = r · I(c+ → c-)

F and H sense the current through a short from c+ to c- (the dialect's form);
the SPICE form ``F1 o+ o- Vname gain`` senses the branch current of a voltage
source, phase source or inductor instead.
"""
from __future__ import annotations

from typing import Callable

from .circuit import CircuitElement
from .errors import NetlistError
from .netlist_lines import Card

Number = Callable[[str], float]
Node = Callable[[str], str]


def transmission_line(card: Card, positional: list[str], assignments: dict[str, str], number: Number,
                      node: Node, name: str) -> CircuitElement:
    """``positional``: the card's words after the name; ``assignments``: its KEY=VALUE pairs."""
    extra = [w for w in positional[4:] if w.lower() != "lossless"]
    if len(positional) < 4 or extra:
        word = extra[0] if extra else card.tokens[0]
        message = ("only the lossless line is supported" if word.lower() == "lossy"
                   else "T needs four nodes, TD= and Z0=")
        raise NetlistError(message, card.where, word)
    unknown = set(assignments) - {"td", "z0"}
    if unknown or set(assignments) != {"td", "z0"}:
        raise NetlistError("T needs TD= and Z0= (and nothing else)", card.where,
                           sorted(unknown)[0] if unknown else card.tokens[0])
    delay, impedance = number(assignments["td"]), number(assignments["z0"])
    if not delay > 0 or not impedance > 0:
        raise NetlistError("TD and Z0 must be positive", card.where, card.tokens[0])
    nodes = tuple(node(t) for t in positional[:4])
    return CircuitElement("T", name, nodes, card.where, value=impedance, delay=delay)


def controlled_source(card: Card, number: Number, node: Node, name: str, suffix: str) -> CircuitElement:
    tokens = card.tokens
    kind = tokens[0][0].upper()
    if len(tokens) == 6:
        nodes = tuple(node(t) for t in tokens[1:5])
        control: tuple[str, ...] = ()
    elif len(tokens) == 5 and kind in "FH":
        nodes = (node(tokens[1]), node(tokens[2]))
        control = ((tokens[3] + suffix).lower(),)
    else:
        form = "o+ o- c+ c- value" + (" (or o+ o- Vsense value)" if kind in "FH" else "")
        raise NetlistError(f"{kind} needs {form}", card.where, tokens[0])
    value = number(tokens[-1])
    if nodes[0] == nodes[1]:
        raise NetlistError(f"{kind} output terminals are the same node", card.where, tokens[1])
    if len(nodes) == 4 and nodes[2] == nodes[3]:
        raise NetlistError(f"{kind} control terminals are the same node", card.where, tokens[3])
    return CircuitElement(kind, name, nodes, card.where, value=value, coupled=control or None)

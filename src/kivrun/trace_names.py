"""Finding a trace by any spelling an output card accepts for it.

Labels are formed by the output reader (``V(n)``, ``V(n1,n2)``, ``I(X)``,
``P(X)``) with subcircuit names inside out (``B1.X8``).  A lookup may use
any case, ``|`` for ``.``, the outside-in path (``X8.B1``), ``gnd`` for
``0``, spaces, or the keyword form of the cards (``DEVI L1``, ``NODEV a b``).
"""
from __future__ import annotations

import fnmatch
import itertools
import re
from typing import Iterable, Mapping

import numpy as np

from .circuit import GROUND_NAMES

_FUNCTION = re.compile(r"^\s*([A-Za-z]+)\s*\(\s*(.*?)\s*\)\s*$")
_KEYWORDS = {"nodev": "V", "nodep": "P", "devv": "V", "devi": "I", "phase": "P", "devp": "P"}

#: SI unit of a trace by its function letter.
UNITS = {"V": "V", "I": "A", "P": "rad"}
QUANTITIES = {"V": "voltage", "I": "current", "P": "phase"}


def parse(spelling: str) -> tuple[str, tuple[str, ...]] | None:
    """(function letter, normalised arguments) of a trace spelling, or None."""
    match = _FUNCTION.match(spelling)
    if match:
        function, args = match.group(1).upper(), [a for a in re.split(r"[\s,]+", match.group(2)) if a]
    else:
        words = spelling.split()
        if not words or words[0].lower() not in _KEYWORDS:
            return None
        function, args = _KEYWORDS[words[0].lower()], words[1:]
    if function not in UNITS or not 1 <= len(args) <= 2:
        return None
    names = tuple(_name(a) for a in args)
    return function, names[:1] if len(names) == 2 and names[1] == "0" else names


def _name(text: str) -> str:
    key = text.lower().replace("|", ".")
    return "0" if key in GROUND_NAMES else key


def _orientations(name: str) -> list[str]:
    """A hierarchical name as written and with its path reversed."""
    parts = name.split(".")
    if len(parts) < 2:
        return [name]
    return [name, ".".join(reversed(parts))]


def unit_of(label: str) -> str:
    parsed = parse(label)
    return UNITS[parsed[0]] if parsed else ""


class TraceIndex:
    """Resolves spellings against a fixed set of labels."""

    def __init__(self, labels: Iterable[str]):
        self.labels = list(labels)
        self._keys: dict[tuple[str, tuple[str, ...]], str] = {}
        for label in self.labels:
            parsed = parse(label)
            if parsed is not None:
                self._keys.setdefault(parsed, label)

    def resolve(self, spelling: str) -> str | None:
        """The label a spelling names, if it names a recorded trace."""
        for label in self.labels:
            if label.lower() == spelling.lower():
                return label
        parsed = parse(spelling)
        if parsed is None:
            return None
        function, args = parsed
        for combo in itertools.product(*(_orientations(a) for a in args)):
            label = self._keys.get((function, combo))
            if label is not None:
                return label
        return None

    def lookup(self, spelling: str, traces: Mapping[str, np.ndarray]) -> np.ndarray:
        """A recorded trace, or a node difference built from two recorded ones."""
        label = self.resolve(spelling)
        if label is not None:
            return traces[label]
        parsed = parse(spelling)
        if parsed is not None and parsed[0] in ("V", "P") and len(parsed[1]) == 2:
            # V(a,b) from V(a) and V(b); ground contributes nothing.
            function, (a, b) = parsed
            parts = [None if n == "0" else self.resolve(f"{function}({n})") for n in (a, b)]
            if all(p is not None or n == "0" for p, n in zip(parts, (a, b))) and any(parts):
                plus = traces[parts[0]] if parts[0] else 0.0
                minus = traces[parts[1]] if parts[1] else 0.0
                return np.asarray(plus - minus)
        raise KeyError(f"no trace '{spelling}'; traces: {', '.join(self.labels)}")

    def select(self, patterns: str | Iterable[str] | None) -> list[str]:
        """Labels chosen by glob patterns or spellings (all when None), in recorded order."""
        if patterns is None:
            return list(self.labels)
        if isinstance(patterns, str):
            patterns = split_patterns(patterns)
        chosen: set[str] = set()
        for pattern in patterns:
            label = self.resolve(pattern)
            if label is not None:
                chosen.add(label)
                continue
            matched = [lab for lab in self.labels if fnmatch.fnmatchcase(lab.lower(), pattern.lower())]
            if not matched:
                raise KeyError(f"no trace matches '{pattern}'; traces: {', '.join(self.labels)}")
            chosen.update(matched)
        return [lab for lab in self.labels if lab in chosen]


def split_patterns(text: str) -> list[str]:
    """``P(*),V(1,2)`` -> [``P(*)``, ``V(1,2)``]: commas inside parentheses stay."""
    items, depth, current = [], 0, ""
    for ch in text:
        if ch == "," and depth == 0:
            items.append(current)
            current = ""
            continue
        depth += {"(": 1, ")": -1}.get(ch, 0)
        current += ch
    items.append(current)
    return [item.strip() for item in items if item.strip()]

"""SI numbers with engineering suffixes and a small arithmetic evaluator.

Values in a netlist are numbers such as ``2.5p``, ``151uA`` or ``1meg`` (the
suffix scales, letters after it are units and are ignored, as in SPICE), or
expressions over ``.param`` names.  Expressions are parsed here by a
recursive-descent parser; nothing is handed to Python's ``eval``.
"""
from __future__ import annotations

import math
import re
from typing import Callable, Mapping

from .constants import DIALECT_CONSTANTS
from .errors import ExpressionError

#: ``x`` is mega, as in the common dialect (``meg`` is matched before ``m``).
SUFFIXES = {"f": 1e-15, "p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3,
            "k": 1e3, "x": 1e6, "g": 1e9, "t": 1e12}

_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:e[+-]?\d+)?([a-z_]*)", re.IGNORECASE)
_TOKEN = re.compile(r"\s*(?:(?P<num>(?:\d+\.?\d*|\.\d+)(?:e[+-]?\d+)?[a-z_]*)"
                    r"|(?P<name>[a-z_][a-z0-9_.]*)|(?P<op>\*\*|[-+*/^(),]))", re.IGNORECASE)

FUNCTIONS: dict[str, Callable[..., float]] = {
    "sqrt": math.sqrt, "exp": math.exp, "log": math.log, "ln": math.log,
    "log10": math.log10, "sin": math.sin, "cos": math.cos, "tan": math.tan,
    "atan": math.atan, "abs": abs, "min": min, "max": max, "pow": math.pow,
}
#: A ``.param`` of the same name takes precedence over a constant.
CONSTANTS = {"e": math.e, **DIALECT_CONSTANTS}
#: Deepest nesting of parentheses, signs and powers an expression may have.
MAX_DEPTH = 100


def suffix_scale(letters: str) -> float | None:
    """Scale of the letters that follow a number; None when they are not a unit."""
    letters = letters.lower()
    if not letters:
        return 1.0
    if letters.startswith("meg"):
        return 1e6
    if letters[0] in SUFFIXES:
        return SUFFIXES[letters[0]]
    if letters[0].isalpha():
        return 1.0  # a bare unit such as V, H, ohm, s
    return None


def parse_number(text: str) -> float | None:
    """The value of a plain SI number (``0.07pF`` -> 7e-14); None if it is not one."""
    match = _NUMBER.fullmatch(text.strip())
    if not match:
        return None
    scale = suffix_scale(match.group(1))
    if scale is None:
        return None
    mantissa = text.strip()[: len(text.strip()) - len(match.group(1))]
    return float(mantissa) * scale


def literal(text: str) -> float | None:
    """The value of ``text`` if it is a plain, finite SI number (no braces, no names), else None."""
    value = parse_number(text)
    return value if value is not None and math.isfinite(value) else None


def evaluate(text: str, params: Mapping[str, float]) -> float:
    """Evaluate a number or an arithmetic expression over ``params``."""
    text = text.strip()
    if len(text) >= 2 and (text[0], text[-1]) in (("{", "}"), ("'", "'"), ('"', '"')):
        text = text[1:-1]
    value = parse_number(text)
    if value is None:
        value = _Parser(text, params).parse()
    if not math.isfinite(value):
        raise ExpressionError("value is not a finite number", text)
    return value


def names_in(text: str) -> set[str]:
    """Lower-case names an expression mentions (empty if it does not even tokenize)."""
    try:
        tokens = _Parser(text.strip("{}'\""), {}).tokens
    except ExpressionError:
        return set()
    return {word.lower() for kind, word in tokens if kind == "name"}


class _Parser:
    """Grammar: sum := product (('+'|'-') product)*; product := unary (('*'|'/') unary)*;
    unary := ('-'|'+') unary | power; power := atom (('^'|'**') unary)?."""

    def __init__(self, text: str, params: Mapping[str, float]):
        self.text = text
        self.params = params
        self.tokens = self._tokenize(text)
        self.pos = 0
        self.depth = 0

    def _tokenize(self, text: str) -> list[tuple[str, str]]:
        tokens = []
        pos = 0
        while pos < len(text):
            if text[pos:].strip() == "":
                break
            match = _TOKEN.match(text, pos)
            if not match:
                raise ExpressionError("unexpected character in expression", text[pos:].strip())
            kind = match.lastgroup
            tokens.append((kind, match.group(kind)))
            pos = match.end()
        return tokens

    def parse(self) -> float:
        if not self.tokens:
            raise ExpressionError("empty value", self.text)
        value = self._sum()
        if self.pos != len(self.tokens):
            raise ExpressionError("unexpected token in expression", self.tokens[self.pos][1])
        return value

    def _peek(self) -> str | None:
        return self.tokens[self.pos][1] if self.pos < len(self.tokens) else None

    def _take(self) -> tuple[str, str]:
        if self.pos >= len(self.tokens):
            raise ExpressionError("incomplete expression", self.text)
        token = self.tokens[self.pos]
        self.pos += 1
        return token

    def _sum(self) -> float:
        value = self._product()
        while self._peek() in ("+", "-"):
            op = self._take()[1]
            rhs = self._product()
            value = value + rhs if op == "+" else value - rhs
        return value

    def _product(self) -> float:
        value = self._unary()
        while self._peek() in ("*", "/"):
            op = self._take()[1]
            rhs = self._unary()
            if op == "/" and rhs == 0:
                raise ExpressionError("division by zero", self.text)
            value = value * rhs if op == "*" else value / rhs
        return value

    def _unary(self) -> float:
        # Every nesting (parentheses, signs, powers, arguments) passes through here.
        self.depth += 1
        if self.depth > MAX_DEPTH:
            raise ExpressionError(f"expression nested deeper than {MAX_DEPTH} levels", self.text[:40])
        try:
            if self._peek() in ("-", "+"):
                sign = -1.0 if self._take()[1] == "-" else 1.0
                return sign * self._unary()
            return self._power()
        finally:
            self.depth -= 1

    def _power(self) -> float:
        base = self._atom()
        if self._peek() in ("^", "**"):
            self._take()
            exponent = self._unary()
            try:
                return math.pow(base, exponent)
            except (ValueError, OverflowError):
                raise ExpressionError("invalid power", self.text) from None
        return base

    def _atom(self) -> float:
        kind, text = self._take()
        if kind == "num":
            value = parse_number(text)
            if value is None:
                raise ExpressionError("bad number", text)
            return value
        if kind == "name":
            return self._name(text.lower())
        if text == "(":
            value = self._sum()
            self._expect(")")
            return value
        raise ExpressionError("unexpected token in expression", text)

    def _name(self, name: str) -> float:
        if self._peek() == "(":
            if name not in FUNCTIONS:
                raise ExpressionError("unknown function", name)
            self._take()
            args = [self._sum()]
            while self._peek() == ",":
                self._take()
                args.append(self._sum())
            self._expect(")")
            try:
                return float(FUNCTIONS[name](*args))
            except (TypeError, ValueError, OverflowError):
                raise ExpressionError("invalid arguments to function", name) from None
        if name in self.params:
            return self.params[name]
        if name in CONSTANTS:
            return CONSTANTS[name]
        raise ExpressionError("unknown parameter", name)

    def _expect(self, op: str) -> None:
        kind, text = self._take()
        if text != op:
            raise ExpressionError(f"expected '{op}'", text)

"""From netlist text to cards: comments, continuations, includes, tokens."""
from __future__ import annotations

import os
import re

from .errors import Location, NetlistError
from .netlist_files import ReadBudget, read_text

#: Braced or quoted expressions stay whole; ( ) = are tokens; commas separate.
_TOKEN = re.compile(r"\{[^}]*\}|'[^']*'|\"[^\"]*\"|[()=]|[^\s(),={}'\"]+")
MAX_INCLUDE_DEPTH = 20
#: Characters a line needs for the tokenizer to do more than split (at blanks, or as _TOKEN does).
_PLAIN = frozenset("{}'\"")
#: ... and to be more than a split at blanks.
_SPECIAL = _PLAIN | frozenset("(),=")


class Card:
    """One logical line: its tokens (original case) and where it starts."""

    __slots__ = ("tokens", "where", "keyword")

    def __init__(self, tokens: list[str], where: Location):
        self.tokens = tokens
        self.where = where
        #: The first token in lower case (continuation lines never change it).
        self.keyword = tokens[0].lower()

    def __repr__(self) -> str:
        return f"Card(tokens={self.tokens!r}, where={self.where!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Card):
            return NotImplemented
        return (self.tokens, self.where) == (other.tokens, other.where)

    __hash__ = None  # type: ignore[assignment]  # mutable, as before


def tokenize(text: str) -> list[str]:
    return _TOKEN.findall(text)


def _strip_comment(line: str) -> str:
    # ';' starts a comment anywhere except inside a braced or quoted expression.
    depth = 0
    quote = ""
    for k, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = ""
        elif ch in "'\"":
            quote = ch
        elif ch == "{":
            depth += 1
        elif ch == "}":
            depth -= 1
        elif ch == ";" and depth == 0:
            return line[:k]
    return line


def read_cards(text: str, name: str, base_dir: str, title_line: bool = True,
               depth: int = 0, budget: ReadBudget | None = None) -> tuple[str, list[Card]]:
    """Cards of a netlist text; ``.include`` files are spliced in place.

    As in SPICE, the first line of the top-level netlist is its title unless
    it is a control card (starts with ``.``).
    """
    title = ""
    cards: list[Card] = []
    budget = budget if budget is not None else ReadBudget()
    lines = text.splitlines()
    if title_line and lines:
        head = lines[0].strip()
        if head and head[0] != ".":
            title = head.lstrip("*").strip()
            lines[0] = ""
    plain = _SPECIAL.isdisjoint
    append = cards.append
    # Location(name, number) without the named tuple's Python-level __new__: one per card.
    new, location = tuple.__new__, Location
    for number, raw in enumerate(lines, start=1):
        line = raw.strip()
        if not line:
            continue
        first = line[0]
        if first == "*" or first == "#":
            continue
        if ";" in line:
            line = _strip_comment(line).strip()
            if not line:
                continue
        where = new(location, (name, number))
        if first == "+":
            if not cards:
                raise NetlistError("continuation line without a card to continue", where, "+")
            cards[-1].tokens.extend(_tokens(line[1:], where, allow_empty=True))
            continue
        # Most element lines need nothing but a split at blanks.
        tokens = line.split() if plain(line) else _tokens(line, where)
        if first == "." and tokens[0].lower() in (".include", ".inc", ".lib"):
            cards.extend(_include(tokens, where, base_dir, depth, budget))
            continue
        append(Card(tokens, where))
    return title, cards


def _tokens(line: str, where: Location, allow_empty: bool = False) -> list[str]:
    """Tokens of one line; a stray brace or quote, or a line of separators only, is an error."""
    if _PLAIN.isdisjoint(line):
        # No brace or quote: nothing to keep whole, nothing unmatched to report; the
        # tokens are those of _TOKEN with ( ) = set apart and commas as blanks.
        tokens = line.replace("(", " ( ").replace(")", " ) ").replace("=", " = ").replace(",", " ").split()
        if not tokens and not allow_empty:
            raise NetlistError("line holds only separators", where, line)
        return tokens
    tokens = []
    end = 0
    for match in _TOKEN.finditer(line):
        _check_dropped(line[end:match.start()], where)
        tokens.append(match.group())
        end = match.end()
    _check_dropped(line[end:], where)
    if not tokens and not allow_empty:
        raise NetlistError("line holds only separators", where, line)
    return tokens


def _check_dropped(gap: str, where: Location) -> None:
    # Between tokens only blanks and commas may be skipped; anything else was unmatched.
    for ch in gap:
        if ch in "{}'\"":
            raise NetlistError("unbalanced brace or quote", where, ch)


def _include(tokens: list[str], where: Location, base_dir: str, depth: int,
             budget: ReadBudget) -> list[Card]:
    if len(tokens) < 2:
        raise NetlistError("missing file name", where, tokens[0])
    if depth >= MAX_INCLUDE_DEPTH:
        raise NetlistError("includes nested too deeply (a file includes itself?)", where, tokens[1])
    path = tokens[1].strip("'\"")
    full = path if os.path.isabs(path) else os.path.join(base_dir, path)
    text = read_text(full, path, where, tokens[1], budget)
    _, cards = read_cards(text, path, os.path.dirname(full), title_line=False, depth=depth + 1,
                          budget=budget)
    return cards

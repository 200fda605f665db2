"""From netlist text to cards: comments, continuations, includes, tokens."""
from __future__ import annotations

import os
import re
from dataclasses import dataclass, field

from .errors import Location, NetlistError
from .netlist_files import ReadBudget, read_text

#: Braced or quoted expressions stay whole; ( ) = are tokens; commas separate.
_TOKEN = re.compile(r"\{[^}]*\}|'[^']*'|\"[^\"]*\"|[()=]|[^\s(),={}'\"]+")
MAX_INCLUDE_DEPTH = 20
#: Characters a line needs for the tokenizer to do more than split (at blanks, or as _TOKEN does).
_PLAIN = frozenset("{}'\"")
_SPLIT_ONLY = frozenset("(),=")


@dataclass
class Card:
    """One logical line: its tokens (original case) and where it starts."""

    tokens: list[str]
    where: Location
    #: The first token in lower case (continuation lines never change it).
    keyword: str = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        self.keyword = self.tokens[0].lower()


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
    plain, split_only = _PLAIN.isdisjoint, _SPLIT_ONLY.isdisjoint
    for number, raw in enumerate(lines, start=1):
        line = raw.strip()
        if not line:
            continue
        first = line[0]
        if number == 1 and title_line and first != ".":
            title = line.lstrip("*").strip()
            continue
        if first == "*" or first == "#":
            continue
        if ";" in line:
            line = _strip_comment(line).strip()
            if not line:
                continue
        where = Location(name, number)
        if first == "+":
            if not cards:
                raise NetlistError("continuation line without a card to continue", where, "+")
            cards[-1].tokens.extend(_tokens(line[1:], where, allow_empty=True))
            continue
        # Most element lines need nothing but a split at blanks.
        tokens = line.split() if plain(line) and split_only(line) else _tokens(line, where)
        if tokens[0][0] == "." and tokens[0].lower() in (".include", ".inc", ".lib"):
            cards.extend(_include(tokens, where, base_dir, depth, budget))
            continue
        cards.append(Card(tokens, where))
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

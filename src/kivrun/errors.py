"""Exceptions a user sees for a bad netlist or a failed run."""
from __future__ import annotations

from typing import NamedTuple


class Location(NamedTuple):
    """Where a card starts: file name and 1-based line number.

    A named tuple: one is made per card, so it is kept small and quick to make.
    """

    file: str
    line: int

    def __str__(self) -> str:
        return f"{self.file}:{self.line}"


class NetlistError(Exception):
    """A netlist that cannot be simulated; names file, line and token."""

    def __init__(self, message: str, where: Location | None = None, token: str | None = None):
        self.message = message
        self.where = where
        self.token = token
        text = message
        if token is not None:
            text = f"{text}: '{token}'"
        if where is not None:
            text = f"{where}: {text}"
        super().__init__(text)


class ExpressionError(ValueError):
    """A value or expression that does not evaluate; the caller adds the location."""

    def __init__(self, message: str, token: str):
        self.message = message
        self.token = token
        super().__init__(f"{message}: '{token}'")


class SimulationError(RuntimeError):
    """The transient run could not continue (step size underflow, singular matrix)."""


class Interrupted(KeyboardInterrupt):
    """A run stopped by Ctrl-C (or any KeyboardInterrupt); ``partial`` holds what was recorded.

    It is still a KeyboardInterrupt, so code that does not know it stops as before.
    """

    def __init__(self, partial=None):
        super().__init__("run interrupted")
        #: The :class:`~kivrun.results.Result` up to the last accepted step, or None.
        self.partial = partial

"""Messages of the command line: the ``kivrun`` logger on stderr, one clean line each.

The netlist reader reports ignored options and parameters as Python
warnings (so library users can filter them); on the command line they go
through the logger instead, without Python's source line.
"""
from __future__ import annotations

import contextlib
import logging
import sys
import warnings
from typing import Iterator

LOGGER = logging.getLogger("kivrun")


class _Format(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        # Errors name their kind themselves ("netlist error: ...").
        level = f"{record.levelname.lower()}: " if record.levelno in (logging.WARNING, logging.DEBUG) else ""
        return f"kivrun: {level}{record.getMessage()}"


def level_for(verbose: int, quiet: bool) -> int:
    if quiet:
        return logging.ERROR
    return logging.DEBUG if verbose > 1 else logging.INFO if verbose == 1 else logging.WARNING


@contextlib.contextmanager
def command_logging(level: int, stream=None) -> Iterator[logging.Logger]:
    """Log to ``stream`` (stderr) at ``level`` while a command runs; warnings become log lines."""
    handler = logging.StreamHandler(stream if stream is not None else sys.stderr)
    handler.setFormatter(_Format())
    old_level, old_propagate = LOGGER.level, LOGGER.propagate
    LOGGER.addHandler(handler)
    LOGGER.setLevel(level)
    LOGGER.propagate = False

    def show(message, category, filename, lineno, file=None, line=None) -> None:
        LOGGER.warning("%s", message)

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", UserWarning)
            warnings.showwarning = show
            yield LOGGER
    finally:
        LOGGER.removeHandler(handler)
        LOGGER.setLevel(old_level)
        LOGGER.propagate = old_propagate

"""Output files of the command line: checked before the run, written after it (or its interrupt)."""
from __future__ import annotations

import importlib.util
import os

from .results import Result


class OutputError(Exception):
    """An output file that cannot be written; raised before any simulation work."""


def check_writable(path: str, what: str) -> None:
    """Make sure ``path`` can be created or overwritten, leaving no trace if it did not exist."""
    if os.path.isdir(path):
        raise OutputError(f"cannot write {what} '{path}': it is a directory")
    existed = os.path.exists(path)
    try:
        # Appending opens without truncating what is there; a probe, not a write.
        with open(path, "a", encoding="utf-8"):
            pass
    except OSError as exc:
        raise OutputError(f"cannot write {what} '{path}' ({exc.strerror})") from None
    if not existed:
        os.remove(path)


def check_outputs(csv_path: str | None, plot_path: str | None) -> None:
    """All the checks the run's outputs need, so a long run does not end in a write error."""
    if csv_path:
        check_writable(csv_path, "output")
    if plot_path:
        if importlib.util.find_spec("matplotlib") is None:
            raise OutputError("plotting needs matplotlib: pip install 'kivrun[plot]'")
        check_writable(plot_path, "plot")


def write_outputs(result: Result, csv_path: str | None, plot_path: str | None, raw: bool) -> None:
    """The CSV and the plot asked for; nothing for a result without a single time point."""
    if len(result.time) == 0:
        return
    if csv_path:
        result.to_csv(csv_path, None if raw else result.output_step)
    if plot_path:
        result.plot(plot_path)

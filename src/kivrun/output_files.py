"""Output files of the command line: checked before the run, so a long run does not end in a write error."""
from __future__ import annotations

import os


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

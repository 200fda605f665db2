"""Reading netlist and include files: regular files only, bounded in size, UTF-8 checked.

A path may name a FIFO, a device (``/dev/zero``), a directory or a file of
gigabytes; none of them may hang the reader or fill the memory.  The limits
are module constants (see the simulator docs) and apply per read and, through
:class:`ReadBudget`, to all the files one netlist pulls in together.
"""
from __future__ import annotations

import os
import stat
from dataclasses import dataclass

from .errors import Location, NetlistError

#: Largest single netlist or include file (bytes).
MAX_FILE_BYTES = 64 * 1024 * 1024
#: Largest total of all files one netlist reads, includes counted each time they are read.
MAX_TOTAL_BYTES = 256 * 1024 * 1024
#: Most include reads one netlist may make (a file included twice counts twice).
MAX_INCLUDE_READS = 10_000


@dataclass
class ReadBudget:
    """What one netlist may still read; shared by all its includes."""

    bytes_left: int = MAX_TOTAL_BYTES
    reads_left: int = MAX_INCLUDE_READS


def read_text(path: str, name: str, where: Location, token: str,
              budget: ReadBudget | None = None, what: str = "include file") -> str:
    """The text of ``path`` (called ``name`` in messages about its lines).

    Any problem with the file itself is a NetlistError at ``where`` naming ``token``.
    """
    budget = budget if budget is not None else ReadBudget()
    if budget.reads_left <= 0:
        raise NetlistError(f"more than {MAX_INCLUDE_READS} include reads (includes multiply?)",
                           where, token)
    budget.reads_left -= 1
    try:
        # Checked before opening: opening a FIFO would wait for a writer.
        info = os.stat(path)
    except OSError as exc:
        raise NetlistError(f"cannot read {what} ({exc.strerror})", where, token) from None
    if not stat.S_ISREG(info.st_mode):
        kind = "a directory" if stat.S_ISDIR(info.st_mode) else "not a regular file"
        raise NetlistError(f"cannot read {what} ({kind})", where, token)
    limit = min(MAX_FILE_BYTES, budget.bytes_left)
    if info.st_size > limit:
        raise NetlistError(_too_large(limit), where, token)
    try:
        with open(path, "rb") as handle:
            data = _read_at_most(handle, limit + 1)
    except OSError as exc:
        raise NetlistError(f"cannot read {what} ({exc.strerror})", where, token) from None
    if len(data) > limit:
        raise NetlistError(_too_large(limit), where, token)
    budget.bytes_left -= len(data)
    return decode(data, name)


def _too_large(limit: int) -> str:
    which = "file" if limit == MAX_FILE_BYTES else "netlist with its includes"
    return f"{which} larger than {limit} bytes"


def _read_at_most(handle, count: int) -> bytes:
    # In pieces: read(count) would reserve the whole limit for a file of a few lines.
    # One byte more than allowed tells a file that is (or grew) past the limit.
    pieces = []
    while count > 0:
        piece = handle.read(min(count, 1 << 20))
        if not piece:
            break
        pieces.append(piece)
        count -= len(piece)
    return b"".join(pieces)


def decode(data: bytes, name: str) -> str:
    """UTF-8 text of ``data``; a bad byte is reported at its own line of file ``name``."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        bad = data[exc.start:exc.end].hex()
        raise NetlistError("not UTF-8 text", Location(name, line), f"byte 0x{bad}") from None

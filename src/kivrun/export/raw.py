"""SPICE raw files (the ngspice layout, which LTspice and the raw-file readers also take).

A transient plot of real values: the header lines, the variable table with
time first, then either ``Binary:`` and every point as little-endian doubles
(time, then each trace) or ``Values:`` and the same numbers as text.
"""
from __future__ import annotations

import time as clock
from typing import Mapping

import numpy as np

from .. import __version__
from ..trace_names import QUANTITIES, parse


def _kind(label: str) -> str:
    parsed = parse(label)
    return QUANTITIES[parsed[0]] if parsed else "notype"


def header(title: str, labels: list[str], points: int, binary: bool) -> str:
    lines = [
        f"Title: {title or 'kivrun transient'}",
        f"Date: {clock.strftime('%a %b %d %H:%M:%S %Y')}",
        "Plotname: Transient Analysis",
        "Flags: real",
        f"No. Variables: {len(labels) + 1}",
        f"No. Points: {points}",
        f"Command: kivrun {__version__}, ngspice-compatible raw file",
        "Variables:",
        "\t0\ttime\ttime",
    ]
    # Names with a tab or newline would break the table; labels never hold one.
    lines += [f"\t{k}\t{label}\t{_kind(label)}" for k, label in enumerate(labels, start=1)]
    lines.append("Binary:" if binary else "Values:")
    return "\n".join(lines) + "\n"


def write_raw(path: str, title: str, time: np.ndarray, traces: Mapping[str, np.ndarray],
              binary: bool = True) -> None:
    labels = list(traces)
    table = np.column_stack([time] + [np.asarray(traces[k], dtype=float) for k in labels])
    text = header(title.replace("\n", " "), labels, len(time), binary)
    with open(path, "wb") as handle:
        handle.write(text.encode("utf-8"))
        if binary:
            handle.write(np.ascontiguousarray(table, dtype="<f8").tobytes())
        else:
            _write_values(handle, table)


def _write_values(handle, table: np.ndarray, chunk: int = 20000) -> None:
    """`` n\\tt`` then ``\\tvalue`` per trace, a blank line between points."""
    width = table.shape[1]
    row = " %d\t%.17g\n" + "\t%.17g\n" * (width - 1) + "\n"
    for begin in range(0, len(table), chunk):
        block = table[begin:begin + chunk]
        index = np.arange(begin, begin + len(block), dtype=float)[:, None]
        flat = np.hstack([index, block]).ravel().tolist()
        handle.write(((row * len(block)) % tuple(flat)).encode("ascii"))


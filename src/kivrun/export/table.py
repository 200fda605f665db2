"""CSV and NumPy ``.npz`` files of a run's traces."""
from __future__ import annotations

from typing import Mapping, Sequence

import numpy as np

from ..trace_names import unit_of


def _csv_field(text: str) -> str:
    # The quoting Python's csv module applies: labels such as V(1,2) hold a comma.
    if any(ch in text for ch in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def write_csv(path: str, time: np.ndarray, traces: Mapping[str, np.ndarray], chunk: int = 20000) -> None:
    """``time,label,...`` then one row per point, each number as ``%.9g``.

    Each block of rows is formatted by one ``%`` over the whole block, which
    is much faster than a formatting call per value.
    """
    columns = [np.asarray(time, dtype=float)] + [np.asarray(v, dtype=float) for v in traces.values()]
    table = np.column_stack(columns)
    row = ",".join(["%.9g"] * table.shape[1]) + "\r\n"
    with open(path, "w", newline="", encoding="utf-8") as handle:
        handle.write(",".join(_csv_field(h) for h in ["time"] + list(traces)) + "\r\n")
        for begin in range(0, len(table), chunk):
            block = table[begin:begin + chunk]
            handle.write((row * len(block)) % tuple(block.ravel().tolist()))


def write_npz(path: str, title: str, time: np.ndarray, traces: Mapping[str, np.ndarray],
              events: Sequence = ()) -> None:
    """Every trace under its label, with ``time``, ``labels``, ``units``, ``title`` and the events."""
    labels = list(traces)
    with open(path, "wb") as handle:  # a handle keeps numpy from appending ".npz"
        _savez(handle, title, time, traces, labels, events)


def _savez(handle, title: str, time: np.ndarray, traces: Mapping[str, np.ndarray], labels: list[str],
           events: Sequence) -> None:
    np.savez(handle, time=time, labels=np.array(labels, dtype=str),
             units=np.array([unit_of(k) for k in labels], dtype=str), title=np.array(title),
             event_time=np.array([e.time for e in events], dtype=float),
             event_element=np.array([e.element for e in events], dtype=str),
             event_direction=np.array([e.direction for e in events], dtype=int),
             **{k: np.asarray(v) for k, v in traces.items()})

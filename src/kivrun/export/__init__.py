"""Writing a run's traces: CSV, SPICE raw (binary or ASCII), ``.npz``, netCDF/HDF5.

The format follows the file's suffix unless given: ``csv``, ``raw``,
``rawascii``, ``npz`` or ``netcdf`` (``.nc``, ``.h5``).
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING

from .frames import to_dataframe, to_xarray, write_netcdf
from .raw import write_raw
from .table import write_csv, write_npz

if TYPE_CHECKING:
    from ..results import Result

FORMATS = ("csv", "raw", "rawascii", "npz", "netcdf")
SUFFIXES = {".csv": "csv", ".raw": "raw", ".npz": "npz", ".nc": "netcdf", ".h5": "netcdf",
            ".hdf5": "netcdf", ".cdf": "netcdf"}


def format_for(path: str, format: str | None = None) -> str:
    """The format named, or the one the suffix implies; ValueError when neither says."""
    if format is not None:
        if format.lower() not in FORMATS:
            raise ValueError(f"unknown output format '{format}' (known: {', '.join(FORMATS)})")
        return format.lower()
    suffix = os.path.splitext(str(path))[1].lower()
    if suffix not in SUFFIXES:
        raise ValueError(f"cannot tell the output format from '{path}': use a suffix "
                         f"({', '.join(SUFFIXES)}) or a format ({', '.join(FORMATS)})")
    return SUFFIXES[suffix]


def save(result: "Result", path: str, format: str | None = None, step: float | None = None) -> str:
    """Write ``result`` to ``path``; on a uniform grid of ``step`` seconds when given. Returns the format."""
    kind = format_for(path, format)
    time, traces = result.resample(step) if step else (result.time, result.traces)
    if kind == "csv":
        write_csv(path, time, traces)
    elif kind in ("raw", "rawascii"):
        write_raw(path, result.title, time, traces, binary=kind == "raw")
    elif kind == "npz":
        write_npz(path, result.title, time, traces, result.events)
    else:
        write_netcdf(path, to_xarray(result.title, time, traces, result.events))
    return kind


__all__ = ["FORMATS", "format_for", "save", "to_dataframe", "to_xarray", "write_csv", "write_npz",
           "write_raw", "write_netcdf"]

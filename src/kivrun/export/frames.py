"""pandas DataFrames, xarray Datasets and the netCDF/HDF5 files xarray writes."""
from __future__ import annotations

from typing import Any, Mapping, Sequence

import numpy as np

from ..optional import require
from ..trace_names import QUANTITIES, parse, unit_of


def to_dataframe(title: str, time: np.ndarray, traces: Mapping[str, np.ndarray]) -> Any:
    """Columns by label, indexed by time in seconds; ``attrs`` holds the title and units."""
    pd = require("pandas", "pandas", "to_dataframe")
    frame = pd.DataFrame({k: np.asarray(v) for k, v in traces.items()},
                         index=pd.Index(np.asarray(time), name="time"))
    frame.attrs["title"] = title
    frame.attrs["units"] = {"time": "s", **{k: unit_of(k) for k in traces}}
    return frame


def to_xarray(title: str, time: np.ndarray, traces: Mapping[str, np.ndarray], events: Sequence = ()) -> Any:
    """One variable per trace along ``time`` (s), each with ``units``; events along ``event``."""
    xr = require("xarray", "xarray", "to_xarray")
    variables = {}
    for label, values in traces.items():
        parsed = parse(label)
        attrs = {"units": unit_of(label), "long_name": label}
        if parsed:
            attrs["quantity"] = QUANTITIES[parsed[0]]
        variables[label] = ("time", np.asarray(values), attrs)
    variables["event_time"] = ("event", np.array([e.time for e in events], dtype=float), {"units": "s"})
    variables["event_element"] = ("event", np.array([e.element for e in events], dtype=str))
    variables["event_direction"] = ("event", np.array([e.direction for e in events], dtype=np.int64))
    coords = {"time": ("time", np.asarray(time), {"units": "s", "long_name": "time"})}
    return xr.Dataset(variables, coords=coords, attrs={"title": title, "source": "kivrun"})


def write_netcdf(path: str, dataset: Any) -> None:
    """netCDF-4 (HDF5 inside) through h5netcdf when present, else xarray's own choice."""
    engine = None
    try:
        import h5netcdf  # noqa: F401
        import h5py  # noqa: F401
        engine = "h5netcdf"
    except ImportError:
        if str(path).lower().endswith((".h5", ".hdf5")):
            require("h5netcdf", "xarray", "writing HDF5")
            require("h5py", "xarray", "writing HDF5")
    dataset.to_netcdf(path, engine=engine)

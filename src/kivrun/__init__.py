"""kivrun: transient simulation of superconducting electronics."""
from __future__ import annotations

from typing import Any

__version__ = "0.1.0"

from .api import simulate  # noqa: E402
from .errors import Interrupted, NetlistError, SimulationError  # noqa: E402
from .example_files import example_path  # noqa: E402
from .results import Event, Result  # noqa: E402

# The analyses load their modules (process pools, Dask glue) only when used,
# so a single run starts quickly.
_LAZY = {"margins": "margin_search", "estimate_yield": "montecarlo", "sweep": "grid_sweep"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    if name == "Elements":  # published by the compiled core when it loads
        import importlib

        importlib.import_module(".Stampworks", __name__)
        return importlib.import_module(".Elements", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["simulate", "margins", "estimate_yield", "sweep", "example_path", "Result", "Event",
           "NetlistError", "SimulationError", "Interrupted", "__version__"]

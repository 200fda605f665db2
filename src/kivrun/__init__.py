"""kivrun: transient simulation of superconducting electronics."""

__version__ = "0.1.0"

from .api import simulate  # noqa: E402
from .grid_sweep import sweep  # noqa: E402
from .margin_search import margins  # noqa: E402
from .montecarlo import estimate_yield  # noqa: E402
from .errors import Interrupted, NetlistError, SimulationError  # noqa: E402
from .example_files import example_path  # noqa: E402
from .results import Event, Result  # noqa: E402

__all__ = ["simulate", "margins", "estimate_yield", "sweep", "example_path", "Result", "Event",
           "NetlistError", "SimulationError", "Interrupted", "__version__"]

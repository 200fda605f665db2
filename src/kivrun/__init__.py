"""kivrun: transient simulation of superconducting electronics."""

__version__ = "0.1.0"

from .api import simulate  # noqa: E402
from .errors import Interrupted, NetlistError, SimulationError  # noqa: E402
from .results import Event, Result  # noqa: E402

__all__ = ["simulate", "Result", "Event", "NetlistError", "SimulationError", "Interrupted", "__version__"]

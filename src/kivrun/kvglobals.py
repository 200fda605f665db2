"""Circuit-wide state shared between the host and the assembly core.

The core binds models to the arrays held here (by ``InitModel``) and reads
the counts and element lists when models are registered and swept.
"""
import numpy as np

#: Number of unknowns (nodes followed by branch unknowns).
TotalNodes: int = 0
#: Number of registered element objects; must equal ``len(ElementList)``.
TotalElements: int = 0
#: Number of time-dependent sources; must not exceed ``len(SourceElementList)``.
TotalSourceElements: int = 0

#: Element objects, each with a ``model`` attribute and ``UpdateParameters()``.
ElementList: list = []
SourceElementList: list = []

#: Once true and past the initial ramp, only sources refresh their parameters.
OptimizeSimulation: bool = False
#: Time of the step being solved, in the core's time unit.
CurrentTime: float = 0.0

#: Accepted node quantities, indexed by unknown position.
NodePhase = np.zeros(0)
NodeVoltage = np.zeros(0)
NodeDVoltage = np.zeros(0)

#: Per-element results written by ``UpdateValues``, indexed by element index.
ElementPhase = np.zeros(0)
ElementVoltage = np.zeros(0)
ElementCurrent = np.zeros(0)

#: Flux-quantum counters and their rise/fall flags of the latest update.
ElementN = np.zeros(0, dtype=np.int32)
ElementInc = np.zeros(0, dtype=np.uint8)
ElementDec = np.zeros(0, dtype=np.uint8)

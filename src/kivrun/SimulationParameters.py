"""Integration state of the transient run, read by the assembly core.

The core reads these attributes afresh at every driver call, so the engine
updates them in place (or rebinds them) between calls.  All vectors are 1-D
float64 arrays indexed by unknown position (unknown n at position n - 1).
"""
import numpy as np

#: History of solution vectors; ``X[Xind]`` is the estimate of the step being
#: solved and ``X[Xind - 1]`` the accepted solution of the previous time point.
X: list = [np.zeros(0), np.zeros(0)]
Xind: int = 1

#: Present estimates of the node voltages and of their time derivatives.
DX = np.zeros(0)
DDX = np.zeros(0)
#: Node voltages at the previous time point.
DXprev = np.zeros(0)

#: Item 0 of each is for the step being solved: the change of a voltage (and
#: of its derivative) per unit change of the phase, and the step length.
InterpCoeffDt: list = [1.0]
InterpCoeffDDt: list = [0.0]
TimeSteps: list = [1.0]

#: Factor applied to source values; ramps from 0 to 1 over INITIAL_RAMP.
InitialSmoothFactor: float = 1.0
#: Length of the initial source ramp, in the core's time unit.
INITIAL_RAMP: float = 0.0
#: Dead band of the flux-quantum counters, in quanta (see the counter rule).
PHASE_HISTERESIS: float = 0.1

"""Shared fixtures: a minimal host that owns the state arrays the core binds to."""
from __future__ import annotations

import numpy as np
import pytest

from kivrun import SimulationParameters as SP
from kivrun import kvconfig, kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

_HOST_MODULES = (SP, kvglobals, kvconfig)


class Element:
    """The smallest element object the core accepts: a model and a refresh hook."""

    def __init__(self, model, refresh=None):
        self.model = model
        self.refresh = refresh
        self.refreshed = 0

    def UpdateParameters(self):
        self.refreshed += 1
        if self.refresh is not None:
            self.refresh(self)


class Host:
    """Owns kvglobals/SP state for one test: fresh arrays, registration, step context."""

    def __init__(self, unknowns: int = 4, elements: int = 4):
        self.n = unknowns
        kvglobals.TotalNodes = unknowns
        kvglobals.NodePhase = np.zeros(unknowns)
        kvglobals.NodeVoltage = np.zeros(unknowns)
        kvglobals.NodeDVoltage = np.zeros(unknowns)
        kvglobals.ElementPhase = np.zeros(elements)
        kvglobals.ElementVoltage = np.zeros(elements)
        kvglobals.ElementCurrent = np.zeros(elements)
        kvglobals.ElementN = np.zeros(elements, dtype=np.int32)
        kvglobals.ElementInc = np.zeros(elements, dtype=np.uint8)
        kvglobals.ElementDec = np.zeros(elements, dtype=np.uint8)
        kvglobals.ElementList = []
        kvglobals.SourceElementList = []
        kvglobals.TotalElements = 0
        kvglobals.TotalSourceElements = 0
        kvglobals.OptimizeSimulation = False
        kvglobals.CurrentTime = 0.0
        self.set_step()

    def set_step(self, coeff_dt=1.0, coeff_ddt=0.0, h=1.0, phases=None, voltages=None,
                 dvoltages=None, phases_prev=None, voltages_prev=None, smooth=1.0,
                 histeresis=0.1):
        """Fill SP with the context of the step being solved."""
        def vec(v):
            return np.zeros(self.n) if v is None else np.asarray(v, dtype=np.float64).copy()

        SP.X = [vec(phases_prev), vec(phases)]
        SP.Xind = 1
        SP.DX = vec(voltages)
        SP.DDX = vec(dvoltages)
        SP.DXprev = vec(voltages_prev)
        SP.InterpCoeffDt = [float(coeff_dt)]
        SP.InterpCoeffDDt = [float(coeff_ddt)]
        SP.TimeSteps = [float(h)]
        SP.InitialSmoothFactor = float(smooth)
        SP.PHASE_HISTERESIS = float(histeresis)

    def set_nodes(self, phases=None, voltages=None, dvoltages=None):
        """Accepted node quantities, as the host copies them before UpdateValues."""
        for name, v in (("NodePhase", phases), ("NodeVoltage", voltages), ("NodeDVoltage", dvoltages)):
            if v is not None:
                getattr(kvglobals, name)[:] = v

    def register(self, *models, sources=()):
        elements = [m if isinstance(m, Element) else Element(m) for m in models]
        kvglobals.ElementList = elements
        kvglobals.TotalElements = len(elements)
        kvglobals.SourceElementList = [e for e in elements if e.model in sources]
        kvglobals.TotalSourceElements = len(kvglobals.SourceElementList)
        sw.InitElementModels()
        return elements

    # Driver calls on fresh zeroed arrays, returning what they received.
    def static(self, nslots: int) -> np.ndarray:
        a0 = np.zeros(nslots)
        sw.BuildStaticMatrix(a0)
        return a0

    def build(self, nslots: int):
        a1, a2, b = np.zeros(nslots), np.zeros(nslots), np.zeros(self.n)
        sw.BuildMatrix(a1, a2, b)
        return a1, a2, b

    def update(self, nslots: int):
        a2, b = np.zeros(nslots), np.zeros(self.n)
        sw.UpdateMatrix(a2, b)
        return a2, b

    def rhs(self) -> np.ndarray:
        b = np.zeros(self.n)
        sw.UpdateRHS(b)
        return b

    def values(self):
        sw.UpdateValues()
        return (kvglobals.ElementCurrent.copy(), kvglobals.ElementPhase.copy(),
                kvglobals.ElementVoltage.copy())


@pytest.fixture
def host():
    """A fresh host whose state is restored when the test ends."""
    saved = [dict(vars(m)) for m in _HOST_MODULES]
    saved_threads = sw.NTHREADS
    yield Host
    for module, attrs in zip(_HOST_MODULES, saved):
        for name in list(vars(module)):
            if not name.startswith("__") and name not in attrs:
                delattr(module, name)
        for name, value in attrs.items():
            setattr(module, name, value)
    sw.NTHREADS = saved_threads
    kvglobals.ElementList = []
    kvglobals.TotalElements = 0
    sw.InitElementModels()

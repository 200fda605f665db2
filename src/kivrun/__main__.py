"""Built-in example: an RC node charged by a current source, assembled by the
core's drivers and stepped with backward Euler (phases are the unknowns)."""
from __future__ import annotations

import numpy as np

from kivrun import SimulationParameters as SP
from kivrun import Stampworks as sw
from kivrun import kvglobals


class _Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self) -> None:
        pass


def main() -> None:
    # One node: I = 1 into node 1, R = 2 and C = 0.5 to ground; V → I·R with τ = R·C = 1.
    kvglobals.TotalNodes = 1
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
        setattr(kvglobals, name, np.zeros(1))
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
        setattr(kvglobals, name, np.zeros(3))
    models = [sw.CurrentSourceModel(1, 0, 0), sw.ResistorModel(1, 0, 1), sw.CapacitorModel(1, 0, 2)]
    for model, value in zip(models, (1.0, 2.0, 0.5)):
        model.InitModel(0, 0, 0, 0)  # a 1×1 matrix: every entry lives in slot 0
        model.SetParameters([value])
    kvglobals.ElementList = [_Element(m) for m in models]
    kvglobals.TotalElements = len(models)
    sw.InitElementModels()

    h = 0.05
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [1 / h], [1 / h**2], [h]
    a0 = np.zeros(1)
    sw.BuildStaticMatrix(a0)
    phase, voltage = 0.0, 0.0
    print("   t      V(node 1)   exact")
    for step in range(1, 101):
        estimate = np.array([phase])
        SP.X, SP.Xind = [np.array([phase]), estimate], 1
        SP.DXprev = np.array([voltage])
        SP.DX = (estimate - phase) / h
        SP.DDX = (SP.DX - voltage) / h
        a1, a2, b = np.zeros(1), np.zeros(1), np.zeros(1)
        sw.BuildMatrix(a1, a2, b)
        estimate += np.linalg.solve((a0 + a1 + a2).reshape(1, 1), b)  # linear: one Newton step
        new_voltage = (estimate[0] - phase) / h
        kvglobals.NodeDVoltage[:] = (new_voltage - voltage) / h
        phase, voltage = estimate[0], new_voltage
        kvglobals.NodePhase[:] = phase
        kvglobals.NodeVoltage[:] = voltage
        sw.UpdateValues()
        if step % 20 == 0:
            t = step * h
            print(f"{t:5.2f}   {voltage:9.6f}   {2.0 * (1 - np.exp(-t)):9.6f}")
    print("element currents (source, R, C):", kvglobals.ElementCurrent)


if __name__ == "__main__":
    main()

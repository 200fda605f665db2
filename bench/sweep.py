"""Cost of the assembly drivers per model, against NumPy doing the same math.

Run: python bench/sweep.py  (after `make build`).  Ratios are measured in one run.
"""
from __future__ import annotations

import importlib
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import best_time, fresh_state, register, report  # noqa: E402

from kivrun import SimulationParameters as SP  # noqa: E402
from kivrun import Stampworks as sw  # noqa: E402
from kivrun import kvglobals  # noqa: E402


def linear(n: int = 100_000) -> None:
    """n resistors, capacitors and inductors (a third each) on a chain of nodes."""
    rng = np.random.default_rng(1)
    unknowns = n + 1
    fresh_state(unknowns, n, rng)
    classes = (sw.ResistorModel, sw.CapacitorModel, sw.InductorModel)
    i = np.arange(1, n + 1)
    j = i + 1
    j[::7] = 0  # some elements to ground, as in a real circuit
    values = rng.uniform(0.5, 2.0, n)
    models = []
    for k in range(n):
        m = classes[k % 3](int(i[k]), int(j[k]), k)
        m.InitModel(4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3)
        m.SetParameters([float(values[k])])
        models.append(m)
    register(models)
    a0, a1, a2, b = np.zeros(4 * n), np.zeros(4 * n), np.zeros(4 * n), np.zeros(unknowns)

    build = best_time(lambda: sw.BuildMatrix(a1, a2, b))
    update_values = best_time(sw.UpdateValues)
    rhs = best_time(lambda: sw.UpdateRHS(b))

    # NumPy computing the same element currents: gather both terminals, difference, scale.
    V = np.concatenate(([0.0], SP.DX))
    NV = np.concatenate(([0.0], kvglobals.NodeVoltage))
    jj = np.where(j == 0, 0, j)

    def numpy_currents():
        return (V[i] - V[jj]) / values

    def numpy_values():
        dv = NV[i] - NV[jj]
        np.divide(dv, values, out=kvglobals.ElementCurrent)
        kvglobals.ElementVoltage[:] = dv

    base_currents = best_time(numpy_currents)
    base_values = best_time(numpy_values)
    print(f"linear models: {n} (R, C, L in turn)")
    report("BuildMatrix", build, n, base_currents)
    report("UpdateRHS", rhs, n, base_currents)
    report("UpdateValues", update_values, n, base_values)
    print("  target: at most 10 ns per linear model per driver call")


def main() -> None:
    linear()
    for section in ("sweep_junctions", "sweep_tjm"):
        try:
            module = importlib.import_module(section)
        except ImportError:
            continue
        module.run()


if __name__ == "__main__":
    main()

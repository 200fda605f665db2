"""Cost of the junction sweep: nanoseconds per RSJ junction per driver call,
against NumPy computing the same sines and cosines in the same run.

Every BuildMatrix needs one cosine (A2) and one sine (residual) per junction,
UpdateMatrix the same, UpdateValues one sine plus the counter; NumPy's
vectorised sin + cos over the same phases is the yardstick.  Target: at most
1.5 times NumPy's time.

    python bench/sweep_junctions.py [n]
"""
from __future__ import annotations

import sys
import time

import numpy as np

from kivrun import SimulationParameters as SP
from kivrun import Stampworks as sw
from kivrun import kvglobals

REPEATS = 9
TARGET = 1.5


class _Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


def _tridiagonal_slots(nodes: int) -> dict:
    """Slot numbers of a chain's matrix in compressed-column order."""
    entries = sorted((c, r) for c in range(1, nodes + 1)
                     for r in (c - 1, c, c + 1) if 1 <= r <= nodes)
    return {(r, c): k for k, (c, r) in enumerate(entries)}


def _setup(n: int, rng: np.random.Generator):
    """n junctions in a chain between nodes 1, 2, ..., n + 1, with host state."""
    nodes = n + 1
    kvglobals.TotalNodes = nodes
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
        setattr(kvglobals, name, rng.uniform(-10, 10, nodes))
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
        setattr(kvglobals, name, np.zeros(n))
    kvglobals.ElementN = np.zeros(n, dtype=np.int32)
    kvglobals.ElementInc = np.zeros(n, dtype=np.uint8)
    kvglobals.ElementDec = np.zeros(n, dtype=np.uint8)

    slots = _tridiagonal_slots(nodes)
    elements = []
    for k in range(n):
        i, j = k + 1, k + 2
        m = sw.JunctionModel(i, j, k)
        m.InitModel(slots[i, i], slots[i, j], slots[j, i], slots[j, j])
        m.SetParameters([1.0, 1.0, 0.1])
        elements.append(_Element(m))
    kvglobals.ElementList = elements
    kvglobals.SourceElementList = []
    kvglobals.TotalElements = n
    kvglobals.TotalSourceElements = 0
    sw.InitElementModels()

    SP.X = [kvglobals.NodePhase - 0.01, kvglobals.NodePhase.copy()]
    SP.Xind = 1
    SP.DX = kvglobals.NodeVoltage.copy()
    SP.DDX = kvglobals.NodeDVoltage.copy()
    SP.DXprev = SP.DX.copy()
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [2e3], [4e6], [1e-3]
    SP.InitialSmoothFactor = 1.0
    SP.PHASE_HISTERESIS = 0.1
    phases = np.diff(-SP.X[1])  # the junction phases φ_k − φ_{k+1}
    return len(slots), nodes, phases


def _timed(fn) -> float:
    t0 = time.perf_counter_ns()
    fn()
    return time.perf_counter_ns() - t0


def run(n: int = 100_000) -> None:
    rng = np.random.default_rng(2024)
    nslots, nodes, phases = _setup(n, rng)
    a1, a2, b = np.zeros(nslots), np.zeros(nslots), np.zeros(nodes)
    sin_out, cos_out = np.empty(n), np.empty(n)

    def numpy_sin_cos():
        np.sin(phases, out=sin_out)
        np.cos(phases, out=cos_out)

    cases = {
        "NumPy sin+cos": numpy_sin_cos,
        "BuildMatrix": lambda: sw.BuildMatrix(a1, a2, b),
        "UpdateMatrix": lambda: sw.UpdateMatrix(a2, b),
        "UpdateValues": sw.UpdateValues,
    }
    best = dict.fromkeys(cases, float("inf"))
    for fn in cases.values():  # warm caches and page in the arrays
        fn()
    # Interleaved rounds, so a busy moment on the machine hits every case.
    for _ in range(REPEATS):
        for name, fn in cases.items():
            best[name] = min(best[name], _timed(fn))

    reference = best["NumPy sin+cos"] / n
    print(f"RSJ junction sweep, n = {n}, min of {REPEATS} interleaved runs")
    print(f"  {'NumPy sin+cos':<14}{reference:8.2f} ns/junction   (reference)")
    for name in ("BuildMatrix", "UpdateMatrix", "UpdateValues"):
        per = best[name] / n
        ratio = per / reference
        verdict = "ok" if ratio <= TARGET else f"over the {TARGET}x target"
        print(f"  {name:<14}{per:8.2f} ns/junction   {ratio:5.2f}x NumPy   {verdict}")

    # Leave no models registered behind a caller that goes on.
    kvglobals.ElementList = []
    kvglobals.TotalElements = 0
    sw.InitElementModels()


if __name__ == "__main__":
    run(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)

"""Shared set-up for the sweep benchmarks: fresh host state and a timer."""
from __future__ import annotations

import time
from typing import Callable

import numpy as np

from kivrun import SimulationParameters as SP
from kivrun import Stampworks as sw
from kivrun import kvglobals


class _Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


def fresh_state(unknowns: int, elements: int, rng: np.random.Generator) -> None:
    """Random node state and the per-element arrays, as the simulator would own them."""
    kvglobals.TotalNodes = unknowns
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
        setattr(kvglobals, name, rng.standard_normal(unknowns))
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
        setattr(kvglobals, name, np.zeros(elements))
    kvglobals.ElementN = np.zeros(elements, dtype=np.int32)
    kvglobals.ElementInc = np.zeros(elements, dtype=np.uint8)
    kvglobals.ElementDec = np.zeros(elements, dtype=np.uint8)
    SP.X = [rng.standard_normal(unknowns), rng.standard_normal(unknowns)]
    SP.Xind = 1
    SP.DX, SP.DDX, SP.DXprev = (rng.standard_normal(unknowns) for _ in range(3))
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [2.0], [4.0], [0.5]
    SP.InitialSmoothFactor, SP.PHASE_HISTERESIS = 1.0, 0.1


def register(models: list) -> None:
    kvglobals.ElementList = [_Element(m) for m in models]
    kvglobals.SourceElementList = []
    kvglobals.TotalElements = len(models)
    kvglobals.TotalSourceElements = 0
    sw.InitElementModels()


def best_time(fn: Callable[[], object], repeats: int = 7) -> float:
    """Minimum wall time of fn over several runs: the least disturbed one."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def report(label: str, seconds: float, count: int, baseline: float | None = None) -> None:
    line = f"  {label:<28s} {seconds / count * 1e9:8.2f} ns per model"
    if baseline is not None:
        line += f"   ratio to NumPy {seconds / baseline:6.2f}"
    print(line)

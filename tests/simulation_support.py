"""Helpers for the end-to-end simulator tests."""
from __future__ import annotations

import numpy as np
import pytest

Stampworks = pytest.importorskip("kivrun.Stampworks")


def requires(*classes: str):
    """Skip while the core does not offer these model classes yet."""
    missing = [c for c in classes if not hasattr(Stampworks, c)]
    return pytest.mark.skipif(bool(missing), reason=f"core lacks {', '.join(missing)}")


def crossings(t: np.ndarray, y: np.ndarray, level: float = 0.0) -> np.ndarray:
    """Upward crossing times of ``level`` (linear interpolation)."""
    k = np.flatnonzero((y[:-1] < level) & (y[1:] >= level))
    return t[k] + (level - y[k]) * (t[k + 1] - t[k]) / (y[k + 1] - y[k])


def average(t: np.ndarray, y: np.ndarray, t0: float, t1: float) -> float:
    """Time average of a trace over [t0, t1] (trapezoidal on the accepted points)."""
    grid = np.concatenate(([t0], t[(t > t0) & (t < t1)], [t1]))
    values = np.interp(grid, t, y)
    return float(np.sum(0.5 * (values[1:] + values[:-1]) * np.diff(grid)) / (t1 - t0))

"""Figures: a run's traces (one panel per kind of quantity, time in ps), and pyplot for the analyses' charts."""
from __future__ import annotations

from typing import Any, Iterable, Mapping

import numpy as np

from .optional import require

#: Function letter -> (axis label, scale from SI).
PANELS = {"V": ("voltage (mV)", 1e3), "I": ("current (µA)", 1e6), "P": ("phase (rad)", 1.0)}


def figure(title: str, time: np.ndarray, traces: Mapping[str, np.ndarray], labels: Iterable[str]) -> Any:
    """A matplotlib Figure (not registered with pyplot, so notebooks show it once)."""
    require("matplotlib", "plot", "plotting")
    from matplotlib.figure import Figure

    chosen = list(labels)
    kinds = [k for k in PANELS if any(lab[:1].upper() == k for lab in chosen)]
    rows = max(len(kinds), 1)
    fig = Figure(figsize=(9, 2.6 * rows + 0.4), layout="constrained")
    axes = fig.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]
    for axis, kind in zip(axes, kinds):
        ylabel, scale = PANELS[kind]
        for lab in chosen:
            if lab[:1].upper() == kind:
                axis.plot(time * 1e12, np.asarray(traces[lab]) * scale, label=lab, lw=1)
        axis.set_ylabel(ylabel)
        axis.grid(True, alpha=0.3)
        if sum(lab[:1].upper() == kind for lab in chosen) <= 12:
            axis.legend(fontsize="small", loc="upper left")
    axes[-1].set_xlabel("time (ps)")
    axes[0].set_title(title or "kivrun transient")
    return fig


def save(fig: Any, path: str) -> None:
    fig.savefig(path, dpi=110)


def pyplot() -> Any:
    """matplotlib.pyplot on the file-only Agg backend, or a one-line error naming the extra."""
    require("matplotlib", "plot", "plotting")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt

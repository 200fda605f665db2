"""Progress display: tqdm (terminal or notebook) when installed, else a plain bar."""
from __future__ import annotations

from typing import Callable, Protocol


class Display(Protocol):
    def __call__(self, fraction: float) -> None: ...

    def close(self) -> None: ...


class TqdmDisplay:
    """A tqdm bar in percent; ``tqdm.auto`` picks the notebook widget inside Jupyter."""

    def __init__(self, tqdm_class, **options):
        self.bar = tqdm_class(total=100.0, unit="%", desc="kivrun",
                              bar_format="{desc}: {percentage:5.1f}%|{bar}| [{elapsed}<{remaining}]",
                              **options)
        self.shown = 0.0

    def __call__(self, fraction: float) -> None:
        target = 100.0 * min(max(fraction, 0.0), 1.0)
        if target > self.shown:
            self.bar.update(target - self.shown)
            self.shown = target

    def close(self) -> None:
        self.bar.close()


def tqdm_display(notebook: bool = True, **options) -> TqdmDisplay | None:
    """A tqdm display, or None without tqdm.  ``notebook`` allows the Jupyter widget."""
    try:
        if notebook:
            from tqdm.auto import tqdm
        else:
            from tqdm import tqdm
    except ImportError:
        return None
    return TqdmDisplay(tqdm, **options)


class Monotone:
    """Passes on fractions clamped to [0, 1] and never going back; ``finish`` sends exactly 1.0."""

    def __init__(self, target: Callable[[float], None]):
        self.target = target
        self.last = -1.0

    def __call__(self, fraction: float) -> None:
        fraction = min(max(float(fraction), 0.0), 1.0)
        if fraction > self.last:
            self.last = fraction
            self.target(fraction)

    def finish(self) -> None:
        self(1.0)

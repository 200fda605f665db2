"""Parameter sweeps: a statistic of each run on a 1-D or 2-D grid of multipliers."""
from __future__ import annotations

import csv
import itertools
from dataclasses import dataclass
from typing import Any, Callable, Sequence

import numpy as np

from .execution import Chain, Job, drive, make_runner, nominal_variation
from .results import Result


@dataclass
class SweepResult:
    """``values[i, j]``: the statistic at ``axes[0]`` point i and ``axes[1]`` point j (NaN: run failed)."""

    axes: list[tuple[str, np.ndarray]]
    values: np.ndarray
    label: str = "value"

    def rows(self) -> list[tuple[float, ...]]:
        grids = [points for _, points in self.axes]
        return [tuple(point) + (float(self.values[index]),)
                for index, point in zip(np.ndindex(self.values.shape), itertools.product(*grids))]

    def __str__(self) -> str:
        head = "  ".join(f"{name:>12}" for name, _ in self.axes) + f"  {self.label:>14}"
        lines = [head] + ["  ".join(f"{x:>12.6g}" for x in row[:-1]) + f"  {row[-1]:>14.6g}"
                          for row in self.rows()]
        return "\n".join(lines)

    def to_csv(self, path: str) -> None:
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow([name for name, _ in self.axes] + [self.label])
            for row in self.rows():
                writer.writerow([f"{x:.9g}" for x in row])

    def plot(self, path: str) -> None:
        """A line for one axis, a colour map for two."""
        from .plotting import pyplot

        plt = pyplot()
        fig, axis = plt.subplots(figsize=(7, 4.5))
        if len(self.axes) == 1:
            (name, points), = self.axes
            axis.plot(points, self.values, marker="o")
            axis.set_xlabel(f"{name} (multiplier)")
            axis.set_ylabel(self.label)
        else:
            (xname, xs), (yname, ys) = self.axes
            mesh = axis.pcolormesh(xs, ys, self.values.T, shading="nearest")
            fig.colorbar(mesh, ax=axis, label=self.label)
            axis.set_xlabel(f"{xname} (multiplier)")
            axis.set_ylabel(f"{yname} (multiplier)")
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)


def _point(change: dict[str, float]) -> Chain:
    value = yield change
    return value


def sweep(netlist: str, axes: Sequence[tuple[str, Sequence[float]]], statistic: Callable[[Result], Any],
          *, label: str = "value", workers: int | None = None, scheduler: Any = None,
          progress: Callable[[float], None] | None = None, **settings: Any) -> SweepResult:
    """Run every point of the grid of multipliers ``axes`` [(target, multipliers), ...] (1 or 2 axes).

    ``statistic`` (picklable) maps each run's Result to a number; a run that
    fails to finish gives NaN.
    """
    if not 1 <= len(axes) <= 2 or any(len(points) == 0 for _, points in axes):
        raise ValueError("a sweep takes one or two axes, each with at least one value")
    if len({target.lower() for target, _ in axes}) != len(axes):
        raise ValueError("the two axes of a sweep must vary different targets")
    job = Job.from_netlist(netlist, **settings).with_evaluate(statistic)
    variation = nominal_variation(job)
    for target, _ in axes:
        variation.check(target)
    grids = [(target, np.asarray(points, dtype=float)) for target, points in axes]
    shape = tuple(len(points) for _, points in grids)
    chains = (_point({t: float(x) for (t, _), x in zip(grids, point)})
              for point in itertools.product(*(points for _, points in grids)))
    total = int(np.prod(shape))
    report = (lambda done: progress(done / total)) if progress else None
    found = drive(make_runner(job, workers, scheduler), chains, report)
    values = np.array([np.nan if v is None else float(v) for v in found]).reshape(shape)
    return SweepResult(grids, values, label)

"""Operating margins: how far each value can move before the circuit fails.

For each target the multipliers are searched on the grid 1 ± k·resolution
(clipped to the range): a coarse walk outwards from 1 finds the first failing
step, then bisection narrows it to one grid step.  The margin is the last
passing multiplier on each side.
"""
from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from typing import Any, Callable, Sequence

from .criteria import DEFAULT_WINDOW
from .execution import Chain, drive, make_runner, pass_fail_job
from .results import Result
from .variation import element_names


@dataclass(frozen=True)
class Margin:
    """Margins of one target as multipliers; ``*_open`` when the run passed at the range end."""

    target: str
    lower: float
    upper: float
    lower_open: bool = False
    upper_open: bool = False

    @property
    def lower_pct(self) -> float:
        return 100.0 * (self.lower - 1.0)

    @property
    def upper_pct(self) -> float:
        return 100.0 * (self.upper - 1.0)

    @property
    def width(self) -> float:
        """The smaller of the two margins, in percent."""
        return min(-self.lower_pct, self.upper_pct)

    @property
    def critical(self) -> str:
        low, high = -self.lower_pct, self.upper_pct
        if math.isclose(low, high, abs_tol=1e-9):
            return "both"
        return "lower" if low < high else "upper"


@dataclass
class MarginTable:
    rows: list[Margin]
    resolution: float

    @property
    def tightest(self) -> Margin:
        return min(self.rows, key=lambda r: r.width)

    def __str__(self) -> str:
        width = max([len("target")] + [len(r.target) for r in self.rows])
        lines = [f"{'target':<{width}}  {'lower %':>8}  {'upper %':>8}  critical"]
        for r in self.rows:
            low = f"{r.lower_pct:+.1f}" + ("<" if r.lower_open else "")
            high = f"{r.upper_pct:+.1f}" + (">" if r.upper_open else "")
            mark = "  *" if r is self.tightest and len(self.rows) > 1 else ""
            lines.append(f"{r.target:<{width}}  {low:>8}  {high:>8}  {r.critical}{mark}")
        if any(r.lower_open or r.upper_open for r in self.rows):
            lines.append("(< or >: still passing at the end of the range)")
        return "\n".join(lines)

    def to_csv(self, path: str) -> None:
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow(["target", "lower_pct", "upper_pct", "critical", "lower_open", "upper_open"])
            for r in self.rows:
                writer.writerow([r.target, f"{r.lower_pct:.6g}", f"{r.upper_pct:.6g}", r.critical,
                                 int(r.lower_open), int(r.upper_open)])

    def plot(self, path: str, title: str = "operating margins") -> None:
        """Horizontal bars from the lower to the upper margin; the tightest target in red."""
        from .plotting import pyplot

        plt = pyplot()
        tight = self.tightest
        fig, axis = plt.subplots(figsize=(7, 0.45 * len(self.rows) + 1.4))
        for y, r in enumerate(self.rows):
            color = "tab:red" if r is tight else "tab:blue"
            axis.barh(y, r.upper_pct - r.lower_pct, left=r.lower_pct, color=color, height=0.6)
            axis.text(r.lower_pct, y, f"{r.lower_pct:+.1f} ", va="center", ha="right", fontsize=8)
            axis.text(r.upper_pct, y, f" {r.upper_pct:+.1f}", va="center", ha="left", fontsize=8)
        axis.axvline(0.0, color="black", lw=0.8)
        axis.set_yticks(range(len(self.rows)))
        axis.set_yticklabels([r.target for r in self.rows])
        axis.invert_yaxis()
        axis.set_xlabel("margin (%)")
        axis.set_title(f"{title} (tightest: {tight.target}, {tight.width:.1f} %)")
        low = min(r.lower_pct for r in self.rows)
        high = max(r.upper_pct for r in self.rows)
        pad = 0.15 * max(high - low, 1.0)
        axis.set_xlim(low - pad, high + pad)
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)


def _grid(limit: float, resolution: float) -> tuple[Callable[[int], float], int]:
    """Point k of the grid from 1 towards ``limit``, and the index of the last point."""
    steps = max(1, math.ceil(abs(limit - 1.0) / resolution - 1e-9))
    direction = 1.0 if limit > 1.0 else -1.0
    return (lambda k: limit if k >= steps else 1.0 + direction * k * resolution), steps


def edge_search(target: str, limit: float, resolution: float, coarse: float) -> Chain:
    """Chain: the last passing grid multiplier from 1 towards ``limit`` (and whether it is the end)."""
    point, last = _grid(limit, resolution)
    stride = max(1, round(coarse / resolution)) if coarse > 0 else last
    good, k = 0, min(stride, last)
    while True:
        if (yield {target: point(k)}):
            good = k
            if k == last:
                return point(last), True
            k = min(k + stride, last)
        else:
            bad = k
            break
    while bad - good > 1:
        mid = (good + bad) // 2
        if (yield {target: point(mid)}):
            good = mid
        else:
            bad = mid
    return point(good), False


def margins(netlist: str, targets: Sequence[str], *, range: tuple[float, float] = (0.0, 2.0),
            resolution: float = 0.005, coarse: float = 0.1, each: bool = False,
            criterion: Callable[[Result], Any] | None = None, window: float = DEFAULT_WINDOW,
            workers: int | None = None, scheduler: Any = None,
            progress: Callable[[float], None] | None = None, **settings: Any) -> MarginTable:
    """Margins of each target (element name or glob, ``bias`` or a ``.param`` name).

    A glob is one target whose elements move together, unless ``each`` asks
    for one target per matching element.  ``criterion`` (picklable: a
    module-level function or object) decides pass/fail from a Result;
    by default the junction events must match the nominal run's within
    ``window`` seconds.  ``workers`` processes (default: every core; 1 runs
    here) or a Dask ``scheduler`` address/Client run the trials.
    ``settings`` are those of :func:`kivrun.simulate` (tolerance, fixed_step...).
    """
    low, high = range
    if not (0.0 <= low < 1.0 < high) or not (resolution > 0.0):
        raise ValueError("the range must hold 1 (e.g. 0.0:2.0) and the resolution be positive")
    job, variation = pass_fail_job(netlist, criterion, window, settings)
    names: list[str] = []
    for target in targets:
        variation.check(target)
        if each and not variation.is_param(target) and target.lower() != "bias":
            names.extend(element_names(variation.built, [target]))
        else:
            names.append(target)
    chains = [edge_search(t, limit, resolution, coarse) for t in names for limit in (low, high)]
    expected = sum(_expected_runs(limit, resolution, coarse) for _ in names for limit in (low, high))
    report = (lambda done: progress(min(done / expected, 0.99))) if progress else None
    found = drive(make_runner(job, workers, scheduler), chains, report)
    rows = []
    for k, target in enumerate(names):
        (lower, lower_open), (upper, upper_open) = found[2 * k], found[2 * k + 1]
        rows.append(Margin(target, lower, upper, lower_open, upper_open))
    if progress:
        progress(1.0)
    return MarginTable(rows, resolution)


def _expected_runs(limit: float, resolution: float, coarse: float) -> float:
    _, last = _grid(limit, resolution)
    stride = max(1, round(coarse / resolution)) if coarse > 0 else last
    return 0.5 * last / stride + math.log2(max(stride, 2)) + 1

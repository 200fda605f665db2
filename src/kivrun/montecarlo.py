"""Yield by Monte Carlo: many runs with drawn values, and the fraction that passes.

Run k draws its values from its own random stream, child k of
``SeedSequence(seed)``, so its draws depend on (seed, k) only: not on the
number of runs, the number of workers or the order the runs finish in.
Which values are drawn is up to a *draw* function ``draw(rng, names) ->
{target: multiplier}``; the default, :class:`GaussianSpread`, draws a
Gaussian multiplier per matching element.
"""
from __future__ import annotations

import csv
import fnmatch
import math
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

import numpy as np

from .criteria import DEFAULT_WINDOW
from .execution import Chain, drive, make_runner, pass_fail_job
from .results import Result
from .variation import element_names

Draw = Callable[[np.random.Generator, Sequence[str]], dict[str, float]]


@dataclass(frozen=True)
class GaussianSpread:
    """Multiplier 1 + sigma·N(0, 1) for every element matching a pattern, one draw per element.

    An element matched by several patterns gets the product of their draws
    (a global spread times a local one).
    """

    specs: tuple[tuple[str, float], ...]

    def __call__(self, rng: np.random.Generator, names: Sequence[str]) -> dict[str, float]:
        draws: dict[str, float] = {}
        for pattern, sigma in self.specs:
            key = pattern.lower()
            for name in names:
                if fnmatch.fnmatchcase(name.lower(), key):
                    draws[name] = draws.get(name, 1.0) * (1.0 + sigma * rng.standard_normal())
        return draws


def run_streams(seed: int, runs: int) -> list[np.random.SeedSequence]:
    return np.random.SeedSequence(seed).spawn(runs)


def wilson_interval(passed: int, runs: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval of a binomial proportion."""
    if runs <= 0:
        return 0.0, 1.0
    from statistics import NormalDist

    z = NormalDist().inv_cdf(0.5 + confidence / 2.0)
    p = passed / runs
    denominator = 1.0 + z * z / runs
    centre = (p + z * z / (2 * runs)) / denominator
    half = z / denominator * math.sqrt(p * (1 - p) / runs + z * z / (4 * runs * runs))
    return max(0.0, centre - half), min(1.0, centre + half)


@dataclass
class YieldResult:
    runs: int
    passed: int
    seed: int
    confidence: float
    #: (run index, drawn values) of every failing run.
    failures: list[tuple[int, dict[str, float]]] = field(default_factory=list)

    @property
    def fraction(self) -> float:
        return self.passed / self.runs if self.runs else math.nan

    @property
    def interval(self) -> tuple[float, float]:
        return wilson_interval(self.passed, self.runs, self.confidence)

    def __str__(self) -> str:
        low, high = self.interval
        return (f"yield {100 * self.fraction:.2f} % ({self.passed} of {self.runs} runs pass); "
                f"{100 * self.confidence:.0f} % interval {100 * low:.2f} .. {100 * high:.2f} %; seed {self.seed}")

    def failures_to_csv(self, path: str) -> None:
        """One row per failing run: its index and every drawn multiplier."""
        columns = sorted({name for _, draws in self.failures for name in draws})
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow(["run"] + columns)
            for k, draws in self.failures:
                writer.writerow([k] + [f"{draws.get(c, 1.0):.9g}" for c in columns])


def _one_run(change: dict[str, float]) -> Chain:
    """One run; returns None if it passes, else its drawn values (only failures are kept)."""
    passed = yield change
    return None if passed else change


def estimate_yield(netlist: str, runs: int, *, seed: int = 0, spread: Sequence[tuple[str, float]] = (),
                   draw: Draw | None = None, criterion: Callable[[Result], Any] | None = None,
                   window: float = DEFAULT_WINDOW, confidence: float = 0.95,
                   workers: int | None = None, scheduler: Any = None,
                   progress: Callable[[float], None] | None = None, **settings: Any) -> YieldResult:
    """Fraction of ``runs`` Monte Carlo runs that pass, with its Wilson interval.

    ``spread`` lists (element glob, relative sigma) for the default Gaussian
    draw; ``draw`` replaces it.  Pass/fail and execution are as for
    :func:`kivrun.margins`.
    """
    if runs < 1:
        raise ValueError("runs must be at least 1")
    job, variation = pass_fail_job(netlist, criterion, window, settings)
    names = element_names(variation.built)
    drawer: Draw = draw if draw is not None else GaussianSpread(tuple(spread))
    streams = run_streams(seed, runs)
    chains = (_one_run(drawer(np.random.Generator(np.random.PCG64(stream)), names)) for stream in streams)

    report = (lambda done: progress(done / runs)) if progress else None
    outcomes = drive(make_runner(job, workers, scheduler), chains, report)
    failures = [(k, drawn) for k, drawn in enumerate(outcomes) if drawn is not None]
    return YieldResult(runs, runs - len(failures), seed, confidence, failures)

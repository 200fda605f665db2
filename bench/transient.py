"""Transient engine benchmark on JTLs of 10 to 10 000 stages.

Prints, per size: wall time, accepted and rejected steps, Newton iterations
per accepted step, simulated picoseconds per wall second, and the share of
the host (Python) per Newton iteration; then the exponent of wall time
against size.  The host's own overhead per Newton iteration is measured on
the 10-stage line, where the core's work is small: the run is repeated with
every core call timed, and the core's time is subtracted from the plain
run's wall time (least of seven runs each).

    python bench/transient.py [--sizes 10 100 1000 10000] [--stop 200]
"""
from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from jtl import jtl_netlist  # noqa: E402

from kivrun import Stampworks  # noqa: E402
from kivrun.api import load, settings_for  # noqa: E402
from kivrun.builder import build  # noqa: E402
from kivrun.engine import Engine  # noqa: E402
from kivrun.results import Recorder  # noqa: E402


class Timed:
    """Forwards calls to ``target`` and adds their duration to ``total``."""

    def __init__(self, target, names):
        self.total = 0.0
        for name in names:
            setattr(self, name, self._wrap(getattr(target, name)))

    def _wrap(self, function):
        clock = time.perf_counter

        def timed(*args):
            began = clock()
            try:
                return function(*args)
            finally:
                self.total += clock() - began
        return timed


def make_engine(stages: int, stop_ps: float) -> Engine:
    # Pulses every 40 ps keep the head of the line busy for the whole run.
    pulses = max(1, int((stop_ps - 40) // 40))
    netlist = jtl_netlist(stages, pulses=pulses, stop=stop_ps * 1e-12, period=40e-12)
    circuit = load(netlist)
    settings = settings_for(circuit)
    built = build(circuit)
    return Engine(built, settings, Recorder(built, circuit.probes, settings.start))


def run(stages: int, stop_ps: float, timed: bool = False):
    engine = make_engine(stages, stop_ps)
    core_timer = solver_timer = None
    if timed:
        core_timer = Timed(Stampworks, ["BuildStaticMatrix", "BuildMatrix", "UpdateMatrix", "UpdateValues"])
        solver_timer = Timed(engine.solver, ["solveSparseMatrix"])
        engine.core = core_timer
        engine.solver = solver_timer
    began = time.perf_counter()
    stats = engine.run()
    wall = time.perf_counter() - began
    core = (core_timer.total + solver_timer.total) if timed else 0.0
    return stats, wall, core


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 100, 1000, 10000])
    parser.add_argument("--stop", type=float, default=200.0, help="simulated time in ps")
    args = parser.parse_args()

    print(f"JTL, {args.stop:g} ps simulated, default tolerance")
    print(f"{'stages':>7} {'wall s':>8} {'accepted':>9} {'rejected':>9} {'newton/step':>12} {'ps/s':>10}")
    walls = []
    for stages in args.sizes:
        stats, wall, _ = run(stages, args.stop)
        walls.append(wall)
        print(f"{stages:>7} {wall:8.3f} {stats.accepted:>9} {stats.rejected:>9} "
              f"{stats.newton_per_step:12.2f} {args.stop / wall:10.1f}")
    sizes = np.array(args.sizes, dtype=float)
    big = sizes >= 100
    if big.sum() >= 2:
        slope = np.polyfit(np.log(sizes[big]), np.log(walls)[big], 1)[0]
        print(f"scaling exponent of wall time against size (100 stages up): {slope:.3f}")
    if len(sizes) >= 2:
        slope_all = np.polyfit(np.log(sizes), np.log(walls), 1)[0]
        print(f"scaling exponent over all sizes: {slope_all:.3f}")

    # Host overhead on the 10-stage line: the least of seven plain and seven
    # timed runs, since a shared machine only ever adds time.
    plain = min(run(10, args.stop)[1] for _ in range(7))
    stats, _, core = min((run(10, args.stop, timed=True) for _ in range(7)), key=lambda r: r[2])
    iterations = stats.newton_iterations
    host = (plain - core) / iterations
    print(f"10 stages: {iterations} Newton iterations, wall {plain * 1e3:.1f} ms, core {core * 1e3:.1f} ms")
    print(f"host overhead per Newton iteration: {host * 1e6:.1f} us "
          f"(includes the per-step work: prediction, error estimate, sources, recording)")


if __name__ == "__main__":
    main()

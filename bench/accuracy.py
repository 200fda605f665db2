"""Accuracy at default settings: arrival times at the end of a 100-stage JTL.

Three SFQ pulses (launched at 40, 440 and 840 ps) travel down a 100-stage
line over 1.2 ns.  The tolerance is tightened by factors of 4 until the
arrival times at the last junction change by less than 0.005 ps; that run
is the converged reference for the default run's error.

    python bench/accuracy.py
"""
from __future__ import annotations

import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from jtl import jtl_netlist  # noqa: E402

from kivrun import simulate  # noqa: E402
from kivrun.api import DEFAULT_TOLERANCE  # noqa: E402
from kivrun.results import arrival_times  # noqa: E402

STAGES = 100


def arrivals(tolerance: float) -> tuple[np.ndarray, int, float]:
    netlist = jtl_netlist(STAGES, pulses=3, stop=1200e-12, period=400e-12)
    began = time.perf_counter()
    result = simulate(netlist, tolerance=tolerance)
    wall = time.perf_counter() - began
    return arrival_times(result[f"P(B{STAGES})"], result.time), result.stats.accepted, wall


def main() -> None:
    print(f"{STAGES}-stage JTL, 3 SFQ pulses, 1.2 ns; arrival (phase = pi) at B{STAGES}")
    print(f"{'tolerance':>10} {'steps':>7} {'wall s':>7}   arrival times (ps)")
    runs = {}
    tolerance = DEFAULT_TOLERANCE
    previous = None
    while True:
        times, steps, wall = arrivals(tolerance)
        runs[tolerance] = times
        print(f"{tolerance:10.2e} {steps:7d} {wall:7.2f}   " + "  ".join(f"{t * 1e12:.4f}" for t in times))
        if previous is not None and np.max(np.abs(times - previous)) < 0.005e-12:
            break
        previous = times
        tolerance /= 4
    converged = runs[tolerance]
    default = runs[DEFAULT_TOLERANCE]
    error = np.max(np.abs(default - converged))
    print(f"converged (tolerance {tolerance:.2e}): " + ", ".join(f"{t * 1e12:.4f} ps" for t in converged))
    print(f"default tolerance {DEFAULT_TOLERANCE:.0e}: largest arrival error {error * 1e12:.4f} ps")


if __name__ == "__main__":
    main()

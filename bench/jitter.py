"""Timing jitter of the noisy JTL example (src/kivrun/examples/jtl_noise.cir).

Each run carries eight flux quanta; the delay of each from stage 1 to
stage 8 (its flux-quantum events) is one sample.  Several seeds give the
jitter (standard deviation of the delay) and its statistical error; the
noiseless delay is printed for reference.

    python bench/jitter.py [runs]
"""
from __future__ import annotations

import math
import os
import sys

import numpy as np

from kivrun.api import load, simulate

NETLIST = os.path.join(os.path.dirname(__file__), "..", "src", "kivrun", "examples", "jtl_noise.cir")


def delays(result) -> np.ndarray:
    first, last = result.event_times("B1.X1", +1), result.event_times("B1.X8", +1)
    if len(first) != len(last):
        raise RuntimeError(f"{len(first)} pulses in, {len(last)} out: a pulse was lost or doubled")
    return last - first


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    quiet = load(NETLIST)
    quiet.options["temp"] = 0.0
    nominal = delays(simulate(quiet))
    samples = np.concatenate([delays(simulate(NETLIST, seed=seed)) for seed in range(runs)])
    jitter = samples.std(ddof=1)
    # Standard error of a standard deviation from n normal samples.
    error = jitter / math.sqrt(2 * (len(samples) - 1))
    print(f"JTL, 7 stages at 4.2 K, {len(samples)} pulses over {runs} seeds")
    print(f"  noiseless delay {nominal.mean() * 1e12:.4f} ps (spread {np.ptp(nominal) * 1e15:.2f} fs)")
    print(f"  noisy delay     {samples.mean() * 1e12:.4f} ps")
    print(f"  jitter          {jitter * 1e15:.1f} fs +- {error * 1e15:.1f} fs "
          f"({jitter / math.sqrt(7) * 1e15:.1f} fs per stage if stages add independently)")


if __name__ == "__main__":
    main()

"""Cost of thermal noise per time step: a long JTL with and without noise.

    python bench/noise_cost.py [stages] [repeats]

Each run is prepared once and repeated, the noiseless and the noisy one in
turns; the fastest repeat of each counts (other load only ever adds time),
timed by its thread's CPU time (other processes only wait for the cores).
"""
from __future__ import annotations

import math
import os
import sys
import time

# The loop is single-threaded; idle BLAS threads spinning on the other core would only add noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from kivrun.api import prepare, run_prepared
from kivrun.engine import Stats
from kivrun.noise import DEFAULT_BANDWIDTH, step_cap


def netlist(stages: int, temperature: float) -> str:
    lines = ["* long JTL", f".temp {temperature}", ".model jj1 jj(icrit=250u, cap=0.35p, rtype=0, rn=2)",
             "P1 src 0 pwl(0 0 5p 0 10p 6.283185)", "L0 src n1 2p"]
    for k in range(1, stages + 1):
        lines += [f"B{k} n{k} 0 jj1", f"RS{k} n{k} 0 2", f"IB{k} 0 n{k} dc 175u", f"L{k} n{k} n{k + 1} 2p"]
    lines += [f"RL n{stages + 1} 0 2", ".tran 0.1p 200p", ".print p(B1)"]
    return "\n".join(lines) + "\n"


def fastest(stages: int, fixed: bool, repeats: int) -> list[tuple[float, Stats]]:
    """CPU seconds of the fastest of ``repeats`` runs without and with noise, taken in turns.

    The run's own thread's CPU time: other processes on the machine take
    turns on its cores, which wall time would count.
    """
    # Both runs take the same steps at a fixed step (1/(6B), below the noise's
    # step cap), and the adaptive ones have the same longest step (the cap).
    cap = step_cap(prepare(netlist(stages, 4.2), seed=1).circuit)
    steps = {"fixed_step": 1.0 / (6.0 * DEFAULT_BANDWIDTH)} if fixed else {"max_step": cap}
    prepared = [prepare(netlist(stages, temperature), seed=1, **steps) for temperature in (0.0, 4.2)]
    best: list[tuple[float, Stats]] = [(math.inf, Stats()), (math.inf, Stats())]
    for _ in range(repeats):
        for k, p in enumerate(prepared):
            began = time.thread_time()
            stats = run_prepared(p).stats
            best[k] = min(best[k], (time.thread_time() - began, stats), key=lambda pair: pair[0])
    return best


def main() -> None:
    stages = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    # With a fixed step both runs take the same steps: the difference is the
    # noise itself (its sources in the sweeps, their samples, the Newton
    # iterations a less predictable state takes).  With the adaptive step the
    # noise also makes the error control take more, shorter steps.
    for fixed in (True, False):
        runs = fastest(stages, fixed, repeats)
        quiet, noisy = (seconds / s.accepted for seconds, s in runs)
        print(f"{stages} stages, {'fixed' if fixed else 'adaptive'} step: {quiet * 1e3:.4f} ms/step without noise, "
              f"{noisy * 1e3:.4f} ms/step with: noise adds {100 * (noisy / quiet - 1):.1f} % per step")
        for label, (_, s) in zip(("without", "with"), runs):
            print(f"    {label:7} noise: {s.accepted} steps, rejected {s.rejected / s.accepted:.3f}, "
                  f"refactorizations {s.refactorizations / s.accepted:.3f}, "
                  f"Newton iterations {s.newton_iterations / s.accepted:.2f} per step")


if __name__ == "__main__":
    main()

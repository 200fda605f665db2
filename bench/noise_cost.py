"""Cost of thermal noise per time step: a long JTL with and without noise.

    python bench/noise_cost.py [stages]
"""
from __future__ import annotations

import sys

from kivrun.api import simulate
from kivrun.noise import DEFAULT_BANDWIDTH


def netlist(stages: int, temperature: float) -> str:
    lines = ["* long JTL", f".temp {temperature}", ".model jj1 jj(icrit=250u, cap=0.35p, rtype=0, rn=2)",
             "P1 src 0 pwl(0 0 5p 0 10p 6.283185)", "L0 src n1 2p"]
    for k in range(1, stages + 1):
        lines += [f"B{k} n{k} 0 jj1", f"RS{k} n{k} 0 2", f"IB{k} 0 n{k} dc 175u", f"L{k} n{k} n{k + 1} 2p"]
    lines += [f"RL n{stages + 1} 0 2", ".tran 0.1p 200p", ".print p(B1)"]
    return "\n".join(lines) + "\n"


def per_step(stages: int, temperature: float, fixed: bool) -> tuple[float, int]:
    interval = 1.0 / (3 * DEFAULT_BANDWIDTH)
    steps = {"fixed_step": interval / 2} if fixed else {"max_step": interval}
    result = simulate(netlist(stages, temperature), seed=1, **steps)
    return result.stats.wall_time / result.stats.accepted, result.stats.accepted


def main() -> None:
    stages = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    # With a fixed step both runs take the same steps: the difference is the
    # noise itself (its sources in the sweeps, their samples).  With the
    # adaptive step the noise also makes the error control take and reject
    # more, shorter steps.
    for fixed in (True, False):
        quiet, n_quiet = per_step(stages, 0.0, fixed)
        noisy, n_noisy = per_step(stages, 4.2, fixed)
        print(f"{stages} stages, {'fixed' if fixed else 'adaptive'} step: {quiet * 1e3:.3f} ms/step without "
              f"noise ({n_quiet} steps), {noisy * 1e3:.3f} ms/step with ({n_noisy} steps): "
              f"noise adds {100 * (noisy / quiet - 1):.1f} % per step")


if __name__ == "__main__":
    main()

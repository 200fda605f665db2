"""Speed of repeated runs: warm re-runs of a 10-stage JTL per second on one core, and
the speed-up of a Monte Carlo yield on 1, 2, 4... local worker processes (up to the cores).

    .venv/bin/python bench/margins.py [--runs N] [--stop 100p]
"""
from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from jtl import jtl_netlist  # noqa: E402

from kivrun.execution import Job, run_change  # noqa: E402
from kivrun.margin_search import margins  # noqa: E402
from kivrun.montecarlo import estimate_yield  # noqa: E402

TARGET_PER_SECOND = 200


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=200, help="runs per measurement")
    parser.add_argument("--stop", type=float, default=100e-12, help="simulated time per run (s)")
    args = parser.parse_args()
    deck = jtl_netlist(10, stop=args.stop, first=20e-12)
    job = Job.from_netlist(deck)
    run_change(job, {})  # build once: the rest are warm re-runs
    began = time.perf_counter()
    for k in range(args.runs):
        run_change(job, {"IB*": 0.9 + 0.2 * k / args.runs})
    rate = args.runs / (time.perf_counter() - began)
    print(f"warm re-runs, 10-stage JTL, {args.stop * 1e12:.0f} ps each: {rate:.1f} runs/s on one core "
          f"({rate / TARGET_PER_SECOND:.2f} of the {TARGET_PER_SECOND}/s target)")

    began = time.perf_counter()
    table = margins(deck, [f"B{k}" for k in range(1, 6)] + [f"L{k}" for k in range(1, 5)] + ["bias"],
                    workers=1)
    print(f"margins of 10 targets on one core: {time.perf_counter() - began:.2f} s "
          f"(tightest {table.tightest.target}, {table.tightest.width:.1f} %)")

    cores = os.cpu_count() or 1
    counts = [1]
    while counts[-1] * 2 <= cores:
        counts.append(counts[-1] * 2)
    if counts[-1] != cores:
        counts.append(cores)
    base = None
    for workers in counts:
        began = time.perf_counter()
        estimate_yield(deck, args.runs, seed=1, spread=[("B*", 0.05), ("L*", 0.05)], workers=workers)
        elapsed = time.perf_counter() - began
        base = base or elapsed
        print(f"yield of {args.runs} runs on {workers} worker(s): {elapsed:.2f} s, "
              f"speed-up {base / elapsed:.2f}x")


if __name__ == "__main__":
    main()

"""Transient engine benchmark: RSJ JTLs of 10 to 10 000 stages, three SFQ pulses.

For each size N it prints: accepted steps; Newton iterations, full
factorisations and refactorisations per step; µs per step (CPU time of the
loop); the time of one KLU solve of the same matrix measured in the same run
(the fastest of 50) and the per-step cost in those solves; read+build time;
engine time; the loop's overhead outside models and KLU; the per-step cost
in typical solves (the median of the same 50: the loop's average step meets
the machine's noise, which the fastest solve escaped); the loop's own
solve (its sweeps over KLU's factors) in KLU solves; and the arrival error of the pulses at the last stage against a converged run
(the same deck at a tolerance 1000 times tighter; skipped above
``--reference-max`` stages).  For each referenced line it then prints the
switching-time error at stages N/10, N/2 and N of that one line and how fast
it grows per stage in the second half against the first.  The last line is
one JSON object of those numbers keyed by N.

    python bench/transient.py [--sizes 10 100 1000 10000] [--reference-max 1000] [--tol 1e-4]
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from jtl import rsj_jtl_netlist  # noqa: E402

from kivrun import Transient, api, engine  # noqa: E402
from kivrun.results import Recorder, arrival_times  # noqa: E402


def run_once(netlist: str, tolerance: float | None, **overrides) -> dict:
    began = time.perf_counter()
    prepared = api.prepare(netlist, tolerance=tolerance)
    for key, value in overrides.items():
        setattr(prepared.settings, key, value)
    build_time = time.perf_counter() - began
    built = prepared.built
    recorder = Recorder(built, prepared.circuit.probes, prepared.settings.start)
    cpu, wall = time.thread_time(), time.perf_counter()
    output = engine.run(built, prepared.settings, recorder.channels(), None, recorder.recorded_elements())
    cpu, wall = time.thread_time() - cpu, time.perf_counter() - wall
    result = recorder.finish(prepared.circuit.title, output, None)
    label = next(iter(result.traces))
    return {"result": result, "stats": output.stats, "cpu": cpu, "wall": wall, "build": build_time,
            "arrivals": arrival_times(result[label], result.time), "built": built,
            "system": output.system}


def measure(stages: int, tolerance: float | None, reference: bool) -> dict:
    netlist = rsj_jtl_netlist(stages)
    run = run_once(netlist, tolerance)
    stats = run["stats"]
    built = run["built"]
    costs = Transient.klu_costs(built.col_pointers, built.row_indices, run["system"], 50)
    steps = stats.accepted
    per_step = run["cpu"] / steps
    row = {
        "accepted": steps,
        "rejected": stats.rejected,
        "newton_per_step": stats.newton_iterations / steps,
        "factorizations_per_step": stats.factorizations / steps,
        "refactorizations_per_step": stats.refactorizations / steps,
        "us_per_step": per_step * 1e6,
        "klu_solve_us": costs["solve"] * 1e6,
        "klu_refactor_us": costs["refactor"] * 1e6,
        "solves_per_step": per_step / costs["solve"],
        # Against a typical solve (the median of the same 50) instead of the fastest.
        "klu_solve_median_us": costs["solve_median"] * 1e6,
        "solves_per_step_vs_median": per_step / costs["solve_median"],
        # The loop solves through its own sweeps over KLU's factors: their cost in the unit.
        "own_solve_us": costs["own_solve"] * 1e6,
        "own_solve_in_klu_solves": costs["own_solve"] / costs["solve"],
        "total_solve_equivalents": run["cpu"] / costs["solve"],
        "build_s": run["build"],
        "engine_s": run["cpu"],
        "pulses_out": len(run["arrivals"]),
        "arrival_error_ps": None,
    }
    # The loop's own work: the same run with the models and KLU timed apart
    # (wall clocks on both sides; the timers' own reads are counted as overhead).
    timed = run_once(netlist, tolerance, profile=True)
    ts = timed["stats"]
    row["overhead_us_per_step"] = (timed["wall"] - ts.model_seconds - ts.lu_seconds) / ts.accepted * 1e6
    if reference:
        tight = (tolerance or api.DEFAULT_TOLERANCE) * 1e-3
        reference_run = run_once(netlist, tight)
        ref = reference_run["arrivals"]
        got = run["arrivals"]
        if len(ref) == len(got) and len(got):
            row["arrival_error_ps"] = float(np.max(np.abs(got - ref)) * 1e12)
        row["error_along_line_ps"] = along_line(run["result"], reference_run["result"], stages)
    return row


def along_line(result, reference, stages: int) -> dict[int, float] | None:
    """Signed switching-time error (largest in size over the pulses) of the
    junctions at stages N/10, N/2 and N of one line: whether the error grows
    along the line no faster than the stages, without the offset the pulse
    source leaves near the input."""
    if stages < 10:
        return None
    errors = {}
    for k in (stages // 10, stages // 2, stages):
        got, ref = np.asarray(result.event_times(f"B{k}")), np.asarray(reference.event_times(f"B{k}"))
        if len(got) != len(ref) or not len(got):
            return None
        diff = (got - ref) * 1e12
        errors[k] = float(diff[np.argmax(np.abs(diff))])
    return errors


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 100, 1000, 10000])
    parser.add_argument("--reference-max", type=int, default=1000,
                        help="largest N given a converged reference run")
    parser.add_argument("--tol", type=float, default=None, help="tolerance (default: the simulator's)")
    args = parser.parse_args()
    header = (f"{'N':>6} {'steps':>8} {'newton':>7} {'fact':>6} {'refact':>7} {'us/step':>9} "
              f"{'solve us':>9} {'solves/step':>11} {'total solves':>13} {'build s':>8} "
              f"{'engine s':>9} {'error ps':>9} {'overhead us':>11} {'vs median':>9} {'own solve':>9}")
    print(header)
    table = {}
    for n in args.sizes:
        row = measure(n, args.tol, n <= args.reference_max)
        table[n] = row
        err = row["arrival_error_ps"]
        print(f"{n:>6} {row['accepted']:>8} {row['newton_per_step']:7.3f} "
              f"{row['factorizations_per_step']:6.3f} {row['refactorizations_per_step']:7.3f} "
              f"{row['us_per_step']:9.2f} {row['klu_solve_us']:9.2f} {row['solves_per_step']:11.2f} "
              f"{row['total_solve_equivalents']:13.0f} {row['build_s']:8.3f} {row['engine_s']:9.3f} "
              f"{'-' if err is None else f'{err:9.4f}':>9} {row['overhead_us_per_step']:11.3f} "
              f"{row['solves_per_step_vs_median']:9.2f} {row['own_solve_in_klu_solves']:9.2f}", flush=True)
    for n, row in table.items():
        along = row.get("error_along_line_ps")
        if along:
            (a, ea), (b, eb), (c, ec) = along.items()
            growth = ((ec - eb) / (c - b)) / ((eb - ea) / (b - a)) if eb != ea else float("nan")
            row["growth_second_half_over_first"] = growth
            print(f"along the {n}-stage line: error at stages {a}, {b}, {c}: {ea:+.5f}, {eb:+.5f}, {ec:+.5f} ps; "
                  f"growth per stage, second half over first: {growth:.2f} (≤ 1: no faster than the stages)")
    print(json.dumps(table))


if __name__ == "__main__":
    main()

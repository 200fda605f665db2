"""Writing 200 000 points × 50 traces: each format against np.savez, and against row-by-row csv.writer.

Prints seconds and ratios measured in this one run.  Usage: python bench/export.py [points] [traces]
"""
import csv
import os
import sys
import tempfile
import time

import numpy as np

from kivrun.export import write_csv, write_npz, write_raw


def row_by_row_csv(path, t, traces):
    # The writer kivrun had before: a formatting call per value.
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["time"] + list(traces))
        for row in zip(*([t] + list(traces.values()))):
            writer.writerow([f"{x:.9g}" for x in row])


def timed(fn, *args):
    began = time.perf_counter()
    fn(*args)
    return time.perf_counter() - began


def main():
    points = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    rng = np.random.default_rng(1)
    t = np.cumsum(rng.uniform(0.5e-15, 1.5e-15, points))
    traces = {f"V({k})": rng.normal(0, 1e-4, points) for k in range(count)}
    with tempfile.TemporaryDirectory() as folder:
        p = lambda name: os.path.join(folder, name)  # noqa: E731
        results = {
            "npz": timed(write_npz, p("a.npz"), "bench", t, traces),
            "raw (binary)": timed(write_raw, p("a.raw"), "bench", t, traces, True),
            "raw (ascii)": timed(write_raw, p("b.raw"), "bench", t, traces, False),
            "csv (vectorised)": timed(write_csv, p("a.csv"), t, traces),
            "csv (row by row)": timed(row_by_row_csv, p("b.csv"), t, traces),
        }
        same = open(p("a.csv"), "rb").read() == open(p("b.csv"), "rb").read()
    base = results["npz"]
    print(f"{points} points x {count} traces")
    for name, seconds in results.items():
        print(f"  {name:<18} {seconds:7.3f} s   {seconds / base:7.1f} x npz")
    print(f"  vectorised CSV is {results['csv (row by row)'] / results['csv (vectorised)']:.1f}x faster "
          f"than row by row; identical bytes: {same}")


if __name__ == "__main__":
    main()

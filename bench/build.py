"""Read and build time of RSJ JTL decks of 1 000 to 100 000 stages, flat and as subcircuits.

Each (form, N) runs in a fresh interpreter.  Per phase it prints seconds
and µs per stage: read (text to cards), expand (cards to the flat circuit),
settings (noise/spread pass and run settings), pattern (numbering, plans,
sparse pattern and slots), bind (one core model per element, the plain ones
made in one native call) and register;
then the end-to-end ``api.load`` and ``api.prepare`` (of the loaded circuit)
times, the peak and retained resident memory of that load + prepare per
stage, and for each form the scaling exponent of the total time (slope of
log time against log N).  The last line is one JSON object.

    python bench/build.py [--sizes 1000 10000 100000] [--forms flat subckt]
"""
from __future__ import annotations

import argparse
import gc
import json
import math
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from jtl import rsj_jtl_netlist, rsj_jtl_subckt_netlist  # noqa: E402

DECKS = {"flat": rsj_jtl_netlist, "subckt": rsj_jtl_subckt_netlist}
PHASES = ("read", "expand", "settings", "pattern", "bind", "register")


def _status(key: str) -> int:
    """A /proc/self/status memory figure in bytes (0 where there is no /proc)."""
    try:
        with open("/proc/self/status") as handle:
            for line in handle:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _reset_peak() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")  # resets VmHWM to the current resident size
    except OSError:
        pass


def _phases(text: str) -> dict[str, float]:
    from kivrun.gcpause import collector_paused

    with collector_paused():
        return _timed_phases(text)


def _timed_phases(text: str) -> dict[str, float]:
    from kivrun import api, builder, noise
    from kivrun.netlist import expand_cards
    from kivrun.netlist_lines import read_cards

    times: dict[str, float] = {}
    mark = time.perf_counter()

    def lap(name: str) -> None:
        nonlocal mark
        now = time.perf_counter()
        times[name] = now - mark
        mark = now

    title, cards = read_cards(text, "<bench>", ".")
    lap("read")
    circuit = expand_cards(title, cards, "<bench>", ".")
    lap("expand")
    noise.wants_seed(circuit)
    api.settings_for(circuit)
    lap("settings")
    layout = builder.lay_out(circuit)
    lap("pattern")
    bound = builder.bind_models(layout)
    lap("bind")
    builder.register(layout, bound)
    lap("register")
    return times


def one(form: str, stages: int) -> dict:
    from kivrun import api

    text = DECKS[form](stages)
    # Memory first, while the heap holds nothing freed it could reuse.
    gc.collect()
    _reset_peak()
    base = _status("VmRSS")
    began = time.perf_counter()
    circuit = api.load(text)
    loaded = time.perf_counter()
    prepared = api.prepare(circuit)
    done = time.perf_counter()
    peak, held = _status("VmHWM") - base, _status("VmRSS") - base
    unknowns, nnz = prepared.built.n_unknowns, prepared.built.nnz
    del circuit, prepared
    gc.collect()
    phases = _phases(text)
    return {"phases": phases, "load_s": loaded - began, "prepare_s": done - loaded,
            "total_s": done - began, "unknowns": unknowns, "nnz": nnz,
            "peak_bytes_per_stage": peak / stages, "held_bytes_per_stage": held / stages}


def exponent(sizes: list[int], times: list[float]) -> float:
    xs, ys = [math.log(n) for n in sizes], [math.log(t) for t in times]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--forms", nargs="+", choices=sorted(DECKS), default=["flat", "subckt"])
    parser.add_argument("--one", nargs=2, metavar=("FORM", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(one(args.one[0], int(args.one[1]))))
        return
    report: dict[str, dict] = {}
    for form in args.forms:
        rows = {}
        for n in args.sizes:
            out = subprocess.run([sys.executable, __file__, "--one", form, str(n)], check=True,
                                 capture_output=True, text=True).stdout
            row = rows[n] = json.loads(out.splitlines()[-1])
            cells = "  ".join(f"{p} {row['phases'][p]:6.3f}s {row['phases'][p] / n * 1e6:5.1f}µs"
                              for p in PHASES)
            print(f"{form:6} N={n:6}  {cells}")
            print(f"{'':6} {'':8} load {row['load_s']:.3f}s  prepare {row['prepare_s']:.3f}s  "
                  f"total {row['total_s']:.3f}s = {row['total_s'] / n * 1e6:.1f} µs/stage  "
                  f"peak {row['peak_bytes_per_stage'] / 1024:.1f} KiB/stage  "
                  f"held {row['held_bytes_per_stage'] / 1024:.1f} KiB/stage  "
                  f"unknowns {row['unknowns']} nnz {row['nnz']}", flush=True)
        sizes = sorted(rows)
        slope = exponent(sizes, [rows[n]["total_s"] for n in sizes]) if len(sizes) > 1 else float("nan")
        print(f"{form}: total time grows as N^{slope:.2f}")
        report[form] = {"sizes": rows, "exponent": slope}
    print(json.dumps(report))


if __name__ == "__main__":
    main()

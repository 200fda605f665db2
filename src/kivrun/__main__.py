"""``python -m kivrun``: simulate the built-in example, a JTL driven by an SFQ pulse.

With arguments it is the ``kivrun`` command (``python -m kivrun run x.cir -o y.csv``).
"""
from __future__ import annotations

import sys
from importlib import resources

from .api import simulate
from .results import arrival_times


def example_netlist() -> str:
    return resources.files("kivrun").joinpath("data/jtl_sfq.cir").read_text(encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    """The built-in example; with arguments, the command line (``python -m kivrun run x.cir``)."""
    if argv:
        from .cli import main as cli_main

        return cli_main(argv)
    result = simulate(example_netlist())
    print(result.summary())
    arrivals = {label: arrival_times(trace, result.time) for label, trace in result.traces.items()
                if label.startswith("P(")}
    for label, times in arrivals.items():
        text = ", ".join(f"{t * 1e12:.3f} ps" for t in times) or "none"
        print(f"  {label} reaches pi at {text}")
    first, last = arrivals.get("P(B1.X1)"), arrivals.get("P(B1.X8)")
    if first is not None and last is not None and len(first) and len(last):
        print(f"  delay over 7 stages: {(last[0] - first[0]) * 1e12:.3f} ps")
    return 0


def entry(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        return main()
    from .cli import main as cli_main

    return cli_main(argv)


if __name__ == "__main__":
    sys.exit(entry())

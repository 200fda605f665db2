"""``kivrun margins``, ``kivrun yield`` and ``kivrun sweep``."""
from __future__ import annotations

import argparse
import sys
from typing import Any

from .cli import ProgressBar, _seconds, register
from .criteria import DEFAULT_WINDOW, EventCount, EventDelay


def _range(text: str) -> tuple[float, float]:
    try:
        low, high = (float(x) for x in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a range LOW:HIGH: '{text}'") from None
    return low, high


def _spread(text: str) -> tuple[str, float]:
    name, _, sigma = text.partition("=")
    try:
        value = float(sigma.rstrip("%")) / (100.0 if sigma.endswith("%") else 1.0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not GLOB=SIGMA (e.g. 'L*=0.05' or 'L*=5%%'): '{text}'") from None
    if not name or value < 0:
        raise argparse.ArgumentTypeError(f"not GLOB=SIGMA: '{text}'")
    return name, value


def _axis(text: str) -> tuple[str, list[float]]:
    name, _, spec = text.partition("=")
    try:
        start, stop, count = spec.split(":")
        n = int(count)
        low, high = float(start), float(stop)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not TARGET=START:STOP:COUNT: '{text}'") from None
    if not name or n < 1 or n > 100000:
        raise argparse.ArgumentTypeError(f"not TARGET=START:STOP:COUNT: '{text}'")
    return name, [low + (high - low) * k / max(n - 1, 1) for k in range(n)]


def _common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("netlist", help="netlist file")
    parser.add_argument("--workers", type=int, help="local worker processes (default: every core; 1: this process)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="run on this Dask scheduler (default: $DASK_SCHEDULER_ADDRESS if set)")
    parser.add_argument("--tol", type=float, help="local error bound per step (radians)")
    parser.add_argument("--fixed-step", type=_seconds, metavar="SECONDS", help="fixed time step")
    parser.add_argument("--csv", help="write the table to this CSV file")
    parser.add_argument("--plot", help="save a chart to this PNG file")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _pass_fail(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--window", type=_seconds, default=DEFAULT_WINDOW, metavar="SECONDS",
                        help="tolerance on event times against the nominal run (default 5p)")


def _execution(args: argparse.Namespace) -> dict[str, Any]:
    if args.workers is not None and args.workers < 1:
        raise SystemExit("kivrun: --workers must be at least 1")
    return {"workers": args.workers, "scheduler": args.scheduler, "tolerance": args.tol,
            "fixed_step": args.fixed_step}


def _with_bar(args: argparse.Namespace, work) -> Any:
    bar = None if args.quiet else ProgressBar()
    try:
        return work(bar)
    except KeyboardInterrupt:
        print("\nkivrun: interrupted; outstanding runs cancelled", file=sys.stderr)
        raise SystemExit(130) from None
    except (ValueError, RuntimeError) as exc:
        print(f"kivrun: {exc}", file=sys.stderr)
        raise SystemExit(2) from None
    finally:
        if bar is not None:
            bar.close()


def _configure_margins(parser: argparse.ArgumentParser) -> None:
    _common(parser)
    parser.add_argument("--vary", nargs="+", action="extend", required=True, metavar="TARGET",
                        help="element name or glob (IB*, L*.X3), 'bias' or a .param name")
    parser.add_argument("--each", action="store_true", help="one target per element a glob matches")
    parser.add_argument("--range", type=_range, default=(0.0, 2.0), metavar="LOW:HIGH",
                        help="multipliers searched (default 0.0:2.0)")
    parser.add_argument("--resolution", type=float, default=0.005, help="multiplier resolution (default 0.005)")
    _pass_fail(parser)


def margins_command(args: argparse.Namespace) -> int:
    from .margin_search import margins

    table = _with_bar(args, lambda bar: margins(
        args.netlist, args.vary, range=args.range, resolution=args.resolution, each=args.each,
        window=args.window, progress=bar, **_execution(args)))
    print(table)
    if args.csv:
        table.to_csv(args.csv)
    if args.plot:
        table.plot(args.plot)
    return 0


def _configure_yield(parser: argparse.ArgumentParser) -> None:
    _common(parser)
    parser.add_argument("--runs", type=int, default=1000, help="Monte Carlo runs (default 1000)")
    parser.add_argument("--seed", type=int, default=0, help="random seed (run k depends on seed and k only)")
    parser.add_argument("--spread", type=_spread, action="append", default=[], metavar="GLOB=SIGMA",
                        help="relative Gaussian spread of matching elements, e.g. 'L*=0.05' (repeatable)")
    parser.add_argument("--confidence", type=float, default=0.95, help="level of the interval (default 0.95)")
    _pass_fail(parser)


def yield_command(args: argparse.Namespace) -> int:
    from .montecarlo import estimate_yield

    if args.runs < 1 or not 0.0 < args.confidence < 1.0:
        raise SystemExit("kivrun: --runs must be at least 1 and --confidence in (0, 1)")
    result = _with_bar(args, lambda bar: estimate_yield(
        args.netlist, args.runs, seed=args.seed, spread=args.spread, window=args.window,
        confidence=args.confidence, progress=bar, **_execution(args)))
    print(result)
    if args.csv:
        result.failures_to_csv(args.csv)
        print(f"drawn values of the {len(result.failures)} failing runs in {args.csv}")
    return 0


def _configure_sweep(parser: argparse.ArgumentParser) -> None:
    _common(parser)
    parser.add_argument("--axis", type=_axis, action="append", required=True, metavar="TARGET=START:STOP:N",
                        help="multipliers of a target (once or twice for a 2-D grid)")
    stat = parser.add_mutually_exclusive_group(required=True)
    stat.add_argument("--delay", nargs=2, metavar=("FROM", "TO"),
                      help="time (s) from the first event of element FROM to that of TO")
    stat.add_argument("--count", metavar="ELEMENT", help="net flux quanta through ELEMENT")


def sweep_command(args: argparse.Namespace) -> int:
    from .grid_sweep import sweep

    if args.delay:
        statistic: Any = EventDelay(*args.delay)
        label = f"delay {args.delay[0]}->{args.delay[1]} (s)"
    else:
        statistic, label = EventCount(args.count), f"quanta {args.count}"
    if len(args.axis) > 2:
        raise SystemExit("kivrun: a sweep takes one or two --axis")
    result = _with_bar(args, lambda bar: sweep(args.netlist, args.axis, statistic, label=label,
                                               progress=bar, **_execution(args)))
    print(result)
    if args.csv:
        result.to_csv(args.csv)
    if args.plot:
        result.plot(args.plot)
    return 0


register("margins", "operating margins of bias and element values", _configure_margins, margins_command)
register("yield", "Monte Carlo yield under spread of element values", _configure_yield, yield_command)
register("sweep", "a statistic of the run over a 1-D or 2-D grid of values", _configure_sweep, sweep_command)

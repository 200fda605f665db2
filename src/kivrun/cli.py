"""Command line: ``kivrun run circuit.cir [-o out.csv] [--plot out.png]``, ``kivrun tjmfit ...``.

Subcommands live in :data:`SUBCOMMANDS`; another tool adds one with
:func:`register` (a name, a parser set-up function and a handler).
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import Callable

from .errors import Interrupted, NetlistError, SimulationError
from .expressions import parse_number

#: name -> (help, configure(parser), handler(args) -> exit code)
Configure = Callable[[argparse.ArgumentParser], None]
Handler = Callable[[argparse.Namespace], int]
SUBCOMMANDS: dict[str, tuple[str, Configure, Handler]] = {}
#: Subcommands with a parser of their own: their handler gets every argument
#: after the name, unparsed, as ``args.arguments`` (so their --help is theirs).
OWN_HELP: set[str] = set()


def register(name: str, help_text: str, configure: Configure, handler: Handler,
             own_help: bool = False) -> None:
    SUBCOMMANDS[name] = (help_text, configure, handler)
    if own_help:
        OWN_HELP.add(name)
    else:
        OWN_HELP.discard(name)


class ProgressBar:
    """Progress on stderr for runs that take a while.

    On a terminal: a one-line bar redrawn in place, after ``delay`` seconds.
    Elsewhere (a log file): a plain line per tenth of the run, and only once
    the run has taken ``log_delay`` seconds, so short runs stay silent.
    """

    def __init__(self, stream=sys.stderr, delay: float = 1.0, force: bool = False,
                 log_delay: float = 10.0):
        self.stream = stream
        self.began = time.perf_counter()
        self.delay = delay
        self.log_delay = log_delay
        self.terminal = force or (hasattr(stream, "isatty") and stream.isatty())
        self.shown = False
        self.logged_tenths = 0

    def __call__(self, fraction: float) -> None:
        elapsed = time.perf_counter() - self.began
        if not self.terminal:
            tenths = int(10 * fraction)
            if elapsed >= self.log_delay and tenths > self.logged_tenths:
                self.logged_tenths = tenths
                self.stream.write(f"kivrun: {100 * fraction:.0f}% after {elapsed:.0f} s\n")
                self.stream.flush()
            return
        if elapsed < self.delay:
            return
        width = 30
        filled = int(round(width * min(max(fraction, 0.0), 1.0)))
        bar = "#" * filled + "." * (width - filled)
        self.stream.write(f"\r[{bar}] {100 * fraction:5.1f}%  {elapsed:6.1f} s")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


def _seconds(text: str) -> float:
    """A time on the command line, with the netlist's suffixes (``0.1p``, ``2e-13``)."""
    value = parse_number(text)
    if value is None or not 0.0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a time: '{text}'")
    return value


def _configure_run(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("netlist", help="netlist file")
    parser.add_argument("-o", "--output", help="write the traces to this CSV file")
    parser.add_argument("--plot", help="save a plot of the traces to this PNG file")
    parser.add_argument("--raw", action="store_true",
                        help="CSV on the accepted time points instead of the .tran output step")
    parser.add_argument("--tol", type=float, help="local error bound per step (radians)")
    parser.add_argument("--fixed-step", type=_seconds, metavar="SECONDS",
                        help="fixed time step, no error control")
    parser.add_argument("--max-step", type=_seconds, metavar="SECONDS", help="cap on the time step")
    parser.add_argument("--ramp", type=_seconds, metavar="SECONDS", help="length of the initial source ramp")
    parser.add_argument("--order", type=int, choices=(2, 3), help="order of the BDF formula")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary, no progress bar")


#: Exit code of a run stopped by Ctrl-C, as a shell reports SIGINT.
EXIT_INTERRUPTED = 130


def run_command(args: argparse.Namespace) -> int:
    from .api import simulate
    from .output_files import OutputError, check_outputs, write_outputs

    try:
        check_outputs(args.output, args.plot)
    except OutputError as exc:
        print(f"kivrun: {exc}", file=sys.stderr)
        return 1
    bar = ProgressBar(force=False) if not args.quiet else None
    try:
        result = simulate(args.netlist, tolerance=args.tol, fixed_step=args.fixed_step,
                          max_step=args.max_step, ramp=args.ramp, order=args.order, progress=bar)
    except Interrupted as exc:
        partial = exc.partial
        if partial is not None:
            write_outputs(partial, args.output, args.plot, args.raw)
        reached = partial.time[-1] * 1e12 if partial is not None and len(partial.time) else 0.0
        written = "; partial output written" if partial is not None and (args.output or args.plot) else ""
        print(f"kivrun: interrupted at t = {reached:.6g} ps{written}", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        if bar is not None:
            bar.close()
    write_outputs(result, args.output, args.plot, args.raw)
    if not args.quiet:
        print(result.summary())
    return 0


register("run", "simulate a netlist", _configure_run, run_command)


def _configure_tjmfit(parser: argparse.ArgumentParser) -> None:
    parser.description = "See 'kivrun tjmfit --help'."


def tjmfit_command(args: argparse.Namespace) -> int:
    # Importing the fitter's entry point loads no SciPy; a fit or report does.
    from .tjmfit import main as tjmfit_main

    return tjmfit_main(args.arguments)


register("tjmfit", "fit tunnel-junction kernels from BCS theory", _configure_tjmfit, tjmfit_command,
         own_help=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="kivrun",
                                     description="Transient simulator for superconducting circuits")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, (help_text, configure, _) in SUBCOMMANDS.items():
        configure(sub.add_parser(name, help=help_text))
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in OWN_HELP:
        args = argparse.Namespace(command=argv[0], arguments=argv[1:])
    else:
        args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    try:
        return SUBCOMMANDS[args.command][2](args)
    except NetlistError as exc:
        print(f"kivrun: netlist error: {exc}", file=sys.stderr)
        return 1
    except SimulationError as exc:
        print(f"kivrun: simulation failed: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("kivrun: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())

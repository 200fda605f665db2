"""Command line: ``kivrun run circuit.cir [-o out.raw] [--plot out.png]``, ``kivrun examples``, ``kivrun tjmfit ...``.

Subcommands live in :data:`SUBCOMMANDS`; another tool adds one with
:func:`register` (a name, a parser set-up function and a handler).
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable

from . import __version__, example_files
from .cli_logging import LOGGER, command_logging, level_for
from .errors import Interrupted, NetlistError, SimulationError
from .export import FORMATS, format_for
from .expressions import parse_number
from .optional import MissingExtra, require
from .output_files import OutputError, check_writable
from .progress import tqdm_display
from .trace_names import split_patterns

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

    def __init__(self, stream=None, delay: float = 1.0, force: bool = False,
                 log_delay: float = 10.0):
        # The stream of the moment, not of import time (a test runner swaps it).
        stream = sys.stderr if stream is None else stream
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
    parser.add_argument("netlist", help="netlist file, or example:NAME for a shipped example")
    parser.add_argument("-o", "--output",
                        help="write the traces to this file (.csv .raw .npz .nc .h5, or see --format)")
    parser.add_argument("--format", choices=FORMATS, help="output format, instead of the suffix of -o")
    parser.add_argument("--plot", help="save a plot of the traces to this PNG file")
    parser.add_argument("--plot-traces", action="append", metavar="PATTERN",
                        help="traces to plot: names or globs, comma-separated or repeated (P(B1.*),V(*))")
    parser.add_argument("--raw", "--accepted", dest="raw", action="store_true",
                        help="write the accepted time points instead of the .tran output step")
    parser.add_argument("--list", action="store_true",
                        help="print every element after subcircuit expansion and exit")
    parser.add_argument("--tol", type=float, help="local error bound per step (radians)")
    parser.add_argument("--fixed-step", type=_seconds, metavar="SECONDS",
                        help="fixed time step, no error control")
    parser.add_argument("--max-step", type=_seconds, metavar="SECONDS", help="cap on the time step")
    parser.add_argument("--ramp", type=_seconds, metavar="SECONDS", help="length of the initial source ramp")
    parser.add_argument("--order", type=int, choices=(2, 3), help="order of the BDF formula")
    parser.add_argument("--seed", type=int, help="seed of thermal noise and process spread")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary, no progress bar, errors only")
    parser.add_argument("-v", "--verbose", action="count", default=0, help="say more (files written)")


class UsageError(Exception):
    """Options that cannot be honoured (an unknown format, a pattern matching no trace)."""


def _check_outputs(args: argparse.Namespace) -> str | None:
    """Refuse, before a long run, outputs that could not be written afterwards."""
    for path, what in ((args.output, "output"), (args.plot, "plot")):
        folder = os.path.dirname(os.path.abspath(path)) if path else ""
        if folder and not os.path.isdir(folder):
            raise UsageError(f"cannot write {path}: no folder {folder}")
        if path:
            try:
                check_writable(path, what)
            except OutputError as exc:
                raise UsageError(str(exc)) from None
    try:
        kind = format_for(args.output, args.format) if args.output else None
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if kind == "netcdf":
        require("xarray", "xarray", f"writing {args.output}")
    if args.plot or args.plot_traces:
        require("matplotlib", "plot", "--plot")
    return kind


def _cli_progress(quiet: bool):
    if quiet:
        return None
    if hasattr(sys.stderr, "isatty") and sys.stderr.isatty():
        bar = tqdm_display(notebook=False, delay=1.0, leave=False)
        if bar is not None:
            return bar
    return ProgressBar(force=False)


#: Exit code of a run stopped by Ctrl-C, as a shell reports SIGINT.
EXIT_INTERRUPTED = 130


def _write_outputs(result, args: argparse.Namespace, kind: str | None, circuit) -> None:
    """The files asked for: -o, the `.file` cards' CSVs, the plot."""
    from dataclasses import replace

    step = None if args.raw else result.output_step
    if args.output:
        result.save(args.output, kind, step)
        LOGGER.info("wrote %s (%s, %d traces)", args.output, kind, len(result.traces))
    # `.file PATH` cards: the traces requested after each, as a CSV of their own.
    for path, labels in circuit.output_files.items():
        replace(result, traces={label: result.traces[label] for label in labels}).to_csv(path, step)
    if args.plot or args.plot_traces:
        patterns = [p for text in args.plot_traces or [] for p in split_patterns(text)] or None
        path = args.plot or os.path.splitext(args.output or "kivrun")[0] + ".png"
        try:
            result.plot(path, traces=patterns)
        except KeyError as exc:  # a pattern that matches no trace
            raise UsageError(exc.args[0]) from None
        LOGGER.info("wrote %s", path)


def run_command(args: argparse.Namespace) -> int:
    from .api import load, prepare, run_prepared
    from .iv import write_iv_files
    from .listing import listing

    circuit = load(example_files.resolve(args.netlist))
    if args.list:
        print(listing(circuit))
        return 0
    kind = _check_outputs(args)
    # .iv curves need no run; a deck may ask for nothing else.
    for path in write_iv_files(circuit):
        if not args.quiet:
            print(f"I-V curve written to {path}")
    if circuit.transient is None and circuit.iv_requests:
        return 0
    prepared = prepare(circuit, tolerance=args.tol, fixed_step=args.fixed_step,
                       max_step=args.max_step, ramp=args.ramp, order=args.order, seed=args.seed)
    bar = _cli_progress(args.quiet)
    try:
        result = run_prepared(prepared, bar)
    except Interrupted as exc:
        partial = exc.partial
        if partial is not None and len(partial.time):
            _write_outputs(partial, args, kind, circuit)
        reached = partial.time[-1] * 1e12 if partial is not None and len(partial.time) else 0.0
        written = "; partial output written" if partial is not None and (args.output or args.plot) else ""
        print(f"kivrun: interrupted at t = {reached:.6g} ps{written}", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        if bar is not None:
            bar.close()
    _write_outputs(result, args, kind, circuit)
    if not args.quiet:
        print(result.summary())
    return 0


def examples_command(args: argparse.Namespace) -> int:
    for name in example_files.names():
        print(f"{name:<20} {example_files.describe(name)}")
    print("run one with: kivrun run example:NAME")
    return 0


def _configure_examples(parser: argparse.ArgumentParser) -> None:
    parser.description = "List the example netlists shipped with kivrun."


register("run", "simulate a netlist", _configure_run, run_command)
register("examples", "list the shipped example netlists", _configure_examples, examples_command)


def _configure_tjmfit(parser: argparse.ArgumentParser) -> None:
    parser.description = "See 'kivrun tjmfit --help'."


def tjmfit_command(args: argparse.Namespace) -> int:
    # Importing the fitter's entry point loads no SciPy; a fit or report does.
    from .tjmfit import main as tjmfit_main

    return tjmfit_main(args.arguments)


register("tjmfit", "fit tunnel-junction kernels from BCS theory", _configure_tjmfit, tjmfit_command,
         own_help=True)


def main(argv: list[str] | None = None) -> int:
    from . import analysis_cli  # noqa: F401  (registers margins, yield, sweep)
    parser = argparse.ArgumentParser(prog="kivrun",
                                     description="Transient simulator for superconducting circuits")
    parser.add_argument("--version", action="version", version=f"kivrun {__version__}")
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
    level = level_for(getattr(args, "verbose", 0), getattr(args, "quiet", False))
    with command_logging(level) as log:
        try:
            return SUBCOMMANDS[args.command][2](args)
        except NetlistError as exc:
            log.error("netlist error: %s", exc)
        except SimulationError as exc:
            log.error("simulation failed: %s", exc)
        except (MissingExtra, UsageError) as exc:
            log.error("%s", exc)
        except OSError as exc:
            log.error("cannot write %s: %s", exc.filename or "output", exc.strerror or exc)
        except KeyboardInterrupt:  # outside a run (reading, building): nothing to write
            log.error("interrupted")
            return EXIT_INTERRUPTED
        return 1


if __name__ == "__main__":
    sys.exit(main())

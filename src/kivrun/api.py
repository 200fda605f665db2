"""``simulate``: netlist text or file in, :class:`Result` out."""
from __future__ import annotations

import math
import threading
from dataclasses import dataclass, field
from typing import Callable

from . import engine, noise, units
from .builder import BuiltCircuit, build, reset_state
from .builder_devices import delayed_corners, line_delays
from .circuit import Circuit
from .engine import Settings
from .errors import Interrupted, Location, NetlistError
from .netlist import parse_netlist, read_netlist
from .progress import Monotone, tqdm_display
from .results import Recorder, Result
from .settings_check import MAX_STEPS, check_settings, source_breakpoints
from .spread import apply_spread
from .waveforms import MAX_BREAKPOINTS

#: Local error bound per step on node phases (radians) unless the netlist sets `tol`.
DEFAULT_TOLERANCE = 1e-4
#: ... or this fraction of the phase where larger (phases of millions of quanta); `reltol`.
DEFAULT_RELATIVE_TOLERANCE = 1e-9
#: Order of the BDF integration formula.
DEFAULT_ORDER = 3
#: Initial ramp of sources that are not zero at t = 0 (seconds).
DEFAULT_RAMP = 10e-12


def load(netlist: str) -> Circuit:
    """Parse ``netlist``: a path to a file, or the netlist text itself (several lines)."""
    if "\n" not in netlist:
        return read_netlist(netlist)
    return parse_netlist(netlist)


def settings_for(circuit: Circuit, tolerance: float | None = None, fixed_step: float | None = None,
                 max_step: float | None = None, ramp: float | None = None,
                 order: int | None = None) -> Settings:
    """Engine settings (core units) from the netlist's .tran/.options and overrides in SI."""
    tran = circuit.transient
    if tran is None:
        raise NetlistError("no .tran card: nothing to simulate", Location(circuit.source, 0), ".tran")
    options = circuit.options
    given = {"tol": tolerance, "fixedstep": fixed_step, "maxstep": max_step, "ramp": ramp, "order": order}
    if tolerance is None:
        tolerance = options.get("tol", DEFAULT_TOLERANCE)
    if fixed_step is None:
        fixed_step = options.get("fixedstep", 0.0)
    if max_step is None:
        max_step = options.get("maxstep", tran.max_step or math.inf)
    max_step = min(max_step, noise.step_cap(circuit))
    delays = line_delays(circuit.elements)
    if delays:  # a line's delayed values must come from accepted history
        if (tran.stop - tran.start) / delays[0] > MAX_STEPS:
            line = next(e for e in circuit.elements if e.kind == "T" and e.delay == delays[0])
            raise NetlistError(f"TD this short needs more than {MAX_STEPS} steps", line.where, f"TD={delays[0]:g}")
        max_step = min(max_step, delays[0])
    if ramp is None:
        ramp = options.get("ramp", DEFAULT_RAMP if _starts_live(circuit) else 0.0)
    if order is None:
        order = options.get("order", DEFAULT_ORDER)
    limit = options.get("maxbreakpoints", MAX_BREAKPOINTS)
    reltol = options.get("reltol", DEFAULT_RELATIVE_TOLERANCE)
    check_settings(circuit, {"tol": tolerance, "reltol": reltol, "fixedstep": fixed_step, "maxstep": max_step,
                             "ramp": ramp, "order": order, "maxbreakpoints": limit},
                   {name for name, value in given.items() if value is not None})
    order = int(order)
    breakpoints = delayed_corners(source_breakpoints(circuit, limit), delays, tran.stop, limit)
    core = lambda seconds: units.to_core(seconds, "time")  # noqa: E731
    return Settings(stop=core(tran.stop), start=core(tran.start), tolerance=tolerance, relative_tolerance=reltol,
                    max_step=core(max_step), fixed_step=core(fixed_step), ramp=core(ramp),
                    order=order, breakpoints=tuple(core(b) for b in breakpoints))


def _starts_live(circuit: Circuit) -> bool:
    # Sources written alike share one waveform: look at each once.
    seen: set[int] = set()
    for e in circuit.elements:
        waveform = e.waveform
        if waveform is None or id(waveform) in seen or isinstance(waveform, noise.ThermalNoise):
            continue
        if waveform.value(0.0) != 0.0:
            return True
        seen.add(id(waveform))
    return False


def _progress_display():
    from .cli import ProgressBar

    return tqdm_display() or ProgressBar()


def simulate(netlist: str | Circuit, *, tolerance: float | None = None, fixed_step: float | None = None,
             max_step: float | None = None, ramp: float | None = None, order: int | None = None,
             progress: Callable[[float], None] | bool | None = None, seed: int | None = None) -> Result:
    """Run the transient analysis of a netlist (text, path or parsed Circuit).

    ``tolerance`` is the local error bound per step on node phases in
    radians; ``fixed_step`` (seconds) switches the error control off and
    runs every step at that length.  ``progress`` is called with the
    fraction done from time to time, ending at 1.0; ``progress=True`` shows
    a bar (tqdm's, in a notebook too, when tqdm is installed).  ``seed``
    fixes thermal noise and process spread (see :func:`prepare`).
    """
    prepared = prepare(netlist, tolerance=tolerance, fixed_step=fixed_step, max_step=max_step,
                       ramp=ramp, order=order, seed=seed)
    return run_prepared(prepared, progress)


@dataclass
class Prepared:
    """A circuit read, built and bound once, ready to be run (again) by :func:`run_prepared`.

    To re-run with changed values, change an element's ``params`` (or a
    source's ``scale``) in ``built.elements`` and call its ``UpdateParameters()``.
    """

    circuit: Circuit
    settings: Settings
    built: BuiltCircuit
    #: Seed of noise and spread (None when the circuit has neither).
    seed: int | None = None
    #: Spread factor drawn for each element, by name.
    drawn: dict[str, float] = field(default_factory=dict)
    #: Held while a run uses the built circuit's state arrays: runs of one
    #: Prepared from several threads take turns.
    running: threading.Lock = field(default_factory=threading.Lock, init=False, repr=False, compare=False)


def prepare(netlist: str | Circuit, *, tolerance: float | None = None, fixed_step: float | None = None,
            max_step: float | None = None, ramp: float | None = None,
            order: int | None = None, seed: int | None = None) -> Prepared:
    """Read (unless given a Circuit), check the settings and build the circuit.

    With ``.temp``/``.spread`` (or per-element ``temp=``/``spread=``, or
    NOISE sources) the run draws random numbers from ``seed``, else from
    ``.options seed=``, else from a fresh one recorded in the result: the
    same seed gives the same run.  Spread values are drawn here, once.
    """
    circuit = netlist if isinstance(netlist, Circuit) else load(netlist)
    drawn: dict[str, float] = {}
    if noise.wants_seed(circuit):
        if seed is None:
            if "seed" in circuit.options:
                seed = int(circuit.options["seed"])
            else:
                import secrets

                seed = secrets.randbits(63)
        circuit, drawn = apply_spread(circuit, seed)
        circuit = noise.add_noise_sources(circuit, seed)
    else:
        seed = None
    settings = settings_for(circuit, tolerance, fixed_step, max_step, ramp, order)
    return Prepared(circuit, settings, build(circuit), seed, drawn)


def run_prepared(prepared: Prepared, progress: Callable[[float], None] | bool | None = None) -> Result:
    """One transient run of a prepared circuit, from rest; may be called again.

    ``progress`` is a callable given the fraction done (from 0.0, never
    decreasing, ending at exactly 1.0), or True for a progress bar.
    """
    with prepared.running:
        return _run_prepared(prepared, progress)


def _run_prepared(prepared: Prepared, progress: Callable[[float], None] | bool | None) -> Result:
    circuit, settings, built = prepared.circuit, prepared.settings, prepared.built
    reset_state(built)
    recorder = Recorder(built, circuit.probes, settings.start)
    display = _progress_display() if progress is True else None
    report = Monotone(display or progress) if progress else None
    assert circuit.transient is not None
    try:
        if report is not None:
            report(0.0)
        output = engine.run(built, settings, recorder.channels(), report, recorder.recorded_elements())
        if report is not None:
            report.finish()
    except KeyboardInterrupt as interrupt:
        # What the loop had accepted is kept; the caller decides what to write.
        so_far = getattr(interrupt, "output", None)
        if so_far is None:
            raise
        partial = recorder.finish(circuit.title, so_far, circuit.transient.step)
        partial.interrupted = True
        partial.seed, partial.drawn = prepared.seed, dict(prepared.drawn)
        raise Interrupted(partial) from None
    finally:
        if display is not None:
            display.close()
    result = recorder.finish(circuit.title, output, circuit.transient.step)
    result.seed, result.drawn = prepared.seed, dict(prepared.drawn)
    return result

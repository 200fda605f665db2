"""``simulate``: netlist text or file in, :class:`Result` out."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

from . import units
from .builder import BuiltCircuit, build, reset_state
from .circuit import Circuit
from .engine import Engine, Settings
from .errors import Interrupted, Location, NetlistError, SimulationError
from .netlist import parse_netlist, read_netlist
from .results import Recorder, Result
from .settings_check import check_settings, source_breakpoints
from .waveforms import MAX_BREAKPOINTS

#: Local error bound per step on node phases (radians) unless the netlist sets `tol`.
DEFAULT_TOLERANCE = 1e-4
#: Order of the BDF integration formula.
DEFAULT_ORDER = 2
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
    if ramp is None:
        ramp = options.get("ramp", DEFAULT_RAMP if _starts_live(circuit) else 0.0)
    if order is None:
        order = options.get("order", DEFAULT_ORDER)
    limit = options.get("maxbreakpoints", MAX_BREAKPOINTS)
    check_settings(circuit, {"tol": tolerance, "fixedstep": fixed_step, "maxstep": max_step,
                             "ramp": ramp, "order": order, "maxbreakpoints": limit},
                   {name for name, value in given.items() if value is not None})
    order = int(order)
    breakpoints = source_breakpoints(circuit, limit)
    core = lambda seconds: units.to_core(seconds, "time")  # noqa: E731
    return Settings(stop=core(tran.stop), start=core(tran.start), tolerance=tolerance,
                    max_step=core(max_step), fixed_step=core(fixed_step), ramp=core(ramp),
                    order=order, breakpoints=tuple(core(b) for b in breakpoints))


def _starts_live(circuit: Circuit) -> bool:
    return any(e.waveform is not None and e.waveform.value(0.0) != 0.0 for e in circuit.elements)


def simulate(netlist: str | Circuit, *, tolerance: float | None = None, fixed_step: float | None = None,
             max_step: float | None = None, ramp: float | None = None, order: int | None = None,
             progress: Callable[[float], None] | None = None) -> Result:
    """Run the transient analysis of a netlist (text, path or parsed Circuit).

    ``tolerance`` is the local error bound per step on node phases in
    radians; ``fixed_step`` (seconds) switches the error control off and
    runs every step at that length.  ``progress`` is called with the
    fraction done from time to time.
    """
    prepared = prepare(netlist, tolerance=tolerance, fixed_step=fixed_step, max_step=max_step,
                       ramp=ramp, order=order)
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


def prepare(netlist: str | Circuit, *, tolerance: float | None = None, fixed_step: float | None = None,
            max_step: float | None = None, ramp: float | None = None,
            order: int | None = None) -> Prepared:
    """Read (unless given a Circuit), check the settings and build the circuit."""
    circuit = netlist if isinstance(netlist, Circuit) else load(netlist)
    settings = settings_for(circuit, tolerance, fixed_step, max_step, ramp, order)
    return Prepared(circuit, settings, build(circuit))


def run_prepared(prepared: Prepared, progress: Callable[[float], None] | None = None) -> Result:
    """One transient run of a prepared circuit, from rest; may be called again."""
    circuit, settings, built = prepared.circuit, prepared.settings, prepared.built
    reset_state(built)
    recorder = Recorder(built, circuit.probes, settings.start)
    engine = Engine(built, settings, recorder, progress)
    assert circuit.transient is not None
    try:
        stats = engine.run()
    except KeyboardInterrupt:
        # Whatever the engine had accepted is kept; the caller decides what to write.
        partial = recorder.finish(circuit.title, engine.events, engine.stats, circuit.transient.step)
        partial.interrupted = True
        raise Interrupted(partial) from None
    except ArithmeticError as exc:
        # A numerical fault inside the stepper is still a failed run, not a crash.
        t = units.to_si(recorder.times[recorder.rows - 1], "time") if recorder.rows else 0.0
        raise SimulationError(f"numerical failure after t = {t * 1e12:.6g} ps "
                              f"({type(exc).__name__}: {exc})") from exc
    return recorder.finish(circuit.title, engine.events, stats, circuit.transient.step)

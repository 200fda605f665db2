"""Source waveforms in SI units, with the breakpoints the stepper must land on."""
from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import Callable

#: Most corners one netlist's sources may ask the stepper to land on.
MAX_BREAKPOINTS = 1_000_000


class TooManyBreakpoints(ValueError):
    """A waveform would have more corners before the stop time than allowed."""


class Waveform:
    """A source value as a function of time (both SI).

    The function itself is compiled (``transient/waveform.hpp``), where the
    time loop evaluates it; a subclass holds the parameters and gives them
    to it through :meth:`native`.
    """

    def value(self, t: float) -> float:
        return self.at_times([t])[0]

    def at_times(self, times) -> list[float]:
        """The compiled waveform at several SI times."""
        from . import Transient

        kind, params = self.native()
        return Transient.waveform_values(kind, params, [float(t) for t in times])

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        """Times in [0, t_stop] where the waveform has a corner (at most ``limit`` of them)."""
        return []

    def is_constant(self) -> bool:
        return False

    def native(self) -> tuple[int, list[float]]:
        """Kind code and parameters of the compiled loop's copy (transient/waveform.hpp)."""
        raise NotImplementedError(f"{type(self).__name__} has no compiled form")


@dataclass
class Constant(Waveform):
    level: float

    def value(self, t: float) -> float:
        return self.level

    def is_constant(self) -> bool:
        return True


@dataclass
class PiecewiseLinear(Waveform):
    """PWL(t1 v1 t2 v2 ...): held at v1 before t1 and at the last value after."""

    times: list[float]
    values: list[float]

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        points = [t for t in self.times if 0.0 <= t <= t_stop]
        if len(points) > limit:
            raise TooManyBreakpoints(len(points))
        return points

    def native(self) -> tuple[int, list[float]]:
        return 1, list(self.times) + list(self.values)


@dataclass
class Pulse(Waveform):
    """PULSE(v1 v2 td tr tf pw per): trapezoids from v1 to v2, repeated every per."""

    v1: float
    v2: float
    delay: float = 0.0
    rise: float = 0.0
    fall: float = 0.0
    width: float = math.inf
    period: float = math.inf

    def _corners(self) -> list[float]:
        return [0.0, self.rise, self.rise + self.width, self.rise + self.width + self.fall]

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        # Counted before listed: a tiny period must not fill the memory first.
        if math.isfinite(self.period) and self.period > 0 and t_stop >= self.delay:
            periods = (t_stop - self.delay) / self.period + 1.0
            if 4.0 * periods > limit:
                raise TooManyBreakpoints(periods)
        points = []
        start = self.delay
        while start <= t_stop:
            points.extend(start + c for c in self._corners() if math.isfinite(c))
            if not (math.isfinite(self.period) and self.period > 0):
                break
            start += self.period
        return [t for t in points if t <= t_stop]

    def native(self) -> tuple[int, list[float]]:
        return 2, [self.v1, self.v2, self.delay, self.rise, self.fall, self.width, self.period]


@dataclass
class Sine(Waveform):
    """SIN(vo va freq [td [theta]]): vo until td, then a damped sine."""

    offset: float
    amplitude: float
    frequency: float
    delay: float = 0.0
    damping: float = 0.0

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        return [self.delay] if 0.0 < self.delay <= t_stop else []

    def native(self) -> tuple[int, list[float]]:
        return 3, [self.offset, self.amplitude, self.frequency, self.delay, self.damping]


@dataclass
class Exponential(Waveform):
    """EXP(v1 v2 td1 tau1 td2 tau2): rise towards v2 from td1, back towards v1 from td2."""

    v1: float
    v2: float
    delay_rise: float
    tau_rise: float
    delay_fall: float
    tau_fall: float

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        return [t for t in (self.delay_rise, self.delay_fall) if 0.0 < t <= t_stop]

    def native(self) -> tuple[int, list[float]]:
        return 5, [self.v1, self.v2, self.delay_rise, self.tau_rise, self.delay_fall, self.tau_fall]


@dataclass
class PiecewiseSmooth(PiecewiseLinear):
    """PWS(t1 v1 t2 v2 ...): the PWL points joined by smoothsteps (zero slope at every point)."""

    def native(self) -> tuple[int, list[float]]:
        return 6, list(self.times) + list(self.values)


#: Interpolation modes of a CUS waveform file.
CUSTOM_INTERPOLATIONS = {0: "hold", 1: "linear", 2: "cubic"}


@dataclass
class Custom(Waveform):
    """CUS(file ts sf im [td [per]]): samples every ts seconds, scaled by sf, from td on.

    Zero before td; after the last sample it holds the last value, or, with
    per=1, repeats the pattern.  im: 0 holds each sample, 1 interpolates
    linearly, 2 with cubic Hermite segments (Catmull-Rom slopes).
    """

    samples: list[float]
    step: float
    interpolation: int = 1
    delay: float = 0.0
    periodic: bool = False

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        return [self.delay] if 0.0 < self.delay <= t_stop else []

    def native(self) -> tuple[int, list[float]]:
        return 7, [self.step, float(self.interpolation), self.delay, float(self.periodic)] + list(self.samples)


@dataclass
class WaveformContext:
    """What a source form may need beyond its own values: the run's times, files, a seed."""

    step: float | None = None
    stop: float | None = None
    base_dir: str = "."
    name: str = ""
    #: Largest CUS file read (bytes): a waveform is a line of numbers, not a data set.
    max_file_bytes: int = field(default=64 * 1024 * 1024)


FORMS = ("pwl", "pulse", "sin", "exp", "pws", "cus", "noise")


def _run_time(context: WaveformContext, which: str, form: str) -> float:
    value = context.step if which == "step" else context.stop
    if value is None:
        raise ValueError(f"{form.upper()} needs .tran for its default {which} time", form)
    return value


def parse_waveform(tokens: list[str], number: Callable[[str], float],
                   context: WaveformContext | None = None) -> Waveform:
    """A source's value tokens (``5u``, ``DC 5u``, ``PWL ( ... )`` ...) as a waveform.

    Raises ValueError(message, offending text).
    """
    context = context or WaveformContext()
    depth = 0
    for token in tokens:
        depth += {"(": 1, ")": -1}.get(token, 0)
        if depth < 0 or depth > 1:
            raise ValueError("unbalanced parentheses", " ".join(tokens))
    if depth:
        raise ValueError("missing ')'", " ".join(tokens))
    words = [t for t in tokens if t not in ("(", ")")]
    if not words:
        raise ValueError("source needs a value", " ".join(tokens))
    head = words[0].lower()
    if head == "dc":
        if len(words) == 2:
            return Constant(number(words[1]))
        if len(words) > 2 and words[2].lower() in FORMS:
            return parse_waveform(tokens[tokens.index(words[2]):], number, context)
        raise ValueError("DC needs one value", " ".join(words))
    if head not in FORMS:
        if len(words) != 1:
            raise ValueError("unexpected token after source value", words[1])
        return Constant(number(words[0]))
    if head == "cus":
        return _custom(words, number, context)
    args = [number(w) for w in words[1:]]
    if head in ("pwl", "pws"):
        if len(args) < 2 or len(args) % 2:
            raise ValueError(f"{head.upper()} needs time-value pairs", " ".join(words[1:]) or head)
        times, values = args[0::2], args[1::2]
        if not all(math.isfinite(x) for x in args):
            raise ValueError("PWL values must be finite numbers", " ".join(words[1:]))
        if any(b < a for a, b in zip(times, times[1:])):
            raise ValueError(f"{head.upper()} times must not decrease", " ".join(words[1:]))
        return PiecewiseLinear(times, values) if head == "pwl" else PiecewiseSmooth(times, values)
    if head == "pulse":
        if not 2 <= len(args) <= 7:
            raise ValueError("PULSE needs v1 v2 [td tr tf pw per]", " ".join(words))
        defaults = [0.0, 0.0, 0.0, 0.0, 0.0, math.inf, math.inf]
        if not all(math.isfinite(x) for x in args):
            raise ValueError("PULSE values must be finite numbers", " ".join(words))
        v1, v2, td, tr, tf, pw, per = args + defaults[len(args):]
        if min(tr, tf, pw, per) < 0:
            raise ValueError("PULSE rise, fall, width and period must not be negative", " ".join(words))
        return Pulse(v1, v2, td, tr, tf, pw, per)
    if head == "exp":
        return _exponential(args, words, context)
    if head == "noise":
        if len(args) != 3:
            raise ValueError("NOISE needs amplitude td tstep", " ".join(words))
        if args[2] <= 0:
            raise ValueError("NOISE tstep must be positive", words[3])
        # Thermal noise's generator; the seed is set when the run is prepared.
        from .noise import density_source

        return density_source(0, context.name, args[0], args[2], args[1])
    if not 2 <= len(args) <= 5:
        raise ValueError("SIN needs vo va [freq [td [theta]]]", " ".join(words))
    if len(args) == 2:
        # The dialect's default: one period over the whole run.
        args.append(1.0 / _run_time(context, "stop", head))
    return Sine(*args)


def _exponential(args: list[float], words: list[str], context: WaveformContext) -> Exponential:
    if not 2 <= len(args) <= 6:
        raise ValueError("EXP needs v1 v2 [td1 [tau1 [td2 [tau2]]]]", " ".join(words))
    v1, v2 = args[0], args[1]
    td1 = args[2] if len(args) > 2 else 0.0
    needs_step = len(args) < 6
    step = _run_time(context, "step", "exp") if needs_step else 0.0
    tau1 = args[3] if len(args) > 3 else step
    td2 = args[4] if len(args) > 4 else td1 + step
    tau2 = args[5] if len(args) > 5 else step
    if tau1 <= 0 or tau2 <= 0:
        raise ValueError("EXP time constants must be positive", " ".join(words))
    if td2 < td1:
        raise ValueError("EXP td2 must not precede td1", " ".join(words))
    return Exponential(v1, v2, td1, tau1, td2, tau2)


def _custom(words: list[str], number: Callable[[str], float], context: WaveformContext) -> Custom:
    if not 5 <= len(words) <= 7:
        raise ValueError("CUS needs wavefile ts sf im [td [per]]", " ".join(words))
    path = words[1].strip("'\"")
    full = path if os.path.isabs(path) else os.path.join(context.base_dir, path)
    step, scale, mode = (number(w) for w in words[2:5])
    delay = number(words[5]) if len(words) > 5 else 0.0
    periodic = number(words[6]) if len(words) > 6 else 0.0
    if step <= 0:
        raise ValueError("CUS time step must be positive", words[2])
    if mode not in CUSTOM_INTERPOLATIONS:
        raise ValueError("CUS interpolation must be 0 (hold), 1 (linear) or 2 (cubic)", words[4])
    if periodic not in (0.0, 1.0):
        raise ValueError("CUS per must be 0 or 1", words[6])
    try:
        if os.path.getsize(full) > context.max_file_bytes:
            raise ValueError("CUS waveform file is too large", path)
        with open(full, encoding="utf-8") as handle:
            text = handle.read()
    except OSError as exc:
        raise ValueError(f"cannot read CUS waveform file ({exc.strerror})", path) from None
    except UnicodeDecodeError:
        raise ValueError("CUS waveform file is not text", path) from None
    samples = []
    for word in text.split():
        try:
            samples.append(float(word) * scale)
        except ValueError:
            raise ValueError("CUS waveform file holds a non-number", word) from None
        if not math.isfinite(samples[-1]):
            raise ValueError("CUS waveform file holds a non-finite number", word)
    if not samples:
        raise ValueError("CUS waveform file holds no numbers", path)
    return Custom(samples, step, int(mode), delay, periodic == 1.0)

"""Source waveforms in SI units, with the breakpoints the stepper must land on."""
from __future__ import annotations

import bisect
import math
from dataclasses import dataclass
from typing import Callable

#: Most corners one netlist's sources may ask the stepper to land on.
MAX_BREAKPOINTS = 1_000_000


class TooManyBreakpoints(ValueError):
    """A waveform would have more corners before the stop time than allowed."""


class Waveform:
    """A source value as a function of time (both SI)."""

    def value(self, t: float) -> float:
        raise NotImplementedError

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        """Times in [0, t_stop] where the waveform has a corner (at most ``limit`` of them)."""
        return []

    def is_constant(self) -> bool:
        return False


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

    def value(self, t: float) -> float:
        times = self.times
        k = bisect.bisect_right(times, t)
        if k == 0:
            return self.values[0]
        if k == len(times):
            return self.values[-1]
        t0, t1 = times[k - 1], times[k]
        v0, v1 = self.values[k - 1], self.values[k]
        return v0 + (v1 - v0) * (t - t0) / (t1 - t0)

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        points = [t for t in self.times if 0.0 <= t <= t_stop]
        if len(points) > limit:
            raise TooManyBreakpoints(len(points))
        return points


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

    def value(self, t: float) -> float:
        if t < self.delay:
            return self.v1
        local = t - self.delay
        if math.isfinite(self.period) and self.period > 0:
            local = math.fmod(local, self.period)
        _, r, w_end, f_end = self._corners()
        if local < r:
            return self.v1 + (self.v2 - self.v1) * local / r
        if local <= w_end:
            return self.v2
        if local < f_end:
            return self.v2 + (self.v1 - self.v2) * (local - w_end) / self.fall
        return self.v1

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


@dataclass
class Sine(Waveform):
    """SIN(vo va freq [td [theta]]): vo until td, then a damped sine."""

    offset: float
    amplitude: float
    frequency: float
    delay: float = 0.0
    damping: float = 0.0

    def value(self, t: float) -> float:
        if t < self.delay:
            return self.offset
        local = t - self.delay
        return self.offset + self.amplitude * math.exp(-self.damping * local) * math.sin(
            2.0 * math.pi * self.frequency * local)

    def breakpoints(self, t_stop: float, limit: int = MAX_BREAKPOINTS) -> list[float]:
        return [self.delay] if 0.0 < self.delay <= t_stop else []


def parse_waveform(tokens: list[str], number: Callable[[str], float]) -> Waveform:
    """A source's value tokens (``5u``, ``DC 5u``, ``PWL ( ... )`` ...) as a waveform.

    Raises ValueError(message, offending text).
    """
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
        if len(words) > 2 and words[2].lower() in ("pwl", "pulse", "sin"):
            return parse_waveform(tokens[tokens.index(words[2]):], number)
        raise ValueError("DC needs one value", " ".join(words))
    if head not in ("pwl", "pulse", "sin"):
        if len(words) != 1:
            raise ValueError("unexpected token after source value", words[1])
        return Constant(number(words[0]))
    args = [number(w) for w in words[1:]]
    if head == "pwl":
        if len(args) < 2 or len(args) % 2:
            raise ValueError("PWL needs time-value pairs", " ".join(words[1:]) or head)
        times, values = args[0::2], args[1::2]
        if not all(math.isfinite(x) for x in args):
            raise ValueError("PWL values must be finite numbers", " ".join(words[1:]))
        if any(b < a for a, b in zip(times, times[1:])):
            raise ValueError("PWL times must not decrease", " ".join(words[1:]))
        return PiecewiseLinear(times, values)
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
    if not 3 <= len(args) <= 5:
        raise ValueError("SIN needs vo va freq [td [theta]]", " ".join(words))
    return Sine(*args)

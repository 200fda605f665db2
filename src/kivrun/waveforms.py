"""Source waveforms in SI units, with the breakpoints the stepper must land on."""
from __future__ import annotations

import bisect
import math
from dataclasses import dataclass


class Waveform:
    """A source value as a function of time (both SI)."""

    def value(self, t: float) -> float:
        raise NotImplementedError

    def breakpoints(self, t_stop: float) -> list[float]:
        """Times in [0, t_stop] where the waveform has a corner."""
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

    def breakpoints(self, t_stop: float) -> list[float]:
        return [t for t in self.times if 0.0 <= t <= t_stop]


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

    def breakpoints(self, t_stop: float) -> list[float]:
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

    def breakpoints(self, t_stop: float) -> list[float]:
        return [self.delay] if 0.0 < self.delay <= t_stop else []

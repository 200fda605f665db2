"""The flux-quantum counter kept by every junction's Values.

Two junctions watch one node: junction 0 from node 1 to ground sees the
node's phase φ, junction 1 from ground to node 1 sees −φ, so every check
also shows the count's sign symmetry.
"""
import math

import numpy as np
import pytest

from kivrun import kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

TWO_PI = 6.283185307179586
INT32_MAX = 2**31 - 1
JUNCTIONS = {
    sw.JunctionModel: [1.0, 1.0, 1.0],
    sw.JunctionRSJNModel: [1.0, 1.0, 4.3, 10.0, 1.0],
    sw.JunctionRSJPHModel: [1.0, 1.0, 1.0, 0.0],
}


class Counter:
    def __init__(self, host, cls=sw.JunctionModel, histeresis=0.1):
        self.h = host(unknowns=1, elements=3)
        models = [cls(1, 0, 0), cls(0, 1, 1)]
        for m in models:
            m.InitModel(0, 0, 0, 0)
            m.SetParameters(JUNCTIONS[cls])
        self.h.register(*models)
        self.h.set_step(histeresis=histeresis)

    def set(self, n=0, inc=0, dec=0):
        kvglobals.ElementN[:2] = [n, -n]
        kvglobals.ElementInc[:2] = [inc, dec]
        kvglobals.ElementDec[:2] = [dec, inc]

    def update(self, phase, histeresis=None, mirror=True):
        """(n, inc, dec) of the junction that sees +phase, after one UpdateValues."""
        if histeresis is not None:
            self.h.set_step(histeresis=histeresis)
        kvglobals.NodePhase[0] = phase
        self.h.values()
        n, inc, dec = (int(a[0]) for a in (kvglobals.ElementN, kvglobals.ElementInc,
                                           kvglobals.ElementDec))
        mirrored = (int(kvglobals.ElementN[1]), int(kvglobals.ElementDec[1]),
                    int(kvglobals.ElementInc[1]))
        if mirror and not math.isnan(phase):
            assert mirrored == (-n, inc, dec), "the count of −φ is minus the count of φ"
        return n, inc, dec


class TestSinglePoints:
    @pytest.mark.parametrize("cls", list(JUNCTIONS))
    def test_rounded_count_with_direction_flags(self, host, cls):
        c = Counter(host, cls, histeresis=0.1)
        c.set(0)
        assert c.update(7.0) == (1, 1, 0)
        c.set(0)
        assert c.update(-7.0) == (-1, 0, 1)

    def test_dead_band_depends_on_the_histeresis(self, host):
        c = Counter(host)
        c.set(1, inc=1)
        assert c.update(10.0, histeresis=0.1) == (2, 1, 0)  # x ≈ 1.5915: outside the band
        c.set(1, inc=1)
        assert c.update(10.0, histeresis=0.05) == (1, 0, 0)  # inside: held, flags cleared

    def test_zero_histeresis_rounds_halves_up(self, host):
        c = Counter(host, histeresis=0.0)
        c.set(0)
        assert c.update(math.pi) == (1, 1, 0)  # x exactly 0.5
        c.set(0)
        assert c.update(3.2) == (0, 0, 0)  # x ≈ 0.509: dead band
        c.set(0, inc=1)
        assert c.update(3.0) == (0, 0, 0)

    def test_jump_of_two_quanta_in_one_call(self, host):
        c = Counter(host, histeresis=-0.25)
        c.set(0)
        assert c.update(0.1) == (0, 0, 0)
        assert c.update(4 * math.pi + 0.1) == (2, 1, 0)
        assert c.update(0.1) == (0, 0, 1)

    def test_second_call_on_same_solution_clears_the_flags(self, host):
        c = Counter(host)
        c.set(0)
        assert c.update(7.0) == (1, 1, 0)
        assert c.update(7.0) == (1, 0, 0)
        assert c.update(-7.0) == (-1, 0, 1)
        assert c.update(-7.0) == (-1, 0, 0)

    def test_nan_phase_holds_the_count_and_clears_the_flags(self, host):
        c = Counter(host)
        c.set(5, inc=1, dec=1)
        kvglobals.ElementN[2] = 77  # an element without a model: untouched
        assert c.update(float("nan")) == (5, 0, 0)
        assert list(kvglobals.ElementN) == [5, -5, 77]
        assert kvglobals.ElementInc[1] == 0 and kvglobals.ElementDec[1] == 0

    def test_nan_histeresis_never_holds(self, host):
        c = Counter(host, histeresis=float("nan"))
        c.set(0)
        assert c.update(3.2) == (1, 1, 0)  # would be held under any band of 0 or less

    def test_count_beyond_32_bits_saturates_with_the_phase_sign(self, host):
        # A band of 0.5 vanishes, so the count is taken whatever the rounding
        # of these huge phases; the 32-bit range is not symmetric.
        c = Counter(host, histeresis=0.5)
        c.set(0)
        assert c.update(TWO_PI * 3e9, mirror=False) == (INT32_MAX, 1, 0)
        assert list(kvglobals.ElementN[:2]) == [INT32_MAX, -(2**31)]
        assert c.update(TWO_PI * (2**31 - 1), mirror=False) == (INT32_MAX, 0, 0)
        assert kvglobals.ElementN[1] == -(2**31) + 1  # the largest count that fits, both signs
        assert c.update(-TWO_PI * 1e12, mirror=False) == (-(2**31), 0, 1)
        assert kvglobals.ElementN[1] == INT32_MAX


def sweep_events(c, histeresis, top=2.6, dx=1e-3, offset=3e-4):
    """Slow sweep of x = |phase| / 2π from 0 to `top` and back; the x at which n changed."""
    up = np.arange(offset, top, dx)
    events = []
    c.set(0)
    c.h.set_step(histeresis=histeresis)
    for direction, xs in (("up", up), ("down", up[::-1])):
        n_prev = None
        for x in xs:
            n, inc, dec = c.update(x * TWO_PI)
            if n_prev is not None and n != n_prev:
                assert abs(n - n_prev) == 1 and (inc, dec) == ((1, 0) if n > n_prev else (0, 1))
                events.append((direction, n, x))
            elif n_prev is not None:
                assert (inc, dec) == (0, 0)
            n_prev = n
    return events


@pytest.mark.parametrize("histeresis", [-0.25, 0.0, 0.05, 0.1])
def test_switching_points_on_slow_sweeps(host, histeresis):
    c = Counter(host)
    events = sweep_events(c, histeresis)
    # Below zero the band makes a loop: up at whole quanta, down at k + 0.5 + h.
    # At zero, up when x passes a whole quantum, down below k + 0.5.  Above zero
    # the count is the nearest integer and switches at k + 0.5 both ways.
    up_at = (lambda k: k + 1.0) if histeresis <= 0 else (lambda k: k + 0.5)
    down_at = (lambda k: k + 0.5 + histeresis) if histeresis < 0 else (lambda k: k + 0.5)
    expected = [("up", k + 1, up_at(k)) for k in range(3) if up_at(k) < 2.6]
    expected += [("down", k, down_at(k)) for k in reversed(range(3)) if up_at(k) < 2.6]
    assert [e[:2] for e in events] == [e[:2] for e in expected]
    for (direction, _, x), (_, _, at) in zip(events, expected):
        if direction == "up":
            assert at <= x < at + 1e-3
        else:
            assert at - 1e-3 < x <= at


def test_histeresis_minus_quarter_loop_points(host):
    c = Counter(host)
    events = [(d, n, round(x, 2)) for d, n, x in sweep_events(c, -0.25)]
    assert events == [("up", 1, 1.0), ("up", 2, 2.0), ("down", 1, 1.25), ("down", 0, 0.25)]

"""Margins, yield and sweeps: the criterion, value changes, search, statistics, execution."""
from __future__ import annotations

import math
from statistics import NormalDist

import numpy as np
import pytest

from analysis_support import DIVIDER, BelowVoltage, jtl
from kivrun.criteria import EventDelay, SameEvents, events_match
from kivrun.execution import Job, nominal_variation, pass_fail_job, run_change
from kivrun.margin_search import _grid, margins
from kivrun.montecarlo import estimate_yield, wilson_interval
from kivrun.results import Event
from kivrun.grid_sweep import sweep

P = 1e-12
NOMINAL = [Event(10 * P, "B1", 1), Event(30 * P, "B1", -1), Event(12 * P, "B2", 1), Event(11 * P, "P1", 1)]


@pytest.mark.parametrize("actual, passes", [
    (NOMINAL, True),
    # within the window; the source's own events are not looked at
    ([Event(14.9 * P, "B1", 1), Event(26 * P, "B1", -1), Event(12 * P, "b2", 1)], True),
    ([Event(15.1 * P, "B1", 1), Event(30 * P, "B1", -1), Event(12 * P, "B2", 1)], False),
    ([Event(10 * P, "B1", 1), Event(30 * P, "B1", 1), Event(12 * P, "B2", 1)], False),  # sign
    ([Event(10 * P, "B1", 1), Event(30 * P, "B1", -1)], False),  # B2 never switched
    (NOMINAL + [Event(50 * P, "B2", 1)], False),  # one event too many
    (NOMINAL + [Event(50 * P, "B3", 1)], False),  # a junction quiet in the nominal run
    (NOMINAL + [Event(50 * P, "P1", 1)], True),
])
def test_event_criterion(actual, passes):
    assert events_match(NOMINAL, actual, ["B1", "B2", "B3"], window=5 * P) is passes


def _first_events(text: str, change=None) -> list[Event]:
    return run_change(Job.from_netlist(text), change or {}).events


@pytest.mark.parametrize("change, edited", [
    ({"B*": 1.2}, jtl(area=1.2)),  # junction area: Ic, C times m, R divided by m
    ({"bias": 0.8}, jtl(**{"ibias=175uA": "ibias=140uA"})),
    ({"ibias": 0.8}, jtl(**{"ibias=175uA": "ibias=140uA"})),  # a .param: netlist read again
    ({"L1.X2": 1.5, "L1.X3": 1.5}, jtl(**{"X2 stage 2 3": "X2 stage 2 3 lstage=3pH",
                                          "X3 stage 3 4": "X3 stage 3 4 lstage=3pH",
                                          ".subckt stage in out": ".subckt stage in out lstage=2pH"})),
])
def test_change_equals_edited_netlist(change, edited):
    changed = _first_events(jtl(), change)
    expected = _first_events(edited)
    assert [(e.element, e.direction) for e in changed] == [(e.element, e.direction) for e in expected]
    assert np.allclose([e.time for e in changed], [e.time for e in expected], rtol=0, atol=1e-16)
    # and the nominal values are back afterwards
    again = _first_events(jtl())
    nominal = _first_events(jtl(), {})
    assert [e.time for e in again] == [e.time for e in nominal]


def test_bias_moves_only_dc_sources():
    variation = nominal_variation(Job.from_netlist(jtl()))
    assert sorted(variation.built.elements[k].name for k in variation.indices("bias")) == \
        [f"IB.X{k}" for k in range(1, 5)]
    assert variation.is_param("lstage") and not variation.is_param("L1.X1")


def _brute_force(job: Job, target: str, limit: float, resolution: float) -> float:
    point, last = _grid(limit, resolution)
    good = 1.0
    for k in range(1, last + 1):
        if not job.evaluate(run_change(job, {target: point(k)})):
            break
        good = point(k)
    return good


@pytest.mark.parametrize("coarse", [0.0, 0.1])
def test_bisection_equals_scan(coarse):
    resolution = 0.02
    table = margins(jtl(), ["bias"], resolution=resolution, coarse=coarse, workers=1)
    job, _ = pass_fail_job(jtl(), None, 5e-12, {})
    row = table.rows[0]
    assert row.lower == _brute_force(job, "bias", 0.0, resolution)
    assert row.upper == _brute_force(job, "bias", 2.0, resolution)
    # a JTL with no bias cannot pass a pulse; at twice its bias it switches by itself
    assert 0.2 < row.lower < 1.0 < row.upper < 2.0 and not (row.lower_open or row.upper_open)


def test_yield_matches_gaussian_threshold():
    # V(1) = 1 mV·m < 1.05 mV passes: yield = Φ(0.05/σ) for m = 1 + σ·N(0,1).
    sigma, runs = 0.04, 300
    result = estimate_yield(DIVIDER, runs, seed=7, spread=[("R1", sigma)], criterion=BelowVoltage(1.05e-3),
                            confidence=0.99, workers=1)
    low, high = result.interval
    assert low < NormalDist().cdf(0.05 / sigma) < high
    assert all(drawn["R1"] >= 1.05 for _, drawn in result.failures)
    assert len(result.failures) == runs - result.passed > 0
    # run k draws the same values whatever the number of runs
    fewer = estimate_yield(DIVIDER, 40, seed=7, spread=[("R1", sigma)], criterion=BelowVoltage(1.05e-3),
                           workers=1)
    assert fewer.failures == [f for f in result.failures if f[0] < 40]


def test_wilson_interval_by_hand():
    low, high = wilson_interval(8, 10, 0.95)
    assert math.isclose(low, 0.4902, abs_tol=1e-4) and math.isclose(high, 0.9433, abs_tol=1e-4)
    assert wilson_interval(10, 10)[1] == 1.0


def test_sweep_delay_falls_with_bias():
    result = sweep(jtl(), [("bias", [0.8, 1.0, 1.2])], EventDelay("B1.X1", "B1.X4"), workers=1)
    delays = result.values
    assert np.all(np.isfinite(delays)) and np.all(np.diff(delays) < 0)
    nominal = _first_events(jtl())
    times = {e.element: e.time for e in nominal}
    assert math.isclose(delays[1], times["B1.X4"] - times["B1.X1"], rel_tol=1e-12)


def test_local_pool_matches_in_process():
    kwargs = dict(resolution=0.05, workers=1)
    assert margins(jtl(), ["bias", "B*"], **kwargs).rows == \
        margins(jtl(), ["bias", "B*"], **{**kwargs, "workers": 2}).rows


def test_bad_target_is_a_netlist_error():
    from kivrun import NetlistError

    with pytest.raises(NetlistError, match="no element matches"):
        margins(jtl(), ["Q*"], workers=1)


def test_same_events_is_picklable():
    import pickle

    criterion = SameEvents(tuple(NOMINAL), frozenset({"b1"}))
    assert pickle.loads(pickle.dumps(criterion)) == criterion


def test_cli_margins_writes_table_and_rejects_bad_range(tmp_path, capsys):
    from kivrun.cli import main

    deck = tmp_path / "jtl.cir"
    deck.write_text(jtl())
    out = tmp_path / "m.csv"
    assert main(["margins", str(deck), "--vary", "bias", "B*", "--resolution", "0.05", "--workers", "1",
                 "--csv", str(out), "-q"]) == 0
    lines = out.read_text().splitlines()
    assert lines[0].startswith("target,lower_pct,upper_pct,critical") and len(lines) == 3
    with pytest.raises(SystemExit) as stop:
        main(["margins", str(deck), "--vary", "bias", "--range", "1.2:2", "--workers", "1", "-q"])
    assert stop.value.code == 2 and "range must hold 1" in capsys.readouterr().err


COUPLED = """* two coupled inductors
I1 0 1 pwl(0 0 5p 100uA)
L1 1 0 4pH
L2 2 0 4pH
R2 2 0 1ohm
K1 L1 L2 0.5
.print i(L2)
.tran 0.1p 20p
.end
"""


def test_scaled_coupled_inductor_keeps_its_coupling():
    changed = run_change(Job.from_netlist(COUPLED), {"L1": 2.0})["I(L2)"]
    edited = run_change(Job.from_netlist(COUPLED.replace("L1 1 0 4pH", "L1 1 0 8pH")), {})["I(L2)"]
    nominal = run_change(Job.from_netlist(COUPLED), {})["I(L2)"]
    assert len(changed) == len(edited) and np.allclose(changed, edited, rtol=1e-9, atol=0)
    assert not np.allclose(changed[-20:], nominal[-20:], rtol=1e-3)


def test_param_override_reevaluates_dependents():
    from kivrun import NetlistError
    from kivrun.netlist import parse_netlist

    text = ".param b={2*a} a=1pH\nL1 1 0 {b}\nR1 1 0 1\n.tran 1p 2p\n"
    assert parse_netlist(text, params={"A": 3e-12}).elements[0].value == pytest.approx(6e-12)
    with pytest.raises(NetlistError, match="no such .param"):
        parse_netlist(text, params={"c": 1.0})


class _Interrupted:
    def __init__(self):
        self.calls = []

    def submit(self, change):
        self.calls.append("submit")
        return len(self.calls)

    def next_done(self):
        raise KeyboardInterrupt

    def cancel(self):
        self.calls.append("cancel")

    def close(self):
        self.calls.append("close")


def test_interrupt_cancels_outstanding_runs():
    from kivrun.execution import drive
    from kivrun.grid_sweep import _point

    runner = _Interrupted()
    with pytest.raises(KeyboardInterrupt):
        drive(runner, (_point({"bias": 1.0}) for _ in range(3)))
    assert runner.calls == ["submit"] * 3 + ["cancel", "close"]


def test_other_simulation_in_between_does_not_confuse_the_cache():
    from kivrun import simulate

    job = Job.from_netlist(jtl())
    before = [e.time for e in run_change(job, {"bias": 0.9}).events]
    simulate(COUPLED)  # binds another circuit's models in this process
    assert [e.time for e in run_change(job, {"bias": 0.9}).events] == before

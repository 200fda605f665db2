"""Mutated example netlists: a result or our own error, within a time and a memory bound.

A few seconds by default (derandomized, so CI sees the same cases);
``KIVRUN_FUZZ_EXAMPLES=2000`` runs that many random cases.
"""
import math
import os
import resource
import signal
import warnings
from pathlib import Path

import pytest

from kivrun.api import simulate
from kivrun.errors import NetlistError, SimulationError
from kivrun.netlist import parse_netlist
from kivrun.results import Result

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

EXAMPLES = sorted((Path(__file__).parent.parent / "src" / "kivrun" / "examples").glob("*.cir"))
HOSTILE = ["nan", "inf", "1e999", "-1", "0", "1e-300", "(", ")", "((((((", "{", "}", "'", '"',
           ",", "=", "-" * 300 + "1", "pwl(", "pulse(0 1u 0 0 0 1e-30 1e-30)", ".include /dev/zero",
           ".include .", "ÿ", "é", "X1", ".subckt", ".ends", "+", ".end", ".param", "{a}",
           "maxstep=0", "fixedstep=-1", "order=7", "tol=nan", ";", "*", "1e308*1e308"]
OPERATIONS = ("delete", "duplicate", "swap", "insert", "drop line", "copy line", "hostile line")
#: Longest simulated time of a case, and the finest step it may ask for.
STOP_CAP = 40e-12
STEPS_CAP = 20_000
CASE_SECONDS = 30
GROWTH_MB = 1024


class _Hang(BaseException):
    """Raised by the watchdog; a BaseException so that no handler swallows it."""


def _mutate(text, operations):
    # Comments are dropped (the title stays): mutating them tests nothing.
    title, *body = text.splitlines()
    lines = [title.split()] + [line.split() for line in body if not line.startswith("*")]
    for operation, i, j, token in operations:
        row = lines[i % len(lines)] if lines else []
        if operation == "delete" and row:
            del row[j % len(row)]
        elif operation == "duplicate" and row:
            row.insert(j % len(row), row[j % len(row)])
        elif operation == "swap" and row:
            other = lines[j % len(lines)]
            if other:
                a, b = i % len(row), j % len(other)
                row[a], other[b] = other[b], row[a]
        elif operation == "insert":
            row.insert(j % (len(row) + 1), token)
        elif operation == "drop line" and lines:
            del lines[i % len(lines)]
        elif operation == "copy line" and lines:
            lines.insert(j % (len(lines) + 1), list(lines[i % len(lines)]))
        elif operation == "hostile line":
            lines.insert(j % (len(lines) + 1), [token])
    return "\n".join(" ".join(row) for row in lines) + "\n"


def _shorten(circuit):
    """Cap the simulated time and the step count so each case stays short."""
    tran = circuit.transient
    if tran is None:
        return
    tran.stop = min(tran.stop, STOP_CAP)
    tran.start = 0.0 if tran.start >= tran.stop else tran.start
    tran.step = max(tran.step, tran.stop / 1000)
    for key in ("fixedstep", "maxstep"):
        value = circuit.options.get(key)
        if value is not None and 0 < value < math.inf:
            circuit.options[key] = max(value, tran.stop / STEPS_CAP)


def _alarm(signum, frame):
    raise _Hang()


def _one_case(text):
    try:
        circuit = parse_netlist(text, "fuzz.cir", str(EXAMPLES[0].parent))
        _shorten(circuit)
        result = simulate(circuit)
    except (NetlistError, SimulationError):
        return
    assert isinstance(result, Result)
    assert len(result.time) and result.time[-1] <= circuit.transient.stop * (1 + 1e-9)


mutations = st.lists(st.tuples(st.sampled_from(OPERATIONS), st.integers(0, 999), st.integers(0, 999),
                               st.sampled_from(HOSTILE)), min_size=1, max_size=5)
_count = os.environ.get("KIVRUN_FUZZ_EXAMPLES")


@hypothesis.settings(max_examples=int(_count or 30), deadline=None, database=None,
                     derandomize=_count is None,
                     suppress_health_check=list(hypothesis.HealthCheck))
@hypothesis.given(example=st.sampled_from(EXAMPLES), operations=mutations)
def test_mutated_examples_end_cleanly(example, operations):
    text = _mutate(example.read_text(encoding="utf-8"), operations)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    previous = signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(CASE_SECONDS)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            _one_case(text)
    except _Hang:
        pytest.fail(f"no end after {CASE_SECONDS} s:\n{text}")
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    assert grown < GROWTH_MB, f"peak memory grew by {grown:.0f} MB:\n{text}"

"""Hostile and broken input: our own error at the right file:line, quickly, in little memory."""
import _thread
import csv
import os
import threading
import time
import tracemalloc

import pytest

from kivrun import cli
from kivrun.api import simulate
from kivrun.errors import Interrupted, NetlistError
from kivrun.netlist_files import MAX_FILE_BYTES

# A valid tail every deck ends with, so only the hostile line is wrong.
TAIL = "R9 1 0 2\nI9 0 1 pwl(0 0 5p 100u)\n.tran 0.5p 10p\n"


def _fails_within(deck, location, fragment, seconds=5.0, megabytes=64, **overrides):
    """simulate(deck) raises NetlistError at ``location`` mentioning ``fragment``, within bounds."""
    tracemalloc.start()
    began = time.perf_counter()
    try:
        with pytest.raises(NetlistError) as info:
            simulate(str(deck), **overrides)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert time.perf_counter() - began < seconds
    assert peak < megabytes * 2**20
    text = str(info.value)
    # An argument of simulate() has no place in the netlist.
    assert text.startswith(f"{location}:" if location else fragment) and fragment in text, text
    return text


def _deck(tmp_path, body, files=None):
    for name, content in (files or {}).items():
        (tmp_path / name).write_bytes(content)
    deck = tmp_path / "deck.cir"
    tail = TAIL if not body.startswith(".tran") else TAIL[:TAIL.index(".tran")]
    deck.write_text("* hostile\n" + body + tail)
    return deck


@pytest.mark.parametrize("include, where, fragment", [
    ("/dev/zero", "deck.cir:2", "not a regular file"),
    (".", "deck.cir:2", "a directory"),
    ("fifo", "deck.cir:2", "not a regular file"),
    ("huge.inc", "deck.cir:2", f"larger than {MAX_FILE_BYTES} bytes"),
    ("latin1.inc", "latin1.inc:2", "not UTF-8 text: 'byte 0xb5'"),
    ("self.inc", "self.inc:1", "nested too deeply"),
])
def test_include_kind_size_and_encoding(tmp_path, include, where, fragment):
    (tmp_path / "latin1.inc").write_bytes(b"R5 1 0 2\nC5 1 0 1\xb5F\n")
    (tmp_path / "self.inc").write_text(".include self.inc\n")
    os.mkfifo(tmp_path / "fifo")
    with open(tmp_path / "huge.inc", "wb") as handle:  # sparse: no disk, no time
        handle.truncate(MAX_FILE_BYTES + 1)
    deck = _deck(tmp_path, f".include {include}\n")
    location = f"{deck}:2" if where == "deck.cir:2" else where
    _fails_within(deck, location, fragment)


def test_includes_that_multiply_hit_the_total_budget(tmp_path):
    # Each level includes the next twice: 2^15 reads unless the total is bounded.
    for level in range(15):
        (tmp_path / f"l{level}.inc").write_text(f".include l{level + 1}.inc\n" * 2)
    (tmp_path / "l15.inc").write_text("* leaf\n")
    _fails_within(_deck(tmp_path, ".include l0.inc\n"), "l12.inc:2", "include reads", seconds=20)


@pytest.mark.parametrize("line, fragment", [
    (",,,", "line holds only separators"),
    ("{", "unbalanced brace or quote: '{'"),
    ("R1 1 0 '2", "unbalanced brace or quote"),
    ("I1 0 1 ( )", "source needs a value"),
    ("I1 0 1 pwl(0 0 1p 1u", "missing ')'"),
    ("I1 0 1 pwl((0 0 1p 1u))", "unbalanced parentheses"),
    ("R1 1 0 {" + "(" * 5000 + "1" + ")" * 5000 + "}", "nested deeper than 100 levels"),
    ("R1 1 0 {" + "-" * 5000 + "2}", "nested deeper than 100 levels"),
    ("R1 1 0 {" + "2^" * 5000 + "1}", "nested deeper than 100 levels"),
])
def test_malformed_lines(tmp_path, line, fragment):
    deck = _deck(tmp_path, line + "\n")
    _fails_within(deck, f"{deck}:2", fragment)


@pytest.mark.parametrize("cards, fragment", [
    ("R1 1 0 1e999", "not a finite number: '1e999'"),
    ("L1 1 0 {1e999-1e999}", "not a finite number"),
    ("C1 1 0 1e-320", "element value too small"),
    (".model j jj(icrit={1e308*10})\nB1 1 0 j", "not a finite number"),
    (".model j jj(icrit=100u cap=-1p rn=5)\nB1 1 0 j", "cap must not be negative"),
    (".model j jj(icrit=100u rn={0-1})\nB1 1 0 j", "rn must be positive"),
    ("I1 0 1 pwl(0 0 1e999 1u)", "not a finite number"),
    ("I1 0 1 pulse(0 1u 0 -1p 1p 1p 1p)", "must not be negative"),
])
def test_values_out_of_range_name_their_card(tmp_path, cards, fragment):
    deck = _deck(tmp_path, cards + "\n")
    _fails_within(deck, f"{deck}:2", fragment)


@pytest.mark.parametrize("card, overrides, fragment", [
    (".options order={1/3}", {}, "order must be 2 or 3"),
    (".options tol=-1e-4", {}, "tol must be a number in (0, 1]"),
    (".options maxstep=0", {}, "maxstep must be positive"),
    (".options fixedstep=-1p", {}, "fixedstep must be a finite number >= 0"),
    (".options fixedstep=1e-30", {}, "more than 1000000000 steps"),
    (".options ramp=-1p", {}, "ramp must be a finite number >= 0"),
    (".tran 1e-30 1n", {}, "output step gives more than 10000000 points"),
    (".tran 1p 1e999", {}, "not a finite number"),
    ("", {"tolerance": float("nan")}, "tol argument must be a number in (0, 1]"),
    ("", {"fixed_step": float("nan")}, "fixedstep argument"),
    ("", {"max_step": float("nan")}, "maxstep argument"),
])
def test_run_settings_are_checked_before_any_work(tmp_path, card, overrides, fragment):
    deck = _deck(tmp_path, card + "\n")
    _fails_within(deck, f"{deck}:2" if card else None, fragment, **overrides)


def _doubling(levels, options=""):
    lines = [options, ".subckt c0 a", "R1 a 0 1k", ".ends"]
    for k in range(1, levels + 1):
        lines += [f".subckt c{k} a", f"X1 c{k - 1} a", f"X2 c{k - 1} a", ".ends"]
    return "\n".join(lines + [f"X1 c{levels} 1", ""])


@pytest.mark.parametrize("body, line, fragment", [
    # 10^13 corners unless counted first.
    ("I1 0 1 pulse(0 1u 0 0 0 1e-24 1e-24)\n", 2, "more than 1000000 corners"),
    ("I1 0 1 pulse(0 1u 0 0 0 1f 1f)\n.options maxbreakpoints=1000\n", 2, "more than 1000 corners"),
    # 2^30 resistors unless the expansion is bounded; the message names the top instance.
    (_doubling(30, ".options maxelements=5000"), 126, "grows past 5000 elements"),
])
def test_growth_is_bounded(tmp_path, body, line, fragment):
    deck = _deck(tmp_path, body)
    _fails_within(deck, f"{deck}:{line}", fragment)


def test_param_chain_resolves_in_linear_time(tmp_path):
    # Each parameter needs the next one: the old fixed-point loop took n passes.
    n = 3000
    params = "".join(f".param p{k}={{p{k + 1}+1}}\n" for k in range(n)) + f".param p{n}=1\n"
    deck = _deck(tmp_path, params + "R1 1 0 {p0}\n")
    began = time.perf_counter()
    result = simulate(str(deck))
    assert time.perf_counter() - began < 10
    # R1 = n + 1 ohm in parallel with R9 = 2 ohm, driven by 100 uA at the end.
    assert result["V(1)"][-1] == pytest.approx(100e-6 * 2 * (n + 1) / (n + 3), rel=1e-6)


@pytest.mark.parametrize("option, target", [("-o", "missing_dir/out.csv"), ("-o", "."),
                                            ("--plot", "missing_dir/out.png")])
def test_unwritable_output_is_refused_before_the_run(tmp_path, capsys, monkeypatch, option, target):
    import kivrun.api

    def no_run(*args, **kwargs):
        raise AssertionError("simulated although the output cannot be written")

    monkeypatch.setattr(kivrun.api, "simulate", no_run)
    deck = _deck(tmp_path, "")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["run", str(deck), option, target]) == 1
    assert "cannot write" in capsys.readouterr().err


LONG_RUN = "* long\nR1 1 0 2\nC1 1 0 1p\nI1 0 1 sin(0 100u 10g)\n.tran 1p 1u\n.options fixedstep=0.01p\n"


def _interrupt_after(seconds):
    timer = threading.Timer(seconds, _thread.interrupt_main)
    timer.start()
    return timer


def test_interrupted_run_keeps_its_partial_result():
    timer = _interrupt_after(1.0)
    try:
        with pytest.raises(Interrupted) as info:
            simulate(LONG_RUN)
    finally:
        timer.cancel()
    partial = info.value.partial
    assert partial.interrupted and 0 < partial.time[-1] < 1e-6
    # Steps were fixed at 0.01 ps and recorded up to the interrupt.
    steps = partial.time[1:] - partial.time[:-1]
    assert steps == pytest.approx(0.01e-12, rel=1e-6)
    assert len(partial["V(1)"]) == len(partial.time)


def test_cli_writes_partial_csv_and_exits_130(tmp_path, capsys):
    deck = tmp_path / "long.cir"
    deck.write_text(LONG_RUN)
    out = tmp_path / "partial.csv"
    timer = _interrupt_after(1.0)
    try:
        code = cli.main(["run", str(deck), "-o", str(out), "-q"])
    finally:
        timer.cancel()
    assert code == cli.EXIT_INTERRUPTED == 130
    err = capsys.readouterr().err
    assert "interrupted at t = " in err
    reached = float(err.split("t = ")[1].split(" ps")[0]) * 1e-12
    rows = list(csv.reader(out.open()))
    # On the 1 ps output grid up to where the run got to.
    assert rows[0] == ["time", "V(1)"]
    assert float(rows[-1][0]) == pytest.approx(reached // 1e-12 * 1e-12, abs=1.01e-12)
    assert len(rows) - 1 == pytest.approx(reached / 1e-12 + 1, abs=1.5)

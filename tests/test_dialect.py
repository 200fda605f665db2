"""The common dialect: source forms, constants, .tran forms, model meanings, outputs, .iv, .file."""
import math
import textwrap

import numpy as np
import pytest

from kivrun import simulate
from kivrun.cli import main as cli_main
from kivrun.errors import NetlistError
from kivrun.iv import iv_curve
from kivrun.netlist import parse_netlist

JJ = ".model jm jj(rtype=0, icrit=100uA, cap=0.1pF, rn=4)\n"


def parse(body, base_dir="."):
    return parse_netlist("* t\n" + textwrap.dedent(body), "d.cir", str(base_dir))


def wave(spec, tran=".tran 1p 100p\n", base_dir="."):
    return parse(f"R1 1 0 1\nI1 0 1 {spec}\n{tran}", base_dir).elements[1].waveform


def smooth(s):
    return s * s * (3 - 2 * s)


@pytest.mark.parametrize("spec, t, expected", [
    ("sin(1 2)", 25e-12, 3.0),  # frequency 1/TSTOP: a quarter period at TSTOP/4
    ("sin(1 2)", 50e-12, 1.0),
    ("exp(0 1 10p 5p 40p 10p)", 5e-12, 0.0),
    ("exp(0 1 10p 5p 40p 10p)", 15e-12, 1 - math.exp(-1)),
    ("exp(0 1 10p 5p 40p 10p)", 50e-12, math.exp(-1) - math.exp(-8)),
    ("exp(0 1)", 0.5e-12, 1 - math.exp(-0.5)),  # tau1 = TSTEP, td2 = td1 + TSTEP
    ("exp(0 1)", 2e-12, math.exp(-1) - math.exp(-2)),
    ("pws(0 0 10p 2 20p 2 30p 0)", 5e-12, 1.0),
    ("pws(0 0 10p 2 20p 2 30p 0)", 2.5e-12, 2 * smooth(0.25)),
    ("pws(0 0 10p 2 20p 2 30p 0)", 27.5e-12, 2 * (1 - smooth(0.75))),
])
def test_source_forms(spec, t, expected):
    assert wave(spec).value(t) == pytest.approx(expected, abs=1e-12)


def test_exp_corners_are_breakpoints():
    assert wave("exp(0 1 10p 5p 40p 10p)").breakpoints(100e-12) == pytest.approx([10e-12, 40e-12])


@pytest.mark.parametrize("args, t, expected", [
    ("1p 0.5 1 10p", 5e-12, 0.0),          # nothing before td
    ("1p 0.5 1 10p", 11.5e-12, 1.5),       # linear between 2 and 4, scaled by 0.5
    ("1p 0.5 0 10p", 11.5e-12, 1.0),       # held
    ("1p 0.5 1 10p", 20e-12, 1.0),         # last sample held after the end
    ("1p 0.5 1 10p 1", 14.5e-12, 0.5),     # periodic: 4.5 samples in is 0.5 in
    ("1p 0.5 2 10p", 12e-12, 2.0),         # cubic passes through the samples
    ("1p 0.5 2 10p", 11.5e-12, 1.625),     # Catmull-Rom: 1 to 2 with slopes 1 and 0 per sample
])
def test_custom_waveform_file(tmp_path, args, t, expected):
    (tmp_path / "w.txt").write_text("0 2 4 2\n")
    assert wave(f"cus(w.txt {args})", base_dir=tmp_path).value(t) == pytest.approx(expected)


@pytest.mark.parametrize("content, spec, message", [
    (None, "cus(none.txt 1p 1 1)", "cannot read CUS"),
    ("0 1 x", "cus(w.txt 1p 1 1)", "non-number"),
    ("0 1", "cus(w.txt 1p 1 3)", "interpolation"),
    ("", "cus(w.txt 1p 1 1)", "no numbers"),
    (None, "pwl(0 0 1p 1", r"missing '\)'"),
    (None, "sin(0 1", r"missing '\)'"),
])
def test_source_form_errors(tmp_path, content, spec, message):
    if content is not None:
        (tmp_path / "w.txt").write_text(content)
    with pytest.raises(NetlistError, match=message):
        wave(spec, base_dir=tmp_path)


def test_short_sin_without_tran_is_an_error():
    with pytest.raises(NetlistError, match="needs .tran"):
        parse("R1 1 0 1\nI1 0 1 sin(0 1)\n")


def test_noise_source_is_deterministic_gaussian_after_its_delay():
    a = wave("noise(2 5p 0.1p)")
    assert a.value(4e-12) == 0.0
    again = wave("noise(2 5p 0.1p)")
    samples = np.array([a.value(5e-12 + k * 0.1e-12) for k in range(4000)])
    assert np.array_equal(samples, [again.value(5e-12 + k * 0.1e-12) for k in range(4000)])
    # a·g/√(2·tstep): standard deviation 2/√(2e-13)
    assert samples.std() == pytest.approx(2 / math.sqrt(2e-13), rel=0.05)
    assert abs(samples.mean()) < 0.1 * samples.std()
    # Midway between samples: the straight line between them.
    assert a.value(5.05e-12) == pytest.approx(0.5 * (samples[0] + samples[1]))
    assert abs(np.corrcoef(samples[:-1], samples[1:])[0, 1]) < 0.05


@pytest.mark.parametrize("value, expected", [
    ("PHI_ZERO", 2.067833831170082e-15), ("sigma*2", 6.582119514e-16), ("2X", 2e6),
    ("{BOLTZMANN*4.2/EV}", 1.38064852e-23 * 4.2 / 1.6021766208e-19), ("{hbar/(2*ev)}", 3.291059757e-16),
])
def test_constants_and_mega_suffix(value, expected):
    assert parse(f"R1 1 0 {value}\n").elements[0].value == pytest.approx(expected, rel=1e-9)


def test_param_overrides_constant_and_tran_takes_params():
    c = parse("R1 1 0 {c}\n.param c=3\n.tran tstep 10*tstep 0 0.1p 0 UIC\n.param tstep=2p\n")
    assert c.elements[0].value == 3
    assert (c.transient.step, c.transient.stop, c.transient.max_step) == pytest.approx((2e-12, 20e-12, 1e-13))
    with pytest.warns(UserWarning, match="'5p' has no meaning"):
        parse("R1 1 0 1\n.tran 1p 10p 0 0 5p 0 DST\n")


@pytest.mark.parametrize("card, expected", [
    # kind, Ic, C, R (linear or branch), r0
    ("jj()", ("pwl", 1e-3, 2.5e-12, 5.0, 30.0)),  # dialect defaults: rtype=1, rn 5, r0 30
    ("jj(rtype=0)", ("rsj", 1e-3, 2.5e-12, 5.0, None)),
    ("jj(rtype=0, ic=100u, c=0.1p, rn=4)", ("rsj", 1e-4, 1e-13, 4.0, None)),
    ("jj(icrit=200u, cap=0.2p, rn=16, r0=160, vgap=2.6m, t=4.2, tc=9.1, cpr=1, d=0, icfct=0.7854)",
     ("pwl", 2e-4, 2e-13, 16.0, 160.0)),
])
def test_model_defaults_and_aliases(card, expected):
    jj = parse(f".model m {card}\nB1 1 0 m\n").elements[0].junction
    assert (jj.kind, jj.critical_current, jj.capacitance, jj.resistance, jj.subgap_resistance) == \
        pytest.approx(expected)


@pytest.mark.parametrize("card, message, token", [
    ("jj(cpr=2)", "higher harmonics", "cpr"),
    ("jj(d=0.5)", "transparent", "d"),
    ("jj(icfct=0.5)", "step height", "icfct"),
    ("jj(t=2)", "operating temperature", "t"),
    ("jj(tc=7)", "operating temperature", "tc"),
    ("jj(ic=1m, icrit=2m)", "either ic or icrit", "icrit"),
    ("jj(rn=40)", "r0 defaults to 30", "r0"),
])
def test_model_parameters_without_a_model_are_refused(card, message, token):
    with pytest.raises(NetlistError, match=message) as info:
        parse(f".model m {card}\nB1 1 0 m\n")
    assert info.value.token == token


def test_unknown_model_parameter_warns():
    with pytest.warns(UserWarning, match="'foo' ignored"):
        parse(".model m jj(foo=1)\nB1 1 0 m\n")


def test_rtype0_junction_slips_at_the_rate_of_its_linear_resistor():
    # Underdamped (βc ≈ 12) and biased at 3·Ic: the supercurrent averages out,
    # so V = I·rn = 0.6 mV, one flux quantum per Φ0/V ≈ 3.45 ps.
    r = simulate(".model j jj(rtype=0, icrit=100u, cap=10p, rn=2)\nB1 1 0 j\nI1 0 1 pwl(0 0 10p 300u)\n"
                 ".tran 1p 400p 100p\n.print v(1)\n")
    mean = np.trapezoid(r["V(1)"], r.time) / (r.time[-1] - r.time[0])
    assert mean == pytest.approx(0.6e-3, rel=0.01)
    slips = r.event_times("B1")
    late = np.count_nonzero(slips > 100e-12)
    assert late == pytest.approx(0.6e-3 * 300e-12 / 2.067833831e-15, abs=2)


@pytest.mark.parametrize("rtype", [0, 1])
def test_phi_shifts_the_supercurrent_with_either_rtype(rtype):
    # Ic·sin(φ − π) biased at Ic/2: the node phase rests at 7π/6 (the junction's
    # reported phase, shift included, at π/6); all the bias flows in the junction.
    r = simulate(f".model pj jj(rtype={rtype}, icrit=100uA, cap=0.2pF, rn=2, r0=20, phi=pi)\nB1 1 0 pj\n"
                 "I1 0 1 pwl(0 0 20p 50u)\nR1 1 0 100\n.tran 1p 300p\n.print p(B1) i(B1) p(1)\n")
    assert r["P(1)"][-1] == pytest.approx(7 * math.pi / 6, abs=1e-4)
    assert r["P(B1)"][-1] == pytest.approx(math.pi / 6, abs=1e-4)
    assert r["I(B1)"][-1] == pytest.approx(50e-6, rel=1e-4)


def test_shifted_rtype1_junction_reports_its_slips_once():
    r = simulate(".model pj jj(icrit=100uA, cap=0.2pF, rn=2, r0=20, phi=1)\nB1 1 0 pj\n"
                 "I1 0 1 pwl(0 0 10p 300u)\n.tran 1p 100p\n")
    assert {e.element for e in r.events} == {"B1"} and len(r.events) > 5


@pytest.mark.parametrize("card, current, voltage", [
    ("rtype=0, icrit=100u, rn=4", 200e-6, 0.8e-3),     # V/rn
    ("rtype=0, icrit=100u, rn=4", 90e-6, 0.0),         # zero-voltage branch
    ("icrit=100u, rn=16, r0=160", -500e-6, -8e-3),     # far above the gap: V/rn
    ("icrit=10u, rn=16, r0=160", 15e-6, 2.4e-3),       # below the gap: V/r0
])
def test_iv_curve_follows_the_static_curve(card, current, voltage):
    c = parse(f".model m jj({card})\nB1 1 0 m\n.iv m 1m iv.csv\n")
    v, i = iv_curve(c.iv_requests[0].junction, abs(current), 3)
    assert i[-1 if current > 0 else 0] == pytest.approx(current)
    assert v[-1 if current > 0 else 0] == pytest.approx(voltage, rel=1e-3, abs=1e-9)


def test_iv_curve_of_tunnel_junction_is_refused():
    c = parse(".model t jj(tjm=1, icrit=100u)\nB1 1 0 t\n.iv t 1m iv.csv\n")
    with pytest.raises(NetlistError, match="no static I-V curve"):
        iv_curve(c.iv_requests[0].junction, 1e-3)


def test_outputs_of_the_dialect(recwarn):
    c = parse("R1 1 2 5 nfree\nR3 2 0 1\nL1 1 0 1p\n"
              ".print c(R1) @R1[v] @R3[i] @L1[p] p(1,0) v(R1,R3) i(R1,R3) p(B7) v(99)\n")
    assert c.elements[0].noise_free and not c.elements[1].noise_free
    assert [(p.quantity, p.targets) for p in c.probes] == [
        ("i", ("r1",)), ("ev", ("r1",)), ("i", ("r3",)), ("ep", ("l1",)), ("p", ("1", "0")),
        ("ev", ("r1", "r3")), ("i", ("r1", "r3"))]
    texts = [str(w.message) for w in recwarn]
    assert any("unknown element or node 'B7'" in t for t in texts)
    assert any("unknown element or node '99'" in t for t in texts)


def test_two_element_difference_is_recorded():
    # A divider of 1 V across 1 + 3 ohm: V(R1) - V(R3) = 0.25 - 0.75 V.
    r = simulate("* d\nV1 1 0 pwl(0 0 1p 1)\nR1 1 2 1\nR3 2 0 3\n.tran 1p 10p\n.print v(R1,R3) i(R1,R3)\n")
    assert r["V(R1,R3)"][-1] == pytest.approx(-0.5) and r["I(R1,R3)"][-1] == pytest.approx(0.0, abs=1e-12)


def test_control_block_is_skipped_and_instance_overrides_elements():
    with pytest.warns(UserWarning, match="control block: run, R9 skipped"):
        c = parse(".subckt cell a b\nL1 a b 2p\nB1 b 0 jm\n.ends\n" + JJ +
                  "X1 cell 1 2 L1=3p B1=2\nX2 cell 2 3\n.control\nrun\nR9 1 0 1\ntran 1p 50p\n"
                  "print p(B1.X1)\n.endc\n")
    e = {el.name: el for el in c.elements}
    assert "R9" not in e
    # Controls inside the block count, written without their '.'.
    assert c.transient.stop == pytest.approx(50e-12) and [p.label for p in c.probes] == ["P(B1.X1)"]
    assert (e["L1.X1"].value, e["L1.X2"].value) == pytest.approx((3e-12, 2e-12))
    assert e["B1.X1"].junction.critical_current == pytest.approx(2e-4)
    with pytest.raises(NetlistError, match="no parameter or element"):
        parse(".subckt cell a b\nL1 a b 2p\n.ends\nX1 cell 1 2 L9=3p\n")


@pytest.mark.parametrize("body, message, token", [
    ("X3 stagex 3 4\n", "unknown subcircuit", "stagex"),
    ("X3 3 4 stagex\n", "unknown subcircuit", "stagex"),
    (".param a=b*2 b=q\nR1 1 0 {a}\n", "unknown parameter", "q"),
    (".param a=b b=a\nR1 1 0 {a}\n", "circular", "b"),
    (".control\nR1 1 0 1\n", ".control without .endc", ".control"),
])
def test_error_messages_name_the_culprit(body, message, token):
    with pytest.raises(NetlistError, match=message) as info:
        parse(body)
    assert info.value.token == token


def test_command_line_writes_file_outputs_and_iv(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d.cir").write_text("* d\n" + JJ + "B1 1 0 jm\nI1 0 1 pwl(0 0 5p 50u)\n.tran 1p 20p\n"
                                    ".iv jm 200u iv.csv\n.file a.csv\n.print p(B1)\n.file b.csv\n.print i(B1)\n")
    assert cli_main(["run", "d.cir", "-q"]) == 0
    assert (tmp_path / "a.csv").read_text().splitlines()[0] == "time,P(B1)"
    assert (tmp_path / "b.csv").read_text().splitlines()[0] == "time,I(B1)"
    rows = (tmp_path / "iv.csv").read_text().splitlines()
    assert rows[0] == "voltage,current" and len(rows) == 1002
    # The last point: 200 µA through rn = 4 ohm.
    assert [float(x) for x in rows[-1].split(",")] == pytest.approx([0.8e-3, 200e-6])


def test_models_inside_a_subcircuit_are_its_own():
    c = parse(".model m jj(rtype=0, icrit=1m)\n"
              ".subckt a p\n.model m jj(rtype=0, icrit=100u)\nB1 p 0 m\n.ends\n"
              ".subckt b p\nB1 p 0 m\n.ends\nXa a 1\nXb b 2\nB0 3 0 m\nR1 3 0 1\n"
              ".iv m.a 1m a.csv\n.iv m 1m top.csv\n")
    ic = {e.name: e.junction.critical_current for e in c.elements if e.kind == "B"}
    assert ic == pytest.approx({"B1.Xa": 1e-4, "B1.Xb": 1e-3, "B0": 1e-3})
    assert [r.junction.critical_current for r in c.iv_requests] == pytest.approx([1e-4, 1e-3])


def test_command_line_reports_an_unwritable_iv_file(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d.cir").write_text("* d\n" + JJ + "B1 1 0 jm\n.iv jm 1m nodir/iv.csv\n")
    assert cli_main(["run", "d.cir", "-q"]) == 1
    assert "cannot write nodir/iv.csv" in capsys.readouterr().err

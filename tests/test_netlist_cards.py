"""Netlist constructs: cards, subcircuits, includes, models, outputs, and errors."""
import math
import textwrap

import pytest

from kivrun.circuit import GROUND
from kivrun.errors import NetlistError
from kivrun.netlist import parse_netlist, read_netlist
from kivrun.waveforms import Constant, PiecewiseLinear, Pulse, Sine

JJ = ".model jm jj(rtype=0, icrit=100uA, cap=0.1pF, rn=4)\n"


def parse(body: str, name="test.cir", base_dir="."):
    return parse_netlist("* title\n" + textwrap.dedent(body), name, base_dir)


def by_name(circuit):
    return {e.name: e for e in circuit.elements}


class TestCards:
    def test_title_comments_continuation_and_case(self):
        c = parse("""\
            r1 1 0 5 ; a comment after a card
            * a whole-line comment
            L1 1
            + 2 2PH
            C1 2 GND 1pf
            .TRAN 1P 10P
            .END
            R9 1 0 1
        """)
        assert c.title == "title"
        e = by_name(c)
        assert set(e) == {"r1", "L1", "C1"}  # nothing after .end
        assert e["L1"].nodes == ("1", "2") and e["L1"].value == pytest.approx(2e-12)
        assert e["C1"].nodes == ("2", GROUND) and e["C1"].value == pytest.approx(1e-15)  # SPICE: F is femto
        assert c.transient.step == pytest.approx(1e-12) and c.transient.stop == pytest.approx(10e-12)

    def test_tran_with_start_and_max_step(self):
        c = parse("R1 1 0 1\n.tran 0.1p 100p 20p 0.5p uic\n")
        t = c.transient
        assert (t.step, t.stop, t.start, t.max_step) == pytest.approx((0.1e-12, 100e-12, 20e-12, 0.5e-12))

    def test_params_forward_references_and_expressions(self):
        c = parse("""\
            .param a = 2 * b   b=1.5p
            .param c={a+b}
            R1 1 0 {c/1p}
            L1 1 2 'a'
            L2 2 0 a
        """)
        e = by_name(c)
        assert e["R1"].value == pytest.approx(4.5)
        assert e["L1"].value == pytest.approx(3e-12) and e["L2"].value == pytest.approx(3e-12)

    def test_sources_and_waveforms(self):
        c = parse("""\
            I1 0 1 151uA
            I2 0 1 DC 2mA
            V1 2 0 pwl(0 0 10p 1mV, 20p 0)
            V2 2 3 PULSE(0 1m 5p 1p 1p 3p 20p)
            P1 3 0 sin(0 3.14159 10g 1p)
            I3 0 1 dc 0 pwl(0 0 1p 1u)
            R1 1 0 1
        """)
        e = by_name(c)
        assert isinstance(e["I1"].waveform, Constant) and e["I1"].waveform.level == pytest.approx(151e-6)
        assert e["I2"].waveform.level == pytest.approx(2e-3)
        pwl = e["V1"].waveform
        assert isinstance(pwl, PiecewiseLinear) and pwl.times == pytest.approx([0, 10e-12, 20e-12])
        assert pwl.values == pytest.approx([0, 1e-3, 0])
        pulse = e["V2"].waveform
        assert isinstance(pulse, Pulse)
        assert (pulse.period, pulse.width) == pytest.approx((20e-12, 3e-12))
        sine = e["P1"].waveform
        assert isinstance(sine, Sine)
        assert (sine.frequency, sine.delay) == pytest.approx((1e10, 1e-12))
        assert isinstance(e["I3"].waveform, PiecewiseLinear)

    def test_mutual_inductance_both_forms(self):
        c = parse("L1 1 0 2p\nL2 2 0 8p\nR1 2 0 1\nK1 L1 L2 0.5\nK2 l2 l1 k=-0.25\n")
        e = by_name(c)
        assert e["K1"].coupled == ("l1", "l2") and e["K1"].value == 0.5
        assert e["K2"].coupled == ("l2", "l1") and e["K2"].value == -0.25


class TestJunctions:
    def test_rsj_default_with_area_and_ic_scaling(self):
        c = parse(JJ + "B1 1 0 jm\nB2 1 2 jm area=2.5\nB3 2 0 jm ic=50u\nB4 2 0 99 jm\n")
        e = by_name(c)
        j1, j2, j3 = e["B1"].junction, e["B2"].junction, e["B3"].junction
        assert j1.kind == "rsj" and j1.critical_current == pytest.approx(100e-6)
        assert j1.capacitance == pytest.approx(0.1e-12) and j1.resistance == pytest.approx(4.0)
        # Area scales Ic and C up and the resistance down.
        assert (j2.critical_current, j2.capacitance, j2.resistance) == pytest.approx((250e-6, 0.25e-12, 1.6))
        assert (j3.critical_current, j3.resistance) == pytest.approx((50e-6, 8.0))
        assert e["B4"].nodes == ("2", GROUND)  # a third (phase) node is ignored

    def test_rtype_zero_is_linear_rn_and_phi_selects_phase_shift(self):
        c = parse(".model a jj(icrit=1m, rtype=0, rn=2)\n.model b jj(rtype=0, icrit=1m, rn=2, phi=pi)\n"
                  "B1 1 0 a\nB2 1 0 b\n")
        e = by_name(c)
        assert e["B1"].junction.kind == "rsj" and e["B1"].junction.resistance == pytest.approx(2.0)
        assert e["B2"].junction.kind == "rsjph" and e["B2"].junction.phase_shift == pytest.approx(-math.pi)

    def test_piecewise_linear_card_maps_to_the_dialects_curve(self):
        c = parse(".model q jj(rtype=1, vg=2.8mV, delv=0.1mV, r0=160, rn=16, icrit=0.1mA, cap=0.07pF)\n"
                  "B1 1 0 q area=2\n")
        jj = c.elements[0].junction
        # Area 2 halves both resistances; the gap and its ramp stay.
        assert (jj.kind, jj.resistance, jj.subgap_resistance) == ("pwl", pytest.approx(8.0), pytest.approx(80.0))
        assert (jj.gap_voltage, jj.gap_width) == (pytest.approx(2.8e-3), pytest.approx(0.1e-3))

    def test_explicit_exponent(self):
        c = parse(".model q jj(rtype=1, rn=5, n=20, vg=3m)\nB1 1 0 q\n")
        jj = c.elements[0].junction
        # r0 takes the dialect's default 30 ohm: the branch is 5*30/(30-5) = 6 ohm.
        assert jj.exponent == 20 and jj.subgap_resistance == 30 and jj.resistance == pytest.approx(6.0)


    def test_tunnel_junction_card(self):
        c = parse(".model t jj(tjm=BCS_T0, icrit=100u, rn=16, rsub=160, vg=2.8m, cap=0.07p)\n"
                  "B1 1 0 t area=2\n")
        jj = c.elements[0].junction
        assert (jj.kind, jj.kernel) == ("tjm", "bcs_t0")
        assert (jj.critical_current, jj.capacitance, jj.resistance, jj.subgap_resistance) == \
            pytest.approx((200e-6, 0.14e-12, 8, 80))
        # tjm=1: the niobium kernel; without rn the kernel's own Ic·Rn = 0.7522 Vg
        # (Ambegaokar-Baratoff at 4.2 K, Tc 9.2 K); no extra subgap leakage.
        jj = parse(".model t jj(tjm=1, icrit=100u, vg=2.8m)\nB1 1 0 t\n").elements[0].junction
        assert jj.kernel == "nb_4k2" and jj.subgap_resistance is None
        assert jj.resistance == pytest.approx(0.7522 * 2.8e-3 / 100e-6, rel=1e-3)
        assert parse(".model t jj(tjm=0, rtype=0, icrit=100u, rn=16)\nB1 1 0 t\n").elements[0].junction.kind == "rsj"
        with pytest.raises(NetlistError, match=r"test.cir:3: unknown tunnel-junction kernel .*: 'nb03'"):
            parse("R1 1 0 1\n.model t jj(icrit=1m, tjm=nb03)\nB1 1 0 t\n")
        with pytest.raises(NetlistError, match="needs icrit"):
            parse(".model t jj(tjm=1, rn=5)\nB1 1 0 t\n")
        with pytest.raises(NetlistError, match="combined with rtype"):
            parse(".model t jj(tjm=1, icrit=1m, rtype=1)\nB1 1 0 t\n")


class TestSubcircuits:
    CELL = """\
        .subckt cell a b lval=2p
        L1 a 1 {lval}
        B1 1 0 jm
        .param half=lval/2
        L2 1 b half
        .ends cell
    """

    def test_both_instance_orders_and_internal_names(self):
        c = parse(JJ + self.CELL + "X1 cell in mid\nX2 mid out cell lval=4p\nR1 out 0 1\n")
        e = by_name(c)
        assert e["L1.X1"].nodes == ("in", "1.x1") and e["L2.X1"].nodes == ("1.x1", "mid")
        assert e["L1.X2"].nodes == ("mid", "1.x2") and e["L2.X2"].nodes == ("1.x2", "out")
        assert e["L1.X1"].value == pytest.approx(2e-12) and e["L2.X2"].value == pytest.approx(2e-12)
        assert e["L1.X2"].value == pytest.approx(4e-12)

    def test_nested_instances_are_named_inside_out(self):
        c = parse(JJ + self.CELL + """\
            .subckt pair p q
            XA cell p m
            XB m q cell
            .ends
            X1 pair 1 2
            X2 2 3 pair
            R1 3 0 1
        """)
        e = by_name(c)
        assert e["B1.XA.X1"].nodes == ("1.xa.x1", GROUND)
        assert e["L2.XB.X2"].nodes == ("1.xb.x2", "3")
        assert e["L1.XB.X1"].nodes == ("m.x1", "1.xb.x1")
        assert len(c.elements) == 13

    def test_coupling_inside_a_subcircuit(self):
        c = parse(".subckt t a b\nL1 a 0 2p\nL2 b 0 2p\nK1 L1 L2 0.3\n.ends\nX1 t 1 2\n")
        assert by_name(c)["K1.X1"].coupled == ("l1.x1", "l2.x1")

    def test_include_relative_to_including_file(self, tmp_path):
        (tmp_path / "lib").mkdir()
        (tmp_path / "lib" / "cell.inc").write_text(JJ + ".subckt cell a\nB1 a 0 jm\n.ends\n")
        main = tmp_path / "main.cir"
        main.write_text("* top\n.include lib/cell.inc\nX1 cell 1\nI1 0 1 50u\n.tran 1p 10p\n")
        c = read_netlist(str(main))
        assert [e.name for e in c.elements] == ["B1.X1", "I1"]


class TestOutputs:
    BODY = JJ + ".subckt cell a\nB1 a 0 jm\n.ends\nX1 cell 1\nR1 1 2 1\nL1 2 0 1p\n"

    def test_spice_and_keyword_forms(self):
        c = parse(self.BODY + """\
            .print v(1) v(1,2) i(R1) p(B1.X1) p(2)
            .save i(x1.b1)
            .print NODEV 2 0
            .print nodep 1
            .print DEVV R1
            .print devi L1
            .print PHASE B1|X1
        """)
        got = [(p.quantity, p.targets, p.label) for p in c.probes]
        assert got == [
            ("v", ("1",), "V(1)"), ("v", ("1", "2"), "V(1,2)"), ("i", ("r1",), "I(R1)"),
            ("ep", ("b1.x1",), "P(B1.X1)"), ("p", ("2",), "P(2)"), ("i", ("b1.x1",), "I(B1.X1)"),
            ("v", ("2", GROUND), "V(2,0)"), ("p", ("1",), "P(1)"), ("ev", ("r1",), "V(R1)"),
            ("i", ("l1",), "I(L1)"), ("ep", ("b1.x1",), "P(B1.X1)"),
        ]


ERRORS = [
    # (netlist body after the title line, message part, line, token)
    ("R1 1 0\n", "two nodes and a value", 2, "R1"),
    ("R1 1 0 5 7\n", "two nodes and a value", 2, "7"),
    ("R1 1 0 {x*2}\n", "unknown parameter", 2, "x"),
    ("R1 1 0 -5\n", "must be positive", 2, "-5"),
    ("R1 0 0 5\n", "both terminals at ground", 2, "R1"),
    ("Q1 1 0 5\n", "unknown element type", 2, "Q1"),
    ("R1 1 0 1\nR1 1 0 2\n", "defined twice", 3, "R1"),
    ("B1 1 0 nomodel\n", "unknown junction model", 2, "nomodel"),
    (JJ + "B1 1 0 jm area=1 ic=1u\n", "either area= or ic=", 3, "ic"),
    (JJ + "B1 1 0 jm foo=2\n", "unknown junction instance parameter", 3, "foo"),
    (".model m res(r=1)\n", "unsupported model type", 2, "res"),
    (".model m jj(icrit=1m rtype=3)\nB1 1 0 m\n", "unsupported rtype", 2, "rtype"),
    (".model m jj(rtype=1 rn=5 r0=2)\nB1 1 0 m\n", "r0 must exceed rn", 2, "r0"),
    ("X1 nocell 1 2\n", "unknown subcircuit", 2, "nocell"),
    (".subckt c a b\nR1 a b 1\n.ends\nX1 c 1\n", "has 2 ports, instance gives 1", 5, "X1"),
    (".subckt c a\nR1 a 0 1\n", "without .ends", 2, "c"),
    (".ends\n", ".ends without .subckt", 2, ".ends"),
    (".subckt c a\nX1 c a\n.ends\nX1 c 1\n", "nested too deeply", 3, "X1"),
    (".subckt c a p=1\nR1 a 0 {p}\n.ends\nX1 c 1 q=2\n", "has no parameter", 5, "q"),
    ("L1 1 0 1p\nR2 1 0 1\nK1 L1 R2 0.5\n", "K must name two inductors", 4, "r2"),
    ("L1 1 0 1p\nL2 1 0 1p\nK1 L1 L2 1.5\n", "between -1 and 1", 4, "1.5"),
    ("I1 0 1 pwl(0 0 1p)\n", "time-value pairs", 2, "0 0 1p"),
    ("I1 0 1 pwl(2p 0 1p 1)\n", "must not decrease", 2, "2p 0 1p 1"),
    ("I1 0 1 pulse(1)\n", "PULSE needs", 2, "pulse 1"),
    ("I1 0 1 5 6\n", "unexpected token after source value", 2, "6"),
    ("R1 1 0 1\n.tran 1p\n", ".tran needs", 3, ".tran 1p"),
    ("R1 1 0 1\n.tran 1p 10p 20p\n", "TSTART must lie before TSTOP", 3, "20p"),
    ("R1 1 0 1\n.print q(1)\n", "unknown output function", 3, "q"),
    ("R1 1 0 1\n.print devv\n", "DEVV needs one element name", 3, "devv"),
    ("R1 1 0 1\n.print v(0)\n", "between ground and ground", 3, "0"),
    ("R1 1 0 1\n.foo 1\n", "unknown control card", 3, ".foo"),
    ("+ 1 2\n", "continuation line", 2, "+"),
    (".include missing.inc\n", "cannot read include file", 2, "missing.inc"),
    (".param a=\n", "missing value", 2, "a"),
    (".param a=b b=a\nR1 1 0 {a}\n", "unknown parameter", 2, "b"),
    ("R1 1 0 1\n.subckt c a\n.tran 1p 2p\n.ends\n", "control card inside a subcircuit", 4, ".tran"),
]


@pytest.mark.parametrize("body, message, line, token", ERRORS)
def test_errors_name_file_line_and_token(body, message, line, token):
    with pytest.raises(NetlistError) as info:
        parse(body, name="bad.cir")
    error = info.value
    assert message in error.message
    assert (error.where.file, error.where.line) == ("bad.cir", line)
    assert error.token == token
    assert str(error).startswith(f"bad.cir:{line}: ") and f"'{token}'" in str(error)


def test_error_inside_included_file_names_that_file(tmp_path):
    (tmp_path / "bad.inc").write_text("R1 1 0 5\nL1 1 0 {nope}\n")
    main = tmp_path / "main.cir"
    main.write_text("* top\nR0 1 0 1\n.inc bad.inc\n")
    with pytest.raises(NetlistError) as info:
        read_netlist(str(main))
    assert (info.value.where.file, info.value.where.line, info.value.token) == ("bad.inc", 2, "nope")


def test_self_include_is_refused(tmp_path):
    loop = tmp_path / "loop.cir"
    loop.write_text("* t\n.include loop.cir\n")
    with pytest.raises(NetlistError, match="nested too deeply"):
        read_netlist(str(loop))


def test_missing_file():
    with pytest.raises(NetlistError, match="cannot read netlist"):
        read_netlist("/nonexistent/x.cir")

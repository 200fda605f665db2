"""The reader's fast path for common cards builds what the full path builds and reports
the same faults, also once its caches (values, junction models, waveforms) are warm."""
import dataclasses

import pytest

from kivrun.errors import NetlistError
from kivrun.netlist import parse_netlist

JJ = ".model jm jj(rtype=0, icrit=100uA, cap=0.1pF, rn=4)\n"
CELL = (JJ + ".subckt c a b\nR1 a m 5\nL1 m b 2p\nC1 m 0 1f\nB1 m 0 jm\nI1 0 m pwl(0 0 5p 10u)\n"
        "V1 b 0 pwl(0 0 5p 1m)\n.ends\n")


def test_instance_read_fast_equals_instance_read_in_full():
    # X0 warms the caches, so X1 is read fast; an instance that sets an element's value (to
    # the value written) takes the full path.  X1 and X2 hang on the same nodes.
    circuit = parse_netlist("* t\n" + CELL + "X0 c 5 6\nX1 c 1 2\nX2 c 1 2 R1=5\n.tran 1p 10p\n")
    by_name = {e.name: e for e in circuit.elements}
    for label in ("R1", "L1", "C1", "B1", "I1", "V1"):
        fast, full = by_name[f"{label}.X1"], by_name[f"{label}.X2"]
        as_read = [dataclasses.replace(e, name=e.name[:-3], nodes=tuple(n.split(".")[0] for n in e.nodes))
                   for e in (fast, full)]
        assert as_read[0] == as_read[1], label
        # Sources written alike share one waveform, junctions of one model one set of values.
        assert fast.waveform is full.waveform and fast.junction is full.junction
    assert by_name["R1.X1"].nodes == ("1", "m.x1") and by_name["B1.X2"].nodes == ("m.x2", "0")


@pytest.mark.parametrize("body, message, line, token", [
    ("R1 1 0 5\nR2 0 gnd 5\n", "both terminals at ground", 3, "R2"),
    (JJ + "B1 1 0 jm\nB1 2 0 jm\n", "defined twice", 4, "B1"),
    ("I1 1 0 pwl(0 0 1p 1u)\nI2 0 0 pwl(0 0 1p 1u)\n", "both terminals at ground", 3, "I2"),
    (".options maxelements=2\nR1 1 0 5\nR2 2 0 5\nR3 3 0 5\n", "grows past 2 elements", 5, "R3"),
    (".subckt c a\nR1 a 0 5\nR1 a 1 5\n.ends\nX1 c 1\n", "defined twice", 4, "R1.X1"),
    (".options maxelements=3\n.subckt c a\nR1 a 0 5\nR2 a 0 5\n.ends\nX1 c 1\nX2 c 2\n",
     "grows past 3 elements", 8, "X2"),
])
def test_faults_after_a_warm_cache_name_line_and_token(body, message, line, token):
    with pytest.raises(NetlistError) as info:
        parse_netlist("* t\n" + body, "f.cir")
    error = info.value
    assert message in error.message
    assert (error.where.line, error.token) == (line, token)

"""Command line: version, formats, trace patterns, the expanded listing, examples, messages."""
import subprocess
import sys

import numpy as np
import pytest

from simulation_support import requires
from kivrun import __version__, cli
from kivrun.example_files import names

RC = "* rc\n.options bogus=1\nI1 0 1 pwl(0 0 1f 100u)\nR1 1 0 10\nC1 1 0 1p\n.tran 2p 20p\n.print v(1) i(R1)\n"
needs_rc = requires("ResistorModel", "CapacitorModel", "CurrentSourceModel")


def test_version(capsys):
    with pytest.raises(SystemExit) as done:
        cli.main(["--version"])
    assert done.value.code == 0 and capsys.readouterr().out.strip() == f"kivrun {__version__}"


def test_examples_are_listed_and_shipped_in_the_package(capsys):
    assert cli.main(["examples"]) == 0
    out = capsys.readouterr().out
    assert {"jtl", "dc_to_sfq", "jtl_shunted", "mutual_inductance", "dc_junction", "tjm_junction"} <= set(names())
    for name in names():
        assert f"\n{name} " in "\n" + out
    assert "Josephson transmission line driven by an SFQ pulse" in out


def test_list_shows_the_expanded_circuit_without_simulating(capsys):
    assert cli.main(["run", "example:jtl", "--list"]) == 0
    lines = capsys.readouterr().out.splitlines()
    # 8 stages of B, IB, L plus P1, L0 and RL.
    assert lines[1] == "* elements: 27, nodes: 10" and len(lines) == 2 + 27 + 2
    row = {line.split()[0]: line.split(None, 3)[3] for line in lines[2:29]}
    assert row["B1.X8"] == "rsj Ic=250 µA C=350 fF R=2 Ω"
    assert row["L1.X3"] == "2 pH" and row["IB.X5"] == "DC 175 µA" and row["RL"] == "2 Ω"
    assert lines[-1] == ".print P(B1.X1) P(B1.X4) P(B1.X8) V(1) V(5) V(9)"
    assert "simulated" not in "\n".join(lines)


@needs_rc
@pytest.mark.parametrize("args, magic", [
    (["-o", "{d}/a.raw"], b"Title: rc\n"),
    (["-o", "{d}/a.txt", "--format", "rawascii"], b"Title: rc\n"),
    (["-o", "{d}/a.npz"], b"PK"),
])
def test_output_format_by_suffix_or_option(tmp_path, args, magic):
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    args = [a.format(d=tmp_path) for a in args]
    assert cli.main(["run", str(netlist), "-q"] + args) == 0
    assert open(args[1], "rb").read(len(magic)) == magic


@needs_rc
def test_raw_file_holds_the_output_grid(tmp_path):
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    out = tmp_path / "rc.raw"
    assert cli.main(["run", str(netlist), "-q", "-o", str(out)]) == 0
    data = out.read_bytes()
    head, body = data.split(b"Binary:\n", 1)
    assert b"No. Points: 11\n" in head and b"\t2\tI(R1)\tcurrent\n" in head
    table = np.frombuffer(body, dtype="<f8").reshape(11, 3)
    np.testing.assert_allclose(table[:, 0], 2e-12 * np.arange(11), rtol=1e-9)
    # RC charging to 100 uA * 10 ohm with tau = 10 ps.
    np.testing.assert_allclose(table[-1, 1], 1e-3 * (1 - np.exp(-2.0)), rtol=2e-3)


@needs_rc
def test_warnings_are_one_log_line_and_quiet_hides_them(tmp_path, capsys):
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    assert cli.main(["run", str(netlist)]) == 0
    err = capsys.readouterr().err
    assert err == f"kivrun: warning: {netlist}:2: option 'bogus' ignored\n"
    assert cli.main(["run", str(netlist), "-q", "-v"]) == 0
    assert capsys.readouterr().err == ""


@needs_rc
@pytest.mark.parametrize("args, message", [
    (["-o", "{d}/a.xyz"], "cannot tell the output format"),
    (["-o", "{d}/missing/a.csv"], "no folder"),
    (["--plot", "{d}/a.png", "--plot-traces", "Q(*)"], "no trace matches 'Q(*)'"),
])
def test_bad_outputs_are_one_line_errors(tmp_path, capsys, args, message):
    if "--plot" in args:
        pytest.importorskip("matplotlib")
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    assert cli.main(["run", str(netlist), "-q"] + [a.format(d=tmp_path) for a in args]) == 1
    err = capsys.readouterr().err
    assert message in err and len(err.splitlines()) == 1 and "Traceback" not in err


@needs_rc
def test_python_dash_m_passes_its_arguments_on(tmp_path):
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    out = tmp_path / "y.csv"
    done = subprocess.run([sys.executable, "-m", "kivrun", "run", str(netlist), "-o", str(out)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "rc: simulated 20 ps" in done.stdout
    assert out.read_text().splitlines()[0] == "time,V(1),I(R1)"
    assert "warnings.warn" not in done.stderr and "option 'bogus' ignored" in done.stderr

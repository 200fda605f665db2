"""Command line: run, outputs, errors, progress bar, subcommand hook."""
import csv
import io

import pytest

from simulation_support import requires
from kivrun import cli

RC = "* rc\nI1 0 1 pwl(0 0 1f 100u)\nR1 1 0 10\nC1 1 0 1p\n.tran 2p 20p\n.print v(1) i(R1)\n"


@requires("ResistorModel", "CapacitorModel", "CurrentSourceModel")
def test_run_writes_csv_on_the_output_grid_and_a_summary(tmp_path, capsys):
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    out = tmp_path / "out.csv"
    assert cli.main(["run", str(netlist), "-o", str(out)]) == 0
    rows = list(csv.reader(out.open()))
    assert rows[0] == ["time", "V(1)", "I(R1)"]
    assert [float(r[0]) for r in rows[1:]] == pytest.approx([2e-12 * k for k in range(11)])
    last = [float(x) for x in rows[-1]]
    assert last[1] == pytest.approx(10 * last[2], rel=1e-6)  # V = R·I
    assert "simulated 20 ps" in capsys.readouterr().out

    raw = tmp_path / "raw.csv"
    assert cli.main(["run", str(netlist), "-o", str(raw), "--raw", "-q", "--max-step", "0.1p"]) == 0
    times = [float(line.split(",")[0]) for line in raw.read_text().splitlines()[1:]]
    # The CSV holds 9 significant digits of each time.
    assert len(times) > 200 and max(b - a for a, b in zip(times, times[1:])) <= 0.1e-12 * (1 + 2e-6)
    assert capsys.readouterr().out == ""


@requires("ResistorModel", "CapacitorModel", "CurrentSourceModel")
def test_plot_is_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    netlist = tmp_path / "rc.cir"
    netlist.write_text(RC)
    png = tmp_path / "out.png"
    assert cli.main(["run", str(netlist), "--plot", str(png), "-q"]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_netlist_error_exits_1_with_location(tmp_path, capsys):
    bad = tmp_path / "bad.cir"
    bad.write_text("* bad\nR1 1 0 5\nL1 1 0 {nope}\n.tran 1p 2p\n")
    assert cli.main(["run", str(bad)]) == 1
    err = capsys.readouterr().err
    assert f"{bad}:3: unknown parameter: 'nope'" in err


def test_missing_tran_is_reported(tmp_path, capsys):
    net = tmp_path / "n.cir"
    net.write_text("* n\nR1 1 0 5\n")
    assert cli.main(["run", str(net)]) == 1
    assert "no .tran card" in capsys.readouterr().err


def test_no_command_prints_help(capsys):
    assert cli.main([]) == 2
    assert "run" in capsys.readouterr().out


def test_subcommands_can_be_added(capsys):
    seen = {}

    def configure(parser):
        parser.add_argument("data")

    def handler(args):
        seen["data"] = args.data
        return 7

    cli.register("fitdemo", "a test subcommand", configure, handler)
    try:
        assert cli.main(["fitdemo", "x.dat"]) == 7
        assert seen == {"data": "x.dat"}
    finally:
        del cli.SUBCOMMANDS["fitdemo"]


def test_progress_bar_only_when_asked_for_and_after_the_delay():
    stream = io.StringIO()
    quiet = cli.ProgressBar(stream=stream)  # not a terminal, and a short run
    quiet(0.5)
    quiet.close()
    assert stream.getvalue() == ""
    log = io.StringIO()
    long_run = cli.ProgressBar(stream=log, log_delay=0.0)
    for fraction in (0.05, 0.12, 0.15, 0.31):
        long_run(fraction)
    assert log.getvalue().splitlines() == ["kivrun: 12% after 0 s", "kivrun: 31% after 0 s"]
    shown = cli.ProgressBar(stream=stream, delay=0.0, force=True)
    shown(0.5)
    shown(1.0)
    shown.close()
    text = stream.getvalue()
    assert "50.0%" in text and "100.0%" in text and text.endswith("\n")
    assert "[" + "#" * 15 + "." * 15 + "]" in text


def test_missing_netlist_file_is_a_netlist_error(capsys):
    assert cli.main(["run", "/nonexistent/circuit.cir"]) == 1
    assert "cannot read netlist" in capsys.readouterr().err


def test_tjmfit_is_mounted_with_its_own_options_and_without_scipy(capsys):
    import subprocess
    import sys

    # Arguments reach the fitter's own parser: its --help, its range check.
    with pytest.raises(SystemExit):
        cli.main(["tjmfit", "--help"])
    out = capsys.readouterr().out
    assert out.startswith("usage: kivrun tjmfit") and "{fit,ship,report}" in out
    with pytest.raises(SystemExit, match="between 1 and 20"):
        cli.main(["tjmfit", "fit", "--terms", "30"])
    assert "tjmfit" in cli.SUBCOMMANDS and "tjmfit" in cli.OWN_HELP
    # Start-up and the fitter's help load no SciPy (a fit does).
    code = ("import sys\nfrom kivrun import cli\ntry:\n    cli.main(['tjmfit', 'fit', '--help'])\n"
            "except SystemExit:\n    pass\nprint('scipy' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip().endswith("False") and "--terms" in done.stdout

"""Output files read back by independent readers, frames, lookups by every spelling, the summary."""
import csv

import numpy as np
import pytest

from simulation_support import requires
from kivrun import example_path, simulate

pytestmark = requires("JunctionModel", "ResistorModel", "InductorImpedanceModel", "CurrentSourceModel")

# A 50 uA ramp forced through R0 (1 ohm) into a junction cell: V(1,2) = 1 ohm * I(R0).
CELL = """* lookup cell
.model jj1 jj(icrit=100uA, cap=0.1pF, rn=5ohm)
.subckt cell a
B1 a 0 jj1
L1 a n 2pH
R1 n 0 1ohm
.ends
I1 0 1 pwl(0 0 10p 50u)
R0 1 2 1ohm
X1 cell 2
.tran 0.5p 40p
.print v(1) v(2) v(1,2) i(R0) p(B1.X1) v(n.X1) i(L1.X1)
"""


@pytest.fixture(scope="module")
def result():
    return simulate(CELL)


def test_the_cell_obeys_ohms_law(result):
    assert result["V(1,2)"][-1] == pytest.approx(50e-6, rel=1e-6)
    assert np.allclose(result["V(1,2)"], result["I(R0)"] * 1.0, atol=1e-12)


def _read_csv(path):
    rows = list(csv.reader(open(path, newline="")))
    table = np.array(rows[1:], dtype=float)
    return rows[0][1:], table[:, 0], {label: table[:, k + 1] for k, label in enumerate(rows[0][1:])}


def _read_npz(path):
    data = np.load(path)
    labels = list(data["labels"])
    assert list(data["units"]) == ["V", "V", "V", "A", "rad", "V", "A"]
    return labels, data["time"], {k: data[k] for k in labels}


def _read_raw(path):
    spicelib = pytest.importorskip("spicelib")
    raw = spicelib.RawRead(path, traces_to_read="*", verbose=False)
    names = raw.get_trace_names()
    assert names[0] == "time"
    assert [raw.get_trace(n).whattype for n in names[1:4]] == ["voltage", "voltage", "voltage"]
    return names[1:], raw.get_axis(), {n: raw.get_trace(n).get_wave() for n in names[1:]}


def _read_netcdf(path):
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path) as ds:
        labels = [k for k in ds.data_vars if not k.startswith("event_")]
        assert ds["time"].attrs["units"] == "s" and ds["I(R0)"].attrs["units"] == "A"
        return labels, ds["time"].values, {k: ds[k].values for k in labels}


@pytest.mark.parametrize("name, fmt, reader, rtol", [
    ("out.csv", None, _read_csv, 1e-8),          # nine significant digits
    ("out.raw", None, _read_raw, 0.0),           # binary doubles
    ("out.txt", "rawascii", _read_raw, 0.0),     # 17 digits: exact
    ("out.dat", "npz", _read_npz, 0.0),
    ("out.nc", None, _read_netcdf, 0.0),
    ("out.h5", None, _read_netcdf, 0.0),
])
def test_every_format_reads_back_as_the_result(result, tmp_path, name, fmt, reader, rtol):
    if fmt is None and name.endswith((".nc", ".h5")):
        pytest.importorskip("h5netcdf")
    path = tmp_path / name
    assert result.save(str(path), fmt) == (fmt or {"csv": "csv", "raw": "raw"}.get(name[4:], "netcdf"))
    assert path.exists() and not (tmp_path / (name + ".npz")).exists()
    labels, time, traces = reader(str(path))
    assert labels == list(result.traces)
    np.testing.assert_allclose(time, result.time, rtol=rtol, atol=0)
    for label in labels:
        np.testing.assert_allclose(traces[label], result.traces[label], rtol=rtol, atol=1e-300)


def test_csv_on_the_output_grid_keeps_the_old_layout(result, tmp_path):
    path = tmp_path / "grid.csv"
    result.to_csv(str(path), step=result.output_step)
    text = path.read_bytes()
    assert text.startswith(b'time,V(1),V(2),"V(1,2)",I(R0),P(B1.X1),V(n.X1),I(L1.X1)\r\n0,0,')
    _, time, _ = _read_csv(path)
    np.testing.assert_allclose(time, 0.5e-12 * np.arange(81), rtol=1e-9)


def test_dataframe_and_xarray_round_trip_with_units(result):
    pd = pytest.importorskip("pandas")
    frame = result.to_dataframe()
    assert list(frame.columns) == list(result.traces) and frame.index.name == "time"
    np.testing.assert_array_equal(frame.index.values, result.time)
    np.testing.assert_array_equal(frame["P(B1.X1)"].values, result["P(B1.X1)"])
    assert frame.attrs["units"]["V(1,2)"] == "V" and frame.attrs["units"]["P(B1.X1)"] == "rad"
    assert isinstance(frame, pd.DataFrame)
    xr = pytest.importorskip("xarray")
    ds = result.to_xarray(step=1e-12)
    assert isinstance(ds, xr.Dataset) and ds.sizes["time"] == 41
    np.testing.assert_allclose(ds["I(L1.X1)"].values, np.interp(ds["time"].values, result.time, result["I(L1.X1)"]))
    assert ds["I(L1.X1)"].attrs["units"] == "A" and ds["I(L1.X1)"].attrs["quantity"] == "current"


@pytest.mark.parametrize("spelling, label", [
    ("P(X1.B1)", "P(B1.X1)"), ("p(b1|x1)", "P(B1.X1)"), ("PHASE X1.B1", "P(B1.X1)"), ("devp B1.X1", "P(B1.X1)"),
    ("v(x1.n)", "V(n.X1)"), ("NODEV n|x1", "V(n.X1)"), ("I(X1.L1)", "I(L1.X1)"), ("DEVI L1.X1", "I(L1.X1)"),
    ("V(1, 0)", "V(1)"), ("v(1,GND)", "V(1)"), ("NODEV 1", "V(1)"), ("v( 1 , 2 )", "V(1,2)"), ("i(r0)", "I(R0)"),
])
def test_lookup_by_every_spelling_a_card_accepts(result, spelling, label):
    assert result[spelling] is result.traces[label]


def test_differences_not_recorded_are_built_from_node_traces(result):
    np.testing.assert_allclose(result["V(2,1)"], -result["V(1,2)"], atol=1e-15)
    np.testing.assert_allclose(result["V(0,2)"], -result["V(2)"])
    np.testing.assert_allclose(result["V(1,n.X1)"], result["V(1)"] - result["V(n.X1)"])
    for missing in ("V(3)", "I(B1.X1)", "V(1,3)", "Q(1)", "nonsense"):
        with pytest.raises(KeyError):
            result[missing]


def test_plot_returns_a_figure_of_the_chosen_traces(result):
    pytest.importorskip("matplotlib")
    fig = result.plot(traces="V(1*),I(*)")
    axes = fig.get_axes()
    assert [a.get_ylabel() for a in axes] == ["voltage (mV)", "current (µA)"]
    assert [line.get_label() for line in axes[0].get_lines()] == ["V(1)", "V(1,2)"]
    assert axes[-1].get_xlabel() == "time (ps)"
    # Scaled to µA: the 50 uA source current through R0 ends at 50.
    assert axes[1].get_lines()[0].get_ydata()[-1] == pytest.approx(50.0, rel=1e-6)
    with pytest.raises(KeyError, match="no trace matches"):
        result.plot(traces=["Q(*)"])


def test_progress_runs_from_zero_to_exactly_one():
    seen = []
    # The loop reports every ~50 ms of wall time, so a short run reports only its ends.
    simulate(CELL.replace("40p", "200p"), fixed_step=0.1e-12, progress=seen.append)
    assert seen[0] == 0.0 and seen[-1] == 1.0
    assert all(b > a for a, b in zip(seen, seen[1:]))


@requires("VoltageSourceModel")
def test_summary_puts_junction_events_first_and_sources_on_one_line():
    r = simulate(example_path("jtl_shunted"))
    lines = r.summary().splitlines()
    assert [line.split(":")[0].strip() for line in lines[3:7]] == [f"B01.X{k}" for k in range(1, 5)]
    rail = len(r.event_times("VRAIL"))
    assert rail > 100 and lines[7:] == [f"  source phase counters (net quanta): VRAIL +{rail}"]

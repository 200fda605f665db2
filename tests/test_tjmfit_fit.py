"""Shared-pole fit: kernel convention, variable projection, honest fit reports."""
import math

import numpy as np
import pytest

pytest.importorskip("scipy")
from scipy import integrate  # noqa: E402

from kivrun.tjmfit import fit  # noqa: E402
from kivrun.tjmfit.response import BCSResponse  # noqa: E402


def direct_transform(entry_amp, poles, x):
    """int_0^inf Re(sum A e^{P s}) e^{i x s} ds by quadrature of the time-domain kernel."""
    def j(s):
        return float(np.real(np.sum(entry_amp * np.exp(poles * s))))
    if x == 0:
        return complex(integrate.quad(j, 0, np.inf, limit=500)[0], 0.0)
    re = integrate.quad(j, 0, np.inf, weight="cos", wvar=x, limlst=200)[0]
    im = integrate.quad(j, 0, np.inf, weight="sin", wvar=x, limlst=200)[0]
    return complex(re, im)


def test_table_convention_is_the_transform_of_the_models_kernel():
    a = np.array([0.7 - 0.2j, -0.1 + 0.4j, 0.3 + 0j])
    p = np.array([-0.3 + 1.1j, -1.5 + 0.2j, -0.8 + 0j])
    x = np.array([0.0, 0.4, 1.1, 3.0])
    got = fit.evaluate(a, p, x)
    want = np.array([direct_transform(a, p, xx) for xx in x])
    np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-9)
    # at x = 0 the pair transform is what the model's normalisation sums: -sum Re(A/P)
    assert got[0].real == pytest.approx(-np.sum((a / p).real))
    # J(-x) = conj J(x): a real kernel
    np.testing.assert_allclose(fit.evaluate(a, p, -x), np.conj(got))


def test_variable_projection_recovers_known_poles_and_amplitudes():
    p0 = np.array([-0.4 + 0.0j, -0.05 + 1.0j, -0.8 + 2.5j])
    a0 = np.array([0.3 + 0j, 0.05 - 0.02j, 0.4 + 0.3j])
    b0 = np.array([-0.2 + 0j, 0.1 + 0.05j, -0.3 + 0.1j])
    x = np.linspace(0, 6, 301)
    data = fit.FitData(x, fit.evaluate(a0, p0, x), fit.evaluate(b0, p0, x),
                       np.ones_like(x), np.ones_like(x))
    res = fit.fit_poles(data, 3, 0.05, 6.0, ladders=2, max_nfev=100)
    assert np.all(res.P.real < 0)
    order = np.argsort(res.P.imag)
    np.testing.assert_allclose(res.P[order].real, p0.real, rtol=1e-6)
    np.testing.assert_allclose(np.abs(res.P[order].imag), p0.imag, atol=1e-6)
    # a pole and its conjugate describe the same term when the amplitude is conjugated too
    flip = np.sign(res.P[order].imag) < 0
    a = np.where(flip, np.conj(res.A[order]), res.A[order])
    b = np.where(flip, np.conj(res.B[order]), res.B[order])
    np.testing.assert_allclose(a.real, a0.real, atol=1e-6)
    np.testing.assert_allclose(b.real, b0.real, atol=1e-6)
    np.testing.assert_allclose(a.imag[1:], a0.imag[1:], atol=1e-6)   # Im A of a real pole is void
    np.testing.assert_allclose(b.imag[1:], b0.imag[1:], atol=1e-6)


def test_fit_report_matches_direct_evaluation_of_the_table():
    delta = 0.05
    resp = BCSResponse(0.0, delta)
    data = fit.make_fit_data(resp, fit.fit_grid(delta, 6.0)[::3])
    res = fit.fit_poles(data, 4, delta, 6.0, ladders=1, max_nfev=25)
    a, b, p = (np.asarray(v) for v in res.entry())
    assert np.all(p.real < 0)
    assert len(a) == len(b) == len(p) == 4

    x = np.array([0.0, 0.3, 0.7, 0.95, 0.99, 1.0, 1.01, 1.05, 1.2, 2.0, 6.0])
    small = fit.report(res.entry(), resp, xmax=6.0, x=x)
    rep = fit.report(res.entry(), resp, xmax=6.0,
                     x=np.union1d(x, fit.check_grid(6.0)[::10]))
    # a coarse fit, but a real one: Ic and the IV within a few percent
    assert abs(rep.ic_rel) < 0.05 and rep.iv_rel_max < 0.05
    jq, jp = resp(x)
    fq = np.array([direct_transform(b, p, xx) for xx in x])
    fp = np.array([direct_transform(a, p, xx) for xx in x])
    iv = x + jq.imag
    above, below = x >= 1.05, x <= 0.95
    assert small.ic_rel == pytest.approx((fp[0].real - jp[0].real) / jp[0].real, rel=1e-5)
    assert small.ic_rel == pytest.approx((-np.sum((a / p).real) - jp[0].real) / jp[0].real,
                                         rel=1e-9)
    assert small.iv_rel_max == pytest.approx(
        np.max(np.abs(fq.imag - jq.imag)[above] / iv[above]), rel=1e-5)
    assert small.subgap_abs == pytest.approx(np.max(np.abs(fq.imag - jq.imag)[below]), rel=1e-5)
    edge = (x > 0.8) & (x < 1.2)
    assert small.riedel_rel == pytest.approx(
        (fp.real[edge].max() - jp.real[edge].max()) / jp.real[edge].max(), rel=1e-5, abs=1e-9)
    # a report on a denser grid can only find larger errors
    assert rep.iv_rel_max >= small.iv_rel_max * (1 - 1e-9)
    assert rep.subgap_abs >= small.subgap_abs * (1 - 1e-9)
    assert rep.ic_rel == small.ic_rel
    assert math.isfinite(rep.riedel_rel)


def test_command_line_fit_and_generated_module(tmp_path, capsys, monkeypatch):
    from kivrun.tjmfit import main, table

    # coarse grids: this checks the plumbing, the numerics are tested above
    monkeypatch.setattr(fit, "fit_grid", lambda delta, xmax: np.linspace(0, xmax, 121))
    monkeypatch.setattr(fit, "check_grid", lambda xmax: np.linspace(0, xmax, 201))
    out = tmp_path / "k.json"
    assert main(["fit", "--terms", "3", "--ladders", "1", "--max-nfev", "10", "--refine", "0",
                 "--delta", "0.05", "--xmax", "4", "--quiet", "--json", str(out)]) == 0
    import json
    got = json.loads(out.read_text())
    entry = tuple([complex(*v) for v in got[k]] for k in "ABP")
    assert all(len(v) == 3 for v in entry) and all(v.real < 0 for v in entry[2])
    printed = capsys.readouterr().out
    assert "Ic (Re Jp at 0) relative error" in printed
    # the generated module is Python that gives back the very same numbers
    text = table.module_text({"k": entry}, {"k": got["report"]}, {"k": {"t": 0.0}})
    ns = {}
    exec(compile(text, "tjm_kernels.py", "exec"), ns)
    assert ns["TJM_MODELS"]["k"] == tuple(list(v) for v in entry)
    assert "python -m kivrun.tjmfit ship" in ns["__doc__"]
    with pytest.raises(SystemExit):
        main(["fit", "--terms", "21"])


@pytest.mark.parametrize("name", ["bcs_t0", "nb_4k2"])
def test_shipped_kernels_meet_targets_against_fresh_bcs(name):
    from kivrun import tjm_kernels

    cfg = tjm_kernels.FIT_SETTINGS[name]
    stored = tjm_kernels.FIT_REPORTS[name]
    x = fit.check_grid(cfg["xmax"])[::8]
    assert x[0] == 0.0
    rep = fit.report(tjm_kernels.TJM_MODELS[name], BCSResponse(cfg["t"], cfg["delta"]),
                     cfg["xmax"], x=x)
    assert abs(rep.ic_rel) < 5e-3 and rep.iv_rel_max < 1e-3
    # a subset of the documented check grid cannot show larger errors than documented
    assert rep.ic_rel == pytest.approx(stored["ic_rel"], rel=1e-3)
    assert rep.iv_rel_max <= stored["iv_rel_max"] * (1 + 1e-6)
    assert rep.subgap_abs <= stored["subgap_abs"] * (1 + 1e-6)
    assert rep.jp_rel_max <= stored["jp_rel_max"] * (1 + 1e-6)

"""BCS response functions: closed forms, direct energy integrals, causality, smoothing."""
import math

import numpy as np
import pytest

scipy = pytest.importorskip("scipy")
from scipy import integrate, special  # noqa: E402

from kivrun.tjmfit import response as r  # noqa: E402


def _fermi(e, tau):
    return 0.0 if tau == 0 else special.expit(-e / tau)


def _direct_im(x, tau):
    """Im Jq and Im Jp straight from the energy integrals, with QUADPACK's algebraic
    end-point weights for the inverse square roots (no substitutions)."""
    q = p = 0.0
    if x > 1:
        a, b = 1 - 2 * x, -1.0   # pair-breaking window: eps < -1 < 1 < eps + 2x
        df = lambda e: _fermi(e, tau) - _fermi(e + 2 * x, tau) if tau else 1.0  # noqa: E731
        rest = lambda e: 1.0 / math.sqrt((1 - e) * (e + 2 * x + 1))  # noqa: E731
        q += 0.5 * integrate.quad(lambda e: abs(e) * abs(e + 2 * x) * rest(e) * df(e), a, b,
                                  weight="alg", wvar=(-0.5, -0.5), epsabs=1e-13)[0]
        p += 0.5 * integrate.quad(lambda e: rest(e) * df(e), a, b, weight="alg",
                                  wvar=(-0.5, -0.5), epsabs=1e-13)[0]
    if tau > 0:
        top = 1 + 60 * tau      # eps > 1 and the mirror eps + 2x < -1 contribute alike
        df = lambda e: _fermi(e, tau) - _fermi(e + 2 * x, tau)  # noqa: E731
        rest = lambda e: 1.0 / math.sqrt((e + 1) * ((e + 2 * x) ** 2 - 1))  # noqa: E731
        q += integrate.quad(lambda e: e * (e + 2 * x) * rest(e) * df(e), 1, top, weight="alg",
                            wvar=(-0.5, 0), epsabs=1e-13, limit=200)[0]
        p -= integrate.quad(lambda e: rest(e) * df(e), 1, top, weight="alg", wvar=(-0.5, 0),
                            epsabs=1e-13, limit=200)[0]
    return q, p


class TestZeroTemperature:
    xs = [1.0001, 1.2, 2.0, 5.0, 40.0]

    def test_closed_forms_match_energy_integrals(self):
        for x in self.xs:
            q, p = _direct_im(x, 0.0)
            assert r.im_jq0_excess(np.array([x]))[0] + x == pytest.approx(q, rel=1e-9, abs=1e-12)
            assert r.im_jp0(np.array([x]))[0] == pytest.approx(p, rel=1e-9)

    def test_gap_step_and_normal_asymptote(self):
        below, above = r.imaginary_parts(np.array([1.0]), 0.0, "left"), r.imaginary_parts(
            np.array([1.0]), 0.0, "right")
        # quasiparticle IV and Im Jp both jump by pi/4 at the gap
        assert above[0][0] - below[0][0] == pytest.approx(math.pi / 4, rel=1e-12)
        assert above[1][0] - below[1][0] == pytest.approx(math.pi / 4, rel=1e-12)
        x = np.array([0.2, 0.9])
        q, p = r.imaginary_parts(x, 0.0)
        assert np.all(q + x == 0) and np.all(p == 0)           # nothing flows below the gap
        x = np.array([200.0, 800.0])
        q, _ = r.imaginary_parts(x, 0.0)
        np.testing.assert_allclose(q, -1 / (4 * x), rtol=2e-4)  # I -> x - 1/(4x)

    def test_re_jp_closed_form_is_kramers_kronig_of_im_jp(self):
        # direct principal-value integral, independent of the tool's Cauchy machinery
        def kk(x):
            f = lambda xp: xp * r.im_jp0(np.array([xp]))[0] / (xp + x)  # noqa: E731
            if x < 1:
                g = lambda xp: 2 * xp * r.im_jp0(np.array([xp]))[0] / (xp**2 - x**2)  # noqa: E731
                return (integrate.quad(g, 1, 50, limit=400)[0]
                        + integrate.quad(g, 50, np.inf, limit=400)[0]) / math.pi
            main = integrate.quad(f, 1, 50, weight="cauchy", wvar=x, limit=400)[0]
            tail = integrate.quad(lambda xp: 2 * xp * r.im_jp0(np.array([xp]))[0] / (xp**2 - x**2),
                                  50, np.inf, limit=400)[0]
            return (2 * main + tail) / math.pi
        for x in [0.0, 0.5, 0.9, 1.5, 3.0]:
            assert kk(x) == pytest.approx(r.re_jp0(np.array([x]))[0], rel=2e-6)
        assert r.re_jp0(np.array([0.0]))[0] == pytest.approx(math.pi / 4)

    def test_cauchy_transform_reproduces_closed_real_part(self):
        _, gp = r.spectral_grid(0.0)
        x = np.array([0.0, 0.37, 0.93, 1.07, 2.2, 7.3])
        j = gp.transform(x + 0j)
        np.testing.assert_allclose(j.real, r.re_jp0(x), rtol=2e-6)
        np.testing.assert_allclose(j.imag, r.im_jp0(x), atol=1e-12)


class TestFiniteTemperature:
    def test_imaginary_parts_match_energy_integrals(self):
        t = 0.5
        tau = r.reduced_temperature(t)
        for x in [0.01, 0.3, 0.9, 1.05, 1.3, 1.7, 3.0, 12.0]:
            q, p = r.imaginary_parts(np.array([x]), t)
            dq, dp = _direct_im(x, tau)
            assert q[0] + x == pytest.approx(dq, rel=1e-6, abs=1e-9), x
            assert p[0] == pytest.approx(dp, rel=1e-6, abs=1e-9), x

    @pytest.mark.parametrize("t", [0.3, 4.2 / 9.2, 0.8])
    def test_static_pair_response_is_ambegaokar_baratoff(self, t):
        _, gp = r.spectral_grid(t)
        ic = gp.transform(np.array([0j]))[0].real
        assert ic == pytest.approx(math.pi / 4 * math.tanh(0.5 / r.reduced_temperature(t)),
                                   rel=5e-5)

    def test_bcs_gap(self):
        assert r.gap_ratio(0.0) == 1.0
        # exponentially flat at low T: 1 - sqrt(2 pi kT/Delta0) exp(-Delta0/kT)
        for t in (0.15, 0.2, 0.25):
            tau = t / r.BCS_RATIO
            dip = math.sqrt(2 * math.pi * tau) * math.exp(-1 / tau)
            assert 1 - r.gap_ratio(t) == pytest.approx(dip, rel=0.1)
        # Ginzburg-Landau limit: Delta/Delta0 -> 1.7367 sqrt(1 - t)
        assert r.gap_ratio(0.999) == pytest.approx(1.7367 * math.sqrt(0.001), rel=2e-3)
        assert 1.76 < r.BCS_RATIO < 1.765
        # thermal quasiparticles give a subgap current that a T = 0 junction lacks
        q, _ = r.imaginary_parts(np.array([0.5]), 4.2 / 9.2)
        assert q[0] + 0.5 > 1e-3


class TestSmoothing:
    def test_single_pole_is_reproduced_off_axis(self):
        # J = i/(x + i) is the transform of exp(-s); the grid sees only Im J on the axis
        x = r.spectral_nodes()
        g = x / (1 + x**2)
        grid = r.SpectralGrid(x, g, g)
        z = np.array([0.0 + 0.01j, 0.5 + 0.01j, 1.0 + 0.2j, 4.0 + 0.0j])
        np.testing.assert_allclose(grid.transform(z), 1j / (z + 1j), rtol=1e-6)

    def test_smoothed_pair_response_against_direct_cauchy_integral(self):
        d = 0.02
        resp = r.BCSResponse(0.0, d)
        for x in [0.6, 1.0, 1.3]:
            z = x + 1j * d
            k = lambda xp: (1 / (xp - z) + 1 / (xp + z)) * r.im_jp0(np.array([xp]))[0]  # noqa
            re = sum(integrate.quad(lambda s: k(s).real, a, b, limit=400, points=pts)[0]
                     for a, b, pts in [(1, 2, [x]), (2, np.inf, None)])
            im = sum(integrate.quad(lambda s: k(s).imag, a, b, limit=400, points=pts)[0]
                     for a, b, pts in [(1, 2, [x]), (2, np.inf, None)])
            jp = resp(np.array([x]))[1][0]
            assert jp == pytest.approx((re + 1j * im) / math.pi, rel=1e-5)

    def test_smoothing_caps_riedel_peak(self):
        x = np.linspace(0.97, 1.03, 241)
        peaks = [r.BCSResponse(0.0, d)(x)[1].real.max() for d in (0.04, 0.01, 0.0025)]
        assert peaks[0] < peaks[1] < peaks[2] < 10
        # Re Jp ~ (1/4) ln(8/|1 - x|) near the gap: a factor 4 in delta adds ln(4)/4
        assert peaks[2] - peaks[1] == pytest.approx(peaks[1] - peaks[0], rel=0.1)
        assert peaks[2] - peaks[1] == pytest.approx(math.log(4) / 4, rel=0.05)

"""Thermal noise and process spread: generator statistics, netlist cards, physics, seeds."""
from __future__ import annotations

import math
from dataclasses import replace

import numpy as np
import pytest
from scipy import integrate, signal, stats
from scipy.special import i0e

from kivrun import noise
from kivrun.api import load, prepare, run_prepared, simulate
from kivrun.errors import NetlistError
from kivrun.netlist import parse_netlist

K = noise.BOLTZMANN


def test_generator_is_pure_standard_normal_and_the_same_everywhere():
    ks = np.arange(200_000)
    z = noise.normals(7, 3, ks)
    # Mean, variance and fourth moment of N(0, 1), to about 4 standard errors.
    assert abs(z.mean()) < 4 / math.sqrt(z.size)
    assert abs(z.var() - 1) < 4 * math.sqrt(2 / z.size)
    assert abs(np.mean(z ** 4) - 3) < 4 * math.sqrt(96 / z.size)
    # The whole distribution (Kolmogorov–Smirnov at the 0.1 % level) and the
    # tails: beyond 3, and beyond the ziggurat's base layer at 3.44.
    assert stats.kstest(z, "norm").pvalue > 1e-3
    for cut in (3.0, 3.442619855899):
        expected = z.size * 2 * stats.norm.sf(cut)
        assert abs(np.sum(np.abs(z) > cut) - expected) < 4 * math.sqrt(expected)
    # Neighbouring samples and streams are uncorrelated.
    assert abs(np.mean(z[1:] * z[:-1])) < 4 / math.sqrt(z.size)
    assert abs(np.mean(z * noise.normals(7, 4, ks))) < 4 / math.sqrt(z.size)
    # Scalar, NumPy and compiled samples are the same bits, the rare wedge and
    # tail draws (among the first 3000) included; a linear path at its knots
    # is its samples.
    scalar = [noise.normal(7, 3, k) for k in range(3000)]
    np.testing.assert_array_equal(scalar, z[:3000])
    at_knots = noise.ThermalNoise(7, 3, 1.0, 1.0).at_times(np.arange(20_000.0))
    np.testing.assert_array_equal(at_knots, z[:20_000])
    assert noise.normal(8, 3, 5) != scalar[5] and noise.normal(7, 2**63 + 3, 5) != scalar[5]


@pytest.mark.parametrize("kind", ["thermal", "density"])
def test_path_variance_and_flat_spectrum(kind):
    """Density D·sinc^2p(fΔ) (p = 4 cubic, 2 linear), flat at low f; variance D·B over the bandwidth B.

    Thermal noise (cubic join): D = 4kT/R and B as given.  A NOISE source
    (linear join): D = A², B = 1/(3Δ).
    """
    if kind == "thermal":
        r, temp, bandwidth = 5.0, 4.2, 1e12
        wave, density, power = noise.thermal_noise(11, "r1", r, temp, bandwidth), 4 * K * temp / r, 8
    else:
        wave, density, power = noise.density_source(11, "i1", 3e-11, 0.25e-12), 9e-22, 4
        bandwidth = 1 / (3 * wave.interval)
    n_intervals = 40_000
    rng = np.random.default_rng(0)
    t_random = rng.uniform(0, n_intervals * wave.interval, 400_000)
    variance = np.var(wave.values(t_random))
    assert variance == pytest.approx(density * bandwidth, rel=0.03)
    dt = wave.interval / 8
    x = wave.values(np.arange(n_intervals * 8) * dt)
    f, psd = signal.welch(x, fs=1 / dt, nperseg=1024)
    expected = density * np.sinc(f * wave.interval) ** power
    # Welch removes each segment's mean, which through the window's leakage
    # takes 10–20 % from the first bin above zero: compare from the second on.
    band = (f > f[1]) & (f <= bandwidth)
    # 40000·8/512 segments averaged: a few % scatter per bin.
    np.testing.assert_allclose(psd[band], expected[band], rtol=0.2)
    low = (f > 0) & (f < 0.2 * bandwidth)
    assert psd[low].mean() == pytest.approx(density, rel=0.05)
    # Both joins halve the density by about B (0.46-0.47 of it there).
    assert 0.42 < np.sinc(bandwidth * wave.interval) ** power < 0.5


@pytest.mark.parametrize("cubic", [False, True])
def test_cached_path_does_not_depend_on_evaluation_order(cubic):
    wave = noise.ThermalNoise(3, noise.stream_id("x"), 2.0, 1e-13, delay=5e-13, cubic=cubic)
    times = np.random.default_rng(1).uniform(5e-13, 1e-11, 300)
    times[0] = 5.5e-13  # the first call falls between samples 0 and 1
    scalar = [wave.value(t) for t in times]
    again = [wave.value(t) for t in np.sort(times)]
    np.testing.assert_array_equal(scalar, wave.values(times))
    assert dict(zip(times, scalar)) == dict(zip(np.sort(times), again))
    assert wave.value(4e-13) == 0.0
    # Absurd times: no overflow, the same value both ways (0 for NaN).
    extremes = [math.nan, math.inf, 1e300, 2.0 ** 60 * 1e-13, -1.0]
    np.testing.assert_array_equal(wave.at_times(extremes), wave.values(np.array(extremes)))
    assert wave.value(math.nan) == 0.0 and wave.value(1e300) == wave.value(math.inf) != 0.0


@pytest.mark.parametrize("cubic", [True, False])
def test_join_at_a_sample(cubic):
    """At the knot x = k the cubic join is σ(z_k + 4z_{k+1} + z_{k+2})/6 with slope σ(z_{k+2} - z_k)/(2Δ)
    from either side (sample n sits at x = n - 1); the linear one is σz_k with a corner there."""
    sigma, delta, k, eps = 3.0, 1e-12, 7, 1e-16
    wave = noise.ThermalNoise(4, noise.stream_id("r5"), sigma, delta, cubic=cubic)
    z = [noise.normal(4, wave.stream, n) for n in range(k - 1, k + 3)]
    before, at, after = wave.at_times([k * delta - eps, k * delta, k * delta + eps])
    left, right = (at - before) / eps, (after - at) / eps
    scale = sigma / delta  # of a slope; finite differences err by about eps/Δ of it
    if cubic:
        assert at == pytest.approx(sigma * (z[1] + 4 * z[2] + z[3]) / 6, rel=1e-12)
        slope = sigma * (z[3] - z[1]) / (2 * delta)
        assert abs(left - slope) < 1e-3 * scale and abs(right - slope) < 1e-3 * scale
    else:
        assert at == pytest.approx(sigma * z[1], rel=1e-12)
        assert right - left == pytest.approx(sigma * (z[2] - 2 * z[1] + z[0]) / delta, rel=1e-3)


@pytest.mark.parametrize("cubic", [False, True])
def test_loop_follows_the_path_whatever_the_steps(cubic):
    """The source's current at every accepted time is the path there, adaptive or fixed step."""
    circuit = load("* x\nR1 a 0 1\nC1 a 0 2p\nI1 0 a noise(1e-10 1p 0.2p)\n.tran 0.1p 30p\n.print i(I1)\n")
    elements = [replace(e, waveform=replace(e.waveform, cubic=cubic)) if e.name == "I1" else e
                for e in circuit.elements]
    circuit = replace(circuit, elements=elements)
    wave = next(e for e in prepare(circuit, seed=3).circuit.elements if e.name == "I1").waveform
    for steps in ({}, {"fixed_step": 0.07e-12}):
        result = simulate(circuit, seed=3, **steps)
        path = wave.values(result.time)
        np.testing.assert_allclose(result["I(I1)"], path, rtol=0, atol=1e-14 * np.abs(path).max())


def test_adaptive_step_rejects_few_steps_with_thermal_noise():
    """A corner in every sample interval made a quarter of the steps fail the error test."""
    stages = 20
    cells = "\n".join(f"B{k} n{k} 0 jj1\nRS{k} n{k} 0 2\nIB{k} 0 n{k} dc 175u\nL{k} n{k} n{k + 1} 2p"
                      for k in range(1, stages + 1))
    text = (f"* JTL\n.temp 4.2\n.model jj1 jj(icrit=250u, cap=0.35p, rtype=0, rn=2)\n"
            f"P1 a 0 pwl(0 0 5p 0 10p 6.283185)\nL0 a n1 2p\n{cells}\nRL n{stages + 1} 0 2\n.tran 0.1p 200p\n")
    stats = simulate(text, seed=5).stats
    assert stats.rejected < 0.1 * stats.accepted


RC = """* parallel RC nodes
.temp 4.2
.neb 1e12
{cells}
.tran 0.1p {stop}p
{prints}
"""


def _rc_netlist(cells: int, stop: float, extra: str = "") -> str:
    body = "\n".join(f"R{k} n{k} 0 1\nC{k} n{k} 0 2p" for k in range(cells))
    prints = "\n".join(f".print v(n{k})" for k in range(cells))
    return RC.format(cells=body + extra, stop=stop, prints=prints)


def test_rc_node_voltage_variance():
    """<V²> = ∫ 4kT R sinc⁸(fΔ)/(1 + (2πfRC)²) df, about kT/C less the part above B."""
    cells, r, c, temp = 24, 1.0, 2e-12, 4.2
    result = simulate(_rc_netlist(cells, 400), seed=5)
    delta = 151 / (630 * 1e12)  # the cubic join's Δ for B = 1 THz
    integrand = lambda f: 4 * K * temp * r * np.sinc(f * delta) ** 8 / (1 + (2 * math.pi * f * r * c) ** 2)
    pieces = [(0, 1 / delta), (1 / delta, 50 / delta)]  # quad misses the narrow peak otherwise
    expected = sum(integrate.quad(integrand, a, b, limit=200)[0] for a, b in pieces)
    assert 0.85 < expected / (K * temp / c) < 0.95
    t = result.time
    keep = t > 20e-12  # five RC times from rest
    variances = np.array([np.trapezoid(result[f"V(n{k})"][keep] ** 2, t[keep]) / (t[keep][-1] - t[keep][0])
                          for k in range(cells)])
    error = variances.std(ddof=1) / math.sqrt(cells)
    assert abs(variances.mean() - expected) < 4 * error + 0.02 * expected
    assert error < 0.05 * expected


def test_seed_reproducible_and_opt_out():
    text = _rc_netlist(2, 30, "\nR9 n0 n1 3 nfree\nR8 n0 n1 3 temp=0") + ".spread 0.1 C=0.2\n"
    base = simulate(text, seed=42)
    same = simulate(text, seed=42)
    other = simulate(text, seed=43)
    assert base.seed == 42 and base.drawn == same.drawn != other.drawn
    np.testing.assert_array_equal(base["V(n0)"], same["V(n0)"])
    assert not np.array_equal(base["V(n0)"], other["V(n0)"][: len(base.time)])
    prepared = prepare(text + ".options seed=42\n")
    assert prepared.seed == 42
    np.testing.assert_array_equal(run_prepared(prepared)["V(n0)"], run_prepared(prepared)["V(n0)"])
    names = {e.name for e in prepared.circuit.elements}
    assert {"R0#noise", "R1#noise"} <= names and not {"R9#noise", "R8#noise"} & names
    # Steps resolve the noise: capped at Δ = 151/(630B).
    assert np.diff(base.time).max() <= 151 / 630 * 1e-12 * (1 + 1e-9)
    assert set(base.drawn) == {"R0", "R1", "C0", "C1", "R9", "R8"}
    assert all(0.8 <= base.drawn[n] <= 1.2 for n in ("C0", "C1"))
    assert simulate(_rc_netlist(1, 5).replace(".temp 4.2", "")).seed is None


def test_spread_draws_uniform_factors_with_precedence():
    cells = "\n".join(f"L{k} a 0 2p" for k in range(400))
    text = (f"* spread\n.spread 0.3 L=0.2\n{cells}\nLx a 0 2p spread=0.05\nR1 a 0 1\n"
            ".model m jj(icrit=100u, rtype=0, rn=5, cap=0.5p)\nB1 a 0 m\n.tran 1p 2p\n")
    prepared = prepare(text, seed=9)
    factors = np.array([prepared.drawn[f"L{k}"] for k in range(400)])
    assert factors.min() >= 0.8 and factors.max() <= 1.2
    # Uniform on [0.8, 1.2]: mean 1, variance 0.2²/3.
    assert abs(factors.mean() - 1) < 4 * 0.2 / math.sqrt(3 * 400)
    assert factors.var() == pytest.approx(0.04 / 3, rel=0.25)
    assert abs(prepared.drawn["Lx"] - 1) <= 0.05 and abs(prepared.drawn["R1"] - 1) <= 0.3
    m = prepared.drawn["B1"]
    jj = next(e for e in prepared.circuit.elements if e.name == "B1").junction
    assert jj.critical_current == pytest.approx(100e-6 * m) and jj.resistance == pytest.approx(5 / m)
    # A factor depends on the seed and the element's name only.
    alone = prepare("* one\n.spread 0.3 L=0.2\nL7 a 0 2p\nR1 a 0 1\n.tran 1p 2p\n", seed=9)
    assert alone.drawn["L7"] == prepared.drawn["L7"]


@pytest.mark.parametrize("card, message", [
    (".temp -1", "temp must not be negative"),
    (".neb 0", "neb must be positive"),
    (".spread 1.5", "spread must lie in [0, 1)"),
    (".spread 0.1 K=0.2", "unknown .spread kind"),
    ("R2 a 0 1 temp=-3", "temp must not be negative"),
    ("L2 a 0 1p temp=3", "needs two nodes and a value"),
    ("I2 0 a noise(1e-9 0)", "NOISE needs amplitude td tstep"),
    (".options seed=1.5", "seed must be a non-negative integer"),
])
def test_bad_noise_cards(card, message):
    with pytest.raises(NetlistError, match=message.replace("[", r"\[").replace(")", r"\)")):
        parse_netlist(f"* x\nR1 a 0 1\n{card}\n.tran 1p 2p\n")


def test_noise_source_density_and_junction_noise():
    text = ("* x\nR1 a 0 1 nfree\nI1 0 a noise(2e-11 1p 0.5p)\n"
            ".model m jj(icrit=100u, rtype=1, rn=5, r0=50, cap=0.5p)\nB1 a 0 m temp=4.2 neb=2e12\n"
            ".model s jj(icrit=100u, rtype=0, cap=0.5p)\nB2 a 0 s temp=4.2 nfree\n.tran 1p 2p\n")
    elements = {e.name: e for e in prepare(text, seed=1).circuit.elements}
    source = elements["I1"].waveform
    # Density A² one-sided: σ²·2Δ = A².
    assert source.sigma ** 2 * 2 * source.interval == pytest.approx(4e-22) and source.delay == 1e-12
    junction = elements["B1#noise"].waveform  # the subgap resistance carries the noise
    # Density 2σ²Δ = 4kT/R; variance σ²·∫g² = σ²·151/315 = 4kT·B/R.
    assert 2 * junction.sigma ** 2 * junction.interval == pytest.approx(4 * K * 4.2 / 50)
    assert junction.sigma ** 2 * 151 / 315 == pytest.approx(4 * K * 4.2 * 2e12 / 50)
    assert junction.cubic and not source.cubic
    assert "B2#noise" not in elements and "R1#noise" not in elements


def _iz_voltage(i: float, d: float) -> float:
    """Ivanchenko–Zil'berman: overdamped junction, <V>/IcR at I/Ic = i, kT/E_J = d."""
    x = np.linspace(0.0, 2.0 * math.pi, 200_001)
    a = 2.0 * np.sin(x / 2.0) / d
    log_f = -i * x / d + a + np.log(i0e(a))
    top = log_f.max()
    return d * -math.expm1(-2.0 * math.pi * i / d) * math.exp(-top) / np.trapezoid(np.exp(log_f - top), x)


def test_overdamped_junction_at_critical_bias_follows_iz():
    """At I = Ic the noiseless voltage is 0; with kT/E_J = 0.2 theory gives 0.464 IcR."""
    ic, r, d, copies = 10e-6, 20.0, 0.2, 6
    temp = d * 3.29105976e-16 * ic / K
    cells = "\n".join(f"B{k} n{k} 0 od\nI{k} 0 n{k} dc {ic}" for k in range(copies))
    text = (f"* iz\n.model od jj(icrit={ic}, rtype=0, rn={r}, cap=0)\n.temp {temp}\n.neb 3e12\n{cells}\n"
            f".tran 1p 300p\n" + "\n".join(f".print p(B{k})" for k in range(copies)) + "\n")
    result = simulate(text, seed=3)
    t = result.time
    first = np.searchsorted(t, 20e-12)
    omega_c = ic * r / 3.29105976e-16
    v = [(result[f"P(B{k})"][-1] - result[f"P(B{k})"][first]) / ((t[-1] - t[first]) * omega_c)
         for k in range(copies)]
    # Standard error of the mean over copies, measured (≈ 0.05 here).
    error = np.std(v, ddof=1) / math.sqrt(copies)
    assert error < 0.1
    assert abs(np.mean(v) - _iz_voltage(1.0, d)) < 4 * error
    assert np.mean(v) > 0.25  # far from the noiseless 0


def test_noisy_jtl_example_and_cli_seed(tmp_path, capsys):
    import os

    from kivrun import cli

    path = os.path.join(os.path.dirname(__file__), "..", "src", "kivrun", "examples", "jtl_noise.cir")
    result = simulate(path, seed=1)
    arrivals = result.event_times("B1.X8", +1)
    delays = arrivals - result.event_times("B1.X1", +1)
    # Eight pulses all arrive; at 4.2 K their delays differ, by far less than a picosecond.
    assert len(arrivals) == 8 and 0 < np.ptp(delays) < 1e-12
    outs = [tmp_path / f"{k}.csv" for k in range(3)]
    for out, seed in zip(outs, ("7", "7", "8")):
        assert cli.main(["run", path, "-o", str(out), "--raw", "--seed", seed]) == 0
    assert outs[0].read_text() == outs[1].read_text() != outs[2].read_text()
    assert "seed: 8" in capsys.readouterr().out

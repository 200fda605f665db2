"""JunctionTJMModel: kernel installation, step weights, steady state and
Jacobian, observed through the drivers with states chosen so that a stamp
or residual isolates one internal quantity.

Unless a test says otherwise the junction sits between node 1 and ground
with wvg = 2 (poles as listed), wvrat = 0.5 (sgw = 1) and wrrat = 1 (B = 0).
A one-term kernel with a real pole p normalises to A = p, and a history reset
gives Fcprev = −1/p, Fsprev = 0.  With φ = π the half-angle cosine vanishes
(to 6e-17), which is what lets one term of the tunnel current through alone.
"""
import math
import re

import numpy as np
import pytest

from kivrun import kvconfig, kvglobals

sw = pytest.importorskip("kivrun.Stampworks")

PI = math.pi
EPS = np.finfo(float).eps


def weight_tol(p, dt):
    """Rounding of the closed-form step weights: a few eps in numerators of
    size max(1, |ph|²), divided by |p|·|ph|² (they cancel as ph → 0)."""
    q2 = (p * dt) ** 2
    return 8 * EPS * max(1.0, q2) / (abs(p) * q2)


def tjm(kernel, i=1, j=0, eindex=0, slots=(0, 1, 2, 3), ic=1.0, beta=1.0, wvg=2.0, wvrat=0.5,
        wrrat=1.0, name="k"):
    kvconfig.tjm_models = {name: kernel}
    m = sw.JunctionTJMModel(i, j, eindex)
    m.InitModel(*slots)
    m.InitTJMModel([name, ic, beta, wvg, wvrat, wrrat])
    return m


def build(sim, *, phases, phases_prev, **kw):
    sim.set_step(phases=phases, phases_prev=phases_prev, **kw)
    return sim.build(4)


def flat(arrays):
    return np.concatenate(arrays)


def hold(sim, phi, steps):
    """Accepted steps with the phase of node 1 held at phi, one per step size:
    rows of (A2 stamp, residual, element current)."""
    rows = []
    for dt in steps:
        _, a2, b = build(sim, phases=[phi, 0], phases_prev=[phi, 0], h=dt)
        sim.set_nodes(phases=[phi, 0], voltages=[0, 0], dvoltages=[0, 0])
        rows.append((a2[0], b[0], sim.values()[0][0]))
    return np.array(rows)


def observe_weights(sim, p, dt):
    """(alpha0, beta0, alpha1) of a one-term kernel with real pole p, with the
    start-of-step voltage v entering Fs in the first step and Fc in the second.

    φprev = 0, φ = π: A2 stamps p·(alpha1 + beta0·v/2), the residual is
    p·alpha0 − e^(p h).  φprev = π, φ = 0: A2 stamps
    −p·alpha1 + e^(p h) + p·beta0·v/2.
    """
    epq, v = math.exp(p * dt), 0.75
    sim.static(4)
    _, first, b = build(sim, phases=[PI, 0], phases_prev=[0, 0], voltages_prev=[v, 0], h=dt)
    sim.static(4)
    _, second, _ = build(sim, phases=[0, 0], phases_prev=[PI, 0], voltages_prev=[v, 0], h=dt)
    alpha1 = (first[0] - second[0] + epq) / (2 * p)
    beta0 = (first[0] + second[0] - epq) / (p * v)
    return (b[0] + epq) / p, beta0, alpha1


def exact_weights(p, dt):
    """The step integrals of e^(p(h−u)) against the quadratic basis, by quadrature."""
    x, w = np.polynomial.legendre.leggauss(30)
    u = (x + 1) * dt / 2
    kern = np.exp(p * (dt - u)) * w * dt / 2
    return (kern @ (1 - (u / dt) ** 2), kern @ (u - u ** 2 / dt), kern @ ((u / dt) ** 2))


# ---- the history reset and the step weights --------------------------------

def test_reset_is_rest_at_phase_zero(host):
    sim = host(unknowns=2)
    sim.register(tjm(([1.0], [0.0], [-2.0]), ic=1.5))
    assert not sim.static(4).any()
    # φ held at π over the step: the residual reads Re(A·Fcprev)·e^(ph) alone,
    # A2 reads Fsprev·e^(ph) plus the constant carried over the step.
    for dt in (0.1, 0.8):
        sim.static(4)
        _, a2, b = build(sim, phases=[PI, 0], phases_prev=[PI, 0], h=dt)
        decay = math.exp(-2 * dt)
        assert b[0] == pytest.approx(1.5 * -2 * 0.5 * decay, abs=1e-14)
        assert a2[0] == pytest.approx(1.5 * (decay - 1), abs=1e-14)


def test_step_weights(host):
    sim = host(unknowns=2)
    sim.register(tjm(([1.0], [0.0], [-1.0])))
    alpha0, beta0, alpha1 = observe_weights(sim, -1.0, 0.1)
    tol = weight_tol(-1.0, 0.1)  # 1.8e-13; the quoted digits are good to 1e-13
    assert alpha0 == pytest.approx(0.0626461891560, abs=tol)
    assert beta0 == pytest.approx(0.00158577875515, abs=tol)
    assert alpha1 == pytest.approx(0.0325163928081, abs=tol)
    assert alpha0 + alpha1 == pytest.approx((math.exp(-0.1) - 1) / -1, abs=tol)


@pytest.mark.parametrize("p, dt", [(-1.0, 0.7), (-1.0, 3.0), (-4.0, 0.05), (-0.3, 10.0)])
def test_step_weights_are_the_step_integrals(host, p, dt):
    sim = host(unknowns=2)
    sim.register(tjm(([1.0], [0.0], [p])))
    measured = observe_weights(sim, p, dt)
    tol = weight_tol(p, dt)
    # 1e-13 relative: reading beta0 out divides a difference by p·v/2.
    assert measured == pytest.approx(exact_weights(p, dt), rel=1e-13, abs=tol)
    assert measured[0] + measured[2] == pytest.approx((math.exp(p * dt) - 1) / p, abs=tol)


def test_redone_step_and_mid_run_reset_restart_from_history(host):
    kernel = ([1 + 0.5j, 2.0], [0.3j, -0.4], [-1 + 2j, -3.0])
    sim = host(unknowns=2)
    sim.register(tjm(kernel, wrrat=0.1))
    state = dict(phases=[0.9, 0], phases_prev=[0.4, 0], voltages_prev=[0.3, 0], voltages=[0.2, 0])
    sim.static(4)
    fresh = flat(build(sim, h=0.25, **state))
    build(sim, h=0.6, **state)  # a rejected step, redone with another h
    assert np.array_equal(flat(build(sim, h=0.25, **state)), fresh)
    hold(sim, 1.0, [0.5] * 5)
    sim.static(4)
    assert np.array_equal(flat(build(sim, h=0.25, **state)), fresh)


# ---- kernel installation ---------------------------------------------------

def test_one_term_kernel(host):
    # A = [2], B = [1], P = [−1], wvg 2, wvrat 0.5, wrrat 0.1: P = −1, A = −1,
    # B = −1.8, sgw = 1, so A + B = −2.8 and A − B = 0.8.
    sim = host(unknowns=2)
    sim.register(tjm(([2 + 0j], [1 + 0j], [-1 + 0j]), beta=2.0, wrrat=0.1))
    sim.static(4)
    # φprev = φ = π: Fc = e^(−h), Fs = 1 − e^(−h).
    a1, a2, b = build(sim, phases=[PI, 0], phases_prev=[PI, 0], h=0.1, coeff_dt=3.0, coeff_ddt=5.0)
    assert a1[0] == 2 * 1 * 5 + 3
    assert b[0] == pytest.approx(-2.8 * math.exp(-0.1), abs=1e-14)
    assert a2[0] == pytest.approx(-(1 - math.exp(-0.1)), abs=weight_tol(-1.0, 0.1))
    # φprev = π, φ = 0: Fs = alpha0.
    sim.static(4)
    _, _, b = build(sim, phases=[0, 0], phases_prev=[PI, 0], h=0.1)
    assert b[0] == pytest.approx(0.8 * 0.0626461891560, abs=weight_tol(-1.0, 0.1))


def test_set_parameters_and_linear_stamp(host):
    sim = host(unknowns=2)
    # wvg 2, wvrat 1: sgw = 0.5.
    m = tjm(([1.0], [0.0], [-1.0]), ic=3.0, beta=2.0, wvrat=1.0)
    sim.register(m)
    sim.static(4)
    a1, _, _ = build(sim, phases=[0, 0], phases_prev=[0, 0], coeff_dt=1.0, coeff_ddt=4.0)
    assert a1[0] == 7.5
    m.SetParameters([object(), 2.0, 0.5])  # item 0 names the kernel, unread here
    a1, _, _ = build(sim, phases=[0, 0], phases_prev=[0, 0], coeff_dt=1.0, coeff_ddt=4.0)
    assert a1[0] == ((0.5 * 0.5 * 4 + 1) * 0.5) * 2.0
    with pytest.raises(IndexError):
        m.SetParameters(["k", 1.0])


def test_list_and_tuple_entries_install_the_same_kernel(host):
    sim = host(unknowns=2)
    lists = [[1 + 1j, 0.5], [0.2, 0.1j], [-1 + 1j, -2]]
    runs = []
    for entry in (tuple(map(tuple, lists)), lists):
        sim.register(tjm(entry, wrrat=0.1))
        sim.static(4)
        runs.append(flat(build(sim, phases=[1.0, 0], phases_prev=[0.5, 0], voltages_prev=[0.2, 0])))
    assert np.array_equal(runs[0], runs[1])


def test_empty_kernel_has_no_tunnel_term(host):
    sim = host(unknowns=2)
    sim.register(tjm(([], [], []), ic=2.0, beta=3.0, wvrat=0.25))  # sgw = 2
    sim.static(4)
    a1, a2, b = build(sim, phases=[1.0, 0], phases_prev=[0.3, 0], voltages=[0.5, 0],
                      dvoltages=[0.25, 0], coeff_dt=1.0, coeff_ddt=2.0)
    assert a1[0] == ((3 * 2 * 2 + 1) * 2) * 2 and not a2.any()
    assert b[0] == -((3 * 2 * 0.25 + 0.5) * 2) * 2
    sim.set_nodes(phases=[1.0, 0], voltages=[0.5, 0], dvoltages=[0.25, 0])
    assert sim.values()[0][0] == ((3 * 2 * 0.25 + 0.5) * 2) * 2


def test_unknown_name_raises_bytes(host):
    host(unknowns=2)
    m = tjm(([1.0], [0.0], [-1.0]))
    with pytest.raises(Exception) as err:
        m.InitTJMModel(["Jökull", 1, 1, 2, 0.5, 1])
    assert type(err.value) is Exception
    assert err.value.args == (b"Unknown TJM model: J\xc3\xb6kull",)
    with pytest.raises(AttributeError):  # a name that is not text has no encode
        m.InitTJMModel([42, 1, 1, 2, 0.5, 1])


class Half:
    real, imag = "0.5", 0.0


@pytest.mark.parametrize("entry, params, error, text", [
    (([1.0] * 21, [0.0] * 21, [-1.0] * 21), None, ValueError, "at most 20"),
    (([1.0, 1.0], [0.0], [-1.0, -2.0]), None, ValueError, "one length"),
    (([1.0], [0.0], [-1.0, -2.0]), None, ValueError, "one length"),
    (([0.0, 0j], [0.0, 0.0], [-1.0, -2.0]), None, ValueError, "cannot be normalised"),
    (([1.0], [0.0], [0.0]), None, ValueError, "cannot be normalised"),
    (([1.0], [0.0]), None, ValueError, "need more than 2 values to unpack"),
    (([1.0], [0.0], [-1.0], []), None, ValueError, "too many values to unpack (expected 3)"),
    (([1.0], ["x"], [-1.0]), None, AttributeError, "real"),
    (([Half()], [0.0], [-1.0]), None, TypeError, "real number"),
    (([1.0], [0.0], [-1.0]), ["k", 1, 1, 2, 0.5], IndexError, "6 parameters"),
    (([1.0], [0.0], [-1.0]), ["k", 1, "x", 2, 0.5, 1], TypeError, "real number"),
])
def test_rejected_kernel_leaves_junction_unable_to_run(host, entry, params, error, text):
    sim = host(unknowns=2)
    m = tjm(([1.0], [0.0], [-1.0]))
    sim.register(m)
    sim.static(4)
    kvconfig.tjm_models = {"k": entry}
    with pytest.raises(error, match=re.escape(text)):
        m.InitTJMModel(params or ["k", 1, 1, 2, 0.5, 1])
    with pytest.raises(RuntimeError, match=r"model 0 \(kivrun.Stampworks.JunctionTJMModel\)"):
        sim.static(4)
    kvconfig.tjm_models = {"k": ([1.0], [0.0], [-1.0])}
    m.InitTJMModel(["k", 1, 1, 2, 0.5, 1])
    sim.static(4)


def test_junction_without_kernel_refuses_to_run(host):
    sim = host(unknowns=2)
    resistor = sw.ResistorModel(1, 0, 1)
    resistor.InitModel(4, 5, 6, 7)
    m = sw.JunctionTJMModel(1, 2, 0)
    m.InitModel(0, 1, 2, 3)
    sim.register(resistor, m)
    for driver in (lambda: sim.static(8), lambda: sim.build(8), lambda: sim.values()):
        with pytest.raises(RuntimeError, match=r"model 1 \(kivrun.Stampworks.JunctionTJMModel\)"
                                               r".*InitTJMModel"):
            driver()
    with pytest.raises(ValueError, match="both terminals"):
        sw.JunctionTJMModel(0, 0, 0)


# ---- steady state, symmetry and the commit ---------------------------------

KERNEL = ([1 + 0.5j, 0.3 - 0.2j, 2.0], [0.1j, 0.4, -0.3 + 0.1j], [-1 + 2j, -1.5 - 0.3j, -3.0])


def test_held_phase_reaches_the_supercurrent_and_stays(host):
    sim = host(unknowns=2)
    sim.register(tjm(KERNEL, ic=1.7, wvg=3.0, wvrat=0.6, wrrat=0.1))
    steps = [0.3, 1.3, 0.7, 2.1] * 15
    sim.static(4)
    # The reset state is the fixed point of phase 0 from the first step on.
    assert np.abs(hold(sim, 0.0, steps) - [1.7, 0, 0]).max() < 1e-12
    phi = 2.2
    settled = hold(sim, phi, steps)[-1]  # the history of phase 0 has decayed away
    assert settled == pytest.approx([1.7 * math.cos(phi), -1.7 * math.sin(phi),
                                     1.7 * math.sin(phi)], abs=1e-12)
    assert np.abs(hold(sim, phi, [0.05, 0.4, 2.9, 0.9] * 5) - settled).max() < 1e-12


def test_grounded_first_terminal_mirrors_the_other(host):
    sim = host(unknowns=2)
    a = tjm(KERNEL, 1, 0, 0, (0, 1, 2, 3), wvg=3.0, wrrat=0.1)
    b_ = tjm(KERNEL, 0, 2, 1, (4, 5, 6, 7), wvg=3.0, wrrat=0.1)
    sim.register(a, b_)
    sim.static(8)
    prev = np.zeros(2)
    for phi, v, d in [(0.5, 0.2, 0.1), (3.4, 1.1, -0.3), (7.0, 0.4, 0.2)]:
        now = np.array([phi, phi])
        sim.set_step(phases=now, phases_prev=prev, voltages=[v, v], dvoltages=[d, d],
                     voltages_prev=[v / 2, v / 2], coeff_dt=2.0, coeff_ddt=3.0, h=0.2)
        a1, a2, b = sim.build(8)
        for m in (a1, a2):
            assert m[0] == m[7] and not m[[1, 2, 3, 4, 5, 6]].any()
        assert b[0] == b[1]
        sim.set_nodes(phases=now, voltages=[v, v], dvoltages=[d, d])
        cur, ph, vol = sim.values()
        assert (cur[1], ph[1], vol[1]) == (-cur[0], -phi, -v)
        prev = now
    assert list(kvglobals.ElementN[:2]) == [1, -1]


def test_states_follow_the_last_estimate_not_the_accepted_nodes(host):
    # At steady state at φ0 the host accepts node phase φ1 without a further
    # estimate: the states still commit φ0, and with B = 0 the reported
    # tunnel current mixes the two half angles into sin((φ0 + φ1)/2).
    sim = host(unknowns=2)
    sim.register(tjm(KERNEL[:1] + ([0, 0, 0],) + KERNEL[2:], ic=1.4))
    sim.static(4)
    settled = hold(sim, 0.7, [0.6, 1.1] * 30)[-1]
    build(sim, phases=[0.7, 0], phases_prev=[0.7, 0], h=0.6)
    sim.set_nodes(phases=[1.5, 0], voltages=[0, 0], dvoltages=[0, 0])
    assert sim.values()[0][0] == pytest.approx(1.4 * math.sin((0.7 + 1.5) / 2), abs=1e-12)
    assert hold(sim, 0.7, [1.1])[0] == pytest.approx(settled, abs=1e-12)
    # UpdateRHS alone keeps the states and takes the half angles anew.
    sim.set_step(phases=[1.5, 0], phases_prev=[0.7, 0], h=1.1)
    assert sim.rhs()[0] == pytest.approx(-1.4 * math.sin((0.7 + 1.5) / 2), abs=1e-12)


def test_values_twice_commits_once(host):
    sim = host(unknowns=2)
    sim.register(tjm(KERNEL, wvg=3.0, wrrat=0.1))
    runs = []
    for commits in (1, 2):
        sim.static(4)
        build(sim, phases=[0.8, 0], phases_prev=[0.1, 0], voltages_prev=[0.5, 0], h=0.3)
        sim.set_nodes(phases=[0.8, 0], voltages=[0.6, 0], dvoltages=[0.2, 0])
        reports = [sim.values() for _ in range(commits)]
        assert np.array_equal(reports[0], reports[-1])
        runs.append(flat(build(sim, phases=[1.1, 0], phases_prev=[0.8, 0], voltages_prev=[0.6, 0],
                               h=0.3)))
    assert np.array_equal(runs[0], runs[1])


# ---- the Jacobian -----------------------------------------------------------

def jacobian_check(sim, phases, voltages, dvoltages, **ctx):
    """(A1 + A2, central-difference Jacobian of −B) over the end-of-step phases
    of nodes 1 and 2, with voltages and derivatives following the phases."""
    base = [np.array(x, dtype=float) for x in (phases, voltages, dvoltages)]
    follow = [1.0, ctx["coeff_dt"], ctx["coeff_ddt"]]
    sim.set_step(phases=base[0], voltages=base[1], dvoltages=base[2], **ctx)
    a1, a2, _ = sim.build(4)
    step, jac = 1e-5, np.zeros((2, 2))
    for col in range(2):
        for sign in (1, -1):
            e = np.eye(2)[col] * sign * step
            moved = [x + k * e for x, k in zip(base, follow)]
            sim.set_step(phases=moved[0], voltages=moved[1], dvoltages=moved[2], **ctx)
            jac[:, col] -= sign * sim.update(4)[1] / (2 * step)
    return (a1 + a2).reshape(2, 2), jac


def test_stamps_are_the_residual_derivative_once_history_has_decayed(host):
    # With e^(ph) and the start-of-step weights gone (|p h| ~ 1e12, Vp = 0) the
    # end-of-step states are alpha1·f(φ) alone, where the A2 stamp is exact.
    sim = host(unknowns=2)
    sim.register(tjm(KERNEL, ic=1.3, beta=0.7, wvg=3.0, wvrat=0.6, wrrat=0.1, j=2))
    sim.static(4)
    stamp, jac = jacobian_check(sim, [1.9, -0.6], [0.4, 0.1], [0.2, -0.5], phases_prev=[0.3, -0.2],
                                h=1e12, coeff_dt=2.0, coeff_ddt=5.0)
    # Central differences: step² |f'''| + eps |f| / step, both below 1e-9.
    assert stamp == pytest.approx(jac, abs=1e-8)
    assert stamp[0, 0] == -stamp[0, 1] == -stamp[1, 0] == stamp[1, 1]


def test_tunnel_stamp_is_the_quasi_static_slope(host):
    # At a finite step the end-of-step states follow φ only through alpha1, so
    # at steady state the residual's slope is Ic cos φ (1 − alpha1 A) / 2,
    # while A2 stamps the supercurrent's slope Ic cos φ: the Newton iteration
    # converges linearly there, by design of the linearisation.
    sim = host(unknowns=2)
    sim.register(tjm(([1.0], [0.0], [-1.0]), j=2))  # A = −1
    sim.static(4)
    hold(sim, 1.0, [0.1] * 400)
    stamp, jac = jacobian_check(sim, [1.0, 0], [0, 0], [0, 0], phases_prev=[1.0, 0], h=0.1,
                                coeff_dt=0.0, coeff_ddt=0.0)
    assert stamp[0, 0] == pytest.approx(math.cos(1.0), abs=1e-11)
    assert jac[0, 0] == pytest.approx(math.cos(1.0) * (1 + 0.0325163928081) / 2, abs=1e-8)

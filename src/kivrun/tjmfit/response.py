"""Tunnel response functions of a junction between two identical BCS superconductors.

Units: frequency x = V/Vg with Vg = 2*Delta(T)/e, time hbar/(e*Vg), current Vg/Rn.
J(x) is the one-sided Fourier transform of a causal real kernel j(s),
J(x) = int_0^inf j(s) exp(i x s) ds, so J(-x) = conj(J(x)) and J is analytic in
the upper half plane.  A junction held at constant voltage carries

    I = Im Jq(x) + Re Jp(x) sin(phi) - Im Jp(x) cos(phi).

Only the imaginary parts on the real axis are computed from the BCS energy
integrals; everything else (real parts, values at x + i*delta) follows from
causality through the Cauchy integral J(z) = (1/pi) int Im J(x')/(x' - z) dx'.
The quasiparticle function is returned without its normal-state part i*x (which
the model's linear conductance carries); what is left decays like 1/x and has
a convergent Cauchy integral.
"""
from __future__ import annotations

import math

import numpy as np
from scipy import optimize, special

#: Delta(0) / (k Tc) in weak-coupling BCS: pi * exp(-Euler gamma).
BCS_RATIO = math.pi * math.exp(-np.euler_gamma)

# Fermi factors below exp(-FERMI_CUT) are dropped from the thermal integrals.
FERMI_CUT = 40.0


# ---------------------------------------------------------------------------
# Temperature dependence of the gap
# ---------------------------------------------------------------------------

def gap_ratio(t: float) -> float:
    """Delta(T)/Delta(0) of weak-coupling BCS at reduced temperature t = T/Tc."""
    if t <= 0.0:
        return 1.0
    if t >= 1.0:
        return 0.0
    tau = t / BCS_RATIO          # k T / Delta(0)
    u, w = np.polynomial.legendre.leggauss(200)

    def gap_equation(d):
        # ln(1/d) = 2 int_0^inf f(d cosh u) du, with the cut where f is negligible
        umax = math.acosh(max(1.0, FERMI_CUT * tau / d + 1.0))
        uu = 0.5 * umax * (u + 1.0)
        integral = 0.5 * umax * np.sum(w * special.expit(-d * np.cosh(uu) / tau))
        return math.log(1.0 / d) - 2.0 * integral

    return optimize.brentq(gap_equation, 1e-12, 1.0, xtol=1e-15)


def reduced_temperature(t: float) -> float:
    """k T / Delta(T) at t = T/Tc: the temperature in the energy unit of the integrals."""
    if t <= 0.0:
        return 0.0
    if t >= 1.0:
        raise ValueError("the gap vanishes at or above Tc")
    return t / (BCS_RATIO * gap_ratio(t))


def ambegaokar_baratoff(t: float) -> float:
    """Re Jp(0) = Ic*Rn/Vg = (pi/4) tanh(Delta/2kT)."""
    if t <= 0.0:
        return math.pi / 4.0
    return math.pi / 4.0 * math.tanh(0.5 / reduced_temperature(t))


# ---------------------------------------------------------------------------
# T = 0 closed forms (complete elliptic integrals of parameter m)
# ---------------------------------------------------------------------------

def im_jq0_excess(x):
    """Im Jq - x at T = 0 for x >= 0: -x below the gap, x E(m) - K(m)/2x - x above."""
    x = np.asarray(x, dtype=float)
    out = -x.copy()
    a = x >= 1.0
    xa = x[a]
    m1 = 1.0 / xa**2                       # 1 - m, kept apart for accuracy near m = 1
    e_minus_1 = special.ellipe(1.0 - m1) - 1.0
    out[a] = xa * e_minus_1 - special.ellipkm1(m1) / (2.0 * xa)
    return out


def im_jp0(x):
    """Im Jp at T = 0 for x >= 0: 0 below the gap, K(1 - 1/x^2)/2x above."""
    x = np.asarray(x, dtype=float)
    out = np.zeros_like(x)
    a = x >= 1.0
    out[a] = special.ellipkm1(1.0 / x[a] ** 2) / (2.0 * x[a])
    return out


def re_jp0(x):
    """Re Jp at T = 0 (unsmoothed): K(x^2)/2 below the gap, K(1/x^2)/2x above."""
    x = np.abs(np.asarray(x, dtype=float))
    out = np.empty_like(x)
    b = x < 1.0
    out[b] = special.ellipk(x[b] ** 2) / 2.0
    out[~b] = special.ellipk(1.0 / x[~b] ** 2) / (2.0 * x[~b])
    return out


# ---------------------------------------------------------------------------
# Finite temperature: corrections to the T = 0 forms
# ---------------------------------------------------------------------------

_GL64 = np.polynomial.legendre.leggauss(64)
_GL128 = np.polynomial.legendre.leggauss(128)


def _fermi(e, tau):
    return special.expit(-e / tau)


def _gauss(a, b, rule):
    """Nodes (len(a) x n) and weights of a Gauss-Legendre rule on each [a_i, b_i]."""
    t, w = rule
    a = np.asarray(a, dtype=float)[:, None]
    b = np.asarray(b, dtype=float)[:, None]
    half = 0.5 * (b - a)
    return a + half * (t + 1.0), half * w


def _pair_breaking_correction(x, tau):
    """Change of (Im Jq, Im Jp) from the Fermi factors in the window 1-2x < eps < -1.

    At T = 0 the factor f(eps) - f(eps+2x) is 1 there; its deviation
    -f(-eps) - f(eps+2x) lives near the window edges.  The integrand is
    symmetric about eps = -x.  Near the gap both edges are inverse square-root
    singular and close together: eps = -x - w cos(theta) removes both.  Far
    above the gap eps = -cosh(u) on half the window removes the near edge while
    the far one stays regular.
    """
    dq = np.zeros_like(x)
    dp = np.zeros_like(x)
    near = (x >= 1.0) & (x < 1.5)
    if near.any():
        xn = x[near][:, None]
        w = xn - 1.0
        th, wt = _gauss(np.zeros(near.sum()), np.full(near.sum(), math.pi), _GL64)
        c = np.cos(th)
        eps = -xn - w * c
        dfermi = -_fermi(-eps, tau) - _fermi(eps + 2 * xn, tau)
        denom = np.sqrt((xn + 1.0) ** 2 - (w * c) ** 2)
        dq[near] = 0.5 * np.sum(wt * np.abs(eps) * np.abs(eps + 2 * xn) * dfermi / denom, axis=1)
        dp[near] = 0.5 * np.sum(wt * dfermi / denom, axis=1)
    far = x >= 1.5
    if far.any():
        xf = x[far]
        umax = np.minimum(np.arccosh(xf), math.acosh(1.0 + FERMI_CUT * tau))
        u, wt = _gauss(np.zeros_like(xf), umax, _GL64)
        xf = xf[:, None]
        ch = np.cosh(u)
        other = 2 * xf - ch
        dfermi = -_fermi(ch, tau) - _fermi(other, tau)
        root = np.sqrt(other**2 - 1.0)
        dq[far] = np.sum(wt * ch * other / root * dfermi, axis=1)
        dp[far] = np.sum(wt / root * dfermi, axis=1)
    return dq, dp


def _thermal(x, tau):
    """(Im Jq, Im Jp) from thermally excited quasiparticles: eps > 1 and its mirror.

    eps = cosh(u) removes the edge at eps = 1; u = 2 sqrt(x) sinh(v) removes the
    near-coincident singularity of N(eps + 2x) at small x.
    """
    q = np.zeros_like(x)
    p = np.zeros_like(x)
    pos = x > 0
    if not pos.any():
        return q, p
    xp = x[pos]
    umax = math.acosh(1.0 + FERMI_CUT * tau)
    vmax = np.arcsinh(umax / (2.0 * np.sqrt(xp)))
    v, wt = _gauss(np.zeros_like(xp), vmax, _GL128)
    xp = xp[:, None]
    u = 2.0 * np.sqrt(xp) * np.sinh(v)
    jac = np.sqrt(u**2 + 4.0 * xp)                  # du/dv
    ch = np.cosh(u)
    # (cosh u + 2x)^2 - 1 without cancellation at small u and x
    lower = 2.0 * np.sinh(0.5 * u) ** 2 + 2.0 * xp
    root = np.sqrt(lower * (ch + 1.0 + 2.0 * xp))
    df = _fermi(ch, tau) - _fermi(ch + 2.0 * xp, tau)
    q[pos] = np.sum(wt * jac * ch * (ch + 2.0 * xp) / root * df, axis=1)
    p[pos] = -np.sum(wt * jac / root * df, axis=1)
    return q, p


def imaginary_parts(x, t: float = 0.0, side: str = "right"):
    """Im(Jq - i x) and Im Jp on the real axis at x >= 0, reduced temperature t.

    At x = 1 the pair-breaking step is taken from the right unless side='left'.
    """
    x = np.atleast_1d(np.asarray(x, dtype=float))
    if np.any(x < 0):
        raise ValueError("x must be non-negative (the functions are odd)")
    xs = x if side == "right" else np.where(x == 1.0, np.nextafter(1.0, 0.0), x)
    q = im_jq0_excess(xs)
    p = im_jp0(xs)
    tau = reduced_temperature(t)
    if tau > 0.0:
        dq, dp = _pair_breaking_correction(xs, tau)
        tq, tp = _thermal(xs, tau)
        q = q + dq + tq
        p = p + dp + tp
    return q, p


# ---------------------------------------------------------------------------
# Cauchy integral of a piecewise-linear odd function
# ---------------------------------------------------------------------------

class SpectralGrid:
    """Im J sampled on 0 = x_0 < ... < x_M, linear between nodes, with a jump allowed
    at each node (left and right limits), and a (a ln x + b)/x tail beyond x_M.
    """

    def __init__(self, nodes, left, right):
        self.x = np.asarray(nodes, dtype=float)
        self.gl = np.asarray(left, dtype=float)
        self.gr = np.asarray(right, dtype=float)
        dx = np.diff(self.x)
        if np.any(dx <= 0):
            raise ValueError("nodes must increase strictly")
        slope = (self.gl[1:] - self.gr[:-1]) / dx
        zero = np.zeros(1)
        # outside [x_0, x_M] the function counts as 0 (the tail is added apart)
        kl = np.concatenate([zero, slope])
        kr = np.concatenate([slope, zero])
        gl = np.concatenate([zero, self.gl[1:]])
        gr = np.concatenate([self.gr[:-1], zero])
        self.jump = gl - gr
        self.dslope = kl - kr
        self.const = float(np.sum(self.gl[1:] - self.gr[:-1]))
        # tail (a ln x + b)/x through the last node and the node nearest x_M/2
        xm = self.x[-1]
        k = int(np.argmin(np.abs(self.x - 0.5 * xm)))
        x1, x2 = self.x[k], xm
        y1, y2 = self.gl[k] * x1, self.gl[-1] * x2
        self.ta = (y2 - y1) / math.log(x2 / x1)
        self.tb = y2 - self.ta * math.log(x2)

    def _half(self, zr, zi):
        """int_{x_0}^{x_M} g(x')/(x' - z) dx' for z = zr + i zi (zi = 0 means z + i0)."""
        # (x_n - z) log(x_n - z) in real arithmetic; the floor on |x_n - z|^2 makes the
        # term vanish at a node instead of giving 0 * inf
        dr = self.x[None, :] - zr[:, None]
        di = np.broadcast_to(-zi[:, None], dr.shape)   # a signed zero selects z + i0
        lnm = 0.5 * np.log(np.maximum(dr * dr + di * di, 1e-300))
        arg = np.arctan2(di, dr)
        out = self.const - ((dr * lnm - di * arg) @ self.dslope
                            + 1j * ((dr * arg + di * lnm) @ self.dslope))
        jumps = np.flatnonzero(self.jump)
        if jumps.size:
            with np.errstate(divide="ignore"):
                log = np.log(np.hypot(dr[:, jumps], di[:, jumps])) + 1j * arg[:, jumps]
            out = out + log @ self.jump[jumps]
        return out

    def transform(self, z, chunk: int = 64):
        """J(z) = (1/pi) int_{-inf}^{inf} g(x')/(x' - z) dx' for Im z >= 0, g odd."""
        z = np.atleast_1d(np.asarray(z, dtype=complex))
        if np.any(z.imag < 0):
            raise ValueError("J is evaluated in the closed upper half plane only")
        out = np.empty(z.shape, dtype=complex)
        for s in range(0, z.size, chunk):
            zz = z[s:s + chunk]
            zr, zi = zz.real.copy(), zz.imag.copy()
            # the mirror half int g(x')/(x' + z) is the same integral at -z
            out[s:s + chunk] = self._half(zr, zi) + self._half(-zr, -zi)
        xm, a, b = self.x[-1], self.ta, self.tb
        tail = 2.0 * (a * (math.log(xm) + 1.0) + b) / xm
        tail = tail + 2.0 * z**2 * (a * (math.log(xm) / 3.0 + 1.0 / 9.0) + b / 3.0) / xm**3
        return (out + tail) / math.pi


def spectral_nodes(xmax: float = 1000.0):
    """Nodes resolving the gap edge, the thermal x ln x at 0 and the slow tail."""
    geo = lambda a, b, n: np.geomspace(a, b, n)  # noqa: E731
    parts = [
        [0.0], geo(1e-8, 0.01, 60), np.arange(0.01, 0.99, 1e-3),
        1.0 - geo(0.01, 1e-9, 50), [1.0], 1.0 + geo(1e-9, 0.01, 50),
        np.arange(1.01, 3.0, 1e-3), np.arange(3.0, 20.0, 5e-3), geo(20.0, xmax, 1500),
    ]
    x = np.unique(np.concatenate([np.asarray(p, dtype=float) for p in parts]))
    return x


def spectral_grid(t: float = 0.0, xmax: float = 1000.0):
    """Grids of Im(Jq - ix) and Im Jp at reduced temperature t."""
    x = spectral_nodes(xmax)
    qr, pr = imaginary_parts(x, t, "right")
    ql, pl = qr.copy(), pr.copy()
    gap = x == 1.0
    ql[gap], pl[gap] = imaginary_parts(x[gap], t, "left")
    return SpectralGrid(x, ql, qr), SpectralGrid(x, pl, pr)


class BCSResponse:
    """Jq - ix and Jp of a symmetric BCS junction, evaluated at x + i*delta."""

    def __init__(self, t: float = 0.0, delta: float = 0.01, xmax: float = 1000.0):
        self.t = float(t)
        self.delta = float(delta)
        self.gq, self.gp = spectral_grid(self.t, xmax)

    def __call__(self, x, delta: float | None = None):
        d = self.delta if delta is None else float(delta)
        z = np.asarray(x, dtype=float) + 1j * d
        return self.gq.transform(z), self.gp.transform(z)

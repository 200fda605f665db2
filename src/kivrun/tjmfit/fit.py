"""Shared-pole fit of the pair and quasiparticle response functions.

A table entry (A, B, P) stands for the kernels j(s) = Re sum_k A_k exp(P_k s)
(pair) and Re sum_k B_k exp(P_k s) (quasiparticle excess), s in hbar/(e Vg), whose
transforms are

    J(x) = (i/2) sum_k [ A_k/(x - i P_k) + conj(A_k)/(x - i conj(P_k)) ].

The poles are shared by both kernels.  They are found by nonlinear least squares
over (log(-Re P), Im P), so Re P < 0 holds by construction; for given poles the
amplitudes follow from a linear least-squares solve (variable projection).
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np
from scipy import optimize


def pole_basis(x, poles):
    """Columns giving J for unit Re A_k and unit Im A_k: shape (len(x), 2N) complex."""
    x = np.asarray(x, dtype=float)[:, None]
    p = np.asarray(poles, dtype=complex)[None, :]
    r1 = 1.0 / (x - 1j * p)
    r2 = 1.0 / (x - 1j * np.conj(p))
    return np.concatenate([0.5j * (r1 + r2), -0.5 * (r1 - r2)], axis=1)


def evaluate(amplitudes, poles, x):
    """J(x) of a kernel table at real frequencies x."""
    a = np.asarray(amplitudes, dtype=complex)
    return pole_basis(x, poles) @ np.concatenate([a.real, a.imag])


#: Ridge weight on the amplitudes.  Two nearly conjugate poles can otherwise mimic a
#: double pole with huge opposite amplitudes, which cancel in J but not in the
#: model's time-domain sums.
RIDGE = 1e-6


def _solve_amplitudes(basis, target, weight):
    """Weighted linear least squares for the real and imaginary parts of the amplitudes."""
    m = basis / weight[:, None]
    y = target / weight
    n2 = basis.shape[1]
    mr = np.vstack([m.real, m.imag, RIDGE * np.eye(n2)])
    yr = np.concatenate([y.real, y.imag, np.zeros(n2)])
    coef, *_ = np.linalg.lstsq(mr, yr, rcond=1e-13)
    n = basis.shape[1] // 2
    resid = yr - mr @ coef
    return coef[:n] + 1j * coef[n:], resid


# Dampings and frequencies are held within a box (1e-5 ... 1e4), so a wild trial step
# of the optimiser cannot overflow exp() or make the basis singular; such a step
# just costs more and is rejected.
_LOG_DAMPING = (math.log(1e-5), math.log(1e4))
_FREQUENCY = 1e4


def _poles(theta):
    n = theta.size // 2
    damping = np.exp(np.clip(theta[:n], *_LOG_DAMPING))
    return -damping + 1j * np.clip(theta[n:], -_FREQUENCY, _FREQUENCY)


def _theta(poles):
    poles = np.asarray(poles, dtype=complex)
    return np.concatenate([np.log(-poles.real), poles.imag])


@dataclasses.dataclass
class FitData:
    """Target samples: x, Jp(x), Jq(x) - i x and their weights."""
    x: np.ndarray
    jp: np.ndarray
    jq: np.ndarray
    wp: np.ndarray
    wq: np.ndarray


def fit_grid(delta: float, xmax: float = 10.0):
    """Fit frequencies: fine around the gap edge (a fraction of the smoothing width)."""
    fine = min(delta / 4.0, 2.5e-3)
    parts = [
        np.arange(0.0, 0.85, 0.01), np.arange(0.85, 1.15, fine), np.arange(1.15, 3.0, 0.01),
        np.arange(3.0, xmax, 0.05), [xmax],
    ]
    return np.unique(np.concatenate([np.asarray(p, float) for p in parts]))


def make_fit_data(response, x) -> FitData:
    """Relative-error weights: |Jp| for the pair part and the total |Jq| (the IV scale)
    for the quasiparticle part."""
    jq, jp = response(x)
    wp = np.abs(jp)
    wq = np.abs(jq + 1j * x)
    return FitData(np.asarray(x), jp, jq, wp, wq)


def amplitudes_for(poles, data: FitData):
    basis = pole_basis(data.x, poles)
    a, _ = _solve_amplitudes(basis, data.jp, data.wp)
    b, _ = _solve_amplitudes(basis, data.jq, data.wq)
    return a, b


def _residual(theta, data: FitData):
    basis = pole_basis(data.x, _poles(theta))
    _, rp = _solve_amplitudes(basis, data.jp, data.wp)
    _, rq = _solve_amplitudes(basis, data.jq, data.wq)
    return np.concatenate([rp, rq])


def starting_ladders(n: int, delta: float, xmax: float, count: int = 6, seed: int = 1):
    """Starting pole sets: frequencies crowd geometrically toward the gap edge (where
    the step and the Riedel peak are), dampings grow with the distance from it."""
    rng = np.random.default_rng(seed)
    ladders = []
    for k in range(count):
        ratio = 2.0 + 1.0 * k
        n_edge = min(n, max(2, n // 2 + (k % 3) - 1))
        n_rest = n - n_edge
        d = 2.0 * delta * ratio ** np.arange(n_edge)
        above = d[: (n_edge + 1) // 2]
        below = d[: n_edge // 2]
        w_edge = np.concatenate([1.0 + above, 1.0 - below])
        g_edge = np.concatenate([above, below]) + delta
        w_rest = np.linspace(0.0, 0.7 * xmax, n_rest + 2)[1:-1] if n_rest else np.zeros(0)
        if n_rest:
            w_rest[0] = 0.0
        g_rest = np.maximum(0.5, 0.5 * w_rest)
        w = np.concatenate([w_edge, w_rest])
        g = np.concatenate([g_edge, g_rest])
        if k >= 3:
            w = w * (1.0 + 0.05 * rng.standard_normal(w.size))
            g = g * np.exp(0.3 * rng.standard_normal(g.size))
        ladders.append(-np.abs(g) + 1j * np.abs(w))
    return ladders


@dataclasses.dataclass
class FitResult:
    A: np.ndarray
    B: np.ndarray
    P: np.ndarray
    cost: float

    def entry(self):
        """Table entry: (A-list, B-list, P-list) of Python complex numbers."""
        lists = [[complex(v) for v in arr] for arr in (self.A, self.B, self.P)]
        return tuple(lists)


def fit_poles(data: FitData, n: int, delta: float, xmax: float, ladders: int = 6,
              max_nfev: int = 400, seed: int = 1, log=None) -> FitResult:
    """Variable-projection fit with several starting ladders; the best one wins."""
    best = None
    for k, start in enumerate(starting_ladders(n, delta, xmax, ladders, seed)):
        sol = optimize.least_squares(_residual, _theta(start), args=(data,), method="trf",
                                     max_nfev=max_nfev, x_scale="jac")
        cost = float(np.sum(sol.fun ** 2))
        if log:
            log(f"  ladder {k}: cost {cost:.3e} ({sol.nfev} evaluations)")
        if best is None or cost < best[1]:
            best = (sol.x, cost)
    poles = _poles(best[0])
    a, b = amplitudes_for(poles, data)
    order = np.argsort(np.abs(poles.imag))
    return FitResult(a[order], b[order], poles[order], best[1])


def refine_minimax(data: FitData, result: FitResult, rounds: int = 4, max_nfev: int = 200,
                   log=None) -> FitResult:
    """Lawson-style reweighting: raise the weight where the error is largest, so the
    least-squares fit moves toward the smallest maximum relative error."""
    wp, wq = data.wp.copy(), data.wq.copy()
    theta = _theta(result.P)
    best = result
    best_err = _max_rel(data, result)
    for r in range(rounds):
        ep = np.abs(evaluate(best.A, best.P, data.x) - data.jp) / data.wp
        eq = np.abs(evaluate(best.B, best.P, data.x) - data.jq) / data.wq
        wp = wp / np.sqrt(np.maximum(ep / ep.max(), 1e-3))
        wq = wq / np.sqrt(np.maximum(eq / eq.max(), 1e-3))
        d = FitData(data.x, data.jp, data.jq, wp, wq)
        sol = optimize.least_squares(_residual, theta, args=(d,), method="trf",
                                     max_nfev=max_nfev, x_scale="jac")
        poles = _poles(sol.x)
        a, b = amplitudes_for(poles, d)
        order = np.argsort(np.abs(poles.imag))
        cand = FitResult(a[order], b[order], poles[order], float(np.sum(sol.fun ** 2)))
        err = _max_rel(data, cand)
        if log:
            log(f"  reweighting {r}: max relative error {err:.3e}")
        if err < best_err:
            best, best_err, theta = cand, err, sol.x
    return best


def _max_rel(data: FitData, res: FitResult) -> float:
    ep = np.abs(evaluate(res.A, res.P, data.x) - data.jp) / data.wp
    eq = np.abs(evaluate(res.B, res.P, data.x) - data.jq) / data.wq
    return float(max(ep.max(), eq.max()))


# ---------------------------------------------------------------------------
# Fit report
# ---------------------------------------------------------------------------

@dataclasses.dataclass
class FitReport:
    """Errors of a table against the smoothed BCS functions it was fitted to.

    ic_rel: relative error of Ic (Re Jp at 0); iv_rel_max: largest relative error of
    the quasiparticle IV x + Im(Jq - ix) over 1.05 <= x <= xmax; subgap_abs: largest
    absolute IV error below 0.95 (units Vg/Rn); riedel_rel: relative error of the
    height of the Re Jp peak at the gap; jp_rel_max: largest |error of Jp|/|Jp|.
    """
    ic_rel: float
    iv_rel_max: float
    subgap_abs: float
    riedel_rel: float
    jp_rel_max: float
    xmax: float

    def as_dict(self):
        return dataclasses.asdict(self)

    def lines(self):
        return [
            f"Ic (Re Jp at 0) relative error: {self.ic_rel:+.2e}",
            f"max relative error of the quasiparticle IV, 1.05 <= V/Vg <= {self.xmax:g}: "
            f"{self.iv_rel_max:.2e}",
            f"max absolute subgap IV error, V/Vg <= 0.95: {self.subgap_abs:.2e} Vg/Rn",
            f"Riedel peak height relative error: {self.riedel_rel:+.2e}",
            f"max relative error of Jp, 0 <= V/Vg <= {self.xmax:g}: {self.jp_rel_max:.2e}",
        ]


def check_grid(xmax: float = 10.0):
    return np.unique(np.concatenate([np.arange(0.0, 0.85, 1e-3), np.arange(0.85, 1.15, 2.5e-4),
                                     np.arange(1.15, 3.0, 1e-3), np.arange(3.0, xmax, 1e-2),
                                     [xmax]]))


def report(entry, response, xmax: float = 10.0, x=None) -> FitReport:
    """Compare a table entry (A, B, P) with the response functions on a dense grid."""
    a, b, p = (np.asarray(v, dtype=complex) for v in entry)
    x = check_grid(xmax) if x is None else np.asarray(x, dtype=float)
    jq, jp = response(x)
    fq = evaluate(b, p, x)
    fp = evaluate(a, p, x)
    iv = x + jq.imag
    err_iv = np.abs(fq.imag - jq.imag)
    above = x >= 1.05
    below = x <= 0.95
    zero = x == 0.0
    if not zero.any():
        raise ValueError("the check grid must contain x = 0")
    ic = jp.real[zero][0]
    edge = (x > 0.8) & (x < 1.2)
    peak, peak_fit = jp.real[edge].max(), fp.real[edge].max()
    return FitReport(
        ic_rel=float((fp.real[zero][0] - ic) / ic),
        iv_rel_max=float(np.max(err_iv[above] / iv[above])),
        subgap_abs=float(np.max(err_iv[below])),
        riedel_rel=float((peak_fit - peak) / peak),
        jp_rel_max=float(np.max(np.abs(fp - jp) / np.abs(jp))),
        xmax=float(xmax),
    )


def fit_kernel(t: float, n: int, delta: float = 0.01, xmax: float = 20.0, ladders: int = 4,
               max_nfev: int = 400, refine: int = 4, log=None):
    """Fit an N-term kernel at reduced temperature t; returns (FitResult, FitReport)."""
    from .response import BCSResponse

    resp = BCSResponse(t, delta)
    data = make_fit_data(resp, fit_grid(delta, xmax))
    res = fit_poles(data, n, delta, xmax, ladders=ladders, max_nfev=max_nfev, log=log)
    if refine:
        res = refine_minimax(data, res, rounds=refine, max_nfev=max_nfev // 2, log=log)
    return res, report(res.entry(), resp, xmax)


__all__ = ["pole_basis", "evaluate", "fit_kernel", "fit_poles", "report", "FitReport",
           "FitResult", "make_fit_data", "fit_grid", "refine_minimax"]

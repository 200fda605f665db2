"""Helpers for the branch-unknown tests: a sparsity pattern that hands out
slot numbers as a host would, and a finite-difference check of the matrix
contributions against the right-hand side."""
from __future__ import annotations

import numpy as np

EPS = np.finfo(np.float64).eps


class Pattern:
    """One slot per distinct (row, col) entry, in order of first use.

    A slot whose row or column is ground is never used by a model; it gets -1
    so that any use of it would be caught by the drivers' slot check.
    """

    def __init__(self):
        self.entries: dict[tuple[int, int], int] = {}

    def __call__(self, row: int, col: int) -> int:
        if row == 0 or col == 0:
            return -1
        return self.entries.setdefault((row, col), len(self.entries))

    def branch(self, i: int, j: int, q: int, diagonal: bool = False) -> list[int]:
        """ind_iq, ind_jq, ind_qi, ind_qj [, ind_qq]."""
        slots = [self(i, q), self(j, q), self(q, i), self(q, j)]
        return slots + [self(q, q)] if diagonal else slots

    def mutual(self, q: int, v: int) -> list[int]:
        """ind_qq, ind_qv, ind_vq, ind_vv."""
        return [self(q, q), self(q, v), self(v, q), self(v, v)]

    def two_terminal(self, i: int, j: int) -> list[int]:
        """ind_ii, ind_ij, ind_ji, ind_jj."""
        return [self(i, i), self(i, j), self(j, i), self(j, j)]

    @property
    def nslots(self) -> int:
        return len(self.entries)

    def dense(self, values: np.ndarray, n: int) -> np.ndarray:
        m = np.zeros((n, n))
        for (row, col), slot in self.entries.items():
            m[row - 1, col - 1] += values[slot]
        return m


def assembled(host, pattern: Pattern) -> tuple[np.ndarray, np.ndarray]:
    """A0 + A1 + A2 as a dense matrix, and B, at the step set in SP."""
    a0 = host.static(pattern.nslots)
    a1, a2, b = host.build(pattern.nslots)
    return pattern.dense(a0 + a1 + a2, host.n), b


def fd_check(host, pattern: Pattern, phases, voltages, dvoltages, coeff_dt, coeff_ddt,
             smooth=1.0, step=1e-3):
    """Compare the assembled matrix with −dB/dφ by central differences.

    Voltages and their derivatives follow the phases through the step's
    coefficients, as under the host's integration formula.  The residuals of
    the linear elements are affine in the unknowns, so the difference quotient
    is exact but for the rounding of the two evaluations: each entry of B sums
    a few terms no larger than `scale`, so its error is a few eps × scale and
    that of the quotient a few eps × scale / step.
    """
    phases, voltages, dvoltages = (np.asarray(a, dtype=np.float64) for a in (phases, voltages, dvoltages))

    def rhs(dphi):
        host.set_step(coeff_dt=coeff_dt, coeff_ddt=coeff_ddt, smooth=smooth, phases=phases + dphi,
                      voltages=voltages + coeff_dt * dphi, dvoltages=dvoltages + coeff_ddt * dphi)
        return host.rhs()

    host.set_step(coeff_dt=coeff_dt, coeff_ddt=coeff_ddt, smooth=smooth, phases=phases,
                  voltages=voltages, dvoltages=dvoltages)
    jac, b = assembled(host, pattern)
    fd = np.zeros_like(jac)
    scale = 1.0
    for k in range(host.n):
        e = np.zeros(host.n)
        e[k] = step
        plus, minus = rhs(e), rhs(-e)
        fd[:, k] = -(plus - minus) / (2 * step)
        scale = max(scale, np.abs(plus).max(), np.abs(minus).max())
    scale = max(scale, np.abs(phases).max(), np.abs(voltages).max() / coeff_dt,
                np.abs(jac).max() * np.abs(phases).max())
    tol = 16 * EPS * scale / step
    np.testing.assert_allclose(jac, fd, rtol=0, atol=tol)
    return jac, b

"""A1 + A2 of every junction is the derivative of its residual.

The residual is read back through UpdateRHS while the phases move and the
voltages and their derivatives follow through the integration coefficients
(V = V0 + coeff_dt·Δφ, D = D0 + coeff_ddt·Δφ), as under the host's formula.
"""
import numpy as np
import pytest

sw = pytest.importorskip("kivrun.Stampworks")

SLOTS = dict(ind_ii=3, ind_ij=0, ind_ji=2, ind_jj=1)
N = 3
COEFF_DT, COEFF_DDT = 3.0, 5.0
EPS = np.finfo(float).eps

# RSJN: gap 1.1 and exponent 4 with voltages of order one, so the branch is
# in its steep part; RSJPH: a shift that is not a multiple of π.
CASES = [
    (sw.JunctionModel, [1.3, 0.8, 0.6]),
    (sw.JunctionRSJNModel, [1.3, 0.8, 1.1, 4.0, 0.6]),
    (sw.JunctionRSJNModel, [0.7, 1.5, 1.1, 10.0, 0.0]),
    (sw.JunctionRSJPHModel, [1.3, 0.8, 0.6, 0.9]),
]


def dense(i, j, a):
    """The n×n matrix a junction's slot values stand for."""
    m = np.zeros((N, N))
    for name, (r, c) in {"ind_ii": (i, i), "ind_ij": (i, j), "ind_ji": (j, i),
                         "ind_jj": (j, j)}.items():
        if r and c:
            m[r - 1, c - 1] += a[SLOTS[name]]
    return m


@pytest.mark.parametrize("cls,params", CASES, ids=lambda x: getattr(x, "__name__", ""))
@pytest.mark.parametrize("i,j", [(1, 2), (2, 0), (0, 3)])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_stamps_are_the_residual_derivative(host, cls, params, i, j, seed):
    rng = np.random.default_rng(seed)
    p0, v0, d0 = rng.uniform(-3, 3, N), rng.uniform(-1.6, 1.6, N), rng.uniform(-1, 1, N)
    h = host(unknowns=N)
    m = cls(i, j, 0)
    m.InitModel(**SLOTS)
    m.SetParameters(params)
    h.register(m)

    def rhs(p):
        h.set_step(coeff_dt=COEFF_DT, coeff_ddt=COEFF_DDT, phases=p,
                   voltages=v0 + COEFF_DT * (p - p0), dvoltages=d0 + COEFF_DDT * (p - p0))
        return h.rhs()

    h.set_step(coeff_dt=COEFF_DT, coeff_ddt=COEFF_DDT, phases=p0, voltages=v0, dvoltages=d0)
    a1, a2, b0 = h.build(len(SLOTS))
    jacobian = dense(i, j, a1) + dense(i, j, a2)

    def central(delta):
        cols = [(rhs(p0 + delta * e) - rhs(p0 - delta * e)) / (2 * delta) for e in np.eye(N)]
        return -np.array(cols).T  # the right-hand side holds minus the residual

    delta = 1e-6
    fd, fd_coarse = central(delta), central(2 * delta)
    # Truncation shows as the change between the two steps (it scales as δ²);
    # rounding of the residual's terms, of size |b| + |a|·δ, divided by δ.
    scale = np.abs(b0).max() + np.abs(jacobian).max() + 1.0
    tol = np.abs(fd - fd_coarse) + 16 * EPS * scale / delta + 4 * EPS * np.abs(jacobian)
    assert np.all(np.abs(jacobian - fd) <= tol), (jacobian, fd, tol)
    # Not vacuous: the stamps are there, with both matrices contributing.
    assert np.abs(dense(i, j, a2)).max() > 1e-3
    assert np.count_nonzero(jacobian) == (4 if i and j else 1)

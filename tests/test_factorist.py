"""Factorist: KLU solves checked against dense solves, physics and refusals."""
import copy
import gc
import os
import pickle
import tracemalloc
import weakref
from array import array

import numpy as np
import pytest
import scipy.sparse as sp

from kivrun import Factorist as module
from kivrun.Factorist import Factorist

EPS = np.finfo(float).eps
METHODS = ("solve", "solveSparseMatrix", "solveMatrix")


class System:
    """A square matrix in CSC form with its pattern as the host hands it over."""

    def __init__(self, dense):
        self.dense = np.asarray(dense, dtype=float)
        self.n = len(self.dense)
        csc = sp.csc_matrix(self.dense)
        csc.sort_indices()
        self.Ap = array("i", csc.indptr.astype(np.int32).tobytes())
        self.Ai = array("i", csc.indices.astype(np.int32).tobytes())
        self.values = csc.data.copy()

    def solver(self):
        f = Factorist()
        f.analyze(self.n, self.Ap, self.Ai)
        return f

    def args(self, method, b):
        """(Ax, B) in the form the method takes; B is solved in place."""
        if method == "solve":
            return array("d", self.values), array("d", b)
        Ax = self.dense.copy() if method == "solveMatrix" else self.values.copy()
        return Ax, np.array(b, dtype=float)


def random_system(n, seed, density=0.05):
    rng = np.random.default_rng(seed)
    A = sp.random(n, n, density=density, random_state=rng).toarray()
    A[A != 0] -= 0.5
    # Diagonal dominance keeps it well conditioned whatever the fill.
    A += np.diag(np.abs(A).sum(axis=1) + 1.0)
    return System(A)


def ladder_system(sections, R=1.0, G=1.0):
    """Resistor ladder driven by a 1 V source at node 1: node voltages, then
    the source current, whose equation V1 = 1 has no diagonal entry."""
    n = sections + 1
    A = np.zeros((n, n))
    for k in range(sections):
        A[k, k] += G
        if k + 1 < sections:
            for i, j, s in ((k, k, 1), (k + 1, k + 1, 1), (k, k + 1, -1), (k + 1, k, -1)):
                A[i, j] += s / R
    A[0, sections] = A[sections, 0] = 1.0
    return System(A)


def rhs_for(system, seed=1):
    return np.random.default_rng(seed).standard_normal(system.n)


def solve_with(method, system, b, f=None):
    f = f or system.solver()
    Ax, B = system.args(method, b)
    assert getattr(f, method)(Ax, B) is None
    return np.array(B)


def assert_solves(system, b, x):
    A = system.dense
    bound = 10 * system.n * EPS * np.linalg.norm(A, np.inf) * np.linalg.norm(x, np.inf)
    assert np.linalg.norm(A @ x - b, np.inf) <= bound
    np.testing.assert_allclose(x, np.linalg.solve(A, b), rtol=1e-10, atol=1e-12)


SYSTEMS = {
    "random-8": lambda: random_system(8, seed=3, density=0.3),
    "random-200": lambda: random_system(200, seed=4),
    "ladder-50": lambda: ladder_system(50),
}


# ---- correct solutions --------------------------------------------------------

@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("name", SYSTEMS)
def test_solution_matches_dense_solve(method, name):
    system = SYSTEMS[name]()
    b = rhs_for(system)
    assert_solves(system, b, solve_with(method, system, b))


@pytest.mark.parametrize("method", METHODS)
def test_ladder_voltages_fall_by_the_characteristic_ratio(method):
    # A long R-G ladder looks semi-infinite from its start: KCL at each node,
    # (V[k-1] - V[k])/R = G V[k] + (V[k] - V[k+1])/R, gives V[k+1]/V[k] = r
    # with r + 1/r = 2 + RG.
    R, G = 1.0, 1.0
    system = ladder_system(60, R, G)
    b = np.zeros(system.n)
    b[-1] = 1.0
    x = solve_with(method, system, b)
    r = (2 + R * G - np.sqrt((2 + R * G) ** 2 - 4)) / 2
    np.testing.assert_allclose(x[:10], r ** np.arange(10), rtol=1e-12)


@pytest.mark.parametrize("method", METHODS)
def test_one_analysis_serves_new_values_and_longer_rhs(method):
    system = random_system(30, seed=5, density=0.2)
    f = system.solver()
    for seed in range(3):
        scaled = System(system.dense * (1 + seed))  # same pattern, new values
        b = rhs_for(system, seed)
        Ax, B = scaled.args(method, np.concatenate([b, [7.0, 8.0]]))
        getattr(f, method)(Ax, B)
        assert list(B[-2:]) == [7.0, 8.0]
        assert_solves(scaled, b, np.array(B[:-2]))


def test_solve_matrix_reads_only_pattern_entries():
    system = random_system(12, seed=6, density=0.2)
    b = rhs_for(system)
    noisy = system.dense + np.where(system.dense == 0, 99.0, 0.0)
    B = b.copy()
    system.solver().solveMatrix(noisy, B)
    assert_solves(system, b, B)


@pytest.mark.parametrize("method", METHODS)
def test_host_pattern_changes_after_analyze_do_not_reach_klu(method):
    system = random_system(20, seed=7, density=0.2)
    f = system.solver()
    for k in range(len(system.Ai)):
        system.Ai[k] = 10 ** 6
    system.Ap[-1] = 10 ** 6
    b = rhs_for(system)
    assert_solves(system, b, solve_with(method, system, b, f))


def test_keyword_arguments_and_read_only_values():
    system = random_system(6, seed=8, density=0.4)
    f = Factorist()
    f.analyze(Ai=system.Ai, n=system.n, Ap=system.Ap)
    b = rhs_for(system)
    Ax, B = system.args("solveSparseMatrix", b)
    Ax.flags.writeable = False  # only B is written
    f.solveSparseMatrix(B=B, Ax=Ax)
    assert_solves(system, b, B)


# ---- empty state and failures ---------------------------------------------------

def empty_objects(system):
    fresh = Factorist()
    released = system.solver()
    released.__del__()
    released.__del__()  # a second release does nothing
    order_zero = Factorist()
    order_zero.analyze(0, array("i", [0]), array("i"))
    return fresh, released, order_zero


@pytest.mark.parametrize("method", METHODS)
def test_empty_state_leaves_rhs_alone(method):
    system = random_system(5, seed=9, density=0.4)
    Factorist().__del__()
    for f in empty_objects(system):
        Ax, B = system.args(method, [1.0, 2, 3, 4, 5])
        assert getattr(f, method)(Ax, B) is None
        assert list(B) == [1.0, 2, 3, 4, 5]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dense", [[[1.0, 2.0], [2.0, 4.0]], [[1.0, 0.0], [1.0, 0.0]]],
                         ids=["numerically", "structurally"])
def test_singular_matrix_raises_and_keeps_rhs(method, dense):
    system = System(dense)
    Ax, B = system.args(method, [1.0, 3.0])
    with pytest.raises(np.linalg.LinAlgError, match="matrix is singular"):
        getattr(system.solver(), method)(Ax, B)
    assert list(B) == [1.0, 3.0]


def test_failed_factorisation_leaves_the_analysis_usable():
    singular, regular = System([[1.0, 2.0], [2.0, 4.0]]), System([[2.0, 1.0], [1.0, 2.0]])
    f = singular.solver()
    with pytest.raises(np.linalg.LinAlgError):
        solve_with("solveSparseMatrix", singular, np.ones(2), f)
    np.testing.assert_allclose(solve_with("solveSparseMatrix", regular, [3.0, 3.0], f), [1.0, 1.0])


BAD_PATTERNS = [  # (n, Ap, Ai, exception, message)
    (3, array("i", [0, 1, 2]), array("i", [0, 1]), IndexError, "out of range"),
    (-1, array("i", [0, 1]), array("i", [0]), IndexError, "out of range"),
    (2 ** 31, array("i", [0]), array("i"), OverflowError, "too large"),
    (1, array("l", [0, 1]), array("i", [0]), ValueError, "expected 'INT_t' but got 'long'"),
    (1, array("i", [0, 1]), array("d", [0]), ValueError, "expected 'INT_t' but got 'double'"),
    (1, None, array("i", [0]), TypeError, "Argument 'Ap' has incorrect type"),
    (1, array("i", [0, 1]), None, TypeError, "Argument 'Ai' has incorrect type"),
    (1, np.array([0, 1], np.int32), array("i", [0]), TypeError, r"expected array\.array"),
    (1, array("i", [1, 1]), array("i", [0]), ValueError, r"Ap\[0\] must be 0"),
    (2, array("i", [0, 2, 1]), array("i", [0, 1]), ValueError, "must not decrease"),
    (2, array("i", [0, 1, 3]), array("i", [0, 1]), ValueError, "fewer than Ap"),
    (2, array("i", [0, 1, 2]), array("i", [0, 2]), ValueError, "not a row"),
    (2, array("i", [0, 1, 2]), array("i", [-1, 1]), ValueError, "not a row"),
    (2, array("i", [0, 2, 3]), array("i", [1, 1, 0]), ValueError, "klu_analyze failed"),
]


@pytest.mark.parametrize("n, Ap, Ai, exc, match", BAD_PATTERNS)
def test_refused_pattern_keeps_the_earlier_analysis(n, Ap, Ai, exc, match):
    system = random_system(10, seed=10, density=0.3)
    f = system.solver()
    with pytest.raises(exc, match=match):
        f.analyze(n, Ap, Ai)
    b = rhs_for(system)
    assert_solves(system, b, solve_with("solveSparseMatrix", system, b, f))


def bad_inputs(method, arg, n, nnz):
    """(bad value, exception) for one array argument of one solve method."""
    size = nnz if arg == "Ax" else n
    if method == "solve":
        return [(None, TypeError), (np.zeros(size), TypeError), (array("f", [0] * size), ValueError),
                (array("i", [0] * size), ValueError), (array("d", [0] * (size - 1)), ValueError)]
    read_only = np.zeros(size)
    read_only.flags.writeable = False
    one_d = [(None, TypeError), (np.zeros(size, np.int64), ValueError),
             (np.zeros((size, 1)), ValueError), (np.zeros(2 * size)[::2], ValueError),
             (np.zeros(size - 1), ValueError)]
    if arg == "B":
        return one_d + [(read_only, ValueError)]
    if method == "solveSparseMatrix":
        return one_d
    return [(None, TypeError), (np.zeros((n, n), np.int64), ValueError), (np.zeros(n * n), ValueError),
            (np.zeros((n, n), order="F"), ValueError), (np.zeros((n, n - 1)), ValueError),
            (np.zeros((n - 1, n)), ValueError)]


@pytest.mark.parametrize("arg", ["Ax", "B"])
@pytest.mark.parametrize("method", METHODS)
def test_bad_array_arguments_are_refused_before_solving(method, arg):
    system = random_system(6, seed=11, density=0.4)
    f = system.solver()
    for bad, exc in bad_inputs(method, arg, system.n, len(system.values)):
        Ax, B = system.args(method, np.arange(1.0, 7.0))
        args = {"Ax": Ax, "B": B, arg: bad}
        with pytest.raises(exc, match=f"'{arg}'" if exc is TypeError else None) as raised:
            getattr(f, method)(**args)
        assert raised.type is exc  # not LinAlgError, a ValueError from KLU
        assert list(B) == [1, 2, 3, 4, 5, 6]


@pytest.mark.parametrize("call, message", [
    (lambda f: f.analyze(1), r"analyze\(\) takes exactly 3 positional arguments \(1 given\)"),
    (lambda f: f.solve(1, 2, 3), r"solve\(\) takes exactly 2 positional arguments \(3 given\)"),
    (lambda f: f.solveMatrix(Ax=1), r"solveMatrix\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda f: f.__del__(1), r"__del__\(\) takes exactly 0 positional arguments \(1 given\)"),
    (lambda f: pickle.dumps(f), "no default __reduce__ due to non-trivial __cinit__"),
    (lambda f: copy.copy(f), "no default __reduce__ due to non-trivial __cinit__"),
    (lambda f: f.__setstate__({}), "no default __reduce__ due to non-trivial __cinit__"),
])
def test_misuse_raises_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call(Factorist(1, 2))


# ---- object model and memory --------------------------------------------------

def test_module_names_and_subclass():
    assert module.np is np and module.array.array is array
    assert module.dbl_array_template.typecode == "d" and len(module.dbl_array_template) == 0

    class Named(Factorist):
        def __init__(self, name):
            self.name = name

    system = ladder_system(10)
    f = Named("jtl")
    f.analyze(system.n, system.Ap, system.Ai)
    b = rhs_for(system)
    assert_solves(system, b, solve_with("solve", system, b, f))


@pytest.mark.parametrize("held", ["Ap", "Ai"])
def test_cycles_through_pattern_arrays_are_collected(held):
    class IntArray(array):
        pass

    system = random_system(4, seed=13, density=0.5)
    arrays = {"Ap": IntArray("i", system.Ap), "Ai": IntArray("i", system.Ai)}
    f = Factorist()
    f.analyze(system.n, arrays["Ap"], arrays["Ai"])
    assert arrays["Ap"] in gc.get_referents(f) and arrays["Ai"] in gc.get_referents(f)
    arrays[held].owner = f
    probe = weakref.ref(arrays[held])
    del f, arrays
    gc.collect()
    assert probe() is None


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_stays_flat_over_repeated_solves_and_analyses():
    # A numeric factorisation of this matrix takes tens of kilobytes and a
    # symbolic one several, so a leak of either per call would grow by far
    # more than the bound over these loops.
    system = ladder_system(400)
    f = system.solver()
    Ax, B = system.args("solveMatrix", rhs_for(system))
    values = system.values.copy()
    for _ in range(200):
        f.solveSparseMatrix(values, B)
    tracemalloc.start()
    rss0 = rss_bytes()
    for _ in range(10_000):
        f.solveSparseMatrix(values, B)
    traced, _ = tracemalloc.get_traced_memory()
    for _ in range(2_000):
        f.solveMatrix(Ax, B)
        f.analyze(system.n, system.Ap, system.Ai)
        system.solver()
    tracemalloc.stop()
    assert traced < 64 * 1024
    assert rss_bytes() - rss0 < 4 * 1024 * 1024

"""Per-solve time of Factorist.solveSparseMatrix against SciPy's SuperLU.

Both factor and solve the same circuit matrix in the same run: a Josephson
transmission line (a chain of nodes joined by inductors, each node shunted to
ground by a linearised junction), with a branch-current bias inductor on every
eighth node and a voltage source (a branch row with no diagonal) at the input.
Prints the median time per solve of each and their ratio.
"""
import statistics
import time
from array import array

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import splu

from kivrun.Factorist import Factorist


def jtl_matrix(n_unknowns, rng):
    """CSC matrix of about n_unknowns unknowns: nodes first, then branches."""
    n_nodes = (n_unknowns * 8) // 9
    bias_nodes = np.arange(0, n_nodes, 8)
    n_branches = n_unknowns - n_nodes          # bias inductors + the source
    bias_nodes = bias_nodes[: n_branches - 1]
    rows, cols, vals = [], [], []

    def add(r, c, v):
        rows.append(np.atleast_1d(r))
        cols.append(np.atleast_1d(c))
        vals.append(np.broadcast_to(v, np.atleast_1d(r).shape))

    nodes = np.arange(n_nodes)
    add(nodes, nodes, 1.0 + 0.5 * rng.random(n_nodes))          # junctions to ground
    g = 1.0 / (0.5 + rng.random(n_nodes - 1))                    # series inductors
    left, right = nodes[:-1], nodes[1:]
    add(left, left, g), add(right, right, g)
    add(left, right, -g), add(right, left, -g)
    branches = n_nodes + np.arange(len(bias_nodes))
    add(bias_nodes, branches, 1.0)                               # branch current into node
    add(branches, bias_nodes, 1.0)                               # phi_node - L I = 0
    add(branches, branches, -(0.5 + rng.random(len(bias_nodes))))
    source = n_unknowns - 1
    add(0, source, 1.0), add(source, 0, 1.0)                     # phi_1 fixed, no diagonal
    A = sp.csc_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                      shape=(n_unknowns, n_unknowns))
    A.sum_duplicates()
    A.sort_indices()
    return A


def median_time(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    rng = np.random.default_rng(7)
    print(f"{'unknowns':>9} {'nnz':>8} {'Factorist':>12} {'SuperLU':>12} {'ratio':>7} {'max |dx|':>9}")
    for n, reps in ((1_000, 300), (10_000, 60), (100_000, 12)):
        A = jtl_matrix(n, rng)
        b = rng.standard_normal(n)
        Ap = array("i", A.indptr.astype(np.int32).tobytes())
        Ai = array("i", A.indices.astype(np.int32).tobytes())
        Ax = np.ascontiguousarray(A.data, dtype=np.float64)
        solver = Factorist()
        solver.analyze(n, Ap, Ai)
        B = b.copy()

        def klu_once():
            B[:] = b
            solver.solveSparseMatrix(Ax, B)

        def superlu_once():
            return splu(A).solve(b)

        klu_once(), superlu_once()  # warm caches and lazy imports
        t_klu = median_time(klu_once, reps)
        t_slu = median_time(superlu_once, reps)
        diff = np.max(np.abs(B - superlu_once()))
        print(f"{n:>9} {A.nnz:>8} {t_klu * 1e3:>10.3f}ms {t_slu * 1e3:>10.3f}ms "
              f"{t_slu / t_klu:>6.1f}x {diff:>9.1e}")


if __name__ == "__main__":
    main()

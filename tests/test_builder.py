"""Numbering, sparse pattern and slots: the assembled matrices match hand stamps."""
import numpy as np
import pytest

from simulation_support import requires
from kivrun import SimulationParameters as SP
from kivrun import kvglobals, units
from kivrun.builder import build
from kivrun.errors import NetlistError
from kivrun.netlist import parse_netlist

pytestmark = requires("InductorImpedanceModel", "MutualInductanceModel", "VoltageSourceModel",
                      "PhaseSourceModel", "ResistorModel", "InductorModel", "CapacitorModel")

L0, R0, C0 = units.INDUCTANCE, units.RESISTANCE, units.CAPACITANCE
NETLIST = f"""* builder
R1 a b {2 * R0}
C1 b 0 {3 * C0}
L1 a 0 {4 * L0}
L2 0 b {5 * L0}
L3 b c {0.5 * L0}
K1 L1 L2 0.5
V1 c 0 1m
P1 0 a 1
.tran 1p 2p
"""


def dense(built, values):
    n = built.n_unknowns
    matrix = np.zeros((n, n))
    pointers, rows = np.array(built.col_pointers), np.array(built.row_indices)
    for col in range(n):
        for k in range(pointers[col], pointers[col + 1]):
            matrix[rows[k], col] += values[k]
    return matrix


def matrix_of(entries):
    matrix = np.zeros((7, 7))
    for row, col, value in entries:
        matrix[row, col] += value
    return matrix


@pytest.fixture
def built():
    return build(parse_netlist(NETLIST))


def test_numbering_nodes_then_branch_unknowns(built):
    assert built.node_numbers == {"a": 1, "b": 2, "c": 3}
    # L1 and L2 are coupled (branch form), L3 is nodal; V1 and P1 own a branch.
    assert built.n_nodes == 3 and built.n_unknowns == 7
    kinds = {e.name: type(e.model).__name__ for e in built.elements}
    assert kinds["L1"] == "InductorImpedanceModel" and kinds["L3"] == "InductorModel"
    assert kvglobals.TotalElements == len(built.elements) == 8
    assert [e.name for e in kvglobals.SourceElementList] == ["V1", "P1"]


def test_static_and_step_matrices_match_hand_stamps(built):
    from kivrun import Stampworks

    a0 = np.zeros(built.nnz)
    Stampworks.BuildStaticMatrix(a0)
    # Unknowns: 1 a, 2 b, 3 c, 4 I(L1), 5 I(L2 as b->0), 6 I(V1), 7 I(P1 as a->0).
    mutual = -0.5 * np.sqrt(4 * 5)  # the turned inductor flips the coupling
    expected = matrix_of([
        (0, 3, 1), (3, 0, -1), (3, 3, 4),                    # L1 a->0, branch 4
        (1, 4, 1), (4, 1, -1), (4, 4, 5),                    # L2 turned b->0, branch 5
        (3, 4, mutual), (4, 3, mutual),                      # K1
        (1, 1, 2), (1, 2, -2), (2, 1, -2), (2, 2, 2),        # L3 nodal, 1/0.5
        (0, 6, 1), (6, 0, 1),                                # P1 turned a->0, branch 7
    ])
    assert np.allclose(dense(built, a0), expected)

    a1, a2, rhs = np.zeros(built.nnz), np.zeros(built.nnz), np.zeros(7)
    SP.X = [np.zeros(7), np.zeros(7)]
    SP.Xind = 1
    SP.DX, SP.DDX, SP.DXprev = np.zeros(7), np.zeros(7), np.zeros(7)
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [10.0], [100.0], [0.1]
    SP.InitialSmoothFactor = 1.0
    Stampworks.BuildMatrix(a1, a2, rhs)
    step = matrix_of([
        (0, 0, 5), (0, 1, -5), (1, 0, -5), (1, 1, 5),        # R1: coeff_dt / 2
        (1, 1, 300),                                         # C1: coeff_ddt * 3
        (2, 5, 1), (5, 2, 1),                                # V1 c->0, branch 6
    ])
    assert np.allclose(dense(built, a1), step)
    assert not a2.any()
    # The phase source's constraint residual: 0 - (-1) with the terminals turned.
    assert rhs[6] == pytest.approx(-1.0)


def test_pattern_holds_every_node_diagonal():
    built = build(parse_netlist("* d\nI1 0 1 1u\nR1 1 2 1\nV1 2 0 1m\n.tran 1p 2p\n"))
    pointers, rows = np.array(built.col_pointers), np.array(built.row_indices)
    diagonal = {(rows[k], col) for col in range(built.n_unknowns)
                for k in range(pointers[col], pointers[col + 1]) if rows[k] == col}
    assert {(0, 0), (1, 1)} <= diagonal
    assert (2, 2) not in diagonal  # a source's own row has no diagonal entry
    assert np.all(np.diff(pointers) > 0) and len(pointers) == built.n_unknowns + 1


def test_node_fed_only_by_current_sources_is_refused():
    with pytest.raises(NetlistError, match="only to current sources") as info:
        build(parse_netlist("* f\nR1 1 0 1\nI1 1 2 1u\n.tran 1p 2p\n"))
    assert (info.value.where.line, info.value.token) == (3, "2")


@requires("VoltageSourceModel")
def test_loop_of_voltage_sources_is_reported():
    from kivrun import SimulationError, simulate

    with pytest.raises(SimulationError, match="singular"):
        simulate("* loop\nV1 1 0 1m\nV2 1 0 2m\nR1 1 0 1\n.tran 1p 2p\n")

"""Named physical constants a netlist expression may use, as the common dialect defines them.

The values are the dialect's own (CODATA 2014 and older), not the exact 2019
SI values in :mod:`kivrun.units`: a deck that computes a bias as
``PHI_ZERO/(2*L)`` should get the number its author's simulator gave.
"""
from __future__ import annotations

import math

DIALECT_CONSTANTS: dict[str, float] = {
    "pi": math.pi,
    "phi_zero": 2.067833831170082e-15,
    "boltzmann": 1.38064852e-23,
    "ev": 1.6021766208e-19,
    "hbar": 1.0545718001391127e-34,
    "c": 299792458.0,
    "mu0": 12.566370614e-7,
    "eps0": 8.854187817e-12,
    "sigma": 3.291059757e-16,
}

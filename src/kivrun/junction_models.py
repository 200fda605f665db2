"""Junction model cards (``.model NAME jj(...)``) mapped onto the core's junction models."""
from __future__ import annotations

from typing import Mapping

from .circuit import JunctionValues
from .errors import Location, NetlistError


def junction_from_model(values: Mapping[str, float], where: Location) -> JunctionValues:
    """Junction of unit area from a ``jj`` model card (SI values).

    rtype absent: RSJ with shunt rn (or r0).  rtype=0: no quasiparticle
    resistance.  rtype=1: the piecewise-linear quasiparticle curve (subgap
    r0 up to vg, rn above, knee width delv) approximated by the smooth
    quasiparticle branch plus a linear subgap resistor, see the docs.
    """
    icrit = values.get("icrit", 1e-3)
    if icrit <= 0:
        raise NetlistError("icrit must be positive", where, "icrit")
    cap = values.get("cap", 0.0)
    rn = values.get("rn")
    r0 = values.get("r0")
    phi = values.get("phi", 0.0)
    rtype = values.get("rtype")
    for key in ("rn", "r0", "vg", "delv", "n"):
        if key in values and values[key] <= 0:
            raise NetlistError(f"{key} must be positive", where, key)
    if rtype is None or rtype == 0:
        resistance = None if rtype == 0 else (rn if rn is not None else r0)
        kind = "rsjph" if phi != 0.0 else "rsj"
        return JunctionValues(kind, icrit, cap, resistance, phase_shift=phi)
    if rtype != 1:
        raise NetlistError("unsupported rtype (0 or 1)", where, "rtype")
    if phi != 0.0:
        raise NetlistError("phi cannot be combined with rtype=1", where, "phi")
    if rn is None:
        raise NetlistError("rtype=1 needs rn", where, "rtype")
    vg = values.get("vg", 2.8e-3)
    if r0 is not None and r0 <= rn:
        raise NetlistError("r0 must exceed rn", where, "r0")
    # Above the gap the two branches together must conduct like rn.
    branch = rn if r0 is None else rn * r0 / (r0 - rn)
    if "n" in values:
        exponent = values["n"]
    else:
        # Match the knee's slope at vg: d/dV p/(1+p) = n/(4 vg), i.e. width 4 vg/n.
        delv = values.get("delv", 0.1e-3)
        exponent = 2.0 * max(1, round(2.0 * vg / delv))
    return JunctionValues("rsjn", icrit, cap, branch, r0, vg, exponent)


def tunnel_junction_from_model(values: Mapping[str, float], kernel: str, where: Location) -> JunctionValues:
    """Tunnel junction (``tjm=KERNEL``): icrit, cap, rn, vg and the subgap r0."""
    for key in ("icrit", "rn"):
        if key not in values:
            raise NetlistError(f"a tunnel junction needs {key}", where, "tjm")
    for key in ("icrit", "rn", "r0", "vg"):
        if key in values and values[key] <= 0:
            raise NetlistError(f"{key} must be positive", where, key)
    if "phi" in values or "rtype" in values:
        raise NetlistError("tjm cannot be combined with rtype or phi", where, "tjm")
    rn = values["rn"]
    return JunctionValues("tjm", values["icrit"], values.get("cap", 0.0), rn,
                        values.get("r0", 10.0 * rn), values.get("vg", 2.8e-3), kernel=kernel)

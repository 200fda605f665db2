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
    if cap < 0:
        raise NetlistError("cap must not be negative", where, "cap")
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


#: Kernel of a card that says ``tjm=1``: niobium at 4.2 K, the usual operating point.
DEFAULT_KERNEL = "nb_4k2"


def kernel_name(text: str, where: Location) -> str | None:
    """The kernel a ``tjm=`` value selects: a table name, 1 (the default kernel) or 0 (none)."""
    from . import kvconfig

    name = text.strip("'\"{}")
    if name in ("0", "0.0"):
        return None
    if name in ("1", "1.0"):
        return DEFAULT_KERNEL
    table = kvconfig.tjm_models
    if name in table:
        return name
    # Netlists are case-insensitive; the table's keys need not be.
    folded = [key for key in table if isinstance(key, str) and key.lower() == name.lower()]
    if len(folded) == 1:
        return folded[0]
    known = ", ".join(sorted(str(key) for key in table)) or "none"
    raise NetlistError(f"unknown tunnel-junction kernel (known: {known})", where, name)


def kernel_icrn(kernel: str) -> float:
    """Ic·Rn/Vg of the kernel's own pair current, Re Jp(0) = -Σ Re(A/P)."""
    from . import kvconfig

    amplitudes, _, poles = kvconfig.tjm_models[kernel]
    return -sum((complex(a) / complex(p)).real for a, p in zip(amplitudes, poles))


def tunnel_junction_from_model(values: Mapping[str, float], kernel: str, where: Location) -> JunctionValues:
    """Tunnel junction of unit area (``tjm=KERNEL``), SI values.

    icrit is required.  rn defaults to the kernel's own Ic·Rn product (a fully
    BCS junction); r0 (alias rsub) adds a subgap leakage on top of the
    kernel's quasiparticle current and defaults to none; vg defaults to 2.8 mV.
    (The reader has already turned ``rsub`` into r0.)
    """
    if "icrit" not in values:
        raise NetlistError("a tunnel junction needs icrit", where, "tjm")
    for key in ("icrit", "rn", "r0", "vg"):
        if key in values and values[key] <= 0:
            raise NetlistError(f"{key} must be positive", where, key)
    if values.get("cap", 0.0) < 0:
        raise NetlistError("cap must not be negative", where, "cap")
    for key in ("phi", "rtype", "delv", "n"):
        if key in values:
            raise NetlistError(f"tjm cannot be combined with {key}", where, key)
    icrit, vg = values["icrit"], values.get("vg", 2.8e-3)
    rn = values.get("rn")
    if rn is None:
        rn = kernel_icrn(kernel) * vg / icrit
    return JunctionValues("tjm", icrit, values.get("cap", 0.0), rn,
                          values.get("r0"), vg, kernel=kernel)

"""Junction model cards (``.model NAME jj(...)``) mapped onto the core's junction models."""
from __future__ import annotations

from typing import Mapping

from .circuit import JunctionValues
from .errors import Location, NetlistError


#: What a ``jj`` model card leaves out, as the common dialect fills it in.
DIALECT_DEFAULTS = {"rtype": 1.0, "rn": 5.0, "r0": 30.0, "icrit": 1e-3, "cap": 2.5e-12,
                    "vg": 2.8e-3, "delv": 0.1e-3}


def junction_from_model(values: Mapping[str, float], where: Location) -> JunctionValues:
    """Junction of unit area from a ``jj`` model card (SI values), with the dialect's defaults.

    rtype=0: RSJ with the linear resistor rn.  rtype=1 (the default): the
    piecewise-linear quasiparticle curve (subgap r0 up to vg − delv/2, a
    straight ramp to rn at vg + delv/2, rn above), or, when the card gives
    the exponent ``n``, the smooth knee (the quasiparticle branch of that
    steepness plus a linear subgap resistor; see the docs).  phi shifts the
    supercurrent's phase in each.
    """
    given = values
    values = {**DIALECT_DEFAULTS, **values}
    icrit, cap = values["icrit"], values["cap"]
    rn, r0 = values["rn"], values["r0"]
    # The dialect subtracts phi inside the sine, Ic·sin(φ − phi); the models add their shift.
    shift = -values.get("phi", 0.0)
    rtype = values["rtype"]
    if icrit <= 0:
        raise NetlistError("icrit must be positive", where, "icrit")
    if cap < 0:
        raise NetlistError("cap must not be negative", where, "cap")
    for key in ("rn", "r0", "vg", "delv", "n"):
        if key in values and values[key] <= 0:
            raise NetlistError(f"{key} must be positive", where, key)
    if rtype == 0:
        kind = "rsjph" if shift != 0.0 else "rsj"
        return JunctionValues(kind, icrit, cap, rn, phase_shift=shift)
    if rtype != 1:
        raise NetlistError("unsupported rtype (0 or 1)", where, "rtype")
    vg = values["vg"]
    if r0 <= rn:
        default = "" if "r0" in given else " (r0 defaults to 30 ohm)"
        raise NetlistError(f"r0 must exceed rn{default}", where, "r0")
    if "n" not in given:
        if values["delv"] >= 2.0 * vg:
            raise NetlistError("delv must be smaller than 2 vg", where, "delv")
        return JunctionValues("pwl", icrit, cap, rn, r0, vg, phase_shift=shift, gap_width=values["delv"])
    # Above the gap the two branches together must conduct like rn.
    branch = rn * r0 / (r0 - rn)
    exponent = values["n"]
    return JunctionValues("rsjn", icrit, cap, branch, r0, vg, exponent, phase_shift=shift)


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

"""Mapping of a junction's physical parameters onto the tunnel-junction model's fields.

The host measures voltage in a unit v0 and current in a unit i0; its time unit
follows from node voltage = d(phase)/dt:  T0 = hbar/(2 e v0).  Resistance and
capacitance units are then R0 = v0/i0 and C0 = i0*T0/v0.
"""
from __future__ import annotations

import math

from ..units import ELEMENTARY_CHARGE as E_CHARGE  # C
from ..units import PLANCK

# The host's own constants, so that its units and this mapping agree to rounding.
HBAR = PLANCK / (2.0 * math.pi)  # J s


def time_unit(v0: float) -> float:
    """Host time unit in seconds for a host voltage unit v0 in volts."""
    return HBAR / (2.0 * E_CHARGE * v0)


def tjm_parameters(icrit: float, cap: float, vg: float, rn: float, rsub: float | None = None,
                   *, v0: float = 1.0, i0: float = 1.0) -> dict:
    """Model fields for a TJM junction.

    icrit [A], cap [F], vg [V] (gap voltage), rn [Ohm] (normal resistance), rsub [Ohm]
    (subgap resistance; None or inf for none), v0 [V] and i0 [A] the host's voltage and
    current units.  Returns crit_current, beta, wvg, wvrat, wrrat as the model wants
    them:

    - crit_current = Ic/i0 scales the whole junction current;
    - wvg = Vg/v0, so a kernel pole p (in units e*Vg/hbar) becomes p*wvg/2 per host
      time unit;
    - wvrat = Ic*Rn/Vg, so crit_current/(wvg*wvrat) is the normal conductance 1/Rn;
    - wrrat = Rn/Rsub: the quasiparticle kernel is weighted by (1 - wrrat), which
      leaves the conductance 1/Rsub below the gap;
    - beta = C/(crit_current * sgw^2) with sgw = 1/(wvg*wvrat), so the capacitive
      term crit_current*beta*sgw^2*dV/dt is C dV/dt.
    """
    for name, val in (("icrit", icrit), ("vg", vg), ("rn", rn), ("v0", v0), ("i0", i0)):
        if not (val > 0 and math.isfinite(val)):
            raise ValueError(f"{name} must be positive and finite, got {val!r}")
    if not (cap >= 0 and math.isfinite(cap)):
        raise ValueError(f"cap must be non-negative and finite, got {cap!r}")
    if rsub is None or math.isinf(rsub):
        wrrat = 0.0
    elif rsub > 0:
        wrrat = rn / rsub
    else:
        raise ValueError(f"rsub must be positive, got {rsub!r}")
    c0 = i0 * time_unit(v0) / v0
    crit_current = icrit / i0
    wvg = vg / v0
    wvrat = icrit * rn / vg
    sgw = 1.0 / (wvg * wvrat)
    beta = (cap / c0) / (crit_current * sgw**2)
    return {"crit_current": crit_current, "beta": beta, "wvg": wvg, "wvrat": wvrat,
            "wrrat": wrrat}


def tjm_init_params(kernel: str, **kwargs) -> list:
    """The argument list of InitTJMModel: [kernel, crit_current, beta, wvg, wvrat, wrrat].

    Keyword arguments are those of tjm_parameters.
    """
    p = tjm_parameters(**kwargs)
    return [kernel, p["crit_current"], p["beta"], p["wvg"], p["wvrat"], p["wrrat"]]

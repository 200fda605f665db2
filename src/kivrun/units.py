"""The one place where SI quantities meet the core's dimensionless units.

The core integrates node phases, so its voltage is dφ/dτ and its inductive
current is φ/L.  Choosing a current unit I0 and a time unit T0 fixes all the
others through the Josephson relation V = (ħ/2e)·dφ/dt:

    V0 = ħ/(2e·T0)          voltage  (≈ 329.1 µV for T0 = 1 ps)
    R0 = V0/I0               resistance (≈ 3.291 Ω)
    L0 = (ħ/2e)/I0 = V0·T0/I0  inductance (≈ 3.291 pH)
    C0 = I0·T0/V0            capacitance (≈ 0.3039 pF)

With I0 = 100 µA and T0 = 1 ps typical RSFQ values (Ic ~ 100-300 µA,
L ~ 2-10 pH, shunts ~ 2-10 Ω, C ~ 0.1-1 pF, pulses of a few ps) are all of
order one, which keeps the circuit matrix well scaled.  Phases are radians
in both systems.
"""
from __future__ import annotations

import math

#: Exact SI constants (2019 definitions).
PLANCK = 6.62607015e-34
ELEMENTARY_CHARGE = 1.602176634e-19
#: Magnetic flux quantum h/2e, in webers.
PHI0 = PLANCK / (2.0 * ELEMENTARY_CHARGE)
#: ħ/2e = Φ0/2π: flux per radian of phase.
PHI0_2PI = PHI0 / (2.0 * math.pi)

#: Base units of the core.
CURRENT = 100e-6
TIME = 1e-12
VOLTAGE = PHI0_2PI / TIME
RESISTANCE = VOLTAGE / CURRENT
INDUCTANCE = VOLTAGE * TIME / CURRENT
CAPACITANCE = CURRENT * TIME / VOLTAGE
#: A voltage derivative (V/s) in core units.
VOLTAGE_RATE = VOLTAGE / TIME

#: Core unit of each SI quantity a netlist value can carry.
UNIT_OF = {
    "current": CURRENT,
    "time": TIME,
    "voltage": VOLTAGE,
    "resistance": RESISTANCE,
    "inductance": INDUCTANCE,
    "capacitance": CAPACITANCE,
    "phase": 1.0,
    "frequency": 1.0 / TIME,
}


def to_core(value: float, quantity: str) -> float:
    """SI value of ``quantity`` expressed in core units."""
    return value / UNIT_OF[quantity]


def to_si(value, quantity: str):
    """Core value (scalar or array) of ``quantity`` expressed in SI units."""
    return value * UNIT_OF[quantity]

"""The flattened circuit a netlist describes, in SI units.

This is the only thing the netlist reader hands on: subcircuits are already
expanded, parameters evaluated and names made unique (``B1.X1`` is element
``B1`` of instance ``X1``).  Node ``0`` is ground.
"""
from __future__ import annotations

import sys
from dataclasses import dataclass, field

from .errors import Location
from .waveforms import Waveform

GROUND = "0"
GROUND_NAMES = ("0", "gnd")
#: A circuit holds one element per card of every instance: slots keep each small.
_SLOTS = {"slots": True} if sys.version_info >= (3, 10) else {}


def node_key(name: str) -> str:
    """The name under which a node is known: lower case, ground as ``0``."""
    key = name.lower()
    return GROUND if key in GROUND_NAMES else key


@dataclass
class JunctionValues:
    """Junction values in SI, already scaled by the instance's area.

    ``kind`` is ``rsj`` (linear shunt ``resistance``, None for none),
    ``rsjn`` (quasiparticle branch of normal resistance ``resistance`` with
    knee ``gap_voltage`` and exponent ``exponent``, plus an optional linear
    ``subgap_resistance``), ``rsjph`` (RSJ with ``phase_shift``), ``pwl`` (the
    dialect's piecewise-linear quasiparticle curve: ``subgap_resistance`` below
    the gap, ``resistance`` above, a straight ramp of width ``gap_width``
    centred on ``gap_voltage``; with ``phase_shift``) or ``tjm``.

    A value, never changed in place: the junctions of one model at one area
    share one instance (make another with ``dataclasses.replace``).
    """

    kind: str
    critical_current: float
    capacitance: float = 0.0
    resistance: float | None = None
    subgap_resistance: float | None = None
    gap_voltage: float = 2.8e-3
    exponent: float = 10.0
    phase_shift: float = 0.0
    kernel: str | None = None
    #: For ``pwl``: width of the gap ramp (delv).
    gap_width: float = 0.1e-3


@dataclass(**_SLOTS)
class CircuitElement:
    """One circuit element: kind is one of R L C K B I V P, T (a line), E F G H (controlled sources).

    Sources written alike in plain numbers share one ``waveform`` instance.
    """

    kind: str
    name: str
    nodes: tuple[str, ...]
    where: Location
    value: float | None = None
    waveform: Waveform | None = None
    junction: JunctionValues | None = None
    #: For K: the keys (lower-case full names) of the two coupled inductors;
    #: for F and H in SPICE form: the key of the element whose current controls them.
    coupled: tuple[str, ...] | None = None
    #: For T: the delay (s); its ``value`` is the characteristic impedance.
    delay: float | None = None
    #: Thermal noise: ``nfree`` opts out; own temperature (K) and noise bandwidth (Hz).
    noise_free: bool = False
    temperature: float | None = None
    bandwidth: float | None = None
    #: Own relative spread (half-width of the uniform draw), overriding ``.spread``.
    spread: float | None = None

    @property
    def key(self) -> str:
        return self.name.lower()


@dataclass
class Probe:
    """A requested trace: ``quantity`` is v, p (node phase), i, ev, ep (element)."""

    quantity: str
    targets: tuple[str, ...]
    label: str
    where: Location


@dataclass
class Transient:
    """``.tran TSTEP TSTOP [TSTART [TMAX]]`` in seconds."""

    step: float
    stop: float
    start: float = 0.0
    max_step: float | None = None
    where: Location | None = None


@dataclass
class IVRequest:
    """``.iv MODEL IMAX FILE``: the model's static I-V curve from -IMAX to IMAX, as a CSV."""

    model: str
    max_current: float
    path: str
    where: Location
    #: The model's junction of unit area, filled in by the reader.
    junction: JunctionValues | None = None


@dataclass
class Circuit:
    title: str
    elements: list[CircuitElement] = field(default_factory=list)
    probes: list[Probe] = field(default_factory=list)
    transient: Transient | None = None
    options: dict[str, float] = field(default_factory=dict)
    source: str = "<netlist>"
    #: Top-level ``.param`` values as evaluated.
    params: dict[str, float] = field(default_factory=dict)
    iv_requests: list[IVRequest] = field(default_factory=list)
    #: ``.file PATH``: output file -> labels of the traces requested after it.
    output_files: dict[str, list[str]] = field(default_factory=dict)
    #: The .options card that set each option.
    option_where: dict[str, Location] = field(default_factory=dict)

    def nodes(self) -> list[str]:
        """Non-ground node names in order of first appearance."""
        seen: dict[str, None] = {}
        for element in self.elements:
            for node in element.nodes:
                if node != GROUND:
                    seen.setdefault(node, None)
        return list(seen)

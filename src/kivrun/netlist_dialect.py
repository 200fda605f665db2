"""Cards and meanings of the common superconducting-SPICE dialect that need more than a lookup.

Model parameter names and the parameters we refuse, ``.tran`` in its long
forms, and ``.iv`` requests.  The reader in :mod:`kivrun.netlist` calls these.
"""
from __future__ import annotations

import math
import warnings
from typing import Callable, Mapping

from .circuit import IVRequest, Transient
from .errors import Location, NetlistError
from .netlist_lines import Card

#: Other names of ``jj`` model parameters.
MODEL_ALIASES = {"ic": "icrit", "c": "cap", "vgap": "vg", "icfact": "icfct", "rsub": "r0"}
#: Parameters the models here take.
MODEL_PARAMETERS = ("icrit", "cap", "rn", "r0", "rtype", "vg", "delv", "phi", "n")
#: Parameters of other dialects that change nothing in a transient run here.
IGNORED_MODEL_PARAMETERS = ("cct", "icon", "tnom", "gmin", "cpic")
#: Parameters the dialect documents whose only accepted value is the default: any
#: other value needs a junction model we do not have.
FIXED_MODEL_PARAMETERS = {
    "cpr": (1.0, "cpr other than 1 (higher harmonics of the supercurrent) is not modelled"),
    "d": (0.0, "d other than 0 (a transparent contact's current-phase relation) is not modelled"),
    "icfct": (math.pi / 4, "icfct other than pi/4 (a quasiparticle step height not set by rn) "
                           "is not modelled; set rn and r0"),
    "t": (4.2, "t other than 4.2 K is not modelled; give icrit and vg at the operating temperature"),
    "tc": (9.1, "tc other than 9.1 K is not modelled; give icrit and vg at the operating temperature"),
}


def model_values(texts: Mapping[str, tuple[str, Location]], number: Callable[[str, Location], float],
                 where: Location) -> tuple[dict[str, float], str | None]:
    """A ``jj`` card's parameters under their canonical names, and its ``tjm=`` text (or None).

    Aliases given together with their canonical name are an error; a
    parameter that would set Ic, C, R or the gap is never silently dropped.
    """
    values: dict[str, float] = {}
    kernel_text: str | None = None
    seen: dict[str, str] = {}
    for raw, (text, at) in texts.items():
        key = MODEL_ALIASES.get(raw, raw)
        if key in seen:
            raise NetlistError(f"give either {seen[key]} or {raw}, not both", where, raw)
        seen[key] = raw
        if key in IGNORED_MODEL_PARAMETERS:
            continue
        if key == "tjm":
            kernel_text = text
            continue
        if key in ("vshunt", "lsh"):
            warnings.warn(f"{at}: junction model parameter '{raw}' has no meaning here; "
                          "no shunt is added (draw it as a resistor)", stacklevel=3)
            continue
        if key not in MODEL_PARAMETERS and key not in FIXED_MODEL_PARAMETERS:
            warnings.warn(f"{at}: junction model parameter '{raw}' ignored", stacklevel=3)
            continue
        value = number(text, at)
        if key in FIXED_MODEL_PARAMETERS:
            default, reason = FIXED_MODEL_PARAMETERS[key]
            if not math.isclose(value, default, rel_tol=1e-4, abs_tol=1e-12):
                raise NetlistError(reason, at, raw)
            continue
        values[key] = value
    return values, kernel_text


def transient(card: Card, number: Callable[[str], float]) -> Transient:
    """``.tran TSTEP TSTOP [TSTART [TMAX [a [b]]]] [UIC] [DST]``.

    TSTEP is the output step, TSTART the start of recording, TMAX a cap on
    the step.  The run always starts from rest, so ``UIC`` and ``DST`` (skip
    the start-up) change nothing; a 5th and 6th number have no meaning here
    and are ignored, with a warning unless they are 0.
    """
    args = [t for t in card.tokens[1:] if t.lower() not in ("uic", "dst")]
    if not 2 <= len(args) <= 6:
        raise NetlistError(".tran needs TSTEP TSTOP [TSTART [TMAX]]", card.where, " ".join(card.tokens))
    values = [number(t) for t in args]
    if any(v < 0 for v in values) or values[0] <= 0 or values[1] <= 0:
        raise NetlistError("time values of .tran must be positive", card.where, " ".join(args))
    start = values[2] if len(values) > 2 else 0.0
    if start >= values[1]:
        raise NetlistError("TSTART must lie before TSTOP", card.where, args[2])
    for text, value in zip(args[4:], values[4:]):
        if value != 0:
            warnings.warn(f"{card.where}: .tran value '{text}' has no meaning here; ignored", stacklevel=3)
    max_step = values[3] if len(values) > 3 and values[3] > 0 else None
    return Transient(values[0], values[1], start, max_step, card.where)


def iv_request(card: Card, number: Callable[[str], float]) -> IVRequest:
    tokens = card.tokens
    if len(tokens) != 4:
        raise NetlistError(".iv needs MODEL MAXCURRENT FILE", card.where, " ".join(tokens))
    # model.cell or model|cell: the model defined inside that subcircuit.
    model = tokens[1].replace(".", "|").lower()
    max_current = number(tokens[2])
    if not max_current > 0:
        raise NetlistError(".iv maximum current must be positive", card.where, tokens[2])
    return IVRequest(model, max_current, tokens[3].strip("'\""), card.where)

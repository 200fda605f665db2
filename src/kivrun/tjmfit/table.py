"""The shipped kernel set and the generated module that holds it."""
from __future__ import annotations

import dataclasses
import pprint

#: Kernels shipped in kvconfig.tjm_models: name -> fit settings.
#: t is T/Tc; tc_kelvin only documents the material.
SHIPPED = {
    "bcs_t0": {"t": 0.0, "tc_kelvin": None, "terms": 12, "delta": 0.01, "xmax": 20.0,
               "about": "ideal BCS junction at T = 0"},
    "nb_4k2": {"t": 4.2 / 9.2, "tc_kelvin": 9.2, "terms": 12, "delta": 0.01, "xmax": 20.0,
               "about": "niobium junction at 4.2 K (Tc = 9.2 K)"},
}

REGENERATE = "PYTHONPATH=src python -m kivrun.tjmfit ship   # from the repository root"

_HEADER = '''"""Fitted tunnel-junction kernels shipped with kivrun.

GENERATED FILE - do not edit.  Regenerate with

    {command}

(`kivrun tjmfit ship --output src/kivrun/tjm_kernels.py` does the same with an
installed package).  Each entry of TJM_MODELS is (A-list, B-list, P-list):
pair amplitudes, quasiparticle-excess amplitudes and shared poles of kernels
Re sum_k A_k exp(P_k s), s in units hbar/(e Vg).  See docs/tjm_kernels.md.
"""

'''


def module_text(models: dict, reports: dict, settings: dict) -> str:
    """Python source of the generated kernel module."""
    body = [_HEADER.format(command=REGENERATE)]
    body.append("TJM_MODELS = {\n")
    for name, (a, b, p) in models.items():
        body.append(f"    {name!r}: (\n")
        for lst in (a, b, p):
            body.append("        [\n")
            for v in lst:
                body.append(f"            complex({float(v.real)!r}, {float(v.imag)!r}),\n")
            body.append("        ],\n")
        body.append("    ),\n")
    body.append("}\n\n")
    body.append("#: Errors of each kernel against the smoothed BCS functions (see tjmfit.fit.report).\n")
    body.append("FIT_REPORTS = " + pprint.pformat(reports, sort_dicts=True) + "\n\n")
    body.append("#: Settings each kernel was fitted with.\n")
    body.append("FIT_SETTINGS = " + pprint.pformat(settings, sort_dicts=True) + "\n")
    return "".join(body)


def report_dict(rep) -> dict:
    return {k: float(v) for k, v in dataclasses.asdict(rep).items()}

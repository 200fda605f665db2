"""Fitted kernels of the tunnel-junction model from BCS theory.

Modules: ``response`` (BCS response functions), ``fit`` (shared-pole fit and fit
report), ``table`` (the shipped kernel set and its generated module), ``units``
(mapping of physical junction parameters onto the model's fields), ``cli``.
Only ``units`` is imported here, so mounting the command needs no SciPy until a
fit actually runs.
"""
from .units import tjm_init_params, tjm_parameters, time_unit


def main(argv: "list[str] | None" = None) -> int:
    from .cli import main as _main
    return _main(argv)


__all__ = ["main", "tjm_parameters", "tjm_init_params", "time_unit"]

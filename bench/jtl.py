"""Netlists of Josephson transmission lines for the benchmarks and the accuracy study."""
from __future__ import annotations


def jtl_netlist(stages: int, pulses: int = 1, stop: float = 150e-12, period: float = 300e-12,
                first: float = 40e-12, probes: tuple[int, ...] | None = None) -> str:
    """An N-stage JTL (Ic 250 µA, βc ≈ 1, bias 0.7 Ic) fed by an ideal SFQ source.

    The source steps its phase by 2π at ``first``, ``first + period``, ...;
    junction phases of the stages in ``probes`` (default: first and last) are printed.
    """
    lines = [f"* JTL of {stages} stages, {pulses} SFQ pulses",
             ".model jj1 jj(rtype=0, icrit=250uA, cap=0.35pF, rn=2ohm)"]
    points = ["0 0"]
    for k in range(pulses):
        start = first + k * period
        points.append(f"{start * 1e12:.6g}p {{{2 * k}*pi}} "
                      f"{(start + 5e-12) * 1e12:.6g}p {{{2 * (k + 1)}*pi}}")
    lines.append(f"P1 src 0 pwl({' '.join(points)})")
    lines.append("L0 src 1 2pH")
    for k in range(1, stages + 1):
        lines.append(f"B{k} {k} 0 jj1")
        lines.append(f"IB{k} 0 {k} 175uA")
        lines.append(f"L{k} {k} {k + 1} 2pH")
    lines.append(f"RL {stages + 1} 0 2ohm")
    lines.append(f".tran 1p {stop * 1e12:.6g}p")
    for k in probes or (1, stages):
        lines.append(f".print p(B{k})")
    return "\n".join(lines) + "\n"

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


def rsj_jtl_netlist(stages: int, pulses: int = 3, period: float = 200e-12, stop: float | None = None,
                    junction_model: str = "icrit=216uA, cap=0.151pF, rtype=0, rn=7.41ohm") -> str:
    """The engine benchmark's line: stage IN –2 pH– J –2 pH– OUT, J shunted by 5.23 Ω
    and biased with 151 µA (ramped over 5 ps), fed ``pulses`` SFQ voltage pulses
    (∫V dt = Φ0 over 4 ps) ``period`` apart, ending in 2 Ω.

    ``stop`` defaults to the time the last pulse needs to leave the line
    (the pulse takes about 1.85 ps per stage; 2.2 ps leaves a margin).
    """
    phi0 = 2.067833848e-15
    width = 4e-12
    peak = 2 * phi0 / width
    first = 20e-12
    if stop is None:
        stop = first + (pulses - 1) * period + 2.2e-12 * stages + 60e-12
    points = ["0 0"]
    for k in range(pulses):
        t0 = first + k * period
        points.append(f"{t0 * 1e12:.6g}p 0 {(t0 + width / 2) * 1e12:.6g}p {peak * 1e3:.9g}m "
                      f"{(t0 + width) * 1e12:.6g}p 0")
    lines = [f"* RSJ JTL of {stages} stages, {pulses} SFQ pulses",
             f".model jjr jj({junction_model})",
             f"VIN in 0 pwl({' '.join(points)})",
             "LIN in 1 2pH"]
    for k in range(1, stages + 1):
        lines.append(f"B{k} {k}m 0 jjr")
        lines.append(f"RS{k} {k}m 0 5.23ohm")
        lines.append(f"IB{k} 0 {k}m pwl(0 0 5p 151uA)")
        lines.append(f"LA{k} {k} {k}m 2pH")
        lines.append(f"LB{k} {k}m {k + 1} 2pH")
    lines.append(f"RL {stages + 1} 0 2ohm")
    lines.append(f".tran 1p {stop * 1e12:.6g}p")
    lines.append(f".print p(B{stages})")
    return "\n".join(lines) + "\n"


def rsj_jtl_subckt_netlist(stages: int, pulses: int = 3, period: float = 200e-12) -> str:
    """:func:`rsj_jtl_netlist`'s line written as one ``.subckt`` stage instantiated N times.

    Same elements, values and stop time; element ``B1`` of stage k is ``B1.Xk``.
    """
    flat = rsj_jtl_netlist(stages, pulses, period).splitlines()
    head = flat[:4]
    tail = [line for line in flat if line.startswith((".tran", "RL "))]
    cell = [".subckt stage in out",
            "B1 mid 0 jjr",
            "RS1 mid 0 5.23ohm",
            "IB1 0 mid pwl(0 0 5p 151uA)",
            "LA1 in mid 2pH",
            "LB1 mid out 2pH",
            ".ends stage"]
    lines = head + cell + [f"X{k} stage {k} {k + 1}" for k in range(1, stages + 1)]
    return "\n".join(lines + tail + [f".print p(B1.X{stages})"]) + "\n"

"""Command line of the kernel fitter: `kivrun tjmfit ...` or `python -m kivrun.tjmfit ...`."""
from __future__ import annotations

import argparse
import json
import os
import sys


def _log(msg):
    print(msg, file=sys.stderr, flush=True)


def _reduced_t(args):
    if args.temperature == 0.0:
        return 0.0
    if args.tc is None:
        raise SystemExit("--tc is required when --temperature is not 0")
    return args.temperature / args.tc


def _cmd_fit(args) -> int:
    from . import fit

    t = _reduced_t(args)
    res, rep = fit.fit_kernel(t, args.terms, args.delta, args.xmax, ladders=args.ladders,
                              max_nfev=args.max_nfev, refine=args.refine,
                              log=None if args.quiet else _log)
    a, b, p = res.entry()
    out = {"name": args.name, "t": t, "delta": args.delta, "terms": args.terms,
           "A": [[v.real, v.imag] for v in a], "B": [[v.real, v.imag] for v in b],
           "P": [[v.real, v.imag] for v in p], "report": rep.as_dict()}
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(out, fh, indent=1)
    print(f"{args.name!r}: (")
    for lst in (a, b, p):
        print("    [" + ", ".join(repr(v) for v in lst) + "],")
    print(")")
    print("\n".join(rep.lines()))
    return 0


def _default_output():
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "tjm_kernels.py")


def _cmd_ship(args) -> int:
    from . import fit, table

    models, reports, settings = {}, {}, {}
    for name, cfg in table.SHIPPED.items():
        _log(f"fitting {name}: {cfg['about']}, {cfg['terms']} terms, delta {cfg['delta']}")
        res, rep = fit.fit_kernel(cfg["t"], cfg["terms"], cfg["delta"], cfg["xmax"],
                                  ladders=args.ladders, max_nfev=args.max_nfev,
                                  refine=args.refine, log=_log)
        models[name] = res.entry()
        reports[name] = table.report_dict(rep)
        settings[name] = dict(cfg, ladders=args.ladders,
                              max_nfev=args.max_nfev, refine=args.refine)
        for line in rep.lines():
            _log("  " + line)
    path = args.output or _default_output()
    with open(path, "w") as fh:
        fh.write(table.module_text(models, reports, settings))
    _log(f"wrote {path}")
    return 0


def _cmd_report(args) -> int:
    from .. import tjm_kernels
    from . import fit
    from .response import BCSResponse

    names = args.names or list(tjm_kernels.TJM_MODELS)
    unknown = [n for n in names if n not in tjm_kernels.FIT_SETTINGS]
    if unknown:
        raise SystemExit(f"not a shipped kernel: {', '.join(unknown)}")
    for name in names:
        cfg = tjm_kernels.FIT_SETTINGS[name]
        rep = fit.report(tjm_kernels.TJM_MODELS[name], BCSResponse(cfg["t"], cfg["delta"]),
                         cfg["xmax"])
        print(f"{name}: {cfg['about']}, {len(tjm_kernels.TJM_MODELS[name][0])} terms")
        for line in rep.lines():
            print("  " + line)
    return 0


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="kivrun tjmfit",
                                 description="Fit BCS tunnel-junction kernels with shared poles.")
    sub = ap.add_subparsers(dest="command", required=True)

    def fit_options(p):
        p.add_argument("--ladders", type=int, default=4, help="starting pole ladders (default 4)")
        p.add_argument("--max-nfev", type=int, default=200,
                       help="function evaluations per nonlinear fit (default 200)")
        p.add_argument("--refine", type=int, default=3,
                       help="minimax reweighting rounds (default 3)")

    f = sub.add_parser("fit", help="fit one kernel and print its table entry and report")
    f.add_argument("--temperature", type=float, default=0.0, help="T in kelvin (default 0)")
    f.add_argument("--tc", type=float, default=None, help="critical temperature in kelvin")
    f.add_argument("--terms", type=int, default=12, help="number of poles, 1 to 20 (default 12)")
    f.add_argument("--xmax", type=float, default=20.0,
                   help="upper end of the fitted and checked range of V/Vg (default 20)")
    f.add_argument("--delta", type=float, default=0.01, help="smoothing, in V/Vg (default 0.01)")
    f.add_argument("--name", default="kernel", help="table key to print")
    f.add_argument("--json", help="also write the entry and report to this JSON file")
    f.add_argument("--quiet", action="store_true", help="no progress output")
    fit_options(f)
    f.set_defaults(func=_cmd_fit)

    s = sub.add_parser("ship", help="refit the shipped kernels and rewrite kivrun/tjm_kernels.py")
    s.add_argument("--output", help="path of the generated module (default: the package's)")
    fit_options(s)
    s.set_defaults(func=_cmd_ship)

    r = sub.add_parser("report", help="recompute the fit reports of shipped kernels")
    r.add_argument("names", nargs="*", help="kernel names (default: all)")
    r.set_defaults(func=_cmd_report)
    return ap


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.command == "fit" and not 1 <= args.terms <= 20:
        raise SystemExit("--terms must be between 1 and 20 (the model holds at most 20)")
    return int(args.func(args) or 0)

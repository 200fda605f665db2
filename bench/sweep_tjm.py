"""Driver sweeps over TJM junctions against native complex arithmetic.

n junctions with 10-term kernels, each from its own node to ground, are swept
by every driver; the time per call divided by n is the cost per junction.
In the same run NumPy's vectorised loops give the native cost of the work
the operations are built from: np.exp over n·10 complex numbers (the ten
exponentials of Admitance1) and n·20 complex products (the two products per
term of the other operations).  Prints nanoseconds per junction and the
ratios against those baselines (targets: at most 2).

The single operations are read from the drivers' sums: Admitance1 =
BuildMatrix − UpdateMatrix, Admitance2 = UpdateMatrix − UpdateRHS (the two
drivers run Admitance2 and the residual as one step that shares the half
angles, so this is what Admitance2 adds to the residual).  All
candidates run in interleaved rounds and each keeps its best round: the
machine is shared, and every candidate then starts from the caches the
others left behind, as one sweep of a large circuit does after another.
"""
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import fresh_state, register  # noqa: E402

from kivrun import SimulationParameters as SP  # noqa: E402
from kivrun import Stampworks as sw  # noqa: E402
from kivrun import kvconfig, kvglobals  # noqa: E402

TERMS = 10


def kernel(rng):
    """A decaying 10-term kernel in the table's form (A-, B- and P-lists)."""
    poles = -(0.2 + rng.random(TERMS)) + 1j * rng.standard_normal(TERMS)
    amps = rng.standard_normal(TERMS) + 1j * rng.standard_normal(TERMS)
    seconds = rng.standard_normal(TERMS) + 1j * rng.standard_normal(TERMS)
    return list(amps), list(seconds), list(poles)


def junctions(n):
    """n junctions from node k + 1 to ground, past the source ramp, so that
    BuildStaticMatrix refreshes no element and the sweep is timed alone."""
    fresh_state(n, n, np.random.default_rng(11))
    kvglobals.OptimizeSimulation, kvglobals.CurrentTime, SP.INITIAL_RAMP = True, 1.0, 0.0
    SP.TimeSteps = [0.05]
    kvconfig.tjm_models = {"bench": kernel(np.random.default_rng(3))}
    models = []
    for k in range(n):
        m = sw.JunctionTJMModel(k + 1, 0, k)
        m.InitModel(k, 0, 0, 0)
        m.InitTJMModel(["bench", 1.0, 1.0, 260 / 63, 0.6, 0.1])
        models.append(m)
    register(models)


def per_item_ns(fns, n, rounds=40):
    """Best time per call over interleaved rounds, divided by n."""
    best = {name: float("inf") for name in fns}
    for fn in fns.values():
        fn()  # warm caches
    for _ in range(rounds):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return {name: t / n * 1e9 for name, t in best.items()}


def run(n: int = 10_000) -> None:
    rng = np.random.default_rng(12)
    junctions(n)
    a0, a1, a2, b = np.zeros(n), np.zeros(n), np.zeros(n), np.zeros(n)
    drivers = {
        "BuildStaticMatrix": lambda: sw.BuildStaticMatrix(a0),
        "BuildMatrix": lambda: sw.BuildMatrix(a1, a2, b),
        "UpdateMatrix": lambda: sw.UpdateMatrix(a2, b),
        "UpdateRHS": lambda: sw.UpdateRHS(b),
        "UpdateValues": lambda: sw.UpdateValues(),
    }
    sw.BuildStaticMatrix(a0)
    sw.BuildMatrix(a1, a2, b)  # step weights and states in place before any timing

    z = np.exp(rng.standard_normal(n * TERMS) * 0.1 + 1j * rng.standard_normal(n * TERMS))
    exp_out = np.empty_like(z)
    x, y = (rng.standard_normal(n * 2 * TERMS) + 1j * rng.standard_normal(n * 2 * TERMS) for _ in "xy")
    mul_out = np.empty_like(x)
    drivers["exp"] = lambda: np.exp(z, out=exp_out)
    drivers["mul"] = lambda: np.multiply(x, y, out=mul_out)
    ns = per_item_ns(drivers, n)
    exp10, mul20 = ns.pop("exp"), ns.pop("mul")

    operations = {
        "Admitance0": (ns["BuildStaticMatrix"], mul20, "20 products"),
        "Admitance1": (ns["BuildMatrix"] - ns["UpdateMatrix"], exp10, "10 exps"),
        "Admitance2": (ns["UpdateMatrix"] - ns["UpdateRHS"], mul20, "20 products"),
        "RHSCurrent": (ns["UpdateRHS"], mul20, "20 products"),
        "Values": (ns["UpdateValues"], mul20, "20 products"),
    }
    print(f"{n} TJM junctions, {TERMS}-term kernels; baselines per junction: "
          f"10 complex exp {exp10:.1f} ns, 20 complex products {mul20:.1f} ns")
    print(f"{'driver':>18} {'ns/junction':>12}")
    for name, value in ns.items():
        print(f"{name:>18} {value:>12.1f}")
    print(f"{'operation':>18} {'ns/junction':>12} {'baseline':>12} {'ratio':>6}")
    for name, (value, base, label) in operations.items():
        print(f"{name:>18} {value:>12.1f} {label:>12} {value / base:>6.2f}")


if __name__ == "__main__":
    run()

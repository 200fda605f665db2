"""Elements.bind_models: models bound in bulk behave exactly as models bound one call at a time."""
import array

import numpy as np
import pytest

from kivrun import Stampworks as sw

Elements = pytest.importorskip("kivrun.Elements")

TYPES = (sw.ResistorModel, sw.CapacitorModel, sw.InductorModel, sw.JunctionModel, sw.CurrentSourceModel)
#: (class, i, j, slots ii ij ji jj, parameters): both terminals live, one grounded, slots shared.
SPECS = [
    (sw.ResistorModel, 1, 2, (0, 1, 2, 3), [2.5]),
    (sw.CapacitorModel, 2, 0, (3, 0, 0, 0), [0.7]),
    (sw.InductorModel, 3, 1, (5, 6, 1, 0), [1.9]),
    (sw.JunctionModel, 3, 0, (5, 0, 0, 0), [1.0, 4.2, 0.3]),
    (sw.JunctionModel, 2, 3, (3, 4, 7, 5), [0.6, 1e30, 0.1]),
    (sw.CurrentSourceModel, 0, 2, (0, 0, 0, 0), [0.37]),
]
NSLOTS = 8


def one_by_one():
    models = []
    for eindex, (cls, i, j, slots, params) in enumerate(SPECS):
        model = cls(i, j, eindex)
        model.InitModel(*slots)
        model.SetParameters(params)
        models.append(model)
    return models


def in_bulk(specs=SPECS, types=TYPES):
    codes = bytes(types.index(cls) if cls in types else 0 for cls, *_ in specs)
    nodes = array.array("i", [n for _, i, j, _, _ in specs for n in (i, j)])
    slots = array.array("i", [s for _, _, _, four, _ in specs for s in four])
    params = array.array("d", [p for *_, values in specs for p in values])
    eindex = array.array("i", range(len(specs)))
    return Elements.bind_models(types, np.frombuffer(codes, dtype=np.uint8), eindex, nodes, slots, params)


def sweep(h, models):
    """Everything the drivers get out of the models at one state of the circuit."""
    h.register(*models, sources=[m for m in models if isinstance(m, sw.CurrentSourceModel)])
    rng = np.random.default_rng(7)
    h.set_step(coeff_dt=3.0, coeff_ddt=2.0, phases=rng.normal(size=3), voltages=rng.normal(size=3),
               dvoltages=rng.normal(size=3), phases_prev=rng.normal(size=3), smooth=0.5)
    h.set_nodes(phases=rng.normal(size=3), voltages=rng.normal(size=3), dvoltages=rng.normal(size=3))
    return [h.static(NSLOTS), *h.build(NSLOTS), *h.update(NSLOTS), h.rhs(), *h.values()]


def test_bulk_models_stamp_and_report_as_models_bound_one_by_one(host):
    h = host(unknowns=3, elements=len(SPECS))
    bulk = in_bulk()
    assert [type(m) for m in bulk] == [cls for cls, *_ in SPECS]
    expected = sweep(h, one_by_one())
    got = sweep(h, bulk)
    for want, have in zip(expected, got):
        np.testing.assert_array_equal(have, want)
    # Something was stamped at all: the comparison is not between two empty sweeps.
    assert np.count_nonzero(expected[1]) >= 6 and np.count_nonzero(expected[-3]) >= 5


@pytest.mark.parametrize("specs, types, error, match", [
    ([(sw.ResistorModel, -1, 2, (0, 0, 0, 0), [1.0])], TYPES, ValueError, "node i = -1 is negative"),
    ([(sw.ResistorModel, 0, 0, (0, 0, 0, 0), [1.0])], TYPES, ValueError, "both terminals are ground"),
    ([(sw.ResistorModel, 1, 9, (0, 0, 0, 0), [1.0])], TYPES, ValueError, "does not fit the bound node arrays"),
    ([(sw.JunctionModel, 1, 2, (0, 0, 0, 0), [1.0])], TYPES, IndexError, "needs 3 parameters, 1 left"),
    ([(sw.ResistorModel, 1, 2, (0, 0, 0, 0), [1.0, 2.0])], TYPES, ValueError, "1 parameters left over"),
    ([(sw.VoltageSourceModel, 1, 2, (0, 0, 0, 0), [1.0])], (sw.VoltageSourceModel,), TypeError,
     "not a class bound here"),
])
def test_bulk_binding_refuses_what_one_by_one_refuses(host, specs, types, error, match):
    host(unknowns=3, elements=2)
    with pytest.raises(error, match=match):
        in_bulk(specs, types)

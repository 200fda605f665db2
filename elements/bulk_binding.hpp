// Elements.bind_models: many models of the core's plainest classes created,
// bound to the host's state arrays and given their parameters in one call,
// exactly as their constructor, InitModel and SetParameters would do one by one.
#pragma once
#include "pyglue/pyglue.hpp"

namespace elements {

PyObject* bind_models(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace elements

// The registry of models that every driver sweeps, and the checks a driver
// makes once per call before it hands any array to a model.
#pragma once
#include "stampworks/framework/element_model.hpp"

#include <vector>

namespace stampworks::registry {

PyObject* InitElementModels(PyObject* self, PyObject* args, PyObject* kwds);

// The registered models, in ElementList order.
const std::vector<ModelObject*>& models();

// Valid registry of exactly `nelem` models, all bound and ready; returns
// what they touch (recomputed only after some binding changed), or null
// with RuntimeError set.
const Extent* check(int32_t nelem);

// Every slot used by a registered model fits `len` ("A1", ...).
bool check_matrix(const Extent& e, Py_ssize_t len, const char* name);

// Every unknown used by a registered model fits a vector of `len`.
bool check_vector(const Extent& e, Py_ssize_t len, const char* name);

}  // namespace stampworks::registry

#pragma once
#include <Python.h>

namespace stampworks::drivers {

PyObject* BuildStaticMatrix(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* BuildMatrix(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* UpdateMatrix(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* UpdateRHS(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* UpdateValues(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace stampworks::drivers

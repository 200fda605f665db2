// Access to the host's state: the module namespace names the drivers look
// up at every call, and the objects imported once at load.
#pragma once
#include "pyglue/pyglue.hpp"
#include "stampworks/framework/types.hpp"

namespace stampworks::host {

extern PyObject* module_dict;       // the module's own namespace
extern PyObject* kvglobals_module;  // as imported at load (read by InitModel)
extern PyObject* kvconfig_module;   // as imported at load (read by InitTJMModel)
extern PyTypeObject* ndarray_type;  // numpy.ndarray

// Looks `name` up in the module namespace now, so the host may rebind it.
pyglue::Ref global(const char* name);

// obj must be a numpy.ndarray ("Cannot convert ...") viewable as `type`.
bool acquire_array(PyObject* obj, const pyglue::ItemType& type, bool writable, pyglue::Buffer& out);

// A host attribute that must be a one-dimensional FLOAT_t array.
bool acquire_attr_array(PyObject* owner, const char* name, pyglue::Buffer& out);

// A driver argument: a numpy.ndarray (named in the error) of FLOAT_t.
bool acquire_argument(PyObject* obj, const char* argname, pyglue::Buffer& out);

}  // namespace stampworks::host

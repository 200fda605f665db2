// The small helper layer both extension modules use over the CPython C API.
#pragma once
#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/ref.hpp"

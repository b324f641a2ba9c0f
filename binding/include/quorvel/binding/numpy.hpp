// The one way the binding layer includes the NumPy C API.
//
// numpy_api.cpp owns the API table; every other file sees it through this
// header. The table is bound lazily by ensure_numpy(), never at import.
#pragma once

#include "quorvel/binding/python.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorvel_numpy_array_api
#ifndef QUORVEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quorvel::binding {

// Binds NumPy's C-API table on first use. Returns false with PanicException
// set when it cannot be bound.
[[nodiscard]] bool ensure_numpy();

}  // namespace quorvel::binding

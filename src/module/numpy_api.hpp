// The one header that includes NumPy. Every translation unit of the module
// shares the API table bound by numpy_binding.cpp, which is the only file
// that defines it.
#pragma once

#include "python_support.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tarnwold_ARRAY_API
#ifndef TARNWOLD_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tarnwold::py {

// Binds the NumPy C API on first use; later calls return at once. Importing
// the module therefore does not import NumPy. Throws PythonErrorSet with the
// internal-fault exception pending when NumPy cannot be bound.
void ensure_numpy();

}  // namespace tarnwold::py

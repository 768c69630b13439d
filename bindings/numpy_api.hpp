#pragma once

// NumPy's C API for the binding units. Its function table lives in numpy_api.cpp; every other unit
// includes this header and uses that one table.
#include "bindings/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quillfen_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#ifndef QUILLFEN_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quillfen::bindings {

// Loads NumPy's function table on first use, so that importing our module does not import NumPy
// (and start its threads). Returns false with the import failure pending.
bool load_numpy_api();

}  // namespace quillfen::bindings

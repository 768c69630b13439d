#pragma once

#include "bindings/python.hpp"

namespace quillfen::bindings {

// The NativeCpuEngine type object: created on first use and kept for the whole process, so that
// a re-import of the module binds the same class. Returns a borrowed reference, or nullptr with
// an exception set.
PyObject* engine_type();

}  // namespace quillfen::bindings

#pragma once

#include "bindings/python.hpp"

namespace quillfen::bindings {

// The methods of NativeCpuEngine. update, predict and restore use the fast positional-and-keyword
// calling convention; state takes no arguments.
PyObject* engine_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* engine_state(PyObject* self, PyObject* unused);
PyObject* engine_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

}  // namespace quillfen::bindings

#pragma once

#include "bindings/python.hpp"

namespace quillfen::bindings {

// batch_terms(design, y, sample_weight, coefficients, threshold, bandwidth, loss=False,
// gradient=False, absolute_gradient=False, curvature=False, score=False, pool=None) -> dict
PyObject* batch_terms_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// fill_design(source, out, intercept, pool=None) -> float: the largest magnitude copied
PyObject* fill_design_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace quillfen::bindings

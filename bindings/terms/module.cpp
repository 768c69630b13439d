// Entry point of the _quillfen_native_terms extension module: a batch's loss sums (loss,
// gradient, curvature and score Grams) at given coefficients and the design fill, over the same
// kernels and worker pools as the engine.

#include "bindings/errors.hpp"
#include "bindings/python.hpp"
#include "bindings/terms/terms_calls.hpp"
#include "bindings/terms/worker_pool_type.hpp"

namespace quillfen::bindings {
namespace {

PyMethodDef kFunctions[] = {
    {"batch_terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_terms_call)),
     METH_FASTCALL | METH_KEYWORDS,
     "batch_terms(design, y, sample_weight, coefficients, threshold, bandwidth, loss=False, "
     "gradient=False, absolute_gradient=False, curvature=False, score=False, pool=None)\n--\n\n"
     "The requested Huber sums of one batch at `coefficients`, in float64."},
    {"fill_design", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fill_design_call)),
     METH_FASTCALL | METH_KEYWORDS,
     "fill_design(source, out, intercept, pool=None)\n--\n\n"
     "Copies `source` into the C-ordered `out`, with a last column of ones when `intercept`, "
     "and returns the largest magnitude copied."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return guard_call(-1, [&] {
    PyObject* type = worker_pool_type();
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "WorkerPool", type) < 0 ? -1 : 0;
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_quillfen_native_terms",
    "",
    0,
    kFunctions,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillfen::bindings

PyMODINIT_FUNC PyInit__quillfen_native_terms() {
  return PyModuleDef_Init(&quillfen::bindings::kModule);
}

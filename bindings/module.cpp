// Entry point of the _quillfen_native_cpu extension module.

#include "bindings/dicts.hpp"
#include "bindings/engine_type.hpp"
#include "bindings/errors.hpp"
#include "bindings/python.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen::bindings {
namespace {

constexpr long kAbiVersion = 1;
constexpr long kPythonApiVersion = 2;
constexpr const char kEngineVersion[] = "0.7.1";
constexpr const char kLinearAlgebraProvider[] = "eigen";
constexpr const char kParallelProvider[] = "quillfen-threads";
constexpr const char kEngineThreadPoolDefault[] = "global";

PyObject* build_version_dict() {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool complete =
      insert_new(dict, "abi_version", PyLong_FromLong(kAbiVersion)) &&
      insert_new(dict, "python_api_version", PyLong_FromLong(kPythonApiVersion)) &&
      insert_new(dict, "engine_version", PyUnicode_FromString(kEngineVersion)) &&
      insert_new(dict, "linear_algebra_provider", PyUnicode_FromString(kLinearAlgebraProvider)) &&
      insert_new(dict, "parallel_provider", PyUnicode_FromString(kParallelProvider)) &&
      insert_new(dict, "parallel_threads", PyLong_FromSize_t(parallel::current_num_threads())) &&
      insert_new(dict, "supports_engine_thread_pool", Py_NewRef(Py_True)) &&
      insert_new(dict, "engine_thread_pool_default",
                 PyUnicode_FromString(kEngineThreadPoolDefault)) &&
      insert_new(dict, "strict_dtypes", Py_BuildValue("(ss)", "float32", "float64"));
  if (!complete) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* version(PyObject*, PyObject*) {
  return guard_call<PyObject*>(nullptr, build_version_dict);
}

PyMethodDef kVersionDef = {"version", version, METH_NOARGS, "version()\n--\n\n"};

int exec_module(PyObject* module) {
  return guard_call(-1, [&] {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                   Py_TYPE(module)->tp_name);
      return -1;
    }
    PyObject* type = engine_type();
    if (type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "NativeCpuEngine", type) < 0) return -1;

    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    PyObject* function = PyCMethod_New(&kVersionDef, module, name, nullptr);
    Py_DECREF(name);
    if (function == nullptr) return -1;
    const int status = PyModule_AddObjectRef(module, "version", function);
    Py_DECREF(function);
    return status < 0 ? -1 : 0;
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_quillfen_native_cpu",
    "",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillfen::bindings

PyMODINIT_FUNC PyInit__quillfen_native_cpu() {
  return PyModuleDef_Init(&quillfen::bindings::kModule);
}

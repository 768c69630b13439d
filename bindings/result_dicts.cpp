#include "bindings/result_dicts.hpp"

#include <array>
#include <span>

#include "bindings/arrays.hpp"
#include "bindings/dicts.hpp"
#include "common/checked_math.hpp"

namespace quillfen::bindings {
namespace {

bool append_diagnostics(PyObject* dict, const UpdateDiagnostics& diagnostics) {
  return insert_new(dict, "iterations", PyLong_FromUnsignedLongLong(diagnostics.iterations)) &&
         insert_new(dict, "converged", PyBool_FromLong(diagnostics.converged)) &&
         insert_new(dict, "objective", PyFloat_FromDouble(diagnostics.objective)) &&
         insert_new(dict, "lambda_value", PyFloat_FromDouble(diagnostics.lambda_value)) &&
         insert_new(dict, "bandwidth", PyFloat_FromDouble(diagnostics.bandwidth)) &&
         insert_new(dict, "used_regularized_fallback",
                    PyBool_FromLong(diagnostics.used_regularized_fallback));
}

}  // namespace

template <class T>
PyObject* state_dict(const EngineState<T>& state) {
  const std::size_t n = state.coefficients.size();
  const auto square = checked_mul(n, n);
  if (!square || *square != state.information.size()) {
    PyErr_SetString(PyExc_RuntimeError, "native information shape is invalid");
    return nullptr;
  }
  if (!load_numpy_api()) return nullptr;
  const auto length = static_cast<npy_intp>(n);
  const std::array<npy_intp, 1> vector_shape = {length};
  const std::array<npy_intp, 2> matrix_shape = {length, length};

  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool complete =
      insert_new(dict, "coefficients",
                 copy_to_array<T>(std::span<const T>(state.coefficients), vector_shape)) &&
      insert_new(dict, "information",
                 copy_to_array<T>(std::span<const T>(state.information), matrix_shape)) &&
      insert_new(dict, "state_is_detached", Py_NewRef(Py_True)) &&
      insert_new(dict, "n_samples_seen", PyLong_FromUnsignedLongLong(state.n_samples_seen)) &&
      insert_new(dict, "batch_count", PyLong_FromUnsignedLongLong(state.batch_count)) &&
      insert_new(dict, "previous_lambda", PyFloat_FromDouble(state.previous_lambda)) &&
      insert_new(dict, "weight_sum", PyFloat_FromDouble(state.weight_sum));
  if (!complete) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

template <class T>
PyObject* update_result_dict(const EngineState<T>& state, const UpdateDiagnostics& diagnostics) {
  PyObject* dict = state_dict(state);
  if (dict == nullptr) return nullptr;
  if (!append_diagnostics(dict, diagnostics)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

template PyObject* state_dict<float>(const EngineState<float>&);
template PyObject* state_dict<double>(const EngineState<double>&);
template PyObject* update_result_dict<float>(const EngineState<float>&, const UpdateDiagnostics&);
template PyObject* update_result_dict<double>(const EngineState<double>&, const UpdateDiagnostics&);

}  // namespace quillfen::bindings

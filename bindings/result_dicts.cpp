#include "bindings/result_dicts.hpp"

#include <array>
#include <span>

#include "bindings/arrays.hpp"
#include "bindings/dicts.hpp"
#include "common/checked_math.hpp"

namespace quillfen::bindings {
namespace {

// The keys of the state and update dictionaries, in the order they are inserted.
enum Key : std::size_t {
  kCoefficients,
  kInformation,
  kStateIsDetached,
  kSamplesSeen,
  kBatchCount,
  kPreviousLambda,
  kWeightSum,
  kIterations,
  kConverged,
  kObjective,
  kLambdaValue,
  kBandwidth,
  kUsedRegularizedFallback,
  kKeyCount
};
constexpr std::array<const char*, kKeyCount> kKeyNames = {"coefficients",
                                                          "information",
                                                          "state_is_detached",
                                                          "n_samples_seen",
                                                          "batch_count",
                                                          "previous_lambda",
                                                          "weight_sum",
                                                          "iterations",
                                                          "converged",
                                                          "objective",
                                                          "lambda_value",
                                                          "bandwidth",
                                                          "used_regularized_fallback"};

// The keys as interned strings, made on first use (with the interpreter lock held) and kept for
// the life of the process, so that filling a dictionary creates and interns no strings per call.
// nullptr with an exception set when they cannot be made.
PyObject* const* dictionary_keys() {
  static std::array<PyObject*, kKeyCount> keys{};
  if (keys[0] != nullptr) return keys.data();
  std::array<PyObject*, kKeyCount> made{};
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    made[k] = PyUnicode_InternFromString(kKeyNames[k]);
    if (made[k] == nullptr) {
      for (PyObject* key : made) Py_XDECREF(key);
      return nullptr;
    }
  }
  keys = made;
  return keys.data();
}

// A dictionary with the first `count` keys in order, each mapped to None: made once per count and
// kept like the keys. A copy of it has its table sized and its keys in place, so setting the
// values resizes and inserts nothing. A borrowed reference, or nullptr with an exception set.
PyObject* dictionary_template(std::size_t count) {
  static std::array<PyObject*, kKeyCount + 1> templates{};
  if (templates[count] != nullptr) return templates[count];
  PyObject* const* keys = dictionary_keys();
  if (keys == nullptr) return nullptr;
  PyObject* made = PyDict_New();
  if (made == nullptr) return nullptr;
  for (std::size_t k = 0; k < count; ++k) {
    if (PyDict_SetItem(made, keys[k], Py_None) < 0) {
      Py_DECREF(made);
      return nullptr;
    }
  }
  templates[count] = made;
  return made;
}

// A new dictionary with the first `count` keys, values still None (see dictionary_template).
PyObject* keyed_dictionary(std::size_t count) {
  PyObject* model = dictionary_template(count);
  return model != nullptr ? PyDict_Copy(model) : nullptr;
}

bool append_diagnostics(PyObject* dict, PyObject* const* keys,
                        const UpdateDiagnostics& diagnostics) {
  return insert_new(dict, keys[kIterations], PyLong_FromUnsignedLongLong(diagnostics.iterations)) &&
         insert_new(dict, keys[kConverged], PyBool_FromLong(diagnostics.converged)) &&
         insert_new(dict, keys[kObjective], PyFloat_FromDouble(diagnostics.objective)) &&
         insert_new(dict, keys[kLambdaValue], PyFloat_FromDouble(diagnostics.lambda_value)) &&
         insert_new(dict, keys[kBandwidth], PyFloat_FromDouble(diagnostics.bandwidth)) &&
         insert_new(dict, keys[kUsedRegularizedFallback],
                    PyBool_FromLong(diagnostics.used_regularized_fallback));
}

// Sets the state's entries of `dict`, which holds their keys. False with an exception set.
template <class T>
bool set_state_entries(PyObject* dict, PyObject* const* keys, const EngineState<T>& state) {
  const std::size_t n = state.coefficients.size();
  const auto square = checked_mul(n, n);
  if (!square || *square != state.information.size()) {
    PyErr_SetString(PyExc_RuntimeError, "native information shape is invalid");
    return false;
  }
  if (!load_numpy_api()) return false;
  const auto length = static_cast<npy_intp>(n);
  const std::array<npy_intp, 1> vector_shape = {length};
  const std::array<npy_intp, 2> matrix_shape = {length, length};
  return insert_new(dict, keys[kCoefficients],
                    copy_to_array<T>(std::span<const T>(state.coefficients), vector_shape)) &&
         insert_new(dict, keys[kInformation],
                    copy_to_array<T>(std::span<const T>(state.information), matrix_shape)) &&
         insert_new(dict, keys[kStateIsDetached], Py_NewRef(Py_True)) &&
         insert_new(dict, keys[kSamplesSeen], PyLong_FromUnsignedLongLong(state.n_samples_seen)) &&
         insert_new(dict, keys[kBatchCount], PyLong_FromUnsignedLongLong(state.batch_count)) &&
         insert_new(dict, keys[kPreviousLambda], PyFloat_FromDouble(state.previous_lambda)) &&
         insert_new(dict, keys[kWeightSum], PyFloat_FromDouble(state.weight_sum));
}

}  // namespace

template <class T>
PyObject* state_dict(const EngineState<T>& state) {
  PyObject* dict = keyed_dictionary(kWeightSum + 1);
  if (dict == nullptr) return nullptr;
  if (!set_state_entries(dict, dictionary_keys(), state)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

template <class T>
PyObject* update_result_dict(const EngineState<T>& state, const UpdateDiagnostics& diagnostics) {
  PyObject* dict = keyed_dictionary(kKeyCount);
  if (dict == nullptr) return nullptr;
  PyObject* const* keys = dictionary_keys();
  if (!set_state_entries(dict, keys, state) || !append_diagnostics(dict, keys, diagnostics)) {
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

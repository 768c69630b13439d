// NativeCpuEngine.state and restore: the summary copied out of and into the engine. Both run with
// the interpreter lock held.

#include <array>
#include <variant>

#include "bindings/access.hpp"
#include "bindings/arguments.hpp"
#include "bindings/arrays.hpp"
#include "bindings/converters.hpp"
#include "bindings/engine_methods.hpp"
#include "bindings/engine_object.hpp"
#include "bindings/errors.hpp"
#include "bindings/result_dicts.hpp"
#include "common/value_tests.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 6> kRestoreParameters = {"coefficients",    "information",
                                                           "n_samples_seen",  "batch_count",
                                                           "previous_lambda", "weight_sum"};

struct RestoredScalars {
  std::uint64_t n_samples_seen;
  std::uint64_t batch_count;
  double previous_lambda;
  double weight_sum;
};

// Every check before anything is written, in this order: the arrays' kinds, their shapes, the two
// floats, the arrays' layouts, the finiteness of every element.
template <class T>
bool check_restore(const TypedEngine<T>& engine, PyObject* coefficients, PyObject* information,
                   const RestoredScalars& scalars) {
  if (!load_numpy_api() || !require_engine_kind<T>(coefficients, 1, "coefficients") ||
      !require_engine_kind<T>(information, 2, "information")) {
    return false;
  }
  const auto n = static_cast<npy_intp>(engine.n_parameters());
  if (dimension(coefficients, 0) != n)
    return raise_value_error("coefficients has the wrong length");
  if (dimension(information, 0) != n || dimension(information, 1) != n) {
    return raise_value_error("information has the wrong square shape");
  }
  if (!is_finite_non_negative(scalars.previous_lambda)) {
    return raise_value_error("previous_lambda must be finite and non-negative");
  }
  if (!is_finite_non_negative(scalars.weight_sum) ||
      (scalars.n_samples_seen != 0 && scalars.weight_sum == 0.0)) {
    return raise_value_error("weight_sum is inconsistent with the state counters");
  }
  if (!require_engine_layout(coefficients, "coefficients") ||
      !require_engine_layout(information, "information")) {
    return false;
  }
  if (!all_finite(array_elements<T>(coefficients)) || !all_finite(array_elements<T>(information))) {
    return raise_value_error("state arrays must contain only finite values");
  }
  return true;
}

template <class T>
PyObject* restore_typed(TypedEngine<T>& engine, PyObject* coefficients, PyObject* information,
                        const RestoredScalars& scalars) {
  if (!check_restore(engine, coefficients, information, scalars)) return nullptr;
  const std::span<const T> new_coefficients = array_elements<T>(coefficients);
  const std::span<const T> new_information = array_elements<T>(information);
  // Both copies are made before the engine changes, so running out of memory changes nothing.
  AlignedVector<T> coefficients_copy(new_coefficients.begin(), new_coefficients.end());
  AlignedVector<T> information_copy(new_information.begin(), new_information.end());
  EngineState<T>& state = engine.state;
  state.coefficients = std::move(coefficients_copy);
  state.information = std::move(information_copy);
  state.n_samples_seen = scalars.n_samples_seen;
  state.batch_count = scalars.batch_count;
  state.previous_lambda = scalars.previous_lambda;
  state.weight_sum = scalars.weight_sum;
  Py_RETURN_NONE;
}

PyObject* restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 6> bound{};
  const Signature signature{"restore", kRestoreParameters, kRestoreParameters.size()};
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  ExclusiveAccess access(as_engine(self)->access);
  if (!access.acquired()) return nullptr;

  const auto n_samples_seen = to_counter(bound[2], "n_samples_seen");
  if (!n_samples_seen) return nullptr;
  const auto batch_count = to_counter(bound[3], "batch_count");
  if (!batch_count) return nullptr;
  const auto previous_lambda = to_f64(bound[4], "previous_lambda");
  if (!previous_lambda) return nullptr;
  const auto weight_sum = to_f64(bound[5], "weight_sum");
  if (!weight_sum) return nullptr;
  if (n_samples_seen->negative || batch_count->negative) {
    raise_value_error("state counters must be non-negative");
    return nullptr;
  }
  const RestoredScalars scalars{n_samples_seen->value, batch_count->value, *previous_lambda,
                                *weight_sum};
  return std::visit([&](auto& typed) { return restore_typed(typed, bound[0], bound[1], scalars); },
                    as_engine(self)->engine);
}

PyObject* state(PyObject* self) {
  SharedAccess access(as_engine(self)->access);
  if (!access.acquired()) return nullptr;
  return std::visit([](const auto& typed) { return state_dict(typed.state); },
                    as_engine(self)->engine);
}

}  // namespace

PyObject* engine_state(PyObject* self, PyObject*) {
  return guard_call<PyObject*>(nullptr, [&] { return state(self); });
}

PyObject* engine_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard_call<PyObject*>(nullptr, [&] { return restore(self, args, nargs, kwnames); });
}

}  // namespace quillfen::bindings

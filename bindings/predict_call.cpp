// NativeCpuEngine.predict: the linear predictor of every design row, with the lock released.

#include <array>
#include <variant>

#include "bindings/access.hpp"
#include "bindings/arguments.hpp"
#include "bindings/arrays.hpp"
#include "bindings/engine_methods.hpp"
#include "bindings/engine_object.hpp"
#include "bindings/errors.hpp"
#include "bindings/interpreter_lock.hpp"
#include "engine/prediction.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 1> kPredictParameters = {"x_design"};

template <class T>
PyObject* predict_typed(TypedEngine<T>& engine, PyObject* x_design) {
  const bool usable = load_numpy_api() && require_engine_kind<T>(x_design, 2, "x_design") &&
                      require_engine_layout(x_design, "x_design");
  if (!usable) return nullptr;
  const std::span<const T> design = array_elements<T>(x_design);
  const auto rows = static_cast<std::uint64_t>(dimension(x_design, 0));
  const auto cols = static_cast<std::uint64_t>(dimension(x_design, 1));

  Expected<AlignedVector<T>> outcome = compute_unlocked(
      engine, [&] { return predict_rows<T>(design, rows, cols, engine.state.coefficients); });
  if (!outcome) {
    raise_native_error(outcome.error());
    return nullptr;
  }
  const std::array<npy_intp, 1> shape = {static_cast<npy_intp>(rows)};
  return wrap_buffer<T>(std::move(outcome.value()), shape);
}

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> bound{};
  const Signature signature{"predict", kPredictParameters, kPredictParameters.size()};
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  ExclusiveAccess access(as_engine(self)->access);
  if (!access.acquired()) return nullptr;
  return std::visit([&](auto& typed) { return predict_typed(typed, bound[0]); },
                    as_engine(self)->engine);
}

}  // namespace

PyObject* engine_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard_call<PyObject*>(nullptr, [&] { return predict(self, args, nargs, kwnames); });
}

}  // namespace quillfen::bindings

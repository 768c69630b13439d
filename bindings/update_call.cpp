// NativeCpuEngine.update: folds one batch into the engine's summary, all or nothing.

#include <array>
#include <optional>
#include <variant>

#include "bindings/access.hpp"
#include "bindings/arguments.hpp"
#include "bindings/arrays.hpp"
#include "bindings/converters.hpp"
#include "bindings/engine_methods.hpp"
#include "bindings/engine_object.hpp"
#include "bindings/errors.hpp"
#include "bindings/interpreter_lock.hpp"
#include "bindings/result_dicts.hpp"
#include "engine/lent_summary.hpp"
#include "engine/update_driver.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 13> kUpdateParameters = {
    "x_design",      "y",   "sample_weight", "batch_weight", "n_features_in",
    "fit_intercept", "tau", "penalty",       "lambda_scale", "bandwidth_scale",
    "max_iter",      "tol", "ridge"};

// The arguments once the scalars are converted and the surface checks passed. The arrays are
// still unchecked; sample_weight is nullptr for None.
struct UpdateArguments {
  PyObject* x_design;
  PyObject* y;
  PyObject* sample_weight;
  double batch_weight;
  std::uint64_t n_features_in;
  bool fit_intercept;
  UpdateConfig config;
};

// Every scalar is converted, in signature order, before any value is tested.
std::optional<UpdateArguments> convert_arguments(const std::array<PyObject*, 13>& bound) {
  const auto batch_weight = to_f64(bound[3], "batch_weight");
  if (!batch_weight) return std::nullopt;
  const auto n_features_in = to_i64(bound[4], "n_features_in");
  if (!n_features_in) return std::nullopt;
  const auto fit_intercept = to_bool(bound[5], "fit_intercept");
  if (!fit_intercept) return std::nullopt;
  const auto tau = to_f64(bound[6], "tau");
  if (!tau) return std::nullopt;
  const auto penalty_text = to_text(bound[7], "penalty");
  if (!penalty_text) return std::nullopt;
  const auto lambda_scale = to_f64(bound[8], "lambda_scale");
  if (!lambda_scale) return std::nullopt;
  const auto bandwidth_scale = to_f64(bound[9], "bandwidth_scale");
  if (!bandwidth_scale) return std::nullopt;
  const auto max_iter = to_i64(bound[10], "max_iter");
  if (!max_iter) return std::nullopt;
  const auto tol = to_f64(bound[11], "tol");
  if (!tol) return std::nullopt;
  const auto ridge = to_f64(bound[12], "ridge");
  if (!ridge) return std::nullopt;

  if (*n_features_in < 1) {
    raise_value_error("n_features_in must be positive");
    return std::nullopt;
  }
  if (*max_iter < 1) {
    raise_value_error("max_iter must be positive");
    return std::nullopt;
  }
  const auto penalty = parse_penalty(*penalty_text);
  if (!penalty) {
    raise_value_error("unsupported native penalty");
    return std::nullopt;
  }
  UpdateConfig config;
  config.tau = *tau;
  config.lambda_scale = *lambda_scale;
  config.bandwidth_scale = *bandwidth_scale;
  config.max_iter = static_cast<std::uint64_t>(*max_iter);
  config.tol = *tol;
  config.ridge = *ridge;
  config.penalty = *penalty;
  return UpdateArguments{bound[0],
                         bound[1],
                         bound[2] == Py_None ? nullptr : bound[2],
                         *batch_weight,
                         static_cast<std::uint64_t>(*n_features_in),
                         *fit_intercept,
                         config};
}

// Kinds of the design and target first, then their layouts, then the sample weights' kind and
// layout. False with the exception set on the first failure.
template <class T>
bool check_arrays(const UpdateArguments& arguments) {
  const bool design_and_target = load_numpy_api() &&
                                 require_engine_kind<T>(arguments.x_design, 2, "x_design") &&
                                 require_engine_kind<T>(arguments.y, 1, "y") &&
                                 require_engine_layout(arguments.x_design, "x_design") &&
                                 require_engine_layout(arguments.y, "y");
  if (!design_and_target) return false;
  return arguments.sample_weight == nullptr ||
         (require_engine_kind<T>(arguments.sample_weight, 1, "sample_weight") &&
          require_engine_layout(arguments.sample_weight, "sample_weight"));
}

template <class T>
BatchView<T> batch_view(const UpdateArguments& arguments) {
  BatchView<T> batch;
  batch.x_design = array_elements<T>(arguments.x_design);
  batch.y = array_elements<T>(arguments.y);
  batch.rows = static_cast<std::uint64_t>(dimension(arguments.x_design, 0));
  batch.cols = static_cast<std::uint64_t>(dimension(arguments.x_design, 1));
  if (arguments.sample_weight != nullptr) {
    batch.sample_weight = array_elements<T>(arguments.sample_weight);
  }
  batch.batch_weight = arguments.batch_weight;
  return batch;
}

template <class T>
PyObject* update_typed(TypedEngine<T>& engine, const UpdateArguments& arguments) {
  if (!check_arrays<T>(arguments)) return nullptr;
  const BatchView<T> batch = batch_view<T>(arguments);

  // Whatever happens below, `lent` leaves the engine with a whole summary: the new one once
  // replaced, otherwise the one it lent.
  LentSummary<T> lent(engine.state);
  lent.state().n_features_in = arguments.n_features_in;
  lent.state().fit_intercept = arguments.fit_intercept;

  Expected<UpdateResult<T>> outcome = compute_unlocked(
      engine, [&] { return run_update(engine.workspace, batch, lent.state(), arguments.config); });
  if (!outcome) {
    raise_native_error(outcome.error());
    return nullptr;
  }
  UpdateResult<T>& result = outcome.value();
  lent.replace(std::move(result.state));
  // A failure from here on leaves the update applied.
  return update_result_dict(engine.state, result.diagnostics);
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 13> bound{};
  const Signature signature{"update", kUpdateParameters, kUpdateParameters.size()};
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  ExclusiveAccess access(as_engine(self)->access);
  if (!access.acquired()) return nullptr;

  const auto arguments = convert_arguments(bound);
  if (!arguments) return nullptr;
  return std::visit([&](auto& typed) { return update_typed(typed, *arguments); },
                    as_engine(self)->engine);
}

}  // namespace

PyObject* engine_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard_call<PyObject*>(nullptr, [&] { return update(self, args, nargs, kwnames); });
}

}  // namespace quillfen::bindings

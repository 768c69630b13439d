// batch_terms: a batch's loss sums at given coefficients, computed with the lock released.

#include <array>
#include <mutex>
#include <optional>

#include "bindings/arguments.hpp"
#include "bindings/arrays.hpp"
#include "bindings/converters.hpp"
#include "bindings/dicts.hpp"
#include "bindings/errors.hpp"
#include "bindings/interpreter_lock.hpp"
#include "bindings/terms/terms_calls.hpp"
#include "bindings/terms/worker_pool_type.hpp"
#include "engine/batch_terms.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 12> kTermsParameters = {
    "design", "y",        "sample_weight",     "coefficients", "threshold", "bandwidth",
    "loss",   "gradient", "absolute_gradient", "curvature",    "score",     "pool"};
enum Argument { kDesign, kY, kWeight, kCoefficients, kThreshold, kBandwidth, kLoss, kPool = 11 };

// The optional flag at `index`: False when omitted.
std::optional<bool> flag(const std::array<PyObject*, 12>& bound, std::size_t index) {
  if (bound[index] == nullptr) return false;
  return to_bool(bound[index], kTermsParameters[index]);
}

bool add_matrix(PyObject* dict, const char* key, AlignedVector<double>& values, npy_intp width,
                int ndim) {
  if (values.empty()) return true;
  const std::array<npy_intp, 2> shape = {width, width};
  return insert_new(dict, key,
                    wrap_buffer<double>(std::move(values), {shape.data(), size_t(ndim)}));
}

PyObject* as_dict(BatchTerms& terms, const TermsRequest& request, npy_intp p) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  bool complete = insert_new(dict, "weight", PyFloat_FromDouble(terms.weight));
  if (complete && request.loss) complete = insert_new(dict, "loss", PyFloat_FromDouble(terms.loss));
  complete = complete && add_matrix(dict, "gradient", terms.gradient, p, 1) &&
             add_matrix(dict, "absolute_gradient", terms.absolute_gradient, p, 1) &&
             add_matrix(dict, "curvature", terms.curvature, p, 2) &&
             add_matrix(dict, "score", terms.score, p, 2);
  if (!complete) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

template <class T>
PyObject* terms_typed(const std::array<PyObject*, 12>& bound, const LossSettings& settings,
                      const TermsRequest& request, WorkerPoolObject* pool) {
  PyObject* weight = bound[kWeight] == Py_None ? nullptr : bound[kWeight];
  const bool usable = require_engine_kind<T>(bound[kY], 1, "y") &&
                      require_engine_layout(bound[kY], "y") &&
                      require_engine_layout(bound[kDesign], "design") &&
                      require_engine_kind<T>(bound[kCoefficients], 1, "coefficients") &&
                      require_engine_layout(bound[kCoefficients], "coefficients") &&
                      (weight == nullptr || (require_engine_kind<T>(weight, 1, "sample_weight") &&
                                             require_engine_layout(weight, "sample_weight")));
  if (!usable) return nullptr;
  BatchView<T> batch;
  batch.x_design = array_elements<T>(bound[kDesign]);
  batch.y = array_elements<T>(bound[kY]);
  batch.rows = std::uint64_t(dimension(bound[kDesign], 0));
  batch.cols = std::uint64_t(dimension(bound[kDesign], 1));
  if (weight != nullptr) batch.sample_weight = array_elements<T>(weight);
  const std::span<const T> beta = array_elements<T>(bound[kCoefficients]);

  Expected<BatchTerms> outcome =
      run_unlocked(pool, [&] { return batch_terms<T>(batch, beta, settings, request); });
  if (!outcome) {
    raise_native_error(outcome.error());
    return nullptr;
  }
  return as_dict(outcome.value(), request, npy_intp(batch.cols));
}

PyObject* terms_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 12> bound{};
  const Signature signature{"batch_terms", kTermsParameters, 6};
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  if (!load_numpy_api()) return nullptr;
  const std::optional<double> threshold = to_f64(bound[kThreshold], "threshold");
  if (!threshold) return nullptr;
  const std::optional<double> bandwidth = to_f64(bound[kBandwidth], "bandwidth");
  if (!bandwidth) return nullptr;
  TermsRequest request;
  bool* wanted[] = {&request.loss, &request.gradient, &request.absolute_gradient,
                    &request.curvature, &request.score};
  for (std::size_t k = 0; k < 5; ++k) {
    const std::optional<bool> value = flag(bound, kLoss + k);
    if (!value) return nullptr;
    *wanted[k] = *value;
  }
  WorkerPoolObject* pool = nullptr;
  if (!pool_argument(bound[kPool], &pool)) return nullptr;
  const LossSettings settings{*threshold, *bandwidth};
  if (has_engine_kind<float>(bound[kDesign], 2)) {
    return terms_typed<float>(bound, settings, request, pool);
  }
  if (has_engine_kind<double>(bound[kDesign], 2)) {
    return terms_typed<double>(bound, settings, request, pool);
  }
  PyErr_SetString(PyExc_TypeError, "design must be a 2-D float32 or float64 NumPy array");
  return nullptr;
}

}  // namespace

PyObject* batch_terms_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call<PyObject*>(nullptr, [&] { return terms_call(args, nargs, kwnames); });
}

}  // namespace quillfen::bindings

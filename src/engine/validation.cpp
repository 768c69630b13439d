#include "engine/validation.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "common/checked_math.hpp"
#include "common/value_tests.hpp"
#include "kernels/simd/dispatch.hpp"

namespace quillfen {
namespace {

// n_features_in + fit_intercept, or nothing when the sum does not fit in 64 bits (such a
// parameter count can match no buffer length).
template <class T>
std::optional<std::uint64_t> expected_parameters(const EngineState<T>& state) {
  return checked_add(state.n_features_in, state.fit_intercept ? 1 : 0);
}

}  // namespace

template <class T>
Status validate_state(const EngineState<T>& state) {
  const auto parameters = expected_parameters(state);
  if (!parameters || state.coefficients.size() != *parameters) {
    return NativeError::invalid_state("coefficient shape does not match feature metadata");
  }
  const auto information_size = checked_mul(*parameters, *parameters);
  if (!information_size || state.information.size() != *information_size) {
    return NativeError::invalid_state("information shape does not match feature metadata");
  }
  if (!is_finite_non_negative(state.previous_lambda)) {
    return NativeError::invalid_state("previous_lambda must be finite and non-negative");
  }
  if (!is_finite_non_negative(state.weight_sum)) {
    return NativeError::invalid_state("weight_sum must be finite and non-negative");
  }
  if (state.weight_sum == 0.0 && state.n_samples_seen != 0) {
    return NativeError::invalid_state("weight_sum must be positive after observing samples");
  }
  if (!all_finite<T>(state.coefficients) || !all_finite<T>(state.information)) {
    return NativeError::invalid_state("state arrays must contain only finite values");
  }
  return std::nullopt;
}

Status validate_config(const UpdateConfig& config) {
  if (!is_finite_positive(config.tau)) {
    return NativeError::invalid_config("tau must be finite and positive");
  }
  if (!is_finite_non_negative(config.lambda_scale)) {
    return NativeError::invalid_config("lambda_scale must be finite and non-negative");
  }
  if (!is_finite_positive(config.bandwidth_scale)) {
    return NativeError::invalid_config("bandwidth_scale must be finite and positive");
  }
  if (config.max_iter == 0) {
    return NativeError::invalid_config("max_iter must be positive");
  }
  if (!is_finite_positive(config.tol)) {
    return NativeError::invalid_config("tolerance must be finite and positive");
  }
  if (!is_finite_non_negative(config.ridge)) {
    return NativeError::invalid_config("ridge must be finite and non-negative");
  }
  return std::nullopt;
}

template <class T>
Status check_batch_values_finite(const BatchView<T>& batch) {
  const simd::KernelSet<T>& kernels = simd::kernels<T>();
  if (!kernels.all_finite(batch.x_design) || !kernels.all_finite(batch.y)) {
    return NativeError::invalid_batch("batch arrays must contain only finite values");
  }
  return std::nullopt;
}

template <class T>
NativeError after_deferred_scan(const BatchView<T>& batch, NativeError failure) {
  if (Status earlier = check_batch_values_finite(batch)) return *earlier;
  return failure;
}

template <class T>
Status validate_batch(const BatchView<T>& batch, const EngineState<T>& state, ValueScan scan) {
  if (batch.rows == 0) {
    return NativeError::invalid_batch("batch must contain at least one row");
  }
  const auto parameters = expected_parameters(state);
  if (!parameters || batch.cols != *parameters) {
    return NativeError::invalid_batch("design width does not match state parameters");
  }
  const auto design_size = checked_mul(batch.rows, batch.cols);
  if (!design_size) return NativeError::size_overflow();
  if (batch.x_design.size() != *design_size) {
    return NativeError::invalid_batch("design buffer is not a complete contiguous matrix");
  }
  if (batch.y.size() != batch.rows) {
    return NativeError::invalid_batch("target length does not match design rows");
  }
  if (!is_finite_positive(batch.batch_weight)) {
    return NativeError::invalid_batch("batch_weight must be finite and positive");
  }
  if (scan == ValueScan::Now) {
    if (Status failure = check_batch_values_finite(batch)) return failure;
  }
  auto fail = [&](NativeError failure) {
    return scan == ValueScan::Deferred ? after_deferred_scan(batch, failure) : failure;
  };
  if (batch.sample_weight) {
    const std::span<const T> weights = *batch.sample_weight;
    if (weights.size() != batch.rows) {
      return fail(NativeError::invalid_batch("sample_weight length does not match design rows"));
    }
    if (!std::all_of(weights.begin(), weights.end(),
                     [](T w) { return is_finite_non_negative(w); })) {
      return fail(NativeError::invalid_batch("sample_weight must be finite and non-negative"));
    }
  }
  return std::nullopt;
}

template <class T>
Status check_sample_weight_has_positive(const BatchView<T>& batch) {
  if (!batch.sample_weight) return std::nullopt;
  const std::span<const T> weights = *batch.sample_weight;
  if (std::none_of(weights.begin(), weights.end(), [](T w) { return w != T(0); })) {
    return NativeError::invalid_batch("sample_weight must contain a positive value");
  }
  return std::nullopt;
}

#define QUILLFEN_INSTANTIATE_VALIDATION(T)                                                  \
  template Status validate_state<T>(const EngineState<T>&);                                 \
  template Status validate_batch<T>(const BatchView<T>&, const EngineState<T>&, ValueScan); \
  template Status check_batch_values_finite<T>(const BatchView<T>&);                        \
  template NativeError after_deferred_scan<T>(const BatchView<T>&, NativeError);            \
  template Status check_sample_weight_has_positive<T>(const BatchView<T>&);

QUILLFEN_INSTANTIATE_VALIDATION(float)
QUILLFEN_INSTANTIATE_VALIDATION(double)

}  // namespace quillfen

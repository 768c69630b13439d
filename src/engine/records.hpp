#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "common/aligned_vector.hpp"
#include "common/checked_math.hpp"

namespace quillfen {

// The engine's summary of every accepted batch, plus the feature metadata of the current call.
// Only the first six fields are kept between calls; `n_features_in` and `fit_intercept` are filled
// in from the arguments of each update.
template <class T>
struct EngineState {
  AlignedVector<T> coefficients;  // n_parameters entries; the intercept, if any, comes last
  AlignedVector<T> information;   // n_parameters² entries, row-major, both triangles stored
  std::uint64_t n_samples_seen = 0;
  std::uint64_t batch_count = 0;
  double previous_lambda = 0.0;
  double weight_sum = 0.0;
  std::uint64_t n_features_in = 0;
  bool fit_intercept = false;
};

// Initial summary of an engine with `n_parameters` parameters: zero arrays, zero counters.
// Throws std::bad_alloc when the arrays cannot be allocated.
template <class T>
EngineState<T> initial_state(std::uint64_t n_parameters) {
  const auto information_size = checked_mul(n_parameters, n_parameters);
  if (!information_size) throw std::bad_alloc();
  EngineState<T> state;
  state.coefficients = zeroed_buffer<T>(n_parameters);
  state.information = zeroed_buffer<T>(*information_size);
  return state;
}

enum class Penalty : std::uint8_t { None, L1 };

// Maps the exact texts "none" and "l1"; any other text, including case or blank variants, is not
// a penalty.
std::optional<Penalty> parse_penalty(std::string_view text);

// Settings of one update; the same record for both element types.
struct UpdateConfig {
  double tau = 0.0;
  double lambda_scale = 0.0;
  double bandwidth_scale = 0.0;
  std::uint64_t max_iter = 0;
  double tol = 0.0;
  double ridge = 0.0;
  Penalty penalty = Penalty::None;
};

// One batch, borrowed from the caller for the duration of a call; nothing is copied.
template <class T>
struct BatchView {
  std::span<const T> x_design;  // rows × cols, row-major
  std::span<const T> y;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::optional<std::span<const T>> sample_weight;  // absent: every row has weight 1
  double batch_weight = 0.0;
};

// What an update reports besides the new state.
struct UpdateDiagnostics {
  std::uint64_t iterations = 0;
  bool converged = false;
  double objective = 0.0;
  double lambda_value = 0.0;
  double bandwidth = 0.0;
  bool used_regularized_fallback = false;
};

}  // namespace quillfen

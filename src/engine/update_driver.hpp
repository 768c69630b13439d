#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "common/expected.hpp"
#include "common/value_tests.hpp"
#include "engine/records.hpp"
#include "engine/validation.hpp"
#include "engine/workspace.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/registered_terms.hpp"
#include "kernels/simd/dispatch.hpp"
#include "solver/solvers.hpp"

namespace quillfen {

// A complete new summary and what the update reports about it.
template <class T>
struct UpdateResult {
  EngineState<T> state;
  UpdateDiagnostics diagnostics;
};

namespace detail {

// The update after its checks, for one loss and penalty: the solve, and the batch's curvature
// folded into the information matrix.
template <class T, class Loss, class PenaltyType>
Expected<UpdateResult<T>> solve_and_fold(Workspace<T>& workspace, const BatchView<T>& batch,
                                         const EngineState<T>& state, const UpdateConfig& config,
                                         std::uint64_t samples, std::uint64_t batches,
                                         double combined_weight) {
  const double bandwidth = Loss::smoothing_bandwidth(state.n_features_in, combined_weight,
                                                     config.bandwidth_scale, config.tau);
  const double lambda = PenaltyType::level(state.n_features_in, config, combined_weight);

  const simd::KernelSet<T>& kernels = simd::kernels<T, Loss, PenaltyType>();
  const double start_objective = kernels.combined_objective(batch, state.coefficients, state,
                                                            config, workspace, combined_weight);
  if (!is_finite(start_objective)) {
    if (Status failure = check_batch_values_finite(batch)) return *failure;
  }

  Expected<SolverOutcome<T>> solved = [&]() -> Expected<SolverOutcome<T>> {
    if constexpr (PenaltyType::kSmooth) {
      static_assert(std::is_same_v<PenaltyType, NoPenalty>, "Newton's system has no penalty");
      return solve_newton<T, Loss>(workspace, batch, state, config, bandwidth, combined_weight,
                                   start_objective);
    } else {
      return solve_proximal<T, Loss, PenaltyType>(workspace, batch, state, config, lambda,
                                                  combined_weight, start_objective);
    }
  }();
  if (!solved) return solved.error();
  SolverOutcome<T>& outcome = solved.value();

  kernels.curvature_weights(workspace.residuals, workspace.curvature_weights, config.tau,
                            bandwidth);
  if (Status failure =
          kernels.weighted_gram(batch, workspace.curvature_weights, workspace.weighted_rows,
                                workspace.gram_partials, workspace.gram_output)) {
    return *failure;
  }
  AlignedVector<T> information = state.information;
  for (std::size_t k = 0; k < information.size(); ++k) {
    information[k] = information[k] + workspace.gram_output[k];
  }
  if (!all_finite<T>(information)) {
    return NativeError::non_finite();
  }
  const double objective = PenaltyType::reported_objective(
      outcome.objective, std::span<const T>(outcome.coefficients), state.fit_intercept, lambda);
  if (!is_finite(objective)) return NativeError::non_finite();

  UpdateResult<T> result;
  result.state.coefficients = std::move(outcome.coefficients);
  result.state.information = std::move(information);
  result.state.n_samples_seen = samples;
  result.state.batch_count = batches;
  result.state.previous_lambda = lambda;
  result.state.weight_sum = combined_weight;
  result.state.n_features_in = state.n_features_in;
  result.state.fit_intercept = state.fit_intercept;
  result.diagnostics = {outcome.iterations, outcome.converged,
                        objective,          lambda,
                        bandwidth,          outcome.used_regularized_fallback};
  return result;
}

}  // namespace detail

// One update with the loss Loss and the penalty config.penalty: checks, solve, and the batch's
// curvature folded into the information matrix. The given state is only read; the result is a
// whole new state or the first failure, so a caller that installs only successful results never
// sees a partial update.
//
// The batch's design and targets are not scanned for non-finite values up front. The objective at
// the stored coefficients, which the solver starts from, is their scan: every non-finite element
// makes its loss NaN or infinite, while at the stored coefficients the other terms are zero. Only
// when that objective or an earlier check fails does the scan run, so that the first failure in
// the documented order is still the one reported. A small batch in cache saves a pass over it.
template <class T, class Loss = HuberLoss>
Expected<UpdateResult<T>> run_update(Workspace<T>& workspace, const BatchView<T>& batch,
                                     const EngineState<T>& state, const UpdateConfig& config) {
  if (Status failure = validate_state(state)) return *failure;
  if (Status failure = validate_config(config)) return *failure;
  if (Status failure = validate_batch(batch, state, ValueScan::Deferred)) return *failure;
  auto fail = [&](NativeError failure) { return after_deferred_scan(batch, failure); };
  if (Status failure = check_sample_weight_has_positive(batch)) return fail(*failure);
  if (Status failure = prepare_workspace(workspace, batch.rows, batch.cols)) return fail(*failure);

  const auto samples = checked_add(state.n_samples_seen, batch.rows);
  if (!samples) return fail(NativeError::size_overflow());
  const auto batches = checked_add(state.batch_count, 1);
  if (!batches) return fail(NativeError::size_overflow());
  const double combined_weight = state.weight_sum + batch.batch_weight;
  if (!is_finite_positive(combined_weight)) {
    return fail(
        NativeError::invalid_batch("combined effective weight must be finite and positive"));
  }
  return with_registered_penalty(
      config.penalty,
      [&]<class PenaltyType>() {
        return detail::solve_and_fold<T, Loss, PenaltyType>(workspace, batch, state, config,
                                                            *samples, *batches, combined_weight);
      },
      []() -> Expected<UpdateResult<T>> {
        return NativeError::invalid_config("unsupported penalty");
      });
}

// The driver for every registered loss (kernels/registered_terms.hpp).
#define QUILLFEN_UPDATE_DRIVER_FOR_LOSS(Loss, EXTERN, T)         \
  EXTERN template Expected<UpdateResult<T>> run_update<T, Loss>( \
      Workspace<T>&, const BatchView<T>&, const EngineState<T>&, const UpdateConfig&);
#define QUILLFEN_UPDATE_DRIVER(EXTERN, T)                                                   \
  EXTERN template Status prepare_workspace<T>(Workspace<T>&, std::uint64_t, std::uint64_t); \
  QUILLFEN_FOR_EACH_LOSS(QUILLFEN_UPDATE_DRIVER_FOR_LOSS, EXTERN, T)
QUILLFEN_UPDATE_DRIVER(extern, float)
QUILLFEN_UPDATE_DRIVER(extern, double)

}  // namespace quillfen

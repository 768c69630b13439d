#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "common/expected.hpp"
#include "common/value_tests.hpp"
#include "engine/records.hpp"
#include "engine/validation.hpp"
#include "engine/workspace.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/objective/penalty_terms.hpp"
#include "kernels/simd/dispatch.hpp"
#include "solver/solvers.hpp"

namespace quillfen {

// A complete new summary and what the update reports about it.
template <class T>
struct UpdateResult {
  EngineState<T> state;
  UpdateDiagnostics diagnostics;
};

// ln(max(n_features_in, 2)): the log-dimension factor of the bandwidth and the penalty level.
inline double log_dimension(std::uint64_t n_features_in) {
  return std::log(double(std::max<std::uint64_t>(n_features_in, 2)));
}

// Half-width h of the curvature smoothing: shrinks like 1/√W, never wider than tau.
inline double smoothing_bandwidth(std::uint64_t n_features_in, double combined_weight,
                                  double bandwidth_scale, double tau) {
  const double h = bandwidth_scale / (std::sqrt(combined_weight) * log_dimension(n_features_in));
  return std::min(h, tau);
}

// λ = (lambda_scale·tau)·√(ln(max(n_features_in, 2)) / W) on the l1 path, else 0.
inline double penalty_level(std::uint64_t n_features_in, const UpdateConfig& config,
                            double combined_weight) {
  if (config.penalty != Penalty::L1) return 0.0;
  return (config.lambda_scale * config.tau) *
         std::sqrt(log_dimension(n_features_in) / combined_weight);
}

// One update: checks, solve, and the batch's curvature folded into the information matrix. The
// given state is only read; the result is a whole new state or the first failure, so a caller
// that installs only successful results never sees a partial update.
//
// The batch's design and targets are not scanned for non-finite values up front. The objective at
// the stored coefficients, which the solver starts from, is their scan: every non-finite element
// makes its loss NaN or infinite, while at the stored coefficients the other terms are zero. Only
// when that objective or an earlier check fails does the scan run, so that the first failure in
// the documented order is still the one reported. A small batch in cache saves a pass over it.
template <class T>
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
  const double bandwidth =
      smoothing_bandwidth(state.n_features_in, combined_weight, config.bandwidth_scale, config.tau);
  const double lambda = penalty_level(state.n_features_in, config, combined_weight);
  const bool l1 = config.penalty == Penalty::L1;

  const simd::KernelSet<T>& kernels = simd::kernels<T>();
  const double start_objective = kernels.combined_objective(batch, state.coefficients, state,
                                                            config, workspace, combined_weight);
  if (!is_finite(start_objective)) {
    if (Status failure = check_batch_values_finite(batch)) return *failure;
  }

  Expected<SolverOutcome<T>> solved =
      l1 ? solve_proximal(workspace, batch, state, config, lambda, combined_weight, start_objective)
         : solve_newton(workspace, batch, state, config, bandwidth, combined_weight,
                        start_objective);
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
  const double objective = penalized_objective<T>(outcome.coefficients, state.fit_intercept, l1,
                                                  outcome.objective, lambda);
  if (!is_finite(objective)) return NativeError::non_finite();

  UpdateResult<T> result;
  result.state.coefficients = std::move(outcome.coefficients);
  result.state.information = std::move(information);
  result.state.n_samples_seen = *samples;
  result.state.batch_count = *batches;
  result.state.previous_lambda = lambda;
  result.state.weight_sum = combined_weight;
  result.state.n_features_in = state.n_features_in;
  result.state.fit_intercept = state.fit_intercept;
  result.diagnostics = {outcome.iterations, outcome.converged,
                        objective,          lambda,
                        bandwidth,          outcome.used_regularized_fallback};
  return result;
}

#define QUILLFEN_UPDATE_DRIVER(EXTERN, T)                                                   \
  EXTERN template Status prepare_workspace<T>(Workspace<T>&, std::uint64_t, std::uint64_t); \
  EXTERN template Expected<UpdateResult<T>> run_update<T>(                                  \
      Workspace<T>&, const BatchView<T>&, const EngineState<T>&, const UpdateConfig&);
QUILLFEN_UPDATE_DRIVER(extern, float)
QUILLFEN_UPDATE_DRIVER(extern, double)

}  // namespace quillfen

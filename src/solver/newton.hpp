#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "common/expected.hpp"
#include "common/value_tests.hpp"
#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/penalty/no_penalty.hpp"
#include "kernels/simd/dispatch.hpp"
#include "parallel/cancellation.hpp"
#include "solver/direction_solve.hpp"
#include "solver/iteration_steps.hpp"
#include "solver/solver_outcome.hpp"

namespace quillfen {
// Damped Newton iteration on the combined objective F of the loss, without penalty. Each
// iteration builds the Newton system at β, solves it for a direction d, and tries β − α·d for
// α = 1, ½, … down to 2⁻²⁶ until F does not increase. Stops when the accepted step is small
// relative to β, when a step search fails (keeping the previous β), or after max_iter iterations.
// Only the Newton system's and the decompositions' errors are failures; a non-finite system fails
// with NonFinite before any decomposition. A cancelled call stops between steps with Interrupted.
// It starts from the stored coefficients: `start_objective` is F there, computed by
// combined_objective, which also left their residuals in the workspace.
template <class T, class Loss>
Expected<SolverOutcome<T>> solve_newton(Workspace<T>& workspace, const BatchView<T>& batch,
                                        const EngineState<T>& state, const UpdateConfig& config,
                                        double bandwidth, double combined_weight,
                                        double start_objective) {
  const std::size_t p = batch.cols;
  SolverOutcome<T> outcome;
  outcome.coefficients = state.coefficients;
  const std::span<T> beta(outcome.coefficients);
  const std::span<T> candidate(workspace.candidate);
  const std::span<T> step(workspace.step);
  const std::span<T> direction(workspace.direction);

  const simd::KernelSet<T>& kernels = simd::kernels<T, Loss, NoPenalty>();
  auto objective_at = [&](std::span<const T> point) {
    return kernels.combined_objective(batch, point, state, config, workspace, combined_weight);
  };
  double objective = start_objective;

  for (std::uint64_t k = 1; k <= config.max_iter; ++k) {
    if (parallel::cancellation_requested()) return NativeError::interrupted();
    if (Status failure = kernels.newton_system(batch, beta, state, config, workspace, bandwidth,
                                               combined_weight)) {
      return *failure;
    }
    if (workspace.system_matrix.size() != p * p || workspace.gradient.size() != p) {
      return NativeError::linear_solve();
    }
    if (!all_finite<T>(workspace.system_matrix) || !all_finite<T>(workspace.gradient)) {
      return NativeError::non_finite();
    }
    const Expected<bool> solved =
        solve_direction<T>(workspace.system_matrix, workspace.gradient, p, direction);
    if (!solved) return solved.error();
    outcome.used_regularized_fallback = outcome.used_regularized_fallback || solved.value();

    double alpha = 1.0;
    double trial_objective = 0.0;
    bool accepted = false;
    while (true) {
      const T length = T(alpha);
      for (std::size_t i = 0; i < p; ++i) candidate[i] = beta[i] - length * direction[i];
      trial_objective = objective_at(candidate);
      if (parallel::cancellation_requested()) return NativeError::interrupted();
      if (trial_objective <= objective) {
        accepted = true;
        break;
      }
      alpha *= 0.5;
      if (alpha < 1e-8) break;
    }
    if (!accepted) {
      detail::restore_residuals<T>(workspace, batch, beta);
      return detail::finished(outcome, k, objective, false);
    }
    for (std::size_t i = 0; i < p; ++i) step[i] = candidate[i] - beta[i];
    std::copy(candidate.begin(), candidate.begin() + p, beta.begin());
    objective = trial_objective;
    if (detail::step_is_small<T>(step, beta, config.tol)) {
      return detail::finished(outcome, k, objective, true);
    }
  }
  return detail::finished(outcome, config.max_iter, objective, false);
}

}  // namespace quillfen

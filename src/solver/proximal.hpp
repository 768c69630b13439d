#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "common/expected.hpp"
#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/penalty/l1_penalty.hpp"
#include "kernels/simd/dispatch.hpp"
#include "parallel/cancellation.hpp"
#include "solver/iteration_steps.hpp"
#include "solver/solver_outcome.hpp"

namespace quillfen {
namespace detail {

inline constexpr int kMaxProximalTrials = 40;
inline constexpr double kSmallestLipschitz = 1e-8;

}  // namespace detail

// Proximal gradient iteration for F(β) + λ·P(β): F the combined objective of the loss with the
// penalty's carried term, P the penalty (for L1Penalty Σ|β_j| over the penalised coefficients).
// Each trial is the penalty's proximal step at β − g/L with threshold λ/L; the intercept is never
// thresholded. The step length 1/L is found by backtracking: L doubles on every rejected trial and
// halves (down to 1e-8) after an accepted one, and carries over between iterations. Stops when the
// accepted step is small relative to β, when 40 trials are rejected (keeping the previous β), or
// after max_iter iterations. A cancelled call stops between steps with Interrupted. It starts from
// the stored coefficients, as solve_newton does.
template <class T, class Loss, class PenaltyType>
Expected<SolverOutcome<T>> solve_proximal(Workspace<T>& workspace, const BatchView<T>& batch,
                                          const EngineState<T>& state, const UpdateConfig& config,
                                          double lambda, double combined_weight,
                                          double start_objective) {
  const std::size_t p = batch.cols;
  SolverOutcome<T> outcome;
  outcome.coefficients = state.coefficients;
  const std::span<T> beta(outcome.coefficients);
  const std::span<T> candidate(workspace.candidate);
  const std::span<T> step(workspace.step);
  const std::span<const T> gradient(workspace.gradient);
  const std::size_t penalised = penalised_count(p, state.fit_intercept);

  const simd::KernelSet<T>& kernels = simd::kernels<T, Loss, PenaltyType>();
  auto objective_at = [&](std::span<const T> point) {
    return kernels.combined_objective(batch, point, state, config, workspace, combined_weight);
  };
  double objective = start_objective;
  double lipschitz = 1.0;

  for (std::uint64_t k = 1; k <= config.max_iter; ++k) {
    if (parallel::cancellation_requested()) return NativeError::interrupted();
    kernels.compute_psi(batch, workspace.residuals, workspace.psi, config.tau);
    kernels.combined_gradient(batch, beta, state, workspace, combined_weight);

    bool accepted = false;
    for (int trial = 0; trial < detail::kMaxProximalTrials; ++trial) {
      const T inverse = T(1.0 / lipschitz);
      const T threshold = T(lambda / lipschitz);
      for (std::size_t i = 0; i < p; ++i) {
        const T z = beta[i] - inverse * gradient[i];
        candidate[i] = PenaltyType::proximal(z, i < penalised ? threshold : T(0));
        step[i] = candidate[i] - beta[i];
      }
      const double descent = double(kernels.dot(gradient, step));
      const double step_length = double(std::sqrt(kernels.dot(step, step)));
      const double trial_objective = objective_at(candidate);
      if (parallel::cancellation_requested()) return NativeError::interrupted();
      const double curvature = step_length * ((0.5 * lipschitz) * step_length);
      if (trial_objective <= ((objective + descent) + curvature) + 1e-12) {
        std::copy(candidate.begin(), candidate.begin() + p, beta.begin());
        objective = trial_objective;
        const double halved = 0.5 * lipschitz;
        lipschitz = halved >= detail::kSmallestLipschitz ? halved : detail::kSmallestLipschitz;
        accepted = true;
        break;
      }
      lipschitz = lipschitz + lipschitz;
    }
    if (!accepted) {
      detail::restore_residuals<T>(workspace, batch, beta);
      return detail::finished(outcome, k, objective, false);
    }
    if (detail::step_is_small<T>(step, beta, config.tol)) {
      return detail::finished(outcome, k, objective, true);
    }
  }
  return detail::finished(outcome, config.max_iter, objective, false);
}

}  // namespace quillfen

#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/simd/dispatch.hpp"
#include "solver/solver_outcome.hpp"

namespace quillfen::detail {

// √(step·step) ≤ tol·(√(β·β) + 1), in T; NaN means not converged.
template <class T>
bool step_is_small(std::span<const T> step, std::span<const T> beta, double tol) {
  const simd::KernelSet<T>& kernels = simd::kernels<T>();
  const T step_norm = std::sqrt(kernels.dot(step, step));
  const T beta_norm = std::sqrt(kernels.dot(beta, beta));
  return step_norm <= T(tol) * (beta_norm + T(1));
}

// After a failed step search the residual buffer holds the last rejected trial's residuals; the
// driver needs those of the kept β.
template <class T>
void restore_residuals(Workspace<T>& workspace, const BatchView<T>& batch,
                       std::span<const T> beta) {
  simd::kernels<T>().compute_residuals(batch.x_design, batch.cols, batch.y, beta,
                                       workspace.residuals, batch.rows);
}

// The outcome with its final counters filled in.
template <class T>
SolverOutcome<T> finished(SolverOutcome<T>& outcome, std::uint64_t iterations, double objective,
                          bool converged) {
  outcome.iterations = iterations;
  outcome.objective = objective;
  outcome.converged = converged;
  return std::move(outcome);
}

}  // namespace quillfen::detail

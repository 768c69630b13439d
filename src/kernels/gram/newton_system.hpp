#pragma once

#include <cstddef>
#include <span>

#include "common/native_error.hpp"
#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/gram/curvature.hpp"
#include "kernels/gram/gradient.hpp"
#include "kernels/gram/weighted_gram.hpp"

namespace quillfen {

// The Newton system at β for the loss and penalty, whose residuals must already be in the
// residual buffer: psi, curvature weights, the gradient (with the penalty's carried term), and the
// system matrix (I₀ + Σ s_i c_i x_i x_iᵀ)/W + ridge·Id. On a Gram failure the system matrix is
// left untouched.
template <class T, class Loss, class PenaltyType>
Status newton_system(const BatchView<T>& batch, std::span<const T> beta,
                     const EngineState<T>& state, const UpdateConfig& config,
                     Workspace<T>& workspace, double bandwidth, double combined_weight) {
  const std::size_t p = batch.cols;
  compute_psi<T, Loss>(batch, workspace.residuals, workspace.psi, config.tau);
  curvature_weights<T, Loss>(workspace.residuals, workspace.curvature_weights, config.tau,
                             bandwidth);
  combined_gradient<T, PenaltyType>(batch, beta, state, workspace, combined_weight);
  if (Status failure = weighted_gram<T>(batch, workspace.curvature_weights, workspace.weighted_rows,
                                        workspace.gram_partials, workspace.gram_output)) {
    return failure;
  }
  const T weight = T(combined_weight);
  std::span<T> system(workspace.system_matrix);
  const std::span<const T> gram(workspace.gram_output);
  const std::span<const T> information(state.information);
  for (std::size_t k = 0; k < system.size(); ++k) system[k] = (gram[k] + information[k]) / weight;
  const T ridge = T(config.ridge);
  for (std::size_t j = 0; j < p; ++j) system[j * (p + 1)] = ridge + system[j * (p + 1)];
  return std::nullopt;
}

}  // namespace quillfen

#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "common/native_error.hpp"
#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/gram/gradient.hpp"
#include "kernels/gram/weighted_gram.hpp"

namespace quillfen {

// Smoothed curvature of the Huber loss: a trapezoid in the residual that is 1 well inside ±tau,
// 0 well outside, with linear ramps of width 2c (c = min(h, tau)) centred on −tau and +tau. A NaN
// residual gets 0. Runs in T, with tau and c converted to T first.
template <class T>
void curvature_weights(std::span<const T> residuals, std::span<T> out, double tau, double h) {
  const T limit = T(tau);
  const T half_width = T(std::min(h, double(limit)));
  const T lo = -limit - half_width;
  const T inner_lo = half_width - limit;
  const T inner_hi = limit - half_width;
  const T hi = limit + half_width;
  const T width = half_width + half_width;
  const std::size_t count = std::min(residuals.size(), out.size());
  // Every piece is formed and the tests then pick one, latest test first, so that the first test
  // that holds wins as in a chain of branches; without branches the loop vectorises, and
  // heavy-tailed residuals cost no mispredictions. Each piece is the same arithmetic either way.
  // Only one ramp can be picked, the lower one up to inner_lo, so only its quotient is formed:
  // one division per residual instead of two.
  for (std::size_t i = 0; i < count; ++i) {
    const T r = residuals[i];
    const bool on_lower_side = r <= inner_lo;
    const T quotient = (on_lower_side ? limit + r : r - limit) / width;
    const T lower_ramp = quotient + T(0.5);
    const T upper_ramp = T(0.5) - quotient;
    T weight = r <= hi ? upper_ramp : T(0);  // beyond the upper ramp, and NaN, give 0
    weight = r < inner_hi ? T(1) : weight;
    weight = on_lower_side ? lower_ramp : weight;
    weight = r < lo ? T(0) : weight;
    out[i] = weight;
  }
}

// The Newton system at β, whose residuals must already be in the residual buffer: psi, curvature
// weights, the gradient, and the system matrix (I₀ + Σ s_i c_i x_i x_iᵀ)/W + ridge·Id. On a Gram
// failure the system matrix is left untouched.
template <class T>
Status newton_system(const BatchView<T>& batch, std::span<const T> beta,
                     const EngineState<T>& state, const UpdateConfig& config,
                     Workspace<T>& workspace, double bandwidth, double combined_weight) {
  const std::size_t p = batch.cols;
  compute_psi<T>(batch, workspace.residuals, workspace.psi, config.tau);
  curvature_weights<T>(workspace.residuals, workspace.curvature_weights, config.tau, bandwidth);
  combined_gradient<T>(batch, beta, state, config.penalty == Penalty::L1, workspace,
                       combined_weight);
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

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/records.hpp"

namespace quillfen {

// The carried term of no penalty: nothing.
template <class T>
struct NoCarriedTerm {
  double add_to_objective(double objective, std::span<const T>) const { return objective; }
  T add_to_gradient(std::size_t, T g) const { return g; }
};

// No penalty: the combined objective alone, smooth, which the update solves by damped Newton.
// Provides the members of L1Penalty that apply to it (no proximal step).
struct NoPenalty {
  static constexpr Penalty kind = Penalty::None;
  static constexpr bool kSmooth = true;
  // Xᵀψ takes the transposed product's own choice of row chunks or column groups.
  static constexpr bool kGradientInRowChunks = false;

  // λ = 0, whatever lambda_scale says.
  static double level(std::uint64_t, const UpdateConfig&, double) { return 0.0; }

  // The reported objective is F itself.
  template <class T>
  static double reported_objective(double objective, std::span<const T>, bool, double) {
    return objective;
  }

  template <class T>
  static NoCarriedTerm<T> carried(const EngineState<T>&, std::size_t, double) {
    return {};
  }
};

}  // namespace quillfen

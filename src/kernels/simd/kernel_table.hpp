#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/native_error.hpp"
#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/registered_terms.hpp"

namespace quillfen::simd {

// The hot kernels of one element type, loss and penalty as compiled for one instruction-set
// target. Each entry is the function of the same name in kernels/vector, kernels/gram,
// kernels/objective or common/value_tests.hpp, with its contract; the entries that involve no
// loss or penalty are the same functions in every set. Only the weighted Gram product (and
// newton_system, which contains it) may give other bits on another target, since the matrix
// product may fuse multiply and add.
template <class T>
struct KernelSet {
  bool (*all_finite)(std::span<const T> values);  // the finite scan of common/value_tests.hpp
  T (*dot)(std::span<const T> a, std::span<const T> b);
  void (*compute_residuals)(std::span<const T> design, std::uint64_t p, std::span<const T> y,
                            std::span<const T> beta, std::span<T> out, std::uint64_t n);
  void (*row_products)(std::span<const T> design, std::uint64_t p, std::span<const T> beta,
                       std::span<T> out, std::uint64_t rows);
  bool (*checked_row_products)(std::span<const T> design, std::uint64_t p, std::span<const T> beta,
                               std::span<T> out, std::uint64_t rows);
  void (*compute_psi)(const BatchView<T>& batch, std::span<const T> residuals, std::span<T> psi,
                      double tau);
  void (*curvature_weights)(std::span<const T> residuals, std::span<T> out, double tau, double h);
  void (*transposed_product)(const BatchView<T>& batch, std::span<const T> psi,
                             std::span<T> partials, bool force_row_chunks, std::span<T> out);
  void (*combined_gradient)(const BatchView<T>& batch, std::span<const T> beta,
                            const EngineState<T>& state, Workspace<T>& workspace,
                            double combined_weight);
  double (*combined_objective)(const BatchView<T>& batch, std::span<const T> beta,
                               const EngineState<T>& state, const UpdateConfig& config,
                               Workspace<T>& workspace, double combined_weight);
  Status (*weighted_gram)(const BatchView<T>& batch, std::span<const T> weights,
                          std::span<T> scratch, std::span<T> partials, std::span<T> out);
  Status (*newton_system)(const BatchView<T>& batch, std::span<const T> beta,
                          const EngineState<T>& state, const UpdateConfig& config,
                          Workspace<T>& workspace, double bandwidth, double combined_weight);
};

// One kernel set per registered loss and penalty, loss-major: set k holds the loss at
// k / RegisteredPenalties::size and the penalty at k % RegisteredPenalties::size.
inline constexpr std::size_t kKernelSetCount = RegisteredLosses::size * RegisteredPenalties::size;

template <std::size_t K>
using LossOfSet = TermAt<K / RegisteredPenalties::size, RegisteredLosses>;
template <std::size_t K>
using PenaltyOfSet = TermAt<K % RegisteredPenalties::size, RegisteredPenalties>;

template <class Loss, class PenaltyType>
constexpr std::size_t kernel_set_index() {
  return term_index<Loss>(RegisteredLosses{}) * RegisteredPenalties::size +
         term_index<PenaltyType>(RegisteredPenalties{});
}

// Everything one target provides: its name ("x86-64-v2", "x86-64-v3", "x86-64-v4", or "native"
// in a build for the building machine) and its kernel sets for both element types.
struct KernelTable {
  const char* target;
  std::array<KernelSet<float>, kKernelSetCount> f32;
  std::array<KernelSet<double>, kKernelSetCount> f64;
};

// The kernels of `table` for T, Loss and PenaltyType. The default set (the Huber loss without
// penalty) serves callers that need only kernels that involve neither, or only the Huber loss.
template <class T, class Loss = HuberLoss, class PenaltyType = NoPenalty>
const KernelSet<T>& kernel_set(const KernelTable& table) {
  constexpr std::size_t k = kernel_set_index<Loss, PenaltyType>();
  if constexpr (sizeof(T) == sizeof(float)) {
    return table.f32[k];
  } else {
    return table.f64[k];
  }
}

}  // namespace quillfen::simd

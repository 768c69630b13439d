#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "common/with_constant.hpp"
#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/loss/huber_loss.hpp"
#include "kernels/parallel_rules.hpp"
#include "kernels/simd/lanes.hpp"
#include "kernels/vector/grouped_dot.hpp"
#include "kernels/vector/vector_kernels.hpp"

namespace quillfen {

namespace detail {

// The loss of row i with residual r, times its sample weight when the batch has them.
template <class T, class Loss>
inline T weighted_loss(const T* weights, std::size_t i, T r, T tau) {
  return weights != nullptr ? weights[i] * Loss::value(r, tau) : Loss::value(r, tau);
}

// The residuals y − Xβ of a batch small enough for the calling thread into `residuals`, and the
// sum of the (weighted) losses in row order in double. Narrow rows go a group at a time as in
// compute_residuals, group_sums(i) giving the dot products of the group at row i; the losses of a
// group are added one by one while the next group's products are formed, so the sum's chain of
// additions needs no pass of its own.
template <class T, class Loss, class GroupSums>
double residuals_and_loss(const BatchView<T>& batch, std::span<const T> beta,
                          std::span<T> residuals, T tau, GroupSums&& group_sums) {
  using Group = GroupedDot<T>;
  using Vector = typename Group::Vector;
  const std::size_t p = batch.cols;
  const std::size_t count = batch.rows;
  const T* weights = batch.sample_weight ? batch.sample_weight->data() : nullptr;
  double loss = 0.0;
  std::size_t i = 0;
  if (beta.size() >= p) {
    for (; i + Group::kRows <= count; i += Group::kRows) {
      const Vector r = targets_minus<T>(batch.y, i, group_sums(i), residuals.data() + i);
      Vector losses = Loss::value(r, tau);
      if (weights != nullptr) {
        Vector w;
        std::memcpy(&w, weights + i, sizeof w);
        losses = w * losses;
      }
      for (std::size_t k = 0; k < Group::kRows; ++k) loss = loss + double(losses[k]);
    }
  }
  for (; i < count; ++i) {
    const T r = row_residual<T>(batch.x_design, p, batch.y, beta, i);
    residuals[i] = r;
    loss = loss + double(weighted_loss<T, Loss>(weights, i, r, tau));
  }
  return loss;
}

// Narrow double rows up to this width have their own copy of the pass, with β's vectors loaded
// once and the rows' layout fixed (FixedWidthDot).
inline constexpr std::size_t FIXED_WIDTH_MAX = 16;

// How far ahead of its group the narrow pass asks for the design's cache lines. The pass at the
// stored coefficients is the first to read a batch, often from memory; the hardware's own
// prefetching alone left a 1000 × 10 pass 1 µs slower (5.1 against 4.2 µs; 2 KB ahead also ran
// slightly faster on a batch in cache, 4 KB slightly slower).
inline constexpr std::size_t DESIGN_PREFETCH_BYTES = 2048;

// Asks for the cache lines of `bytes` bytes starting DESIGN_PREFETCH_BYTES after `from`. Near the
// design's end those addresses lie past it: a prefetch never faults, and they are formed as
// integers, since a pointer past an array's end is not one C++ lets us form.
inline void prefetch_design_ahead(const void* from, std::size_t bytes) {
  const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(from) + DESIGN_PREFETCH_BYTES;
  for (std::size_t offset = 0; offset < bytes; offset += 64) {
    __builtin_prefetch(reinterpret_cast<const void*>(ahead + offset));
  }
}

// residuals_and_loss above with the group products of the batch's width: FixedWidthDot's for
// narrow double rows, GroupedDot's otherwise. Both give every residual the bits of
// compute_residuals.
template <class T, class Loss>
double residuals_and_loss(const BatchView<T>& batch, std::span<const T> beta,
                          std::span<T> residuals, T tau) {
  const std::size_t p = batch.cols;
  double loss = 0.0;
  bool fixed = false;
  if constexpr (std::is_same_v<T, double>) {
    const T* design = batch.x_design.data();
    if (beta.size() >= p) {
      fixed = with_constant<1, FIXED_WIDTH_MAX + 1>(p, [&](auto width) {
        const FixedWidthDot<width()> dot(beta.data());
        loss = residuals_and_loss<T, Loss>(batch, beta, residuals, tau, [&](std::size_t i) {
          const T* rows = design + i * width();
          prefetch_design_ahead(rows, GroupedDot<T>::kRows * width() * sizeof(T));
          return dot.sums(rows);
        });
      });
    }
  }
  if (!fixed) {
    loss = residuals_and_loss<T, Loss>(batch, beta, residuals, tau, [&](std::size_t i) {
      return GroupedDot<T>::sums_in(batch.x_design, p, i, beta.data());
    });
  }
  return loss;
}

}  // namespace detail

// F(β) = [Σ s_i ρ(r_i) + ½ (β − β₀)ᵀ I₀ (β − β₀)] / W with ρ the loss, plus the penalty's term
// carried over from earlier samples (for l1 the linear −κ·Σ sign(β₀_j)(β_j − β₀_j), see
// CarriedL1Term); config.penalty is not read, the penalty is PenaltyType. Leaves r = y − Xβ in the
// residual buffer and β − β₀ in the shift buffer. Each term is computed in T, but the sum of the
// losses and the terms' combination run in double: a float sum of 10⁵ losses rounds by as much as
// a Newton step's decrease near the minimiser, and the step test would then accept and reject by
// rounding. For T = double this is the plain computation in double. β may live in another
// workspace buffer.
template <class T, class Loss, class PenaltyType>
double combined_objective(const BatchView<T>& batch, std::span<const T> beta,
                          const EngineState<T>& state, const UpdateConfig& config,
                          Workspace<T>& workspace, double combined_weight) {
  const std::size_t p = batch.cols;
  const std::span<T> residuals(workspace.residuals);
  const T tau = T(config.tau);
  double loss = 0.0;
  if (!rows_go_parallel(batch.rows, p)) {
    loss = detail::residuals_and_loss<T, Loss>(batch, beta, residuals, tau);
  } else {
    // The residuals are spread over the pool; the losses are then summed in row order here.
    compute_residuals<T>(batch.x_design, p, batch.y, beta, residuals, batch.rows);
    const T* weights = batch.sample_weight ? batch.sample_weight->data() : nullptr;
    for (std::size_t i = 0; i < batch.rows; ++i)
      loss = loss + double(detail::weighted_loss<T, Loss>(weights, i, residuals[i], tau));
  }

  const std::span<T> shift(workspace.shift);
  const std::span<const T> previous(state.coefficients);
  for (std::size_t j = 0; j < p; ++j) shift[j] = beta[j] - previous[j];

  const std::span<const T> information(state.information);
  const std::span<const T> shift_view(shift);
  T quadratic = T(0);
  for (std::size_t k = 0; k < p; ++k) {
    quadratic = quadratic + shift[k] * dot<T>(information.subspan(k * p, p), shift_view);
  }

  const double objective = (loss + double(quadratic * T(0.5))) / combined_weight;
  return PenaltyType::carried(state, p, combined_weight).add_to_objective(objective, shift_view);
}

}  // namespace quillfen

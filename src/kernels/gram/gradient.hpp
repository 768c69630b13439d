#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "kernels/loss/huber_loss.hpp"
#include "kernels/padded_rows.hpp"
#include "kernels/parallel_rules.hpp"
#include "kernels/simd/lanes.hpp"
#include "kernels/vector/vector_kernels.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen {

// psi_i = ψ(r_i), the loss's score with its parameter tau (for Huber clamp(r_i, ±tau)), times
// s_i when the batch has sample weights.
template <class T, class Loss = HuberLoss>
void compute_psi(const BatchView<T>& batch, std::span<const T> residuals, std::span<T> psi,
                 double tau) {
  const T limit = T(tau);
  const std::size_t count = std::min(residuals.size(), psi.size());
  for (std::size_t i = 0; i < count; ++i) {
    const T score = Loss::score(residuals[i], limit);
    psi[i] = batch.sample_weight ? score * (*batch.sample_weight)[i] : score;
  }
}

namespace detail {

// Columns per work item of the column-split product: an equal share per worker (the row-chunk
// count), rounded up to whole cache lines, so each item streams contiguous row segments and the
// items together read the design once. Each column is still summed on its own, in row order.
template <class T>
std::size_t column_group(std::size_t width, std::size_t workers) {
  constexpr std::size_t line = 64 / sizeof(T);
  const std::size_t parts = std::max<std::size_t>(workers, 1);
  const std::size_t share = (width + parts - 1) / parts;
  return std::max(line, (share + line - 1) / line * line);
}

// acc_j ← x_ij·psi_i + acc_j over rows [first, end) for `Vectors` full vectors of columns
// starting at `column`, followed by `extra` (< one vector) single columns. The running sums stay in
// registers rather than being reloaded for every row; the single columns ride in one more vector
// whose other lanes read the next row's elements and are never stored, so every column is summed
// on its own as before.
template <class T, std::size_t Vectors>
void accumulate_tile(std::span<const T> design, std::size_t p, const T* psi, std::size_t first,
                     std::size_t end, std::size_t column, T* acc, std::size_t extra) {
  using Vector = typename simd::RegisterLanes<T>::Vector;
  constexpr std::size_t kPerVector = simd::RegisterLanes<T>::kWidth;
  constexpr std::size_t kWidth = Vectors * kPerVector;
  Vector sums[Vectors + 1] = {};
  std::memcpy(sums, acc, kWidth * sizeof(T));
  for (std::size_t k = 0; k < extra; ++k) sums[Vectors][k] = acc[kWidth + k];
  auto add_row = [&](const T* row, T weight) {
    for (std::size_t v = 0; v < Vectors; ++v) {
      Vector x;
      std::memcpy(&x, row + v * kPerVector, sizeof x);
      sums[v] = x * weight + sums[v];  // product, then sum: the same steps as one column alone
    }
  };
  auto add_row_and_extra = [&](const T* row, T weight) {
    add_row(row, weight);
    Vector x;
    std::memcpy(&x, row + kWidth, sizeof x);
    sums[Vectors] = x * weight + sums[Vectors];
  };
  if (extra == 0) {
    for (std::size_t i = first; i < end; ++i) add_row(design.data() + i * p + column, psi[i]);
  } else {
    for_each_row_within_reach<T, kWidth + kPerVector>(
        design, p, column, kWidth + extra, first, end,
        [&](const T* row, std::size_t i) { add_row_and_extra(row, psi[i]); });
  }
  std::memcpy(acc, sums, kWidth * sizeof(T));
  for (std::size_t k = 0; k < extra; ++k) acc[kWidth + k] = sums[Vectors][k];
}

// acc_j ← x_ij·psi_i + acc_j for rows [first, end) and columns [column, column + acc.size()).
// Every column is summed alone in row order, so any split of the columns gives the same bits.
// Columns go in register tiles of four vectors; the last tile takes what is left (up to three
// vectors and the single columns), so narrow designs are read in one pass.
template <class T>
void accumulate_rows(std::span<const T> design, std::size_t p, std::span<const T> psi,
                     std::size_t first, std::size_t end, std::size_t column, std::span<T> acc) {
  constexpr std::size_t kVector = simd::RegisterLanes<T>::kWidth;
  std::size_t j = 0;
  for (; j + 4 * kVector <= acc.size(); j += 4 * kVector) {
    accumulate_tile<T, 4>(design, p, psi.data(), first, end, column + j, acc.data() + j, 0);
  }
  const std::size_t vectors = (acc.size() - j) / kVector;
  const std::size_t extra = (acc.size() - j) % kVector;
  if (vectors == 0 && extra == 0) return;
  T* tile = acc.data() + j;
  switch (vectors) {
    case 0:
      return accumulate_tile<T, 0>(design, p, psi.data(), first, end, column + j, tile, extra);
    case 1:
      return accumulate_tile<T, 1>(design, p, psi.data(), first, end, column + j, tile, extra);
    case 2:
      return accumulate_tile<T, 2>(design, p, psi.data(), first, end, column + j, tile, extra);
    default:
      return accumulate_tile<T, 3>(design, p, psi.data(), first, end, column + j, tile, extra);
  }
}

}  // namespace detail

// S = Xᵀψ into `out` (p entries). Small batches run in row order on this thread. Larger ones are
// cut into the row chunks that `partials` has room for (narrow designs, and always on the l1
// path), each summed into its own chunk and then added into `out` in chunk order; wide designs
// are split by columns, which gives exactly the sequential sums.
template <class T>
void transposed_product(const BatchView<T>& batch, std::span<const T> psi, std::span<T> partials,
                        bool force_row_chunks, std::span<T> out) {
  const std::size_t p = batch.cols;
  const std::size_t n = std::min(psi.size(), batch.x_design.size() / p);
  const std::size_t width = std::min(p, out.size());
  const std::size_t chunks = partials.size() / p;
  const bool parallel = rows_go_parallel(batch.rows, p);
  const bool row_chunks = p < COLUMN_SPLIT_MIN_WIDTH<T> || force_row_chunks;
  if (!parallel || (row_chunks && chunks == 0)) {
    std::fill(out.begin(), out.end(), T(0));
    detail::accumulate_rows<T>(batch.x_design, p, psi, 0, n, 0, out.first(width));
    return;
  }
  if (row_chunks) {
    const std::size_t rows_per_chunk = n / chunks + (n % chunks != 0);
    parallel::for_each_chunk(partials.first(chunks * p), p, [&](std::size_t k, std::span<T> acc) {
      std::fill(acc.begin(), acc.end(), T(0));
      const std::size_t first = std::min(n, k * rows_per_chunk);
      const std::size_t end = std::min(n, first + rows_per_chunk);
      detail::accumulate_rows<T>(batch.x_design, p, psi, first, end, 0, acc);
    });
    std::fill(out.begin(), out.end(), T(0));
    for (std::size_t k = 0; k < chunks; ++k) {
      const T* chunk = partials.data() + k * p;
      for (std::size_t j = 0; j < width; ++j) out[j] = out[j] + chunk[j];
    }
    return;
  }
  const std::size_t group = detail::column_group<T>(width, chunks);
  parallel::for_each_chunk(out.first(width), group, [&](std::size_t k, std::span<T> acc) {
    std::fill(acc.begin(), acc.end(), T(0));
    detail::accumulate_rows<T>(batch.x_design, p, psi, 0, n, k * group, acc);
  });
}

// g = (I₀(β − β₀) − Xᵀψ)/W from the psi buffer, into the gradient buffer, plus the slope of the
// penalty's term carried over from earlier samples (for l1 −κ·sign(β₀_j) on every penalised
// entry, see CarriedL1Term). Leaves β − β₀ in the shift buffer. Cannot fail.
template <class T, class PenaltyType>
void combined_gradient(const BatchView<T>& batch, std::span<const T> beta,
                       const EngineState<T>& state, Workspace<T>& workspace,
                       double combined_weight) {
  const std::size_t p = batch.cols;
  const std::span<const T> previous(state.coefficients);
  const std::span<T> shift(workspace.shift);
  const std::size_t shifted = std::min({beta.size(), previous.size(), shift.size()});
  for (std::size_t j = 0; j < shifted; ++j) shift[j] = beta[j] - previous[j];

  const std::span<T> gradient(workspace.gradient);
  transposed_product<T>(batch, workspace.psi, workspace.gradient_partials,
                        PenaltyType::kGradientInRowChunks, gradient);

  const T weight = T(combined_weight);
  const auto carried = PenaltyType::carried(state, p, combined_weight);
  const std::span<const T> information(state.information);
  const std::span<const T> shift_view(shift);
  for (std::size_t j = 0; j < p; ++j) {
    const T g = (dot<T>(information.subspan(j * p, p), shift_view) - gradient[j]) / weight;
    gradient[j] = carried.add_to_gradient(j, g);
  }
}

}  // namespace quillfen

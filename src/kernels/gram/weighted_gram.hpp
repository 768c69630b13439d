#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/checked_math.hpp"
#include "common/native_error.hpp"
#include "engine/records.hpp"
#include "kernels/gram/gemm.hpp"
#include "kernels/gram/small_gram.hpp"
#include "kernels/parallel_rules.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen {

// Σ (w_i·s_i) x_i x_iᵀ over rows [first, end) into `out` (p × p). Narrow designs take the
// register-blocked product. Wider ones are staged in blocks of at most GRAM_BLOCK_ROWS weighted
// copies in `scratch`, so each matrix product sees a long inner dimension while the scratch stays
// small; the first block overwrites `out`, later blocks add to it. An empty range zero-fills `out`.
template <class T>
Status weighted_gram_rows(const BatchView<T>& batch, std::span<const T> weights,
                          std::uint64_t first, std::uint64_t end, std::span<T> scratch,
                          std::span<T> out) {
  const std::uint64_t p = batch.cols;
  const std::uint64_t block_rows = std::min<std::uint64_t>(scratch.size() / p, GRAM_BLOCK_ROWS);
  if (first == end) {
    std::fill(out.begin(), out.end(), T(0));
    return std::nullopt;
  }
  if (p > scratch.size()) {
    return NativeError::invalid_batch("weighted row scratch is smaller than one row");
  }
  if (small_gram_fits<T>(p)) return small_weighted_gram(batch, weights, first, end, out);
  for (std::uint64_t start = first; start < end; start += block_rows) {
    const std::uint64_t stop = std::min(end, start + block_rows);
    const std::uint64_t count = stop - start;
    for (std::uint64_t i = start; i < stop; ++i) {
      const T weight = gram_row_weight(batch, weights, i);
      const T* row = batch.x_design.data() + i * p;
      T* staged = scratch.data() + (i - start) * p;
      for (std::uint64_t j = 0; j < p; ++j) staged[j] = row[j] * weight;
    }
    const std::span<const T> block = batch.x_design.subspan(start * p, count * p);
    const std::span<const T> staged(scratch.data(), count * p);
    if (Status failure = gemm_at_b<T>(block, staged, count, p, out, start != first)) {
      return failure;
    }
  }
  return std::nullopt;
}

// G = Σ (w_i·s_i) x_i x_iᵀ over all rows into `out`. When the workspace holds two or more partial
// slots and the work is large enough, each slot's worker takes one contiguous row range with its
// own share of the scratch, and the slots are then added into `out` in slot order on this
// thread, so the result depends only on the slot count. On failure `out` is left untouched.
template <class T>
Status weighted_gram(const BatchView<T>& batch, std::span<const T> weights, std::span<T> scratch,
                     std::span<T> partials, std::span<T> out) {
  const std::uint64_t n = batch.rows;
  const std::uint64_t p = batch.cols;
  const auto slot_size = checked_mul(p, p);
  if (!slot_size) return NativeError::size_overflow();
  const std::uint64_t slots = partials.size() / *slot_size;
  if (slots <= 1 || !gram_work_is_large(n, p)) {
    return weighted_gram_rows(batch, weights, 0, n, scratch, out);
  }
  const std::uint64_t rows_per_slot = n / slots + (n % slots != 0);
  const std::uint64_t share = scratch.size() / slots;
  if (share < p) {
    return NativeError::invalid_batch(
        "weighted row scratch is smaller than one row per Gram worker");
  }
  const Status failure = parallel::try_for_each_chunk_pair(
      partials, *slot_size, scratch, share,
      [&](std::size_t k, std::span<T> slot, std::span<T> slot_scratch) -> Status {
        const std::uint64_t first = std::min(n, k * rows_per_slot);
        const std::uint64_t end = std::min(n, k * rows_per_slot + rows_per_slot);
        return weighted_gram_rows(batch, weights, first, end, slot_scratch, slot);
      });
  if (failure) return failure;
  std::fill(out.begin(), out.end(), T(0));
  const std::size_t width = std::min<std::uint64_t>(*slot_size, out.size());
  for (std::uint64_t k = 0; k < slots; ++k) {
    const T* slot = partials.data() + k * *slot_size;
    for (std::size_t e = 0; e < width; ++e) out[e] = out[e] + slot[e];
  }
  return std::nullopt;
}

}  // namespace quillfen

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/checked_math.hpp"
#include "common/native_error.hpp"
#include "engine/records.hpp"
#include "kernels/parallel_rules.hpp"
#include "kernels/simd/lanes.hpp"

namespace quillfen {

// The weighted Gram product for narrow designs, register-blocked by hand. For a few dozen columns
// the library's product spends more time packing its operands than multiplying; here each output
// tile stays in registers while the rows stream past once per tile, and no weighted copy of the
// rows is staged.
//
// Like the library's kernel, it may fuse multiply and add; the inner sums run over the rows in
// order. Tile k of rows [j0, j0 + J) of C = Σ_i x_i (c_i·x_i)ᵀ holds J × KV vector accumulators,
// where c_i = w_i·s_i is the row's weight and KV 32-byte vectors cover one design row.

// Rows of at most this many 32-byte vectors take this path; wider ones take the library's.
inline constexpr std::size_t SMALL_GRAM_MAX_VECTORS = 3;

// The weight c_i = w_i·s_i of row i in the Gram product (w_i alone without sample weights).
template <class T>
inline T gram_row_weight(const BatchView<T>& batch, std::span<const T> weights, std::uint64_t i) {
  return batch.sample_weight ? weights[i] * (*batch.sample_weight)[i] : weights[i];
}

namespace detail {

template <class Vector, class T>
inline Vector broadcast(T value) {
  Vector lanes;
  for (std::size_t l = 0; l < sizeof(Vector) / sizeof(T); ++l) lanes[l] = value;
  return lanes;
}

// Rows [j0, j0 + J) of the Gram matrix over design rows [first, end), written to `out`, or added
// to what `out` holds when `accumulate`. Reloading a partial sum from `out` is exact, so splitting
// the rows into blocks does not change the result.
template <class T, std::size_t J, std::size_t KV>
void small_gram_tile(const BatchView<T>& batch, std::span<const T> weights, std::uint64_t first,
                     std::uint64_t end, std::size_t j0, std::span<T> out, bool accumulate) {
  using Vector = typename simd::Lanes<T>::Vector;
  constexpr std::size_t kWidth = simd::Lanes<T>::kWidth;
  constexpr std::size_t kRowSpan = KV * kWidth;
  const std::size_t p = batch.cols;
  const std::span<const T> x = batch.x_design;

  Vector sums[J][KV] = {};
  if (accumulate) {
    for (std::size_t j = 0; j < J; ++j) {
      const T* source = out.data() + (j0 + j) * p;
      for (std::size_t k = 0; k < p; ++k) sums[j][k / kWidth][k % kWidth] = source[k];
    }
  }
  auto add_row = [&](const T* row, T weight) {
    Vector weighted[KV];
    for (std::size_t v = 0; v < KV; ++v) {
      Vector lanes;
      std::memcpy(&lanes, row + v * kWidth, sizeof lanes);
      weighted[v] = lanes * weight;
    }
    for (std::size_t j = 0; j < J; ++j) {
      const Vector factor = broadcast<Vector>(row[j0 + j]);
      for (std::size_t v = 0; v < KV; ++v)
        sums[j][v] = simd::matrix_product_multiply_add(factor, weighted[v], sums[j][v]);
    }
  };

  // A row's vectors reach kRowSpan - p elements past its end, into the next row; lanes past
  // column p are never stored. Rows too close to the end of the design are read through a
  // zero-padded copy instead, so nothing outside the design is touched.
  const std::uint64_t whole_rows =
      x.size() >= kRowSpan ? std::min<std::uint64_t>(end, (x.size() - kRowSpan) / p + 1) : 0;
  std::uint64_t i = first;
  for (; i < whole_rows; ++i) add_row(x.data() + i * p, gram_row_weight(batch, weights, i));
  for (; i < end; ++i) {
    T padded[kRowSpan] = {};
    std::copy_n(x.data() + i * p, p, padded);
    add_row(padded, gram_row_weight(batch, weights, i));
  }

  for (std::size_t j = 0; j < J; ++j) {
    T* target = out.data() + (j0 + j) * p;
    for (std::size_t k = 0; k < p; ++k) target[k] = sums[j][k / kWidth][k % kWidth];
  }
}

// The last p mod J output rows, as one tile of that height.
template <class T, std::size_t KV, std::size_t J>
void small_gram_remainder(std::size_t rows_left, const BatchView<T>& batch,
                          std::span<const T> weights, std::uint64_t first, std::uint64_t end,
                          std::size_t j0, std::span<T> out, bool accumulate) {
  if constexpr (J > 0) {
    if (rows_left == J) {
      small_gram_tile<T, J, KV>(batch, weights, first, end, j0, out, accumulate);
    } else {
      small_gram_remainder<T, KV, J - 1>(rows_left, batch, weights, first, end, j0, out,
                                         accumulate);
    }
  }
}

template <class T, std::size_t KV>
void small_gram(const BatchView<T>& batch, std::span<const T> weights, std::uint64_t first,
                std::uint64_t end, std::span<T> out) {
  // At most twelve accumulators, so that they, the row's vectors and a broadcast fit in the
  // sixteen vector registers.
  constexpr std::size_t kTileRows = 12 / KV;
  const std::size_t p = batch.cols;
  // Every tile passes over the rows, so they are taken a block at a time that stays in cache
  // across the tiles. An empty range still runs one (empty) block, which zero-fills `out`.
  std::uint64_t start = first;
  do {
    const std::uint64_t stop = std::min<std::uint64_t>(end, start + GRAM_BLOCK_ROWS);
    const bool accumulate = start != first;
    std::size_t j0 = 0;
    for (; j0 + kTileRows <= p; j0 += kTileRows) {
      small_gram_tile<T, kTileRows, KV>(batch, weights, start, stop, j0, out, accumulate);
    }
    small_gram_remainder<T, KV, kTileRows - 1>(p - j0, batch, weights, start, stop, j0, out,
                                               accumulate);
    start = stop;
  } while (start < end);
}

}  // namespace detail

// Does a design of `p` columns take the register-blocked path?
template <class T>
constexpr bool small_gram_fits(std::uint64_t p) {
  return p <= SMALL_GRAM_MAX_VECTORS * simd::Lanes<T>::kWidth;
}

// out ← Σ (w_i·s_i) x_i x_iᵀ over rows [first, end) of a design whose width fits the small path.
// An empty range zero-fills `out`.
template <class T>
Status small_weighted_gram(const BatchView<T>& batch, std::span<const T> weights,
                           std::uint64_t first, std::uint64_t end, std::span<T> out) {
  const std::uint64_t p = batch.cols;
  const auto rows_end = checked_mul(end, p);
  if (p == 0 || !small_gram_fits<T>(p) || out.size() != p * p || first > end || !rows_end ||
      *rows_end > batch.x_design.size() || end > weights.size() ||
      (batch.sample_weight && end > batch.sample_weight->size())) {
    return NativeError::invalid_batch("GEMM buffers do not match the declared matrix shapes");
  }
  constexpr std::size_t kWidth = simd::Lanes<T>::kWidth;
  static_assert(SMALL_GRAM_MAX_VECTORS == 3, "one case per row width in vectors");
  switch ((p + kWidth - 1) / kWidth) {
    case 1:
      detail::small_gram<T, 1>(batch, weights, first, end, out);
      break;
    case 2:
      detail::small_gram<T, 2>(batch, weights, first, end, out);
      break;
    default:
      detail::small_gram<T, 3>(batch, weights, first, end, out);
      break;
  }
  return std::nullopt;
}

}  // namespace quillfen

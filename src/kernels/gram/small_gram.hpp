#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#if defined(__AVX512F__)
#include <immintrin.h>
#endif

#include "common/checked_math.hpp"
#include "common/native_error.hpp"
#include "common/value_tests.hpp"
#include "common/with_constant.hpp"
#include "engine/records.hpp"
#include "kernels/padded_rows.hpp"
#include "kernels/parallel_rules.hpp"
#include "kernels/simd/lanes.hpp"

namespace quillfen {

// The weighted Gram product for narrow designs, register-blocked by hand. For a few dozen columns
// the library's product spends more time packing its operands than multiplying; here each output
// tile stays in registers while the rows stream past once per tile, and no weighted copy of the
// rows is staged.
//
// Like the library's kernel, it may fuse multiply and add; every element of C = Σ_i x_i (c_i·x_i)ᵀ
// is its own sum over the rows in order, each term fused as x_ij·(c_i·x_ik) + sum, where
// c_i = w_i·s_i is the row's weight. How the elements are spread over vector lanes does not change
// a bit, so the vectors are one register wide on every target (simd::RegisterLanes). The columns
// that fill whole vectors are tiled by output rows: a broadcast x_ij times the weighted row's
// vectors. The last p mod (lanes per vector) columns would waste most of another vector per output
// row, so they are tiled the other way round: the row's own vectors (output rows j in the lanes)
// times a broadcast c_i·x_ik, one column k per tile row.

// Rows of at most this many bytes (12 doubles, 24 floats) take this path; wider ones take the
// library's.
inline constexpr std::size_t SMALL_GRAM_MAX_ROW_BYTES = 96;

// The same limit in vectors of the target.
template <class T>
inline constexpr std::size_t SMALL_GRAM_MAX_VECTORS =
    SMALL_GRAM_MAX_ROW_BYTES / sizeof(typename simd::RegisterLanes<T>::Vector);

// The weight c_i = w_i·s_i of row i in the Gram product (w_i alone without sample weights).
template <class T>
inline T gram_row_weight(const BatchView<T>& batch, std::span<const T> weights, std::uint64_t i) {
  return batch.sample_weight ? weights[i] * (*batch.sample_weight)[i] : weights[i];
}

namespace detail {

// The rows of one block of at most GRAM_BLOCK_ROWS design rows whose weight c_i is not zero, in
// order, each with its weight. A row of weight zero adds x_ij·(0·x_ik) = ±0 to every sum (the
// design is finite), and that leaves the sum as it is: a sum of such products is never −0.
// Leaving those rows out therefore changes no bit, and a Huber fit's rows beyond the curvature
// ramps, often a quarter or more of them, weigh zero. A listed row may be read `reach` elements
// from its start: rows whose reach would leave the design are listed as zero-padded copies.
template <class T>
struct WeightedRows {
  using Lanes = simd::RegisterLanes<T>;
  // The widest reach of a tile, and the most rows at the design's end that can fall short of it.
  static constexpr std::size_t kMaxReach = (SMALL_GRAM_MAX_VECTORS<T> + 1) * Lanes::kWidth;
  static constexpr std::size_t kMaxPadded = Lanes::kWidth;

  std::size_t count = 0;
  const T* rows[GRAM_BLOCK_ROWS];
  T weights[GRAM_BLOCK_ROWS];
  T padded[kMaxPadded][kMaxReach];

  // Requires end − first ≤ GRAM_BLOCK_ROWS and p ≤ reach ≤ kMaxReach.
  WeightedRows(const BatchView<T>& batch, std::span<const T> row_weights, std::uint64_t first,
               std::uint64_t end, std::size_t reach) {
    const std::size_t p = batch.cols;
    const T* x = batch.x_design.data();
    const std::uint64_t in_place_end =
        rows_in_place_end(batch.x_design.size(), p, reach, first, end);
    // Kept in locals: the list's own stores could otherwise alias the batch's views.
    const T* c = row_weights.data();
    const T* s = batch.sample_weight ? batch.sample_weight->data() : nullptr;
    std::uint64_t i = first;
#if defined(__AVX512F__) && defined(__AVX512VL__)
    i = add_eights(x, p, c, s, first, in_place_end);
#endif
    const T* row = x + i * p;
    if (s != nullptr) {
#pragma GCC unroll 4
      for (; i < in_place_end; ++i, row += p) add(row, c[i] * s[i]);
    } else {
#pragma GCC unroll 4
      for (; i < in_place_end; ++i, row += p) add(row, c[i]);
    }
    for (std::uint64_t i = in_place_end, copy = 0; i < end; ++i, ++copy) {
      T* row = padded[copy];
      std::fill(row, row + kMaxReach, T(0));
      std::copy_n(x + i * p, p, row);
      add(row, gram_row_weight(batch, row_weights, i));
    }
  }

 private:
  // Lists the row unless its weight is ±0, without a branch: weights fall any way. The test reads
  // the bits without the sign, so that a NaN weight is listed like any other nonzero one.
  void add(const T* row, T weight) {
    using Word = typename FloatBits<T>::Word;
    rows[count] = row;
    weights[count] = weight;
    count += (std::bit_cast<Word>(weight) << 1) != 0;
  }

#if defined(__AVX512F__) && defined(__AVX512VL__)
  // add() for the rows [first, end) eight at a time, as far as whole eights go, and returns where
  // it stopped: the eight weights are tested in one register and the listed rows' pointers and
  // weights packed to its front, which takes a fraction of the scalar list's instructions.
  std::uint64_t add_eights(const T* x, std::size_t p, const T* c, const T* s, std::uint64_t first,
                           std::uint64_t end) {
    const __m512i step = _mm512_set1_epi64(std::int64_t(8 * p * sizeof(T)));
    __m512i pointers = _mm512_add_epi64(
        _mm512_set1_epi64(std::int64_t(reinterpret_cast<std::uintptr_t>(x + first * p))),
        _mm512_mullo_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7),
                           _mm512_set1_epi64(std::int64_t(p * sizeof(T)))));
    // Counted in a local: the vector stores could alias the member, which would go through memory.
    std::size_t listed_count = count;
    std::uint64_t i = first;
    for (; i + 8 <= end; i += 8) {
      // The listed lanes packed to the front: the weights here, the pointers below. Only as
      // many lanes as were listed are stored, so the list never runs past its arrays.
      __mmask8 listed, front;
      if constexpr (sizeof(T) == 8) {
        __m512d weights = _mm512_loadu_pd(c + i);
        if (s != nullptr) weights = _mm512_mul_pd(weights, _mm512_loadu_pd(s + i));
        listed =
            _mm512_test_epi64_mask(_mm512_castpd_si512(weights), _mm512_set1_epi64(kMagnitude));
        front = front_lanes(listed);
        _mm512_mask_storeu_pd(this->weights + listed_count, front,
                              _mm512_maskz_compress_pd(listed, weights));
      } else {
        __m256 weights = _mm256_loadu_ps(c + i);
        if (s != nullptr) weights = _mm256_mul_ps(weights, _mm256_loadu_ps(s + i));
        listed = _mm256_test_epi32_mask(_mm256_castps_si256(weights),
                                        _mm256_set1_epi32(std::int32_t(kMagnitude)));
        front = front_lanes(listed);
        _mm256_mask_storeu_ps(this->weights + listed_count, front,
                              _mm256_maskz_compress_ps(listed, weights));
      }
      _mm512_mask_storeu_epi64(rows + listed_count, front,
                               _mm512_maskz_compress_epi64(listed, pointers));
      listed_count += std::size_t(std::popcount(unsigned(listed)));
      pointers = _mm512_add_epi64(pointers, step);
    }
    count = listed_count;
    return i;
  }
  // The first popcount(listed) lanes.
  static __mmask8 front_lanes(__mmask8 listed) {
    return __mmask8((1u << std::popcount(unsigned(listed))) - 1);
  }
  // Every bit of a weight but its sign.
  static constexpr std::int64_t kMagnitude =
      sizeof(T) == 8 ? std::int64_t(0x7fffffffffffffff) : std::int64_t(0x7fffffff);
#endif
};

// The sums of one row tile: output rows [j0, j0 + J), columns [0, M·lanes), each output row's
// sums in M vectors. Reloading a partial sum from `out` is exact, so splitting the design rows
// into blocks does not change the result.
template <class T, std::size_t J, std::size_t M>
struct RowTileSums {
  using Vector = typename simd::RegisterLanes<T>::Vector;
  static constexpr std::size_t kWidth = simd::RegisterLanes<T>::kWidth;
  Vector sums[J][M] = {};

  void load(std::span<const T> out, std::size_t p, std::size_t j0) {
    for (std::size_t j = 0; j < J; ++j)
      std::memcpy(sums[j], out.data() + (j0 + j) * p, sizeof sums[j]);
  }
  // Design row `row` with weight c: a broadcast x_ij times the weighted row's vectors.
  void add(const T* row, T weight, std::size_t j0) {
    Vector weighted[M];
    for (std::size_t v = 0; v < M; ++v) {
      Vector lanes;
      std::memcpy(&lanes, row + v * kWidth, sizeof lanes);
      weighted[v] = lanes * weight;
    }
    for (std::size_t j = 0; j < J; ++j) {
      const Vector factor = simd::filled<Vector>(row[j0 + j]);
      for (std::size_t v = 0; v < M; ++v)
        sums[j][v] = simd::matrix_product_multiply_add(factor, weighted[v], sums[j][v]);
    }
  }
  void store(std::span<T> out, std::size_t p, std::size_t j0) const {
    for (std::size_t j = 0; j < J; ++j)
      std::memcpy(out.data() + (j0 + j) * p, sums[j], sizeof sums[j]);
  }
};

// The sums of one column tile: columns [k0, k0 + K) of every output row, the output rows in the
// lanes of U vectors. A row's vectors reach U·lanes − p elements past its end; those lanes are
// never stored.
template <class T, std::size_t K, std::size_t U>
struct ColumnTileSums {
  using Vector = typename simd::RegisterLanes<T>::Vector;
  static constexpr std::size_t kWidth = simd::RegisterLanes<T>::kWidth;
  static constexpr std::size_t kRowSpan = U * kWidth;
  Vector sums[K][U] = {};

  // The sums move to and from `out` through a plain array, so that they themselves are never
  // addressed lane by lane and stay in registers.
  void load(std::span<const T> out, std::size_t p, std::size_t k0) {
    T staged[K][kRowSpan] = {};
    for (std::size_t k = 0; k < K; ++k)
      for (std::size_t j = 0; j < p; ++j) staged[k][j] = out[j * p + k0 + k];
    std::memcpy(sums, staged, sizeof sums);
  }
  // Design row `row` with weight c: the row's own vectors times the broadcast c·x_ik.
  void add(const T* row, T weight, std::size_t k0) {
    for (std::size_t k = 0; k < K; ++k) {
      const Vector factor = simd::filled<Vector>(row[k0 + k] * weight);
      for (std::size_t u = 0; u < U; ++u) {
        Vector lanes;
        std::memcpy(&lanes, row + u * kWidth, sizeof lanes);
        sums[k][u] = simd::matrix_product_multiply_add(lanes, factor, sums[k][u]);
      }
    }
  }
  void store(std::span<T> out, std::size_t p, std::size_t k0) const {
    T staged[K][kRowSpan];
    std::memcpy(staged, sums, sizeof staged);
    for (std::size_t k = 0; k < K; ++k)
      for (std::size_t j = 0; j < p; ++j) out[j * p + k0 + k] = staged[k][j];
  }
};

// Output rows [j0, j0 + J), columns [0, M·lanes) of the Gram matrix over the listed design rows,
// written to `out`, or added to what `out` holds when `accumulate`. The tiles are kept out of
// line: inlined into the block loop beside the row list, GCC stored their sums after every row.
template <class T, std::size_t J, std::size_t M>
__attribute__((noinline)) void small_gram_row_tile(const WeightedRows<T>& listed, std::size_t p,
                                                   std::size_t j0, std::span<T> out,
                                                   bool accumulate) {
  RowTileSums<T, J, M> tile;
  if (accumulate) tile.load(out, p, j0);
  for (std::size_t k = 0; k < listed.count; ++k) tile.add(listed.rows[k], listed.weights[k], j0);
  tile.store(out, p, j0);
}

// Columns [k0, k0 + K) of every output row, over the listed design rows, likewise.
template <class T, std::size_t K, std::size_t U>
__attribute__((noinline)) void small_gram_column_tile(const WeightedRows<T>& listed, std::size_t p,
                                                      std::size_t k0, std::span<T> out,
                                                      bool accumulate) {
  ColumnTileSums<T, K, U> tile;
  if (accumulate) tile.load(out, p, k0);
  for (std::size_t k = 0; k < listed.count; ++k) tile.add(listed.rows[k], listed.weights[k], k0);
  tile.store(out, p, k0);
}

// A row tile and a column tile in one pass over the design rows. Alone, a column tile's few sums
// are each one chain of dependent multiply-adds, one step per row, and it runs at their latency;
// side by side with a row tile's the chains overlap. Needs registers for both tiles' sums.
template <class T, std::size_t J, std::size_t M, std::size_t K, std::size_t U>
__attribute__((noinline)) void small_gram_joint_tile(const WeightedRows<T>& listed, std::size_t p,
                                                     std::size_t j0, std::size_t k0,
                                                     std::span<T> out, bool accumulate) {
  RowTileSums<T, J, M> rows;
  ColumnTileSums<T, K, U> columns;
  if (accumulate) {
    rows.load(out, p, j0);
    columns.load(out, p, k0);
  }
  for (std::size_t k = 0; k < listed.count; ++k) {
    rows.add(listed.rows[k], listed.weights[k], j0);
    columns.add(listed.rows[k], listed.weights[k], k0);
  }
  rows.store(out, p, j0);
  columns.store(out, p, k0);
}

// block(listed, accumulate) for the design rows [first, end) a block at a time, `listed` holding
// the block's rows of nonzero weight, readable `reach` elements from their start: every tile
// passes over the rows, so they are taken in blocks that stay in cache across the tiles. An empty
// range still runs one (empty) block, which zero-fills `out`.
template <class T, class Block>
void for_each_row_block(const BatchView<T>& batch, std::span<const T> weights, std::uint64_t first,
                        std::uint64_t end, std::size_t reach, Block&& block) {
  std::uint64_t start = first;
  do {
    const std::uint64_t stop = std::min<std::uint64_t>(end, start + GRAM_BLOCK_ROWS);
    const WeightedRows<T> listed(batch, weights, start, stop, reach);
    block(listed, start != first);
    start = stop;
  } while (start < end);
}

// At most twelve accumulators per tile, so that they, the row's vectors and a broadcast fit in the
// sixteen vector registers of AVX2.
inline constexpr std::size_t SMALL_GRAM_TILE_ACCUMULATORS = 12;

// M full vectors of columns, U vectors covering a design row.
template <class T, std::size_t M, std::size_t U>
void small_gram(const BatchView<T>& batch, std::span<const T> weights, std::uint64_t first,
                std::uint64_t end, std::span<T> out) {
  constexpr std::size_t kWidth = simd::RegisterLanes<T>::kWidth;
  const std::size_t p = batch.cols;
  const std::size_t reach = std::max(p, U * kWidth);
  for_each_row_block(
      batch, weights, first, end, reach, [&](const WeightedRows<T>& listed, bool accumulate) {
        if constexpr (M > 0) {
          constexpr std::size_t kTileRows = SMALL_GRAM_TILE_ACCUMULATORS / M;
          std::size_t j0 = 0;
          for (; j0 + kTileRows <= p; j0 += kTileRows) {
            small_gram_row_tile<T, kTileRows, M>(listed, p, j0, out, accumulate);
          }
          with_constant<1, kTileRows>(p - j0, [&](auto rows) {
            small_gram_row_tile<T, rows(), M>(listed, p, j0, out, accumulate);
          });
        }
        if constexpr (U > M) {  // the last p mod (lanes per vector) columns
          constexpr std::size_t kTileColumns = SMALL_GRAM_TILE_ACCUMULATORS / U;
          std::size_t k0 = M * kWidth;
          for (; k0 + kTileColumns <= p; k0 += kTileColumns) {
            small_gram_column_tile<T, kTileColumns, U>(listed, p, k0, out, accumulate);
          }
          with_constant<1, kTileColumns>(p - k0, [&](auto columns) {
            small_gram_column_tile<T, columns(), U>(listed, p, k0, out, accumulate);
          });
        }
      });
}

// Joint tiles may hold this many sums: with the 32 vector registers of AVX-512 they, the weighted
// row's vectors and the broadcasts still fit; with 16 no more than one plain tile's.
#if defined(__AVX512F__)
inline constexpr std::size_t SMALL_GRAM_JOINT_ACCUMULATORS = 26;
#else
inline constexpr std::size_t SMALL_GRAM_JOINT_ACCUMULATORS = SMALL_GRAM_TILE_ACCUMULATORS;
#endif

// P columns, M = ⌊P / lanes⌋ ≥ 1 full vectors and some more. When the sums of all output rows
// and of the last columns fit in registers, one joint pass computes everything; otherwise whole
// row tiles, then the last output rows' tile and the last columns' tile in one joint pass when
// their sums fit, otherwise the general tiling.
template <class T, std::size_t M, std::size_t P>
void small_gram_with_joint_tile(const BatchView<T>& batch, std::span<const T> weights,
                                std::uint64_t first, std::uint64_t end, std::span<T> out) {
  constexpr std::size_t kWidth = simd::RegisterLanes<T>::kWidth;
  constexpr std::size_t kTileRows = SMALL_GRAM_TILE_ACCUMULATORS / M;
  constexpr std::size_t kColumns = P - M * kWidth;
  constexpr std::size_t kColumnSums = kColumns * (M + 1);
  // One pass over all output rows when that fits; a last row tile of P rows is the same tiling.
  constexpr std::size_t kLastRows = P * M + kColumnSums <= SMALL_GRAM_JOINT_ACCUMULATORS ? P
                                    : P % kTileRows == 0 ? kTileRows
                                                         : P % kTileRows;
  if constexpr (kLastRows * M + kColumnSums > SMALL_GRAM_JOINT_ACCUMULATORS) {
    small_gram<T, M, M + 1>(batch, weights, first, end, out);
  } else {
    const std::size_t reach = (M + 1) * kWidth;
    for_each_row_block(batch, weights, first, end, reach,
                       [&](const WeightedRows<T>& listed, bool accumulate) {
                         std::size_t j0 = 0;
                         for (; j0 + kLastRows < P; j0 += kTileRows) {
                           small_gram_row_tile<T, kTileRows, M>(listed, P, j0, out, accumulate);
                         }
                         small_gram_joint_tile<T, kLastRows, M, kColumns, M + 1>(
                             listed, P, j0, M * kWidth, out, accumulate);
                       });
  }
}

// Instantiates small_gram for p columns: M = ⌊p / lanes⌋ full vectors, U = ⌈p / lanes⌉.
template <class T, std::size_t M = 0>
void small_gram_for_width(const BatchView<T>& batch, std::span<const T> weights,
                          std::uint64_t first, std::uint64_t end, std::span<T> out) {
  constexpr std::size_t kWidth = simd::RegisterLanes<T>::kWidth;
  const std::size_t p = batch.cols;
  if constexpr (M < SMALL_GRAM_MAX_VECTORS<T>) {
    if (p < (M + 1) * kWidth) {
      if constexpr (M > 0) {
        if (p % kWidth == 0) return small_gram<T, M, M>(batch, weights, first, end, out);
        with_constant<M * kWidth + 1, (M + 1) * kWidth>(p, [&](auto width) {
          small_gram_with_joint_tile<T, M, width()>(batch, weights, first, end, out);
        });
        return;
      }
      return small_gram<T, M, M + 1>(batch, weights, first, end, out);
    }
    return small_gram_for_width<T, M + 1>(batch, weights, first, end, out);
  } else {
    return small_gram<T, M, M>(batch, weights, first, end, out);
  }
}

}  // namespace detail

// Does a design of `p` columns take the register-blocked path?
template <class T>
constexpr bool small_gram_fits(std::uint64_t p) {
  return p <= SMALL_GRAM_MAX_ROW_BYTES / sizeof(T);
}

// out ← Σ (w_i·s_i) x_i x_iᵀ over rows [first, end) of a design whose width fits the small path.
// An empty range zero-fills `out`. Rows of zero weight are left out (WeightedRows), which gives
// the same bits for the finite designs the engine admits; a non-finite entry in such a row does
// not reach the result.
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
  detail::small_gram_for_width<T>(batch, weights, first, end, out);
  return std::nullopt;
}

}  // namespace quillfen

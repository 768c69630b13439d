#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/value_tests.hpp"
#include "kernels/parallel_rules.hpp"
#include "kernels/simd/lanes.hpp"
#include "kernels/vector/grouped_dot.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen {

// The engine's one inner product, over the first min(|a|, |b|) elements. Lane k of eight
// accumulators sums the products whose index is k modulo 8; the lanes are then combined as
// ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)) and the tail is added in index order. The
// grouping is fixed so that the result never depends on how the arithmetic is vectorised. The
// eight lanes are held in 32-byte vectors (two for double, one for float), which stay in
// registers; a single 64-byte vector would be split and spilled on AVX2.
template <class T>
inline T dot(std::span<const T> a, std::span<const T> b) {
  using Vector = typename simd::Lanes<T>::Vector;
  constexpr std::size_t kPerVector = simd::Lanes<T>::kWidth;
  constexpr std::size_t kVectors = 8 / kPerVector;
  const std::size_t length = std::min(a.size(), b.size());
  const std::size_t blocks = length / 8;
  T result = T(0);
  if (blocks > 0) {
    Vector sums[kVectors] = {};
    for (std::size_t t = 0; t < blocks; ++t) {
      for (std::size_t v = 0; v < kVectors; ++v) {
        Vector x;
        Vector y;
        std::memcpy(&x, a.data() + 8 * t + v * kPerVector, sizeof x);
        std::memcpy(&y, b.data() + 8 * t + v * kPerVector, sizeof y);
        sums[v] += x * y;  // products first, then the sums: no fused multiply-add
      }
    }
    // t_k = s_k + s_(k+4) for k < 4, formed in vector registers, then (t0 + t2) + (t1 + t3).
    typedef T Quad __attribute__((vector_size(4 * sizeof(T))));
    Quad t;
    if constexpr (kVectors == 2) {
      t = sums[0] + sums[1];
    } else {
      t = __builtin_shufflevector(sums[0], sums[0], 0, 1, 2, 3) +
          __builtin_shufflevector(sums[0], sums[0], 4, 5, 6, 7);
    }
    result = (t[0] + t[2]) + (t[1] + t[3]);
  }
  for (std::size_t i = blocks * 8; i < length; ++i) result += a[i] * b[i];
  return result;
}

// Rows of at most this many bytes go through GroupedDot when a design is streamed once from
// memory (predict): a group of wider rows reads several streams at once, which the memory system
// serves more slowly than the one stream of a row after a row. An update's batch is read again
// and again from cache, where groups pay at every width.
inline constexpr std::size_t GROUPED_ROW_MAX_BYTES = 255;

// y[i] − dot(row i, β) of a row-major design with p columns.
template <class T>
inline T row_residual(std::span<const T> design, std::size_t p, std::span<const T> y,
                      std::span<const T> beta, std::size_t i) {
  return y[i] - dot(design.subspan(i * p, p), beta);
}

// y[i + r] − sums[r] for the kRows rows of a group starting at row i whose dot products are
// `sums`, also stored to `out` (kRows values). Requires the group's targets to exist.
template <class T>
inline typename GroupedDot<T>::Vector targets_minus(std::span<const T> y, std::size_t i,
                                                    typename GroupedDot<T>::Vector sums, T* out) {
  typename GroupedDot<T>::Vector residuals;
  std::memcpy(&residuals, y.data() + i, sizeof residuals);
  residuals = residuals - sums;
  std::memcpy(out, &residuals, sizeof residuals);
  return residuals;
}

// row_residual of the GroupedDot group of rows starting at row i, one row per lane, also stored
// to `out` (kRows values). Requires |β| ≥ p and the group's rows and targets to exist.
template <class T>
inline typename GroupedDot<T>::Vector group_residuals(std::span<const T> design, std::size_t p,
                                                      std::span<const T> y, std::span<const T> beta,
                                                      std::size_t i, T* out) {
  return targets_minus<T>(y, i, GroupedDot<T>::sums_in(design, p, i, beta.data()), out);
}

// out[i] = y[i] − dot(row i, β) for rows [first, first + out.size()) of a row-major design with p
// columns, a group of rows at a time where the rows are narrow. Requires every such row and y[i]
// to exist.
template <class T>
void residual_rows(std::span<const T> design, std::size_t p, std::span<const T> y,
                   std::span<const T> beta, std::size_t first, std::span<T> out) {
  constexpr std::size_t kGroup = GroupedDot<T>::kRows;
  const std::size_t count = out.size();
  std::size_t k = 0;
  if (beta.size() >= p) {
    for (; k + kGroup <= count; k += kGroup) {
      group_residuals<T>(design, p, y, beta, first + k, out.data() + k);
    }
  }
  for (; k < count; ++k) out[k] = row_residual<T>(design, p, y, beta, first + k);
}

// Rows per work item of the pooled residuals: enough to amortise the item, few enough that the
// items balance over the workers.
inline constexpr std::size_t RESIDUAL_ITEM_ROWS = 256;

// out[i] = y[i] − dot(row i, β) for the n rows of a row-major design with p columns. Up to
// SEQUENTIAL_MAX_ELEMENTS design elements the rows run on the calling thread; above it groups of
// rows are work items of the current pool. Each element is computed the same way either way, so
// the two paths give the same bits.
template <class T>
void compute_residuals(std::span<const T> design, std::uint64_t p, std::span<const T> y,
                       std::span<const T> beta, std::span<T> out, std::uint64_t n) {
  if (rows_go_parallel(n, p)) {
    parallel::for_each_chunk(out, RESIDUAL_ITEM_ROWS, [&](std::size_t index, std::span<T> rows) {
      residual_rows<T>(design, p, y, beta, index * RESIDUAL_ITEM_ROWS, rows);
    });
    return;
  }
  const std::size_t count = std::min({out.size(), y.size(), design.size() / p});
  residual_rows<T>(design, p, y, beta, 0, out.first(count));
}

// out[i] = dot(row i, β) for `rows` rows, under the same rule as compute_residuals.
template <class T>
void row_products(std::span<const T> design, std::uint64_t p, std::span<const T> beta,
                  std::span<T> out, std::uint64_t rows) {
  auto product = [&](std::size_t i) { return dot(design.subspan(i * p, p), beta); };
  if (rows_go_parallel(rows, p)) {
    parallel::for_each_element(out, [&](std::size_t i, T& value) { value = product(i); });
    return;
  }
  const std::size_t count = std::min<std::uint64_t>(rows, design.size() / p);
  for (std::size_t i = 0; i < count; ++i) out[i] = product(i);
}

// Design elements in one block of checked_row_products (128 KiB of double), enough that the
// work items of a parallel run cost little beside their rows.
inline constexpr std::size_t PREDICT_BLOCK_ELEMENTS = 16384;
// out[i] = dot(row i, β) for `rows` rows, as row_products computes it, and whether every design
// element is finite, found in the same pass: with β finite, a product of a non-finite element is
// never finite and a sum with a non-finite term stays non-finite, so only a row whose dot is not
// finite (which finite elements can also give, by overflow) is scanned element by element.
// Returns false when any element is not finite; `out` then holds a part of the products and must
// be discarded. Above SEQUENTIAL_MAX_ELEMENTS each block of rows is a work item of the current
// pool. Requires β finite, |design| = rows · p and |out| ≥ rows.
template <class T>
bool checked_row_products(std::span<const T> design, std::uint64_t p, std::span<const T> beta,
                          std::span<T> out, std::uint64_t rows) {
  using Group = GroupedDot<T>;
  const std::size_t width = std::max<std::uint64_t>(p, 1);
  const bool grouped = width * sizeof(T) <= GROUPED_ROW_MAX_BYTES;
  // Whole multiples of 16 rows: two blocks never write into one 64-byte line of an aligned `out`.
  const std::size_t block_rows = std::max<std::size_t>(PREDICT_BLOCK_ELEMENTS / width / 16, 1) * 16;
  auto block = [&](std::size_t first, std::span<T> outputs) {
    const std::span<const T> elements = design.subspan(first * width, outputs.size() * width);
    const auto row = [&](std::size_t k) { return elements.subspan(k * width, width); };
    // A row whose product is not finite is scanned; overflow alone is no failure.
    const auto rows_finite = [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        if (!is_finite(outputs[k]) && !all_finite(row(k))) return false;
      }
      return true;
    };
    const std::size_t in_groups = grouped ? outputs.size() - outputs.size() % Group::kRows : 0;
    // Adding product · 0 turns a lane NaN once any product there was not finite, so one vector
    // tells whether the group's rows need scanning at all.
    typename Group::Vector watch = {};
    for (std::size_t k = 0; k < in_groups; k += Group::kRows) {
      const typename Group::Vector products = Group::sums_in(design, width, first + k, beta.data());
      std::memcpy(outputs.data() + k, &products, sizeof products);
      watch += products * T(0);
    }
    if (!Group::all_finite_watched(watch) && !rows_finite(0, in_groups)) return false;
    for (std::size_t k = in_groups; k < outputs.size(); ++k) {
      outputs[k] = dot(row(k), beta);
      if (!rows_finite(k, k + 1)) return false;
    }
    return true;
  };
  const std::span<T> products = out.first(rows);
  if (!rows_go_parallel(rows, p)) {
    for (std::size_t first = 0; first < rows; first += block_rows) {
      if (!block(first, products.subspan(first, std::min<std::size_t>(block_rows, rows - first)))) {
        return false;
      }
    }
    return true;
  }
  std::atomic<bool> finite{true};
  parallel::for_each_chunk(products, block_rows, [&](std::size_t index, std::span<T> outputs) {
    // After one block fails the rest only skip: the products are discarded anyway.
    if (finite.load(std::memory_order_relaxed) && !block(index * block_rows, outputs)) {
      finite.store(false, std::memory_order_relaxed);
    }
  });
  return finite.load();
}

}  // namespace quillfen

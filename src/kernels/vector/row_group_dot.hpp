#pragma once

#include <cstddef>
#include <cstring>

#include "kernels/simd/lanes.hpp"

namespace quillfen {

// Four lanes of T, one per row of a group (a vector attribute does not survive a template alias,
// hence the struct).
template <class T>
struct RowLanes {
  typedef T Quad __attribute__((vector_size(4 * sizeof(T))));
};
template <class T>
using RowQuad = typename RowLanes<T>::Quad;

// dot(row r, β) for the four rows r = 0..3 starting at `first_row`, `stride` elements apart, over
// the first `length` elements of each row and of β: lane r of the result is bit for bit what dot
// gives for row r. The four rows' eight-lane sums run side by side, so their dependency chains
// overlap; after a 4 × 4 transpose one vector instruction combines the lanes of all four rows in
// dot's fixed grouping, and the tail elements are added in index order as one vector per element.
template <class T>
inline RowQuad<T> dot_four_rows(const T* first_row, std::size_t stride, const T* beta,
                                std::size_t length) {
  using Vector = typename simd::Lanes<T>::Vector;
  using Quad = RowQuad<T>;
  constexpr std::size_t kPerVector = simd::Lanes<T>::kWidth;
  constexpr std::size_t kVectors = 8 / kPerVector;
  const std::size_t blocks = length / 8;
  const T* rows[4] = {first_row, first_row + stride, first_row + 2 * stride,
                      first_row + 3 * stride};
  Quad result = {};
  if (blocks > 0) {
    Vector sums[4][kVectors] = {};
    for (std::size_t t = 0; t < blocks; ++t) {
      Vector weights[kVectors];
      std::memcpy(weights, beta + 8 * t, sizeof weights);
      for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t v = 0; v < kVectors; ++v) {
          Vector x;
          std::memcpy(&x, rows[r] + 8 * t + v * kPerVector, sizeof x);
          sums[r][v] += x * weights[v];  // products first, then the sums, as in dot
        }
      }
    }
    // Row r's t_k = s_k + s_(k+4), k < 4.
    Quad t[4];
    for (std::size_t r = 0; r < 4; ++r) {
      if constexpr (kVectors == 2) {
        t[r] = sums[r][0] + sums[r][1];
      } else {
        t[r] = __builtin_shufflevector(sums[r][0], sums[r][0], 0, 1, 2, 3) +
               __builtin_shufflevector(sums[r][0], sums[r][0], 4, 5, 6, 7);
      }
    }
    // column_k holds t_k of the four rows.
    const Quad low01 = __builtin_shufflevector(t[0], t[1], 0, 4, 1, 5);
    const Quad high01 = __builtin_shufflevector(t[0], t[1], 2, 6, 3, 7);
    const Quad low23 = __builtin_shufflevector(t[2], t[3], 0, 4, 1, 5);
    const Quad high23 = __builtin_shufflevector(t[2], t[3], 2, 6, 3, 7);
    const Quad column0 = __builtin_shufflevector(low01, low23, 0, 1, 4, 5);
    const Quad column1 = __builtin_shufflevector(low01, low23, 2, 3, 6, 7);
    const Quad column2 = __builtin_shufflevector(high01, high23, 0, 1, 4, 5);
    const Quad column3 = __builtin_shufflevector(high01, high23, 2, 3, 6, 7);
    result = (column0 + column2) + (column1 + column3);
  }
  for (std::size_t i = blocks * 8; i < length; ++i) {
    const Quad x = {rows[0][i], rows[1][i], rows[2][i], rows[3][i]};
    result = result + x * beta[i];
  }
  return result;
}

}  // namespace quillfen

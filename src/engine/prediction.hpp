#pragma once

#include <cstdint>
#include <span>

#include "common/aligned_vector.hpp"
#include "common/checked_math.hpp"
#include "common/expected.hpp"
#include "kernels/simd/dispatch.hpp"

namespace quillfen {

// The linear predictor x_iᵀβ of every row of a row-major design of `rows` × `cols` elements.
// The design carries the intercept column itself, so `cols` must equal the coefficient count.
// Shape and finiteness are checked before anything is allocated.
template <class T>
Expected<AlignedVector<T>> predict_rows(std::span<const T> design, std::uint64_t rows,
                                        std::uint64_t cols, std::span<const T> coefficients) {
  if (cols != coefficients.size()) return NativeError::invalid_batch("invalid prediction shape");
  const auto elements = checked_mul(rows, cols);
  if (!elements) return NativeError::size_overflow();
  if (design.size() != *elements) return NativeError::invalid_batch("invalid prediction shape");
  if (!simd::kernels<T>().all_finite(design)) {
    return NativeError::invalid_batch("prediction input must contain only finite values");
  }
  AlignedVector<T> predictions = zeroed_buffer<T>(rows);
  simd::kernels<T>().row_products(design, cols, coefficients, predictions, rows);
  return predictions;
}

#define QUILLFEN_PREDICTION(EXTERN, T)                                                          \
  EXTERN template Expected<AlignedVector<T>> predict_rows<T>(std::span<const T>, std::uint64_t, \
                                                             std::uint64_t, std::span<const T>);
QUILLFEN_PREDICTION(extern, float)
QUILLFEN_PREDICTION(extern, double)

}  // namespace quillfen

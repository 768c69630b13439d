#pragma once

#include <cstdint>
#include <new>
#include <span>

#include "common/aligned_vector.hpp"
#include "common/checked_math.hpp"
#include "common/expected.hpp"
#include "common/value_tests.hpp"
#include "kernels/simd/dispatch.hpp"

namespace quillfen {

// The linear predictor x_iᵀβ of every row of a row-major design of `rows` × `cols` elements.
// The design carries the intercept column itself, so `cols` must equal the coefficient count.
// Shape is checked before anything is allocated, finiteness block by block as the products are
// formed; a design with a non-finite value gives the finiteness error and no predictions (also
// when the output could not have been allocated).
template <class T>
Expected<AlignedVector<T>> predict_rows(std::span<const T> design, std::uint64_t rows,
                                        std::uint64_t cols, std::span<const T> coefficients) {
  if (cols != coefficients.size()) return NativeError::invalid_batch("invalid prediction shape");
  const auto elements = checked_mul(rows, cols);
  if (!elements) return NativeError::size_overflow();
  if (design.size() != *elements) return NativeError::invalid_batch("invalid prediction shape");
  const auto& kernels = simd::kernels<T>();
  const auto non_finite = [] {
    return NativeError::invalid_batch("prediction input must contain only finite values");
  };
  AlignedVector<T> predictions;
  try {
    predictions = output_buffer<T>(rows);
  } catch (const std::bad_alloc&) {
    if (!kernels.all_finite(design)) return non_finite();
    throw;
  }
  if (!all_finite<T>(coefficients)) {
    // Never from a validated state; the fused check below needs finite coefficients.
    if (!kernels.all_finite(design)) return non_finite();
    kernels.row_products(design, cols, coefficients, predictions, rows);
    return predictions;
  }
  if (!kernels.checked_row_products(design, cols, coefficients, predictions, rows)) {
    return non_finite();
  }
  return predictions;
}

#define QUILLFEN_PREDICTION(EXTERN, T)                                                          \
  EXTERN template Expected<AlignedVector<T>> predict_rows<T>(std::span<const T>, std::uint64_t, \
                                                             std::uint64_t, std::span<const T>);
QUILLFEN_PREDICTION(extern, float)
QUILLFEN_PREDICTION(extern, double)

}  // namespace quillfen

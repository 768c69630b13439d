#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/prediction.hpp"
#include "kernels/vector/vector_kernels.hpp"

namespace quillfen {
namespace {

template <class T>
class Prediction : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(Prediction, ElementTypes);

TYPED_TEST(Prediction, ChecksComeInOrderBeforeAnyElementIsRead) {
  using T = TypeParam;
  const std::vector<T> beta = {1, 2};
  const std::vector<T> with_nan = {1, NAN, 3, 4, 5, 6};
  const auto shape_error = NativeError::invalid_batch("invalid prediction shape");
  // Wrong width wins over the NaN.
  EXPECT_EQ(predict_rows<T>(with_nan, 2, 3, beta).error(), shape_error);
  // rows × cols beyond 64 bits.
  EXPECT_EQ(predict_rows<T>(with_nan, std::numeric_limits<std::uint64_t>::max(), 2, beta).error(),
            NativeError::size_overflow());
  // A ragged or truncated buffer.
  EXPECT_EQ(predict_rows<T>(with_nan, 2, 2, beta).error(), shape_error);
  EXPECT_EQ(predict_rows<T>(std::span(with_nan).first(5), 3, 2, beta).error(), shape_error);
  EXPECT_EQ(predict_rows<T>(with_nan, 3, 2, beta).error(),
            NativeError::invalid_batch("prediction input must contain only finite values"));
}

TYPED_TEST(Prediction, ZeroRowsGiveAnEmptyVector) {
  const std::vector<TypeParam> beta = {1, 2, 3}, empty;
  auto result = predict_rows<TypeParam>(empty, 0, 3, beta);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result.value().empty());
}

// Designs just below and at the parallel threshold give each row's own dot product, bit for bit.
TYPED_TEST(Prediction, SequentialAndParallelRowsAgreeWithTheRowDot) {
  using T = TypeParam;
  for (const auto& [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{111111, 9},
                                   std::pair<std::uint64_t, std::uint64_t>{100000, 10}}) {
    std::vector<T> design(rows * cols), beta(cols);
    for (std::size_t k = 0; k < design.size(); ++k) design[k] = T(std::sin(0.37 * k) * 3);
    for (std::size_t j = 0; j < cols; ++j) beta[j] = T(0.5 - 0.3 * j);
    auto result = predict_rows<T>(design, rows, cols, beta);
    ASSERT_TRUE(result);
    const auto& predictions = result.value();
    ASSERT_EQ(predictions.size(), rows);
    for (std::size_t i = 0; i < rows; i += 997) {
      EXPECT_EQ(predictions[i], dot<T>(std::span(design).subspan(i * cols, cols), beta)) << i;
    }
    EXPECT_EQ(predictions[rows - 1],
              dot<T>(std::span(design).subspan((rows - 1) * cols, cols), beta));
  }
}

// Every width from one element to past five blocks of eight, over more than one block of rows and
// with row counts that leave part of a row group: each prediction is its row's dot, bit for bit.
// Zero rows against negative coefficients give only -0 products, whose sum is +0 as the row dot
// forms it; a row of the largest values, signed as the coefficients, overflows to an infinite
// prediction (beyond the narrowest widths) without failing the call.
TYPED_TEST(Prediction, EveryWidthGivesTheRowDotBitForBit) {
  using T = TypeParam;
  const T largest = std::numeric_limits<T>::max();
  for (std::uint64_t cols = 1; cols <= 43; ++cols) {
    const std::uint64_t rows = 2 * PREDICT_BLOCK_ELEMENTS / cols + 13;
    std::vector<T> design(rows * cols), beta(cols);
    for (std::size_t k = 0; k < design.size(); ++k) {
      design[k] = T(std::sin(0.61 * double(k)) * std::exp2(double(k % 23) - 11.0));
    }
    for (std::size_t j = 0; j < cols; ++j) beta[j] = T(std::cos(1.3 * double(j)) - 0.2);
    for (const std::uint64_t zero_row : {std::uint64_t{5}, rows - 1}) {
      std::fill_n(design.begin() + zero_row * cols, cols, T(0));
    }
    for (std::size_t j = 0; j < cols; ++j) design[9 * cols + j] = beta[j] < 0 ? -largest : largest;
    auto result = predict_rows<T>(design, rows, cols, beta);
    ASSERT_TRUE(result) << cols;
    const auto& predictions = result.value();
    for (std::size_t i = 0; i < rows; ++i) {
      const T expected = dot<T>(std::span(design).subspan(i * cols, cols), beta);
      ASSERT_EQ(std::memcmp(&predictions[i], &expected, sizeof(T)), 0)
          << cols << " " << i << " " << predictions[i] << " " << expected;
    }
  }
}

// One non-finite value anywhere, in any block of a sequential or parallel design, fails the whole
// call: the products already formed for other blocks are never returned.
TYPED_TEST(Prediction, OneNonFiniteValueInAnyBlockFailsTheCall) {
  using T = TypeParam;
  const auto non_finite =
      NativeError::invalid_batch("prediction input must contain only finite values");
  for (const auto& [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{3000, 7},
                                   std::pair<std::uint64_t, std::uint64_t>{999, 29},
                                   std::pair<std::uint64_t, std::uint64_t>{100000, 20}}) {
    std::vector<T> design(rows * cols, T(1)), beta(cols, T(0.5));
    const std::size_t last = design.size() - 1;
    for (const std::size_t at : {std::size_t{0}, std::size_t{PREDICT_BLOCK_ELEMENTS - 1},
                                 std::size_t{PREDICT_BLOCK_ELEMENTS}, last / 2, last}) {
      for (const T bad :
           {std::numeric_limits<T>::quiet_NaN(), -std::numeric_limits<T>::infinity()}) {
        design[at] = bad;
        EXPECT_EQ(predict_rows<T>(design, rows, cols, beta).error(), non_finite)
            << rows << " " << at;
        design[at] = T(1);
      }
    }
    EXPECT_TRUE(predict_rows<T>(design, rows, cols, beta));
  }
}

// Finite values whose products overflow are no error: their prediction is infinite.
TYPED_TEST(Prediction, AnOverflowingRowOfFiniteValuesIsPredicted) {
  using T = TypeParam;
  const T huge = std::numeric_limits<T>::max() / T(4);
  const std::vector<T> design = {1, 2, huge, huge, 3, 4}, beta = {T(8), T(1)};
  auto result = predict_rows<T>(design, 3, 2, beta);
  ASSERT_TRUE(result);
  EXPECT_EQ(result.value()[0], T(10));
  EXPECT_EQ(result.value()[1], std::numeric_limits<T>::infinity());
  EXPECT_EQ(result.value()[2], T(28));
}

}  // namespace
}  // namespace quillfen

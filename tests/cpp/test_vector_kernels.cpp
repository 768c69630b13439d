#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "batch_fixture.hpp"
#include "kernels/objective/objective.hpp"
#include "kernels/vector/vector_kernels.hpp"

namespace quillfen {
namespace {

template <class T>
class VectorKernels : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(VectorKernels, ElementTypes);

TEST(Dot, LanesAreCombinedInTheirFixedGrouping) {
  const std::vector<double> a = {1e16, 1, -1e16, 1, 0, 0, 0, 0};
  const std::vector<double> ones(8, 1.0);
  // Lanes 0 and 2 cancel before lanes 1 and 3 are added; left to right would lose one 1.
  EXPECT_EQ(dot<double>(a, ones), 2.0);
}

TEST(Dot, UsesTheShorterLengthAndStartsFromPositiveZero) {
  const std::vector<double> empty, five = {-1, 2, 3, 4, 5}, three = {-0.0, 1, 1};
  EXPECT_TRUE(std::signbit(dot<double>(empty, empty)) == false);
  EXPECT_EQ(dot<double>(empty, five), 0.0);
  EXPECT_EQ(dot<double>(three, five), 5.0);
}

// Values spanning many magnitudes, so that any other grouping changes the last bits.
std::vector<double> spread(std::size_t length, double scale) {
  std::vector<double> values(length);
  for (std::size_t i = 0; i < length; ++i)
    values[i] = scale * (i % 2 ? -1.0 : 1.0) * std::ldexp(1.0 + 0.1 * i, int(i * 7 % 23));
  return values;
}

TEST(Dot, GroupingForLengthsAroundOneBlock) {
  for (std::size_t length : {7u, 8u, 9u, 16u}) {
    SCOPED_TRACE(length);
    const std::vector<double> a = spread(length, 1.0), b = spread(length, 0.37);
    std::vector<double> p(length);
    for (std::size_t i = 0; i < length; ++i) p[i] = a[i] * b[i];
    double expected = 0.0;
    if (length < 8) {
      for (double term : p) expected = expected + term;
    } else {
      double lane[8];
      for (int k = 0; k < 8; ++k) lane[k] = length == 16 ? p[k] + p[k + 8] : p[k];
      expected =
          ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
      if (length == 9) expected = expected + p[8];
    }
    EXPECT_EQ(dot<double>(a, b), expected);
  }
}

// The same rows give the same bits whether the batch is small enough for the calling thread
// (999,999 elements) or large enough to be split over the pool.
TYPED_TEST(VectorKernels, RowKernelsMatchAcrossTheParallelThreshold) {
  using T = TypeParam;
  constexpr std::uint64_t cols = 9, small_rows = 111'111;  // 999,999 elements
  const auto big = testing::random_batch<T>(small_rows + 1, cols, 7);
  const std::span<const T> small_design(big.x.data(), small_rows * cols);
  std::vector<T> beta(cols);
  for (std::size_t j = 0; j < cols; ++j) beta[j] = T(0.3) * T(j) - T(1.1);

  std::vector<T> sequential(small_rows), parallel(small_rows + 1);
  compute_residuals<T>(small_design, cols, std::span<const T>(big.y).first(small_rows), beta,
                       sequential, small_rows);
  compute_residuals<T>(big.x, cols, big.y, beta, parallel, small_rows + 1);
  EXPECT_TRUE(std::equal(sequential.begin(), sequential.end(), parallel.begin()));

  row_products<T>(small_design, cols, beta, sequential, small_rows);
  row_products<T>(big.x, cols, beta, parallel, small_rows + 1);
  EXPECT_TRUE(std::equal(sequential.begin(), sequential.end(), parallel.begin()));
  EXPECT_EQ(parallel.back(), dot<T>(std::span<const T>(big.x).last(cols), beta));
}

// The encoding of a value, so that equal-comparing values with other bits (±0) are told apart.
template <class T>
auto bits_of(T value) {
  if constexpr (sizeof(T) == 8) {
    return std::bit_cast<std::uint64_t>(value);
  } else {
    return std::bit_cast<std::uint32_t>(value);
  }
}

// Rows are taken several at a time; each residual must still be y − dot(row) to the bit, for
// widths around the eight-lane blocks and row counts around the group size.
TYPED_TEST(VectorKernels, ResidualsEqualOneDotPerRow) {
  using T = TypeParam;
  for (std::uint64_t cols : {1u, 3u, 7u, 8u, 9u, 10u, 16u, 17u, 33u}) {
    for (std::uint64_t rows : {1u, 3u, 4u, 5u, 9u}) {
      SCOPED_TRACE(::testing::Message() << rows << " x " << cols);
      const std::vector<double> x = spread(rows * cols, 1.0), beta64 = spread(cols, 0.37);
      const std::vector<double> y64 = spread(rows, 3.1);
      const std::vector<T> design(x.begin(), x.end()), beta(beta64.begin(), beta64.end()),
          y(y64.begin(), y64.end());
      std::vector<T> residuals(rows);
      compute_residuals<T>(design, cols, y, beta, residuals, rows);
      for (std::uint64_t i = 0; i < rows; ++i) {
        const T expected = y[i] - dot<T>(std::span<const T>(design).subspan(i * cols, cols), beta);
        EXPECT_EQ(bits_of(residuals[i]), bits_of(expected)) << "row " << i;
      }
    }
  }
}

// The objective's pass has its own copies of the grouped products for narrow widths. Each residual
// it leaves must still be y − dot(row) to the bit, as restoring the residuals gives them, and the
// (weighted) losses must be summed one by one in row order in double.
TYPED_TEST(VectorKernels, ObjectivePassGivesOneDotPerRowAndSumsLossesInOrder) {
  using T = TypeParam;
  const T tau = T(1.345);
  for (std::uint64_t cols = 1; cols <= 19; ++cols) {
    for (std::uint64_t rows : {3u, 9u, 41u}) {
      SCOPED_TRACE(::testing::Message() << rows << " x " << cols);
      const std::vector<double> x = spread(rows * cols, 1e-3), beta64 = spread(cols, 0.37);
      const std::vector<double> y64 = spread(rows, 3e-3), w64 = spread(rows, 0.2);
      const std::vector<T> design(x.begin(), x.end()), beta(beta64.begin(), beta64.end()),
          y(y64.begin(), y64.end());
      std::vector<T> weights(rows);
      for (std::uint64_t i = 0; i < rows; ++i) weights[i] = T(std::fabs(w64[i]));
      BatchView<T> batch{design, y, rows, cols, std::nullopt, 1.0};
      if (cols % 2 == 1) batch.sample_weight = std::span<const T>(weights);
      std::vector<T> residuals(rows);
      const double loss = detail::residuals_and_loss<T, HuberLoss>(batch, beta, residuals, tau);
      double expected_loss = 0.0;
      for (std::uint64_t i = 0; i < rows; ++i) {
        const T expected = y[i] - dot<T>(std::span<const T>(design).subspan(i * cols, cols), beta);
        EXPECT_EQ(bits_of(residuals[i]), bits_of(expected)) << "row " << i;
        const T row_loss = huber_loss(expected, tau);
        expected_loss = expected_loss + double(cols % 2 == 1 ? weights[i] * row_loss : row_loss);
      }
      EXPECT_EQ(loss, expected_loss);
    }
  }
}

// Rows whose every product is −0 (or +0): `dot` gives +0, which a target of −0 turns into the
// residual −0 − (+0) = −0. Grouped rows must keep both signs, whole blocks of eight or not.
TYPED_TEST(VectorKernels, ZeroProductsKeepTheSignsOfDot) {
  using T = TypeParam;
  for (std::uint64_t cols : {3u, 8u, 10u, 13u, 16u, 19u}) {
    SCOPED_TRACE(::testing::Message() << cols << " columns");
    constexpr std::uint64_t rows = 16;
    std::vector<T> design(rows * cols), beta(cols), y(rows, T(-0.0));
    for (std::uint64_t j = 0; j < cols; ++j) beta[j] = j % 3 == 0 ? T(-0.0) : T(1.5);
    for (std::uint64_t k = 0; k < design.size(); ++k) {
      const std::uint64_t j = k % cols;
      design[k] = beta[j] == T(0) ? T(2) : (k / cols % 2 ? T(-0.0) : T(0));
    }
    std::vector<T> residuals(rows), products(rows), objective_residuals(rows);
    compute_residuals<T>(design, cols, y, beta, residuals, rows);
    ASSERT_TRUE(checked_row_products<T>(design, cols, beta, products, rows));
    const BatchView<T> batch{design, y, rows, cols, std::nullopt, 1.0};
    detail::residuals_and_loss<T, HuberLoss>(batch, beta, objective_residuals, T(1));
    for (std::uint64_t i = 0; i < rows; ++i) {
      const T expected = dot<T>(std::span<const T>(design).subspan(i * cols, cols), beta);
      EXPECT_EQ(bits_of(products[i]), bits_of(expected)) << "row " << i;
      EXPECT_EQ(bits_of(residuals[i]), bits_of(T(y[i] - expected))) << "row " << i;
      EXPECT_EQ(bits_of(objective_residuals[i]), bits_of(T(y[i] - expected))) << "row " << i;
    }
  }
}

}  // namespace
}  // namespace quillfen

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "batch_fixture.hpp"
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

}  // namespace
}  // namespace quillfen

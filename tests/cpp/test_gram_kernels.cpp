#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "batch_fixture.hpp"
#include "engine/workspace.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/gram/newton_system.hpp"

namespace quillfen {
namespace {

using testing::OwnedBatch;
using testing::random_batch;

template <class T>
class GramKernels : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GramKernels, ElementTypes);

const std::string kBatch = "invalid native batch: ";

// Σ w_i s_i x_i x_iᵀ summed naively in double, for comparison with the blocked product.
template <class T>
std::vector<double> naive_gram(const OwnedBatch<T>& batch, const std::vector<T>& w) {
  const std::size_t p = batch.cols;
  std::vector<double> g(p * p, 0.0);
  for (std::size_t i = 0; i < batch.rows; ++i) {
    const double c = double(w[i]) * (batch.weights.empty() ? 1.0 : double(batch.weights[i]));
    for (std::size_t u = 0; u < p; ++u)
      for (std::size_t v = 0; v < p; ++v)
        g[u * p + v] += double(batch.x[i * p + u]) * c * double(batch.x[i * p + v]);
  }
  return g;
}

template <class T>
void expect_close(const std::vector<T>& actual, const std::vector<double>& expected, double rel) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t k = 0; k < actual.size(); ++k) {
    EXPECT_NEAR(double(actual[k]), expected[k], rel * (1.0 + std::fabs(expected[k]))) << k;
  }
}

TYPED_TEST(GramKernels, SmallExamples) {
  using T = TypeParam;
  OwnedBatch<T> one{{T(2)}, {T(0)}, {}, 1, 1};
  std::vector<T> scratch(1), out(1, T(-7));
  ASSERT_FALSE(weighted_gram<T>(one.view(), std::vector<T>{T(0.5)}, scratch, {}, out));
  EXPECT_EQ(out[0], T(2));

  // Row weight is w·s: the second row's zero sample weight removes it.
  OwnedBatch<T> two{{T(1), T(1), T(3), T(5)}, {T(0), T(0)}, {T(2), T(0)}, 2, 2};
  std::vector<T> scratch2(4), out2(4);
  ASSERT_FALSE(weighted_gram<T>(two.view(), std::vector<T>{T(1), T(1)}, scratch2, {}, out2));
  EXPECT_EQ(out2, (std::vector<T>{T(2), T(2), T(2), T(2)}));
}

TYPED_TEST(GramKernels, RowsBeyondOneBlockAccumulate) {
  using T = TypeParam;
  const auto batch = random_batch<T>(300, 5, 3);
  std::vector<T> w(300);
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = T(0.25 + (i % 4) * 0.25);
  std::vector<T> scratch(256 * 5), out(25, std::numeric_limits<T>::quiet_NaN());
  ASSERT_FALSE(weighted_gram<T>(batch.view(), w, scratch, {}, out));
  expect_close(out, naive_gram(batch, w), sizeof(T) == 4 ? 1e-4 : 1e-12);
}

// Narrow designs take the register-blocked product, wider ones the library's; widths on both
// sides of the switch, with tiles of every remainder height, rows spanning several blocks, and
// with and without sample weights.
TYPED_TEST(GramKernels, EveryWidthMatchesTheNaiveSum) {
  using T = TypeParam;
  const std::size_t widest_small = SMALL_GRAM_MAX_ROW_BYTES / sizeof(T);
  for (std::size_t p = 1; p <= widest_small + 2; p += (p < 13 ? 1 : 5)) {
    for (std::uint64_t rows : {1u, 7u, 600u}) {
      auto batch = random_batch<T>(rows, p, 100 * p + rows);
      std::vector<T> w(rows);
      for (std::size_t i = 0; i < rows; ++i) w[i] = T(0.25 + (i % 3) * 0.5);
      for (bool with_sample_weights : {false, true}) {
        batch.weights.assign(with_sample_weights ? rows : 0, T(1.5));
        std::vector<T> scratch(256 * p), out(p * p, std::numeric_limits<T>::quiet_NaN());
        ASSERT_FALSE(weighted_gram<T>(batch.view(), w, scratch, {}, out));
        SCOPED_TRACE(::testing::Message() << "p " << p << " rows " << rows);
        expect_close(out, naive_gram(batch, w), sizeof(T) == 4 ? 1e-4 : 1e-12);
      }
    }
  }
}

// However the narrow product spreads the elements over vector lanes, each element is its own sum
// in row order of x_iu·(c_i·x_iv); built without FMA, as here, every bit is fixed by that. Rows of
// zero weight (+0 or −0 curvature, or a zero sample weight) are left out of the product, which
// must not change a bit either, also where the design holds −0.
TYPED_TEST(GramKernels, NarrowProductSumsEachElementInRowOrder) {
  using T = TypeParam;
  const std::size_t widest_small = SMALL_GRAM_MAX_ROW_BYTES / sizeof(T);
  for (std::size_t p = 1; p <= widest_small; ++p) {
    SCOPED_TRACE(::testing::Message() << "p " << p);
    constexpr std::uint64_t rows = 300;  // two blocks
    auto batch = random_batch<T>(rows, p, 7 * p);
    batch.weights.assign(rows, T(0));
    std::vector<T> w(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      w[i] = i % 4 == 1 ? T(0) : i % 9 == 2 ? -T(0) : T(0.3) + T(i % 5) * T(0.17);
      batch.weights[i] = i % 7 == 3 ? T(0) : T(1) + T(i % 3);
      if (i % 11 == 5) batch.x[i * p + i % p] = -T(0);
    }
    std::vector<T> scratch(256 * p), out(p * p);
    ASSERT_FALSE(weighted_gram<T>(batch.view(), w, scratch, {}, out));
    for (std::size_t u = 0; u < p; ++u) {
      for (std::size_t v = 0; v < p; ++v) {
        T sum = T(0);
        for (std::size_t i = 0; i < rows; ++i) {
          const T weighted = batch.x[i * p + v] * (w[i] * batch.weights[i]);
          sum = batch.x[i * p + u] * weighted + sum;
        }
        ASSERT_EQ(out[u * p + v], sum) << u << ", " << v;
      }
    }
  }
}

// The last rows' vectors would reach past the design; they must be read through a padded copy.
// The design ends exactly at an inaccessible page, so any read beyond it faults.
TYPED_TEST(GramKernels, NarrowProductNeverReadsPastTheDesign) {
  using T = TypeParam;
  const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(pages) + page, page, PROT_NONE), 0);
  for (std::uint64_t p : {3u, 10u, 13u}) {
    const std::uint64_t rows = 5;
    const auto batch = random_batch<T>(rows, p, p);
    T* design = reinterpret_cast<T*>(static_cast<char*>(pages) + page) - rows * p;
    std::copy(batch.x.begin(), batch.x.end(), design);
    BatchView<T> view = batch.view();
    view.x_design = std::span<const T>(design, rows * p);
    const std::vector<T> w(rows, T(1));
    std::vector<T> scratch(rows * p), out(p * p);
    ASSERT_FALSE(weighted_gram<T>(view, w, scratch, {}, out));
    expect_close(out, naive_gram(batch, w), sizeof(T) == 4 ? 1e-5 : 1e-13);
  }
  munmap(pages, 2 * page);
}

TYPED_TEST(GramKernels, ShapeFailuresLeaveTheOutputUntouched) {
  using T = TypeParam;
  const auto batch = random_batch<T>(3, 4, 5);
  const std::vector<T> w(3, T(1));
  std::vector<T> short_scratch(3), out(16, T(9));
  auto failure = weighted_gram_rows<T>(batch.view(), w, 0, 3, short_scratch, out);
  ASSERT_TRUE(failure);
  EXPECT_EQ(display(*failure), kBatch + "weighted row scratch is smaller than one row");
  EXPECT_EQ(out, std::vector<T>(16, T(9)));
  // An empty range needs no scratch and zero-fills.
  EXPECT_FALSE(weighted_gram_rows<T>(batch.view(), w, 2, 2, short_scratch, out));
  EXPECT_EQ(out, std::vector<T>(16, T(0)));

  std::vector<T> scratch(12), too_long(17, T(9));
  failure = weighted_gram<T>(batch.view(), w, scratch, {}, too_long);
  ASSERT_TRUE(failure);
  EXPECT_EQ(display(*failure), kBatch + "GEMM buffers do not match the declared matrix shapes");
  EXPECT_EQ(too_long, std::vector<T>(17, T(9)));
}

TEST(GemmAtB, OverwriteNeverReadsTheOutput) {
  const std::vector<double> a = {1, 2, 3, 4}, v = {1, 0, 0, 1};
  std::vector<double> c(4, std::numeric_limits<double>::quiet_NaN());
  ASSERT_FALSE(gemm_at_b<double>(a, v, 2, 2, c, false));
  EXPECT_EQ(c, (std::vector<double>{1, 3, 2, 4}));
  ASSERT_FALSE(gemm_at_b<double>(a, v, 2, 2, c, true));
  EXPECT_EQ(c, (std::vector<double>{2, 6, 4, 8}));
}

// Four slots for five rows: ranges [0,2), [2,4), [4,5) and an empty one whose slot must still be
// zero-filled; the output is the slots' sum.
TEST(WeightedGram, PartialSlotsCoverRowRangesIncludingAnEmptyOne) {
  constexpr std::uint64_t rows = 5, cols = 1789;  // rows · cols² ≥ 16,000,000
  const auto batch = random_batch<double>(rows, cols, 11);
  const std::vector<double> w = {1, 0.5, 2, 1, 0.25};
  std::vector<double> scratch(4 * cols), partials(4 * cols * cols, std::nan("")), out(cols * cols);
  ASSERT_FALSE(weighted_gram<double>(batch.view(), w, scratch, partials, out));
  const std::span<const double> slots(partials);
  const auto last = slots.subspan(3 * cols * cols, cols * cols);
  EXPECT_TRUE(std::all_of(last.begin(), last.end(), [](double v) { return v == 0.0; }));
  for (std::size_t e : {std::size_t{0}, cols + 3, cols * cols - 1}) {
    EXPECT_EQ(out[e], ((slots[e] + slots[e + cols * cols]) + slots[e + 2 * cols * cols]) + 0.0);
  }
  std::vector<double> sequential(cols * cols);
  ASSERT_FALSE(weighted_gram<double>(batch.view(), w, scratch, {}, sequential));
  for (std::size_t e = 0; e < out.size(); e += 997) EXPECT_NEAR(out[e], sequential[e], 1e-12);

  std::vector<double> small_scratch(4 * cols - 1);
  const auto failure = weighted_gram<double>(batch.view(), w, small_scratch, partials, out);
  ASSERT_TRUE(failure);
  EXPECT_EQ(display(*failure),
            kBatch + "weighted row scratch is smaller than one row per Gram worker");
}

TYPED_TEST(GramKernels, CurvatureWeightsTrapezoid) {
  using T = TypeParam;
  const std::vector<T> residuals = {
      -2, -1.5, -0.75, 0, 1, 1.25, 1.5, 2, std::numeric_limits<T>::quiet_NaN()};
  std::vector<T> out(residuals.size());
  curvature_weights<T>(residuals, out, 1.0, 0.5);
  EXPECT_EQ(out, (std::vector<T>{0, 0, 0.75, 1, 0.5, 0.25, 0, 0, 0}));
}

// Above the row threshold narrow designs (and every l1 call) use per-chunk partial vectors,
// while wide ones are split by columns and reproduce the sequential sums exactly.
TYPED_TEST(GramKernels, TransposedProductPathFollowsTheWidth) {
  using T = TypeParam;
  constexpr std::uint64_t narrow = sizeof(T) == 8 ? 64 : 128;
  for (std::uint64_t cols : {narrow, narrow + 1}) {
    for (bool l1 : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "cols " << cols << " l1 " << l1);
      const std::uint64_t rows = SEQUENTIAL_MAX_ELEMENTS / cols + 1;
      const auto batch = random_batch<T>(rows, cols, cols);
      std::vector<T> psi(rows);
      for (std::size_t i = 0; i < rows; ++i) psi[i] = T(std::sin(double(i)));
      std::vector<T> partials(2 * cols, std::numeric_limits<T>::quiet_NaN());
      std::vector<T> out(cols), expected(cols, T(0));
      std::vector<double> magnitude(cols, 0.0);
      transposed_product<T>(batch.view(), psi, partials, l1, out);
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
          expected[j] = batch.x[i * cols + j] * psi[i] + expected[j];
          magnitude[j] += std::fabs(double(batch.x[i * cols + j]) * double(psi[i]));
        }
      }
      const bool chunked = cols == narrow || l1;
      EXPECT_EQ(std::isnan(partials[0]), !chunked);
      if (!chunked) {
        EXPECT_EQ(out, expected);
      }
      const double rounding = sizeof(T) == 4 ? 1e-5 : 1e-13;
      for (std::size_t j = 0; j < cols; ++j) {
        EXPECT_NEAR(out[j], expected[j], rounding * magnitude[j]);
      }
      // A one-worker pool leaves room for a single row chunk: the same sums as in row order.
      std::vector<T> single(cols);
      transposed_product<T>(batch.view(), psi, std::span<T>(partials).first(cols), l1, single);
      EXPECT_EQ(single, expected);
    }
  }
}

TEST(CombinedGradient, PreviousPenaltyTermSkipsTheIntercept) {
  auto state = testing::fresh_state<double>(3, true);
  state.coefficients = {0.5, -2, 7};
  state.previous_lambda = 1;
  state.weight_sum = 2;
  state.n_samples_seen = 10;
  OwnedBatch<double> batch{{0, 0, 0}, {0}, {}, 1, 3};
  Workspace<double> workspace;
  ASSERT_FALSE(prepare_workspace(workspace, 1, 3));
  combined_gradient<double, L1Penalty>(batch.view(), state.coefficients, state, workspace, 4.0);
  EXPECT_EQ(workspace.gradient, (AlignedVector<double>{-0.5, 0.5, 0}));
  state.n_samples_seen = 0;  // a fresh summary carries no previous penalty
  combined_gradient<double, L1Penalty>(batch.view(), state.coefficients, state, workspace, 4.0);
  EXPECT_EQ(workspace.gradient, (AlignedVector<double>{0, 0, 0}));
}

TEST(NewtonSystem, RidgeOnEveryDiagonalEntryAndClippedPsi) {
  auto state = testing::fresh_state<double>(2, true);
  state.information = {1, 2, 2, 5};
  OwnedBatch<double> batch{{1, 1, 2, 1, -3, 1}, {1, 4, -3}, {}, 3, 2};
  UpdateConfig config{.tau = 2, .ridge = 0.1};
  Workspace<double> workspace;
  ASSERT_FALSE(prepare_workspace(workspace, 3, 2));
  workspace.residuals = {2, 4, -6};  // τ, 2τ, −3τ
  ASSERT_FALSE((newton_system<double, HuberLoss, NoPenalty>(batch.view(), state.coefficients, state,
                                                            config, workspace, 0.5, 2.0)));
  EXPECT_EQ(workspace.psi, (AlignedVector<double>{2, 2, -2}));
  // Only the first residual is on the trapezoid's ramp: weight 0.5 − 0/1.
  EXPECT_EQ(workspace.curvature_weights, (AlignedVector<double>{0.5, 0, 0}));
  EXPECT_EQ(workspace.system_matrix, (AlignedVector<double>{(0.5 + 1) / 2 + 0.1, (0.5 + 2) / 2,
                                                            (0.5 + 2) / 2, (0.5 + 5) / 2 + 0.1}));
  // Gradient −Xᵀψ/W with the zero shift: −(2 + 4 + 6, 2 + 2 − 2)/2.
  EXPECT_EQ(workspace.gradient, (AlignedVector<double>{-6, -1}));
}

}  // namespace
}  // namespace quillfen

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "batch_fixture.hpp"
#include "engine/workspace.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/gram/small_gram.hpp"
#include "kernels/simd/dispatch.hpp"

namespace quillfen {
namespace {

using simd::KernelSet;
using simd::KernelTable;
using testing::OwnedBatch;

// What one target's kernels make of the same inputs: every output that must not depend on the
// target, and the Gram product (and the Newton system built on it), which may.
template <class T>
struct KernelOutputs {
  std::vector<T> exact;
  std::vector<T> gram;
};

template <class T>
void append(std::vector<T>& to, std::span<const T> values) {
  to.insert(to.end(), values.begin(), values.end());
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// Runs every kernel of the Huber set of `table`, with the l1 penalty or none, over `batch`, from a
// summary with earlier samples so that the information, shift and previous-penalty terms all take
// part.
template <class T>
KernelOutputs<T> run_kernels(const KernelTable& table, const OwnedBatch<T>& owned, bool l1) {
  const KernelSet<T>& kernels = l1 ? simd::kernel_set<T, HuberLoss, L1Penalty>(table)
                                   : simd::kernel_set<T, HuberLoss, NoPenalty>(table);
  const BatchView<T> batch = owned.view();
  const std::uint64_t n = batch.rows;
  const std::uint64_t p = batch.cols;
  EngineState<T> state = testing::fresh_state<T>(p, true);
  for (std::uint64_t j = 0; j < p; ++j) {
    state.coefficients[j] = T(0.3 * std::cos(double(j)));
    for (std::uint64_t k = 0; k < p; ++k) {
      state.information[j * p + k] = T(j == k ? 50.0 : 1.0 / double(1 + j + k));
    }
  }
  state.n_samples_seen = 100;
  state.batch_count = 1;
  state.weight_sum = 100.0;
  state.previous_lambda = 0.05;
  UpdateConfig config{.tau = 1.345, .ridge = 1e-8, .penalty = l1 ? Penalty::L1 : Penalty::None};
  const double combined_weight = state.weight_sum + batch.batch_weight;

  Workspace<T> workspace;
  EXPECT_FALSE(prepare_workspace(workspace, n, p));
  std::vector<T> beta(p);
  for (std::uint64_t j = 0; j < p; ++j) beta[j] = T(0.5 - 0.1 * double(j % 7));

  KernelOutputs<T> out;
  const T dot = kernels.dot(owned.x, owned.y);
  out.exact.push_back(dot);
  std::vector<T> holed = owned.x;  // one NaN, deep in the last whole block of the finite scan
  holed[holed.size() - holed.size() % 64 - 3] = std::numeric_limits<T>::quiet_NaN();
  out.exact.push_back(T(kernels.all_finite(owned.x)));
  out.exact.push_back(T(kernels.all_finite(holed)));
  out.exact.push_back(
      T(kernels.combined_objective(batch, beta, state, config, workspace, combined_weight)));
  append<T>(out.exact, workspace.residuals);
  append<T>(out.exact, workspace.shift);

  std::vector<T> residuals(n), products(n);
  kernels.compute_residuals(owned.x, p, owned.y, beta, residuals, n);
  kernels.row_products(owned.x, p, beta, products, n);
  append<T>(out.exact, residuals);
  append<T>(out.exact, products);
  // The checked products are the plain ones, row for row, on every target.
  std::vector<T> checked(n);
  EXPECT_TRUE(kernels.checked_row_products(owned.x, p, beta, checked, n));
  EXPECT_TRUE(same_bits(checked, products));
  append<T>(out.exact, checked);

  kernels.compute_psi(batch, workspace.residuals, workspace.psi, config.tau);
  kernels.curvature_weights(workspace.residuals, workspace.curvature_weights, config.tau, 0.2);
  kernels.combined_gradient(batch, beta, state, workspace, combined_weight);
  append<T>(out.exact, workspace.psi);
  append<T>(out.exact, workspace.curvature_weights);
  append<T>(out.exact, workspace.gradient);

  EXPECT_FALSE(kernels.newton_system(batch, beta, state, config, workspace, 0.2, combined_weight));
  append<T>(out.exact, workspace.gradient);
  append<T>(out.gram, workspace.system_matrix);
  EXPECT_FALSE(kernels.weighted_gram(batch, workspace.curvature_weights, workspace.weighted_rows,
                                     workspace.gram_partials, workspace.gram_output));
  append<T>(out.gram, workspace.gram_output);
  return out;
}

// Narrow and wide designs, below and above the row threshold, with and without sample weights.
template <class T>
std::vector<OwnedBatch<T>> stream() {
  std::vector<OwnedBatch<T>> batches;
  const std::uint64_t shapes[][2] = {{37, 3}, {1000, 10}, {60000, 20}, {7000, 150}, {300, 29}};
  std::uint64_t seed = 1;
  for (const auto& [rows, cols] : shapes) {
    OwnedBatch<T> batch = testing::random_batch<T>(rows, cols, seed++);
    for (std::uint64_t i = 0; i < rows; i += 17) batch.y[i] = T(8.0 * std::sin(double(i)));
    if (seed % 2 == 0) {
      batch.weights.resize(rows);
      for (std::uint64_t i = 0; i < rows; ++i) batch.weights[i] = T(0.5 + double(i % 5) / 4);
    }
    batches.push_back(std::move(batch));
  }
  return batches;
}

template <class T>
class KernelTargets : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(KernelTargets, ElementTypes);

// Every target this CPU runs gives the baseline's bits, except in the matrix product, which may
// fuse multiply and add and group its sums by vector width.
TYPED_TEST(KernelTargets, EveryTargetGivesTheBaselineBitsOutsideTheMatrixProduct) {
  using T = TypeParam;
  const auto tables = simd::runnable_kernel_tables();
  ASSERT_FALSE(tables.empty());
  if (tables.size() == 1) GTEST_SKIP() << "only " << tables[0]->target << " runs here";
  const double gram_tolerance = sizeof(T) == 4 ? 1e-4 : 1e-11;
  for (const OwnedBatch<T>& batch : stream<T>()) {
    for (bool l1 : {false, true}) {
      const KernelOutputs<T> baseline = run_kernels(*tables[0], batch, l1);
      for (const KernelTable* table : tables.subspan(1)) {
        SCOPED_TRACE(::testing::Message() << table->target << " rows " << batch.rows << " cols "
                                          << batch.cols << " l1 " << l1);
        const KernelOutputs<T> other = run_kernels(*table, batch, l1);
        EXPECT_TRUE(same_bits(other.exact, baseline.exact));
        ASSERT_EQ(other.gram.size(), baseline.gram.size());
        for (std::size_t k = 0; k < baseline.gram.size(); ++k) {
          const double scale = std::max(1.0, std::fabs(double(baseline.gram[k])));
          EXPECT_NEAR(other.gram[k], baseline.gram[k], gram_tolerance * scale) << k;
        }
      }
    }
  }
}

// Targets that fuse multiply and add form each element of the narrow product as the same fused
// sum in row order, however their tiles spread the elements over registers and however they list
// the rows of nonzero weight (signed zeros among the weights and the sample weights).
TYPED_TEST(KernelTargets, FusingTargetsGiveTheSameNarrowProduct) {
  using T = TypeParam;
  std::vector<const KernelTable*> fusing;
  for (const KernelTable* table : simd::runnable_kernel_tables()) {
    if (std::string(table->target) != "x86-64-v2") fusing.push_back(table);
  }
  if (fusing.size() < 2) GTEST_SKIP() << "fewer than two fusing targets run here";
  const std::size_t widest_small = SMALL_GRAM_MAX_ROW_BYTES / sizeof(T);
  for (std::uint64_t p = 1; p <= widest_small; ++p) {
    OwnedBatch<T> owned = testing::random_batch<T>(700, p, 100 + p);  // three row blocks
    std::vector<T> weights(owned.rows);
    for (std::size_t i = 0; i < weights.size(); ++i) {
      weights[i] = i % 5 == 1 ? T(0) : i % 9 == 2 ? -T(0) : T(0.2 + double(i % 7) / 5);
    }
    if (p % 2 == 0) {
      owned.weights.resize(owned.rows);
      for (std::size_t i = 0; i < owned.rows; ++i) owned.weights[i] = T(i % 3);
    }
    std::vector<T> baseline;
    for (const KernelTable* table : fusing) {
      SCOPED_TRACE(::testing::Message() << table->target << " cols " << p);
      std::vector<T> scratch(256 * p), out(p * p);
      ASSERT_FALSE(
          simd::kernel_set<T>(*table).weighted_gram(owned.view(), weights, scratch, {}, out));
      if (baseline.empty()) baseline = out;
      EXPECT_TRUE(same_bits(out, baseline));
    }
  }
}

// The smoothed curvature as a chain of branches, the first test that holds deciding.
template <class T>
T curvature_by_branches(T r, double tau, double h) {
  const T limit = T(tau);
  const T c = T(std::min(h, double(limit)));
  if (r < -limit - c) return T(0);
  if (r <= c - limit) return (limit + r) / (c + c) + T(0.5);
  if (r < limit - c) return T(1);
  if (r <= limit + c) return T(0.5) - (r - limit) / (c + c);
  return T(0);  // and NaN
}

// Each target forms the curvature weights a vector of residuals at a time; each lane, and the
// residuals after the last whole vector, get exactly what the chain of branches gives, at the
// ramps' ends, just beside them, and for signed zeros, infinities and NaN.
TYPED_TEST(KernelTargets, CurvatureWeightsFollowTheChainOfBranchesInEveryLane) {
  using T = TypeParam;
  const T inf = std::numeric_limits<T>::infinity();
  for (const auto& [tau, h] : {std::pair{1.0, 0.5}, std::pair{1.345, 0.01}, std::pair{0.5, 2.0}}) {
    const T limit = T(tau);
    const T c = T(std::min(h, tau));
    std::vector<T> special = {T(0), -T(0), inf, -inf, std::numeric_limits<T>::quiet_NaN()};
    for (const T edge : {-limit - c, c - limit, limit - c, limit + c, limit, -limit}) {
      special.insert(special.end(),
                     {edge, std::nextafter(edge, -inf), std::nextafter(edge, inf), -edge});
    }
    // Every special value once in every lane position of a 64-byte vector, and in the tail.
    const std::size_t lanes = 64 / sizeof(T);
    std::vector<T> residuals;
    for (std::size_t shift = 0; shift < lanes; ++shift) {
      residuals.insert(residuals.end(), shift, T(0.25));
      residuals.insert(residuals.end(), special.begin(), special.end());
    }
    std::vector<T> expected(residuals.size());
    for (std::size_t i = 0; i < residuals.size(); ++i) {
      expected[i] = curvature_by_branches(residuals[i], tau, h);
    }
    for (const KernelTable* table : simd::runnable_kernel_tables()) {
      SCOPED_TRACE(::testing::Message() << table->target << " tau " << tau << " h " << h);
      std::vector<T> out(residuals.size());
      simd::kernel_set<T>(*table).curvature_weights(residuals, out, tau, h);
      EXPECT_TRUE(same_bits(out, expected));
    }
  }
}

// The active table is one of the runnable ones, the best unless QUILLFEN_FORCE_TARGET names
// another.
TEST(KernelDispatch, ActiveTableIsRunnable) {
  const auto tables = simd::runnable_kernel_tables();
  const KernelTable& active = simd::active_kernels();
  const char* forced = std::getenv("QUILLFEN_FORCE_TARGET");
  const KernelTable* expected = tables.back();
  for (const KernelTable* table : tables) {
    if (forced != nullptr && std::string(forced) == table->target) expected = table;
  }
  EXPECT_EQ(&active, expected);
}

}  // namespace
}  // namespace quillfen

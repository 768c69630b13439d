#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include "batch_fixture.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/objective/objective.hpp"
#include "solver/solvers.hpp"

namespace quillfen {
namespace {

using testing::fresh_state;
using testing::OwnedBatch;
using testing::random_batch;

template <class T>
class Solvers : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(Solvers, ElementTypes);

template <class T>
Workspace<T> sized_workspace(const OwnedBatch<T>& batch) {
  Workspace<T> workspace;
  EXPECT_FALSE(prepare_workspace(workspace, batch.rows, batch.cols));
  return workspace;
}

// F of the Huber loss with the penalty of `config` at the stored coefficients, as the update hands
// it to a solver; leaves their residuals in the workspace.
template <class T>
double start_objective(Workspace<T>& workspace, const OwnedBatch<T>& batch,
                       const EngineState<T>& state, const UpdateConfig& config,
                       double combined_weight) {
  auto objective = config.penalty == Penalty::L1 ? &combined_objective<T, HuberLoss, L1Penalty>
                                                 : &combined_objective<T, HuberLoss, NoPenalty>;
  return objective(batch.view(), state.coefficients, state, config, workspace, combined_weight);
}

// ridge 0, no stored information and a residual far outside ±tau: every curvature weight is 0,
// so the system is all zeros and only the pseudo-inverse answers, with d = 0.
TYPED_TEST(Solvers, AllZeroSystemFallsBackAndConverges) {
  using T = TypeParam;
  OwnedBatch<T> batch{{T(1)}, {T(100)}, {}, 1, 1};
  const auto state = fresh_state<T>(1, false);
  const UpdateConfig config{.tau = 1, .max_iter = 10, .tol = 1e-6, .ridge = 0};
  auto workspace = sized_workspace(batch);
  const auto solved =
      solve_newton<T, HuberLoss>(workspace, batch.view(), state, config, 0.5, 1.0,
                                 start_objective(workspace, batch, state, config, 1.0));
  ASSERT_TRUE(solved);
  EXPECT_TRUE(solved.value().converged);
  EXPECT_TRUE(solved.value().used_regularized_fallback);
  EXPECT_EQ(solved.value().iterations, 1u);
  EXPECT_EQ(solved.value().coefficients[0], T(0));
}

template <class T>
std::vector<T> direction_of(std::vector<T> system, std::vector<T> gradient, bool& fallback) {
  std::vector<T> direction(gradient.size());
  const auto solved = solve_direction<T>(system, gradient, gradient.size(), direction);
  EXPECT_TRUE(solved);
  fallback = solved.value();
  return direction;
}

TYPED_TEST(Solvers, DirectionCascade) {
  using T = TypeParam;
  bool fallback = true;
  // Not symmetric: a Cholesky factor of the lower triangle would give (1.5, 1).
  EXPECT_EQ(direction_of<T>({2, 1, 0, 2}, {3, 2}, fallback), (std::vector<T>{1, 1}));
  EXPECT_FALSE(fallback);
  // Indefinite but regular: LU solves it without the fallback.
  EXPECT_EQ(direction_of<T>({1, 2, 2, 1}, {3, 3}, fallback), (std::vector<T>{1, 1}));
  EXPECT_FALSE(fallback);
  // Singular: the minimum-norm solution from the pseudo-inverse.
  const auto d = direction_of<T>({1, 1, 1, 1}, {2, 2}, fallback);
  EXPECT_TRUE(fallback);
  EXPECT_NEAR(d[0], 1.0, 1e-5);
  EXPECT_NEAR(d[1], 1.0, 1e-5);
}

// Singular systems of widths below and above 16: every third row and column is zero, so LU meets
// an exactly zero pivot and the pseudo-inverse gives the minimum-norm solution, the solution of
// the regular part (all ones here) with zeros in the unidentified directions.
TYPED_TEST(Solvers, PseudoInverseGivesTheMinimumNormSolutionAtEveryWidth) {
  using T = TypeParam;
  const double tolerance = std::is_same_v<T, float> ? 1e-3 : 1e-9;
  std::mt19937_64 engine(11);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (const std::size_t p : {5, 15, 16, 24, 41}) {
    const auto kept = [](std::size_t i) { return i % 3 != 1; };
    std::vector<T> system(p * p, T(0));
    std::vector<T> gradient(p, T(0));
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t j = 0; j <= i && kept(i); ++j) {
        if (!kept(j)) continue;
        // Diagonally dominant, so the regular part is well conditioned.
        const double value = i == j ? 4.0 + double(p) : uniform(engine);
        system[i * p + j] = system[j * p + i] = T(value);
      }
    }
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t j = 0; j < p; ++j) gradient[i] += system[i * p + j];
    }
    bool fallback = false;
    const auto d = direction_of<T>(system, gradient, fallback);
    EXPECT_TRUE(fallback) << p;
    for (std::size_t i = 0; i < p; ++i) {
      EXPECT_NEAR(double(d[i]), kept(i) ? 1.0 : 0.0, tolerance) << "p " << p << ", entry " << i;
    }
  }
}

// Directions of symmetric systems of every width up to past the written-out Cholesky stage's limit
// against Eigen's own LLT of the same system, bit for bit: rank-deficient and indefinite systems
// (which both refuse), exact zeros in the right-hand side (which the substitutions skip) and
// asymmetries below the symmetry test's bound. Eigen fuses no multiply-add and uses two-lane
// vectors only in a build for the baseline; a build for the building machine's CPU rounds
// differently, and there the test does not apply.
TEST(Solvers, CholeskyStageGivesEigensBits) {
#if defined(__FMA__) || defined(__AVX__)
  GTEST_SKIP() << "Eigen is built with wider vectors or fused multiply-add here";
#else
  using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic>;
  using Vector = Eigen::Matrix<double, Eigen::Dynamic, 1>;
  std::mt19937_64 engine(7);
  std::normal_distribution<double> normal;
  int solved = 0;
  int refused = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t p = 1 + trial % 40;
    const std::size_t rows = 1 + engine() % (p + 12);
    Matrix x(rows, p);
    for (Eigen::Index k = 0; k < x.size(); ++k) x.data()[k] = engine() % 6 ? normal(engine) : 0.0;
    Matrix a = x.transpose() * x / double(rows);
    a.diagonal().array() += trial % 7 == 0 ? -1e-3 : 1e-9;
    if (p > 1 && trial % 3 == 0) a(p - 1, 0) += 1e-17;
    std::vector<double> system(p * p), gradient(p), direction(p);
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t j = 0; j < p; ++j) system[i * p + j] = a(i, j);
      gradient[i] = engine() % 4 ? normal(engine) : 0.0;
    }
    const Eigen::LLT<Matrix> factor(a);
    const bool positive = factor.info() == Eigen::Success &&
                          (factor.matrixLLT().diagonal().array() > 0.0).all() &&
                          factor.matrixLLT().diagonal().allFinite();
    const auto result = solve_direction<double>(system, gradient, p, direction);
    ASSERT_TRUE(result);
    if (!positive) {
      ++refused;  // the cascade moved on to LU; nothing of Eigen's LLT to compare
      continue;
    }
    const Vector expected =
        factor.solve(Eigen::Map<const Vector>(gradient.data(), Eigen::Index(p)));
    ASSERT_TRUE(expected.allFinite());
    for (std::size_t j = 0; j < p; ++j) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(direction[j]),
                std::bit_cast<std::uint64_t>(expected(Eigen::Index(j))))
          << "p = " << p << ", trial " << trial << ", entry " << j;
    }
    ++solved;
  }
  EXPECT_GT(solved, 1500);
  EXPECT_GT(refused, 200);
#endif
}

// A negative ridge makes every Newton direction point uphill, so the first step search fails:
// the start point comes back with its own objective and residuals.
TEST(NewtonSolver, FailedStepSearchKeepsThePreviousIterate) {
  const auto batch = random_batch<double>(50, 2, 4);
  auto state = fresh_state<double>(2, false);
  state.coefficients = {0.3, -0.2};
  const UpdateConfig config{.tau = 100, .max_iter = 10, .tol = 1e-9, .ridge = -10};
  auto workspace = sized_workspace(batch);
  const auto solved =
      solve_newton<double, HuberLoss>(workspace, batch.view(), state, config, 0.5, 50.0,
                                      start_objective(workspace, batch, state, config, 50.0));
  ASSERT_TRUE(solved);
  EXPECT_EQ(solved.value().iterations, 1u);
  EXPECT_FALSE(solved.value().converged);
  EXPECT_EQ(solved.value().coefficients, state.coefficients);
  const AlignedVector<double> residuals_left = workspace.residuals;
  EXPECT_EQ(solved.value().objective, start_objective(workspace, batch, state, config, 50.0));
  EXPECT_EQ(residuals_left, workspace.residuals);
}

// One row x = 1, y = 1 from β = 0 with λ = 0: F = c·(1 − β)²/2 with c = 1/W, and a trial with
// estimate L is accepted exactly when L ≥ c, moving β by (c/L)(1 − β).
double proximal_result(double curvature, std::uint64_t iterations) {
  OwnedBatch<double> batch{{1}, {1}, {}, 1, 1};
  const auto state = fresh_state<double>(1, false);
  const UpdateConfig config{
      .tau = 1e6, .max_iter = iterations, .tol = 1e-300, .penalty = Penalty::L1};
  auto workspace = sized_workspace(batch);
  const auto solved = solve_proximal<double, HuberLoss, L1Penalty>(
      workspace, batch.view(), state, config, 0.0, 1.0 / curvature,
      start_objective(workspace, batch, state, config, 1.0 / curvature));
  EXPECT_TRUE(solved);
  EXPECT_EQ(solved.value().iterations, iterations);
  EXPECT_FALSE(solved.value().used_regularized_fallback);
  return solved.value().coefficients[0];
}

TEST(ProximalSolver, LipschitzEstimateCarriesOverHalvedAndDoubles) {
  // c = 0.3: L = 1 accepted, then 0.5 accepted, then 0.25 rejected and 0.5 accepted.
  EXPECT_NEAR(proximal_result(0.3, 3), 0.888, 1e-12);
  // c = 1e-10: every trial is accepted and L halves from 1 down to its floor 1e-8.
  double beta = 0.0, lipschitz = 1.0;
  for (int k = 0; k < 40; ++k) {
    beta += (1e-10 / lipschitz) * (1.0 - beta);
    lipschitz = std::max(0.5 * lipschitz, 1e-8);
  }
  EXPECT_NEAR(proximal_result(1e-10, 40), beta, 1e-9 * beta);
}

TYPED_TEST(Solvers, ProximalNeverThresholdsTheIntercept) {
  using T = TypeParam;
  const auto batch = random_batch<T>(40, 3, 9);
  const auto state = fresh_state<T>(3, true);
  const UpdateConfig config{.tau = 1.345, .max_iter = 100, .tol = 1e-7, .penalty = Penalty::L1};
  auto workspace = sized_workspace(batch);
  const auto solved = solve_proximal<T, HuberLoss, L1Penalty>(
      workspace, batch.view(), state, config, 100.0, 40.0,
      start_objective(workspace, batch, state, config, 40.0));
  ASSERT_TRUE(solved);
  EXPECT_EQ(solved.value().coefficients[0], T(0));
  EXPECT_EQ(solved.value().coefficients[1], T(0));
  EXPECT_NE(solved.value().coefficients[2], T(0));
}

}  // namespace
}  // namespace quillfen

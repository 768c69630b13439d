#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "batch_fixture.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/gram/gradient.hpp"
#include "kernels/objective/objective.hpp"
#include "kernels/registered_terms.hpp"

namespace quillfen {
namespace {

// The loss's pieces are separate formulas that must agree: the score is the value's derivative,
// and the smoothed curvature, wherever it is not smoothing, the score's; over the whole line it
// adds up to the score's total rise, and it moves continuously, no faster than its ramps' slope
// 1/(2c), between 0 and 1.
class HuberPieces : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(HuberPieces, ScoreAndCurvatureAreTheDerivatives) {
  const auto [tau, h] = GetParam();
  const double c = std::min(h, tau);
  const double step = 1e-6;
  double area = 0.0;
  const double grid = 1e-4;
  const HuberLoss::Curvature<double> curvature(tau, h);
  for (double r = -3 * tau - 1; r <= 3 * tau + 1; r += grid) {
    const double slope =
        (HuberLoss::value(r + step, tau) - HuberLoss::value(r - step, tau)) / (2 * step);
    EXPECT_NEAR(HuberLoss::score(r, tau), slope, 1e-6) << r;
    const double distance = std::fabs(std::fabs(r) - tau);
    if (distance > c + step) {
      const double score_slope =
          (HuberLoss::score(r + step, tau) - HuberLoss::score(r - step, tau)) / (2 * step);
      EXPECT_NEAR(curvature.weight(r), score_slope, 1e-9) << r;
    }
    const double weight = curvature.weight(r);
    EXPECT_TRUE(weight >= 0 && weight <= 1) << r;
    EXPECT_LE(std::fabs(curvature.weight(r + grid) - weight), grid / (2 * c) * (1 + 1e-9)) << r;
    area += weight * grid;
  }
  EXPECT_NEAR(area, 2 * tau, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(TauAndBandwidth, HuberPieces,
                         ::testing::Values(std::pair{1.345, 0.2}, std::pair{1.0, 1.0},
                                           std::pair{0.5, 3.0}, std::pair{2.0, 1e-3}));

// The combined gradient is the derivative of the combined objective for every registered penalty,
// so the loss's score and value, and the carried term's slope and value, agree in sign and scale.
// The summary has earlier samples (so the carried term is active), an intercept and weights.
template <class PenaltyType>
void expect_gradient_of_objective() {
  testing::OwnedBatch<double> owned = testing::random_batch<double>(60, 4, 11);
  for (std::uint64_t i = 0; i < owned.rows; i += 5) owned.y[i] += 6.0 * std::sin(double(i));
  owned.weights.resize(owned.rows);
  for (std::uint64_t i = 0; i < owned.rows; ++i) owned.weights[i] = 0.5 + double(i % 4) / 3;
  const BatchView<double> batch = owned.view();
  EngineState<double> state = testing::fresh_state<double>(4, true);
  state.coefficients = {0.4, -0.7, 0.0, 0.2};
  for (std::size_t j = 0; j < 4; ++j) state.information[j * 5] = 3.0 + double(j);
  state.information[1] = state.information[4] = 0.5;
  state.n_samples_seen = 40;
  state.weight_sum = 40.0;
  state.previous_lambda = 0.3;
  const UpdateConfig config{.tau = 1.345, .penalty = PenaltyType::kind};
  const double combined_weight = state.weight_sum + batch.batch_weight;
  Workspace<double> workspace;
  ASSERT_FALSE(prepare_workspace(workspace, batch.rows, batch.cols));

  auto objective_at = [&](std::span<const double> beta) {
    return combined_objective<double, HuberLoss, PenaltyType>(batch, beta, state, config, workspace,
                                                              combined_weight);
  };
  const std::vector<double> beta = {0.9, -0.3, 0.5, -0.1};
  objective_at(beta);
  compute_psi<double, HuberLoss>(batch, workspace.residuals, workspace.psi, config.tau);
  combined_gradient<double, PenaltyType>(batch, beta, state, workspace, combined_weight);
  const std::vector<double> gradient(workspace.gradient.begin(), workspace.gradient.end());
  for (std::size_t j = 0; j < beta.size(); ++j) {
    const double step = 1e-6;
    std::vector<double> up = beta, down = beta;
    up[j] += step;
    down[j] -= step;
    const double slope = (objective_at(up) - objective_at(down)) / (2 * step);
    EXPECT_NEAR(gradient[j], slope, 1e-7) << "coefficient " << j;
  }
}

TEST(CombinedTerms, GradientIsTheObjectivesDerivativeWithoutPenalty) {
  expect_gradient_of_objective<NoPenalty>();
}

TEST(CombinedTerms, GradientIsTheObjectivesDerivativeWithTheL1CarriedTerm) {
  expect_gradient_of_objective<L1Penalty>();
}

}  // namespace
}  // namespace quillfen

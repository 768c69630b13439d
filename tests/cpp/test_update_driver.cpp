#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "batch_fixture.hpp"
#include "engine/update_driver.hpp"

namespace quillfen {
namespace {

using testing::fresh_state;
using testing::random_batch;

TEST(UpdateDriver, WorkedBandwidthAndPenaltyLevel) {
  UpdateConfig config{.tau = 1.345, .lambda_scale = 1, .penalty = Penalty::L1};
  EXPECT_EQ(HuberLoss::smoothing_bandwidth(10, 100, 1, 1.345), 0.043429448190325175);
  EXPECT_EQ(L1Penalty::level(10, config, 100), 0.20409394890230217);
  config.tau = 1;
  EXPECT_EQ(HuberLoss::smoothing_bandwidth(1, 4, 1, 1), 0.7213475204444817);
  EXPECT_EQ(L1Penalty::level(1, config, 4), 0.41627730557884884);
  EXPECT_EQ(L1Penalty::level(2, config, 4), L1Penalty::level(0, config, 4));
}

struct Sizes {
  std::size_t partials, scratch, gradient_partials;
};

template <class T>
Sizes sizes_in_pool(parallel::ThreadPool& pool, std::uint64_t n, std::uint64_t p) {
  Workspace<T> workspace;
  EXPECT_FALSE(parallel::run_in_pool(pool, [&] { return prepare_workspace(workspace, n, p); }));
  EXPECT_EQ(workspace.residuals.size(), n);
  EXPECT_EQ(workspace.system_matrix.size(), p * p);
  EXPECT_EQ(workspace.step.size(), p);
  return {workspace.gram_partials.size(), workspace.weighted_rows.size(),
          workspace.gradient_partials.size()};
}

TEST(UpdateDriver, WorkspaceSizesFollowWorkersAndThresholds) {
  parallel::ThreadPool pool(8);
  auto check = [](Sizes actual, Sizes expected) {
    EXPECT_EQ(actual.partials, expected.partials);
    EXPECT_EQ(actual.scratch, expected.scratch);
    EXPECT_EQ(actual.gradient_partials, expected.gradient_partials);
  };
  check(sizes_in_pool<double>(pool, 1000, 2000), {8'000'000, 1'024'000, 16'000});
  check(sizes_in_pool<float>(pool, 1000, 2000), {16'000'000, 2'048'000, 16'000});
  check(sizes_in_pool<double>(pool, 100, 10), {0, 1'000, 0});

  Workspace<double> workspace;
  EXPECT_EQ(prepare_workspace(workspace, 1, std::uint64_t{1} << 32), NativeError::size_overflow());
  EXPECT_EQ(prepare_workspace(workspace, 1, std::uint64_t{1} << 31), NativeError::size_overflow());
}

// Every failure kind the driver can reach returns its error and leaves the given state as it was.
TEST(UpdateDriver, FailuresLeaveTheStateUntouched) {
  const auto valid_batch = random_batch<double>(20, 3, 1);
  auto valid_state = fresh_state<double>(3, true);
  valid_state.coefficients = {0.5, -1, 2};
  valid_state.information = {2, 0, 0, 0, 2, 0, 0, 0, 2};
  valid_state.n_samples_seen = 5;
  valid_state.batch_count = 1;
  valid_state.weight_sum = 5;
  const UpdateConfig valid_config{1.345, 1, 1, 50, 1e-6, 1e-8, Penalty::None};
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::string kNonFiniteBatch =
      "invalid native batch: batch arrays must contain only finite values";

  struct Case {
    std::string expected;
    std::function<void(EngineState<double>&, testing::OwnedBatch<double>&, UpdateConfig&)> spoil;
  };
  const std::vector<Case> cases = {
      {"invalid native configuration: tau must be finite and positive",
       [](auto&, auto&, auto& c) { c.tau = 0; }},
      {"invalid native state: weight_sum must be finite and non-negative",
       [](auto& s, auto&, auto&) { s.weight_sum = -1; }},
      {"invalid native batch: sample_weight must contain a positive value",
       [](auto&, auto& b, auto&) { b.weights.assign(20, 0.0); }},
      {"native buffer size overflow", [](auto& s, auto&, auto&) { s.n_samples_seen = kMax - 3; }},
      {"native buffer size overflow", [](auto& s, auto&, auto&) { s.batch_count = kMax; }},
      {"invalid native batch: combined effective weight must be finite and positive",
       [](auto& s, auto& b, auto&) { s.weight_sum = b.batch_weight = 1.7e308; }},
      // Non-finite design and targets are found by the starting objective, alone or with a later
      // failure, which they still precede.
      {kNonFiniteBatch, [](auto&, auto& b, auto&) { b.x[7] = std::nan(""); }},
      {kNonFiniteBatch, [](auto&, auto& b, auto& c) { b.y[19] = -kInf, c.penalty = Penalty::L1; }},
      {kNonFiniteBatch, [](auto&, auto& b, auto&) { b.x[0] = kInf, b.weights.assign(20, 0.0); }},
      {kNonFiniteBatch, [](auto&, auto& b, auto&) { b.x[59] = kInf, b.weights.assign(19, 1.0); }},
      {kNonFiniteBatch,
       [](auto& s, auto& b, auto&) {
         b.y[3] = std::nan(""), s.weight_sum = b.batch_weight = 1.7e308;
       }},
      // A finite target whose Huber loss overflows: the final objective is infinite.
      {"native calculation produced a non-finite value",
       [](auto&, auto& b, auto&) { b.y[0] = 1.5e308; }},
      {"native calculation produced a non-finite value",
       [](auto&, auto& b, auto& c) { b.y[0] = 1.5e308, c.penalty = Penalty::L1; }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.expected);
    auto state = valid_state;
    auto batch = valid_batch;
    auto config = valid_config;
    test.spoil(state, batch, config);
    const auto before = state;
    Workspace<double> workspace;
    const auto result = run_update(workspace, batch.view(), state, config);
    ASSERT_FALSE(result);
    EXPECT_EQ(display(result.error()), test.expected);
    EXPECT_EQ(state.coefficients, before.coefficients);
    EXPECT_EQ(state.information, before.information);
    EXPECT_EQ(state.n_samples_seen, before.n_samples_seen);
    EXPECT_EQ(state.batch_count, before.batch_count);
    EXPECT_EQ(state.weight_sum, before.weight_sum);
  }
}

TEST(UpdateDriver, SuccessFoldsTheBatchIntoANewSummary) {
  const auto batch = random_batch<double>(30, 3, 2);
  const auto state = fresh_state<double>(3, true);
  const UpdateConfig config{1.345, 3, 1, 50, 1e-8, 1e-8, Penalty::None};
  Workspace<double> workspace;
  const auto first = run_update(workspace, batch.view(), state, config);
  ASSERT_TRUE(first);
  const auto& next = first.value().state;
  EXPECT_EQ(next.n_samples_seen, 30u);
  EXPECT_EQ(next.batch_count, 1u);
  EXPECT_EQ(next.weight_sum, 30.0);
  EXPECT_EQ(next.previous_lambda, 0.0);  // no penalty, whatever lambda_scale says
  EXPECT_EQ(first.value().diagnostics.bandwidth, smoothing_bandwidth(2, 30, 1, 1.345));
  EXPECT_TRUE(first.value().diagnostics.converged);

  auto second = run_update(workspace, batch.view(), next, config);
  ASSERT_TRUE(second);
  // The stored information grows by exactly this batch's weighted Gram matrix.
  for (std::size_t k = 0; k < 9; ++k) {
    EXPECT_EQ(second.value().state.information[k], next.information[k] + workspace.gram_output[k]);
  }
}

}  // namespace
}  // namespace quillfen

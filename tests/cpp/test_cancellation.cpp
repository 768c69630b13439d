#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "batch_fixture.hpp"
#include "engine/update_driver.hpp"
#include "parallel/cancellation.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen::parallel {
namespace {

bool never(void*) {
  return false;
}

// Counts its polls and asks to stop from the `stop_at`-th one on.
struct CountingPoll {
  std::atomic<int> polls = 0;
  int stop_at = 1;
  std::thread::id polled_on;

  static bool poll(void* self) {
    auto& counter = *static_cast<CountingPoll*>(self);
    counter.polled_on = std::this_thread::get_id();
    return ++counter.polls >= counter.stop_at;
  }
};

// 0: the global pool from this (non-worker) thread; otherwise a private pool of that many workers.
class CancelledOperations : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CancelledOperations, SkipTheirItemsButFinishWithoutError) {
  std::unique_ptr<ThreadPool> pool;
  if (GetParam() > 0) pool = std::make_unique<ThreadPool>(GetParam());
  Cancellation cancellation(never, nullptr);
  const CancellationScope scope(&cancellation);
  std::vector<int> touched(100000, 0);
  auto run = [&] {
    for_each_element(std::span(touched), [](std::size_t, int& slot) { slot = 1; });
    return try_for_each_chunk_pair(std::span(touched), 10, std::span(touched), 10,
                                   [](std::size_t, std::span<int> a, std::span<int>) {
                                     a[0] = 2;
                                     return std::optional<int>();
                                   });
  };
  cancellation.request();
  const auto failure = pool ? run_in_pool(*pool, run) : run();
  EXPECT_FALSE(failure.has_value());
  EXPECT_EQ(std::count(touched.begin(), touched.end(), 0), std::ptrdiff_t(touched.size()));
}

INSTANTIATE_TEST_SUITE_P(GlobalAndPrivatePools, CancelledOperations, ::testing::Values(0, 1, 3));

TEST(Cancellation, WorkersSeeTheCallersCancellationOnlyInsideItsCall) {
  ThreadPool pool(2);
  Cancellation cancellation(never, nullptr);
  {
    const CancellationScope scope(&cancellation);
    std::vector<Cancellation*> seen(64, nullptr);
    run_in_pool(pool, [&] {
      for_each_element(std::span(seen),
                       [](std::size_t, Cancellation*& slot) { slot = current_cancellation(); });
    });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), &cancellation), 64);
  }
  EXPECT_EQ(current_cancellation(), nullptr);
  EXPECT_EQ(run_in_pool(pool, [] { return current_cancellation(); }), nullptr);
}

TEST(Cancellation, CallerPollsWhileAJobRunsAndTheJobSeesTheRequest) {
  ThreadPool pool(1);
  CountingPoll counter;
  counter.stop_at = 3;
  Cancellation cancellation(CountingPoll::poll, &counter);
  const CancellationScope scope(&cancellation);
  // The job never polls: only the waiting caller can end it.
  const bool ended = run_in_pool(pool, [] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!cancellation_requested() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    return cancellation_requested();
  });
  EXPECT_TRUE(ended);
  EXPECT_EQ(counter.polls, 3);
  EXPECT_EQ(counter.polled_on, std::this_thread::get_id());
}

TEST(Cancellation, PollsAtMostOncePerIntervalAndOnlyOnTheCallingThread) {
  CountingPoll counter;
  counter.stop_at = 1000;
  Cancellation cancellation(CountingPoll::poll, &counter);
  EXPECT_FALSE(cancellation.check());  // too early for a poll
  std::thread([&] { EXPECT_FALSE(cancellation.check()); }).join();
  std::this_thread::sleep_for(Cancellation::kPollInterval * 2);
  std::thread([&] { EXPECT_FALSE(cancellation.check()); }).join();
  EXPECT_EQ(counter.polls, 0);
  EXPECT_FALSE(cancellation.check());
  EXPECT_FALSE(cancellation.check());
  EXPECT_EQ(counter.polls, 1);
}

class CancelledUpdate : public ::testing::TestWithParam<Penalty> {};

TEST_P(CancelledUpdate, StopsTheSolverWithInterrupted) {
  const auto batch = quillfen::testing::random_batch<double>(200, 4, 7);
  const EngineState<double> state = quillfen::testing::fresh_state<double>(4, true);
  UpdateConfig config{.tau = 1.345,
                      .lambda_scale = 0.5,
                      .bandwidth_scale = 1.0,
                      .max_iter = 50,
                      .tol = 1e-8,
                      .ridge = 1e-8,
                      .penalty = GetParam()};
  Workspace<double> workspace;
  ASSERT_TRUE(run_update(workspace, batch.view(), state, config));
  Cancellation cancellation(never, nullptr);
  const CancellationScope scope(&cancellation);
  cancellation.request();
  const auto outcome = run_update(workspace, batch.view(), state, config);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error(), NativeError::interrupted());
}

INSTANTIATE_TEST_SUITE_P(BothSolvers, CancelledUpdate,
                         ::testing::Values(Penalty::None, Penalty::L1));

}  // namespace
}  // namespace quillfen::parallel

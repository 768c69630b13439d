#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "parallel/thread_pool.hpp"

namespace quillfen::parallel {
namespace {

std::size_t live_thread_count() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// probe() run once on each worker of `pool`: every item waits for all the others to start, so no
// worker can take two.
template <class Probe>
auto on_every_worker(ThreadPool& pool, Probe probe) {
  std::vector<std::invoke_result_t<Probe&>> results(pool.num_threads());
  run_in_pool(pool, [&] {
    std::atomic<std::size_t> arrived = 0;
    for_each_element(std::span(results), [&](std::size_t, auto& result) {
      ++arrived;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (arrived < results.size() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      result = probe();
    });
  });
  return results;
}

std::string current_thread_name() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// Runs `check` inside a private pool of `workers` threads, or with workers == 0 on this thread,
// which is no worker and so uses the global pool.
template <class Check>
void run_placed(std::size_t workers, Check check) {
  if (workers == 0) return check();
  ThreadPool pool(workers);
  run_in_pool(pool, check);
}

class Operations : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Operations, RunEveryItemExactlyOnceOnItsOwnSlice) {
  const auto [workers, length] = GetParam();
  run_placed(workers, [length] {
    // A wrong element, or one visited twice, leaves a value other than i + 1.
    std::vector<std::size_t> buffer(length);
    for_each_element(std::span(buffer), [](std::size_t i, std::size_t& x) { x += i + 1; });
    for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(buffer[i], i + 1);

    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, length + 1}) {
      std::fill(buffer.begin(), buffer.end(), 0);
      std::atomic<int> misplaced = 0;
      for_each_chunk(std::span(buffer), chunk, [&](std::size_t k, std::span<std::size_t> part) {
        misplaced += part.data() != &buffer[k * chunk] || part.empty() || part.size() > chunk;
        for (std::size_t& x : part) ++x;
      });
      EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 1), static_cast<long>(length));

      // Paired with a shorter buffer of another type, cut differently: the shorter sequence wins.
      std::vector<double> second(length / 2 + 1);
      const std::size_t second_chunk = chunk + 1;
      const std::size_t pairs =
          std::min((length + chunk - 1) / chunk, (second.size() + second_chunk - 1) / second_chunk);
      std::vector<std::atomic<int>> pair_visits(pairs);
      const auto outcome = try_for_each_chunk_pair(
          std::span(buffer), chunk, std::span(second), second_chunk,
          [&](std::size_t k, auto a, std::span<double> b) -> std::optional<std::string> {
            misplaced += a.data() != &buffer[k * chunk] || a.size() > chunk ||
                         b.data() != &second[k * second_chunk] || b.size() > second_chunk;
            k < pairs ? ++pair_visits[k] : ++misplaced;
            return std::nullopt;
          });
      EXPECT_FALSE(outcome.has_value());
      EXPECT_EQ(misplaced, 0);
      EXPECT_TRUE(
          std::all_of(pair_visits.begin(), pair_visits.end(), [](auto& v) { return v == 1; }));
    }
  });
}

INSTANTIATE_TEST_SUITE_P(WorkersAndLengths, Operations,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(0, 1, 2, 7, 1000, 100003)));

class Placement : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Placement, NestedOperationsCoverEveryInnerElement) {
  run_placed(GetParam(), [] {
    std::vector<int> grid(8 * 100), rows(8);
    for_each_element(std::span(rows), [&](std::size_t r, int&) {
      for_each_chunk(std::span(grid).subspan(r * 100, 100), 7, [](std::size_t, std::span<int> c) {
        for (int& x : c) ++x;
      });
    });
    EXPECT_EQ(std::count(grid.begin(), grid.end(), 1), static_cast<long>(grid.size()));
  });
}

TEST_P(Placement, ThrowingBodyIsRethrownAndThePoolStaysUsable) {
  const std::size_t workers = GetParam();
  run_placed(workers, [workers] {
    std::vector<int> buffer(64);
    std::atomic<int> started = 0;
    const auto fail_at_zero = [&](std::size_t k, auto&&...) {
      ++started;
      if (k == 0) throw std::runtime_error("item 0");
      return std::optional<int>();
    };
    EXPECT_THROW(for_each_element(std::span(buffer), fail_at_zero), std::runtime_error);
    // Inline in a one-worker pool, nothing may start after the failing first item.
    if (workers == 1) {
      EXPECT_EQ(started, 1);
    }
    EXPECT_THROW(for_each_chunk(std::span(buffer), 5, fail_at_zero), std::runtime_error);
    EXPECT_THROW(try_for_each_chunk_pair(std::span(buffer), 4, std::span(buffer), 4, fail_at_zero),
                 std::runtime_error);
    started = 0;
    for_each_element(std::span(buffer), [&](std::size_t, int&) { ++started; });
    EXPECT_EQ(started, 64);
  });
}

TEST_P(Placement, FailingPairStopsLaterPairsAndIsReturned) {
  const std::size_t workers = GetParam();
  run_placed(workers, [workers] {
    std::vector<int> buffer(4096);
    std::atomic<int> started = 0;
    const auto outcome = try_for_each_chunk_pair(
        std::span(buffer), 8, std::span(buffer), 8,
        [&](std::size_t k, std::span<int>, std::span<int>) -> std::optional<std::size_t> {
          ++started;
          return k % 2 == 0 ? std::optional(k) : std::nullopt;
        });
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome % 2, 0u);
    EXPECT_LT(started, 512);
    if (workers == 1) {
      EXPECT_EQ(started, 1);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(GlobalAndPrivatePools, Placement, ::testing::Values(0, 1, 2));

TEST(RunInPool, ReturnsResultsOnAWorkerAndRethrows) {
  ThreadPool pool(2);
  EXPECT_FALSE(pool.owns_current_thread());
  EXPECT_TRUE(run_in_pool(pool, [&] { return pool.owns_current_thread(); }));
  EXPECT_EQ(*run_in_pool(pool, [] { return std::make_unique<int>(7); }), 7);
  int target = 0;
  EXPECT_EQ(&run_in_pool(pool, [&]() -> int& { return target; }), &target);
  std::thread::id outer, inner;
  run_in_pool(pool, [&] {
    outer = std::this_thread::get_id();
    inner = run_in_pool(pool, [] { return std::this_thread::get_id(); });
  });
  EXPECT_NE(outer, std::this_thread::get_id());
  EXPECT_EQ(inner, outer);
  EXPECT_THROW(run_in_pool(pool, []() -> int { throw std::out_of_range("job"); }),
               std::out_of_range);
}

TEST(WorkerNames, AreTheNamesGivenTruncatedOrInheritedWhenUnset) {
  ThreadPool named(2, [](std::size_t i) { return "quillfen-cpu-" + std::to_string(i); });
  const auto names = on_every_worker(named, current_thread_name);
  EXPECT_EQ(std::set(names.begin(), names.end()),
            (std::set<std::string>{"quillfen-cpu-0", "quillfen-cpu-1"}));

  ThreadPool long_named(1, [](std::size_t) { return std::string("abcdefghijklmnopqrstuvwxyz"); });
  EXPECT_EQ(run_in_pool(long_named, current_thread_name), "abcdefghijklmno");
  ThreadPool unnamed(1);
  EXPECT_EQ(run_in_pool(unnamed, current_thread_name), current_thread_name());
}

TEST(PoolSize, CurrentPoolIsTheWorkersOwnElseTheGlobalOne) {
  ThreadPool pool(3);
  EXPECT_EQ(run_in_pool(pool, [] { return current_num_threads(); }), 3u);
  EXPECT_EQ(run_in_pool(pool, [] { return &current_pool(); }), &pool);
  EXPECT_EQ(&current_pool(), &global_pool());
  EXPECT_EQ(current_num_threads(), global_pool().num_threads());
  EXPECT_EQ(global_pool().num_threads(),
            detail::default_pool_size(std::getenv("RAYON_NUM_THREADS"),
                                      detail::available_processor_count()));
}

TEST(PoolSize, RequestsAreCappedAndOnlyPositiveIntegersOverrideProcessors) {
  for (const std::uint64_t requested : {1ul, 65534ul, 65535ul}) {
    EXPECT_EQ(capped_worker_count(requested), requested);
  }
  EXPECT_EQ(capped_worker_count(65536), 65535u);
  EXPECT_EQ(capped_worker_count(UINT64_MAX), 65535u);
  for (const char* ignored : {(const char*)nullptr, "", "0", "-4", " 4", "4 ", "4x", "0x10", "+",
                              "99999999999999999999"}) {
    EXPECT_EQ(detail::default_pool_size(ignored, 6), 6u) << (ignored ? ignored : "unset");
  }
  EXPECT_EQ(detail::default_pool_size("4", 6), 4u);
  EXPECT_EQ(detail::default_pool_size("+12", 6), 12u);
  EXPECT_EQ(detail::default_pool_size("70000", 6), 65535u);
  EXPECT_EQ(detail::default_pool_size(nullptr, 0), 1u);
  EXPECT_GE(detail::available_processor_count(), 1u);
}

TEST(PoolLifetime, WorkersExitAfterThePoolIsDestroyed) {
  auto pool = std::make_unique<ThreadPool>(4);
  const auto workers = on_every_worker(*pool, [] { return gettid(); });
  ASSERT_EQ(std::set(workers.begin(), workers.end()).size(), 4u);
  pool.reset();
  const auto any_alive = [&] {
    return std::any_of(workers.begin(), workers.end(), [](pid_t tid) {
      return std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
    });
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (any_alive() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(any_alive());
}

// Exit codes of the child below.
enum FailedStart { kCleanFailure, kNoFailure, kWrongError, kThreadsLeft, kNoLimit };

// Leaves room for a few thread stacks only, then asks for thousands of workers.
FailedStart start_pool_under_tight_memory_limit() {
  std::size_t mapped_pages = 0;
  std::ifstream("/proc/self/statm") >> mapped_pages;
  const rlim_t limit = mapped_pages * sysconf(_SC_PAGESIZE) + (48u << 20);
  const rlimit address_space{limit, limit};
  if (setrlimit(RLIMIT_AS, &address_space) != 0) return kNoLimit;
  try {
    ThreadPool pool(4096);
    return kNoFailure;
  } catch (const std::system_error& error) {
    if (error.code().message() != std::strerror(error.code().value())) return kWrongError;
  } catch (...) {
    return kWrongError;
  }
  return live_thread_count() == 1 ? kCleanFailure : kThreadsLeft;
}

TEST(PoolLifetime, FailedThreadStartThrowsOsErrorAndLeavesNoThread) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a lowered address-space limit";
#endif
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(start_pool_under_tight_memory_limit());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoLimit) GTEST_SKIP() << "cannot lower the address-space limit";
  EXPECT_EQ(WEXITSTATUS(status), kCleanFailure);
}

// Runs in a forked child, whose inherited pools lost their workers: an operation in each must run
// on a fresh set of workers with the parent's names. The alarm turns a hang into a failure.
// Exit codes of the forked child below.
enum ForkedChild { kPoolsWork, kWrongNames, kWrongResults, kWrongThreadCount };

ForkedChild inherited_pools_work_in_child(ThreadPool& pool) {
  alarm(60);
  const auto names = on_every_worker(pool, current_thread_name);
  const std::set<std::string> expected = {"forked-0", "forked-1", "forked-2"};
  if (std::set(names.begin(), names.end()) != expected) return kWrongNames;
  std::vector<std::size_t> squares(100000);
  for_each_element(std::span(squares), [](std::size_t i, std::size_t& out) { out = i * i; });
  if (squares.back() != std::size_t{99999} * 99999) return kWrongResults;
  const bool all_started =
      live_thread_count() == 1 + pool.num_threads() + global_pool().num_threads();
  return all_started ? kPoolsWork : kWrongThreadCount;
}

TEST(PoolLifetime, ForkedChildRestartsInheritedWorkersBeforeUse) {
#if defined(__SANITIZE_ADDRESS__)
  // GCC 12's AddressSanitizer does not hold its allocator's lock across fork(): a child can
  // inherit it locked by a worker thread and hang in its first allocation. The regular build and
  // ThreadSanitizer run this test.
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe with threads";
#endif
  ThreadPool pool(3, [](std::size_t index) { return "forked-" + std::to_string(index); });
  std::vector<int> warm(100000);
  for_each_element(std::span(warm), [](std::size_t, int& out) { out = 1; });  // global pool up
  on_every_worker(pool, current_thread_name);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(inherited_pools_work_in_child(pool));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child hung or crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kPoolsWork);
  // The parent's workers are untouched.
  EXPECT_EQ(on_every_worker(pool, current_thread_name).size(), 3u);
}

}  // namespace
}  // namespace quillfen::parallel

#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "parallel/pool_size.hpp"
#include "parallel/work_group.hpp"

namespace quillfen::parallel {

class ThreadPool;

namespace detail {
class PoolCore;
// Runs every item of `group` in `pool` (see PoolCore::run); does not rethrow.
void run_group(ThreadPool& pool, WorkGroup& group);
}  // namespace detail

// A fixed set of worker threads running fork-join operations.
//
// Worker threads do not survive fork(). A pool remembers the process that started its workers,
// and the first operation in a forked child starts a fresh set (same count, same names) before
// it runs anything; the parent's set is abandoned untouched, since its lock may be held by a
// thread that no longer exists.
class ThreadPool {
 public:
  // Starts `workers` (1..kMaxWorkers) threads before returning. Worker i is named thread_name(i),
  // truncated to the 15 bytes Linux keeps; an empty function leaves the workers unnamed. If a
  // thread cannot start, throws std::system_error with the OS error after stopping and joining
  // the workers already started.
  explicit ThreadPool(std::size_t workers,
                      std::function<std::string(std::size_t)> thread_name = {});
  // Tells the workers to exit once idle and returns without waiting for them. Must not run while
  // a job or an operation of this pool is still running. In a forked child whose workers were
  // never restarted there is no one to tell, and nothing is touched.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t num_threads() const noexcept { return worker_count_; }
  // Is the calling thread one of this pool's workers?
  bool owns_current_thread() const noexcept;

 private:
  friend void detail::run_group(ThreadPool& pool, detail::WorkGroup& group);

  // Starts a new set of workers around a new core; throws like the constructor.
  void start_workers();
  // The core whose workers run in this process, restarting them first in a forked child.
  detail::PoolCore& live_core();

  std::size_t worker_count_;
  std::function<std::string(std::size_t)> thread_name_;
  std::shared_ptr<detail::PoolCore> core_;
  std::atomic<pid_t> workers_process_{0};  // the process whose threads serve core_
  std::mutex restart_mutex_;
};

// The process-wide pool, created on first use and never destroyed. Its size is RAYON_NUM_THREADS
// when that is a positive integer, else the number of processors we may run on. Throws
// std::system_error when it cannot be created; a later call tries again.
ThreadPool& global_pool();
// The calling thread's pool: its own pool for a worker, the global pool for any other thread.
ThreadPool& current_pool();
// current_pool().num_threads(), without creating the global pool when called from a worker.
std::size_t current_num_threads();

namespace detail {

// Runs item(group, i) for i in [0, item_count) in `pool` and rethrows the first exception. Items
// of a cancellable run may be skipped once the current call is cancelled.
template <class Item>
void run_items(ThreadPool& pool, std::size_t item_count, Item& item, bool cancellable = true) {
  WorkGroup group(item_count, item, cancellable);
  run_group(pool, group);
  group.rethrow_failure();
}

inline void require_chunk_size(std::size_t chunk_size) {
  if (chunk_size == 0) throw std::invalid_argument("parallel chunk size must be at least 1");
}

inline std::size_t chunk_count(std::size_t length, std::size_t chunk_size) {
  return length / chunk_size + (length % chunk_size != 0);
}

template <class T>
std::span<T> chunk(std::span<T> buffer, std::size_t chunk_size, std::size_t index) {
  const std::size_t offset = index * chunk_size;
  return buffer.subspan(offset, std::min(chunk_size, buffer.size() - offset));
}

}  // namespace detail

// Runs job() on one of pool's workers while the caller blocks, and returns its result or rethrows
// its exception. From a worker of `pool` itself the job runs inline. The job always runs, and
// runs for the caller's call: it sees the caller's cancellation, which the caller keeps polling
// while it waits.
template <class Job>
std::invoke_result_t<Job&> run_in_pool(ThreadPool& pool, Job&& job) {
  using Result = std::invoke_result_t<Job&>;
  if (pool.owns_current_thread()) return std::invoke(job);
  if constexpr (std::is_void_v<Result>) {
    auto item = [&job](detail::WorkGroup&, std::size_t) { std::invoke(job); };
    detail::run_items(pool, 1, item, false);
  } else if constexpr (std::is_reference_v<Result>) {
    std::remove_reference_t<Result>* result = nullptr;
    auto item = [&](detail::WorkGroup&, std::size_t) { result = &std::invoke(job); };
    detail::run_items(pool, 1, item, false);
    return static_cast<Result>(*result);
  } else {
    std::optional<Result> result;
    auto item = [&](detail::WorkGroup&, std::size_t) { result.emplace(std::invoke(job)); };
    detail::run_items(pool, 1, item, false);
    return std::move(*result);
  }
}

// The operations below run in current_pool() and return when every item has finished. A worker
// of that pool takes part in the work, any other caller only blocks. If a body throws, no further
// item starts, running items finish, and the first exception is rethrown. With no items they
// return at once without touching any pool.

// body(i, out[i]) for every element of `out`.
template <class T, class Body>
void for_each_element(std::span<T> out, Body&& body) {
  if (out.empty()) return;
  auto item = [&](detail::WorkGroup&, std::size_t index) { body(index, out[index]); };
  detail::run_items(current_pool(), out.size(), item);
}

// body(k, chunk k), `buffer` cut into consecutive chunks of chunk_size (the last may be shorter).
template <class T, class Body>
void for_each_chunk(std::span<T> buffer, std::size_t chunk_size, Body&& body) {
  detail::require_chunk_size(chunk_size);
  if (buffer.empty()) return;
  auto item = [&](detail::WorkGroup&, std::size_t index) {
    body(index, detail::chunk(buffer, chunk_size, index));
  };
  detail::run_items(current_pool(), detail::chunk_count(buffer.size(), chunk_size), item);
}

// body(k, chunk k of first, chunk k of second) for as many pairs as the shorter chunk sequence
// has. The body returns std::optional<E>, nullopt for success. After a failure no further pair
// starts, running bodies finish, and one of the failures is returned; nullopt when all succeed.
template <class A, class B, class Body>
auto try_for_each_chunk_pair(std::span<A> first, std::size_t first_chunk, std::span<B> second,
                             std::size_t second_chunk, Body&& body)
    -> std::invoke_result_t<Body&, std::size_t, std::span<A>, std::span<B>> {
  using Outcome = std::invoke_result_t<Body&, std::size_t, std::span<A>, std::span<B>>;
  detail::require_chunk_size(first_chunk);
  detail::require_chunk_size(second_chunk);
  const std::size_t pairs = std::min(detail::chunk_count(first.size(), first_chunk),
                                     detail::chunk_count(second.size(), second_chunk));
  Outcome failure;
  if (pairs == 0) return failure;
  auto item = [&](detail::WorkGroup& group, std::size_t index) {
    Outcome outcome = body(index, detail::chunk(first, first_chunk, index),
                           detail::chunk(second, second_chunk, index));
    if (outcome && group.claim_first_failure()) failure = std::move(outcome);
  };
  detail::run_items(current_pool(), pairs, item);
  return failure;
}

}  // namespace quillfen::parallel

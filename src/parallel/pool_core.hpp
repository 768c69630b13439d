#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "parallel/work_group.hpp"

namespace quillfen::parallel {
class ThreadPool;
}

namespace quillfen::parallel::detail {

// The state one pool's workers share: the groups waiting for helpers and the shutdown flag.
// Workers keep it alive (shared_ptr) after the ThreadPool handle is gone.
class PoolCore {
 public:
  PoolCore(std::size_t worker_count, ThreadPool& owner)
      : worker_count_(worker_count), owner_(owner) {}
  PoolCore(const PoolCore&) = delete;
  PoolCore& operator=(const PoolCore&) = delete;

  std::size_t worker_count() const noexcept { return worker_count_; }
  ThreadPool& owner() const noexcept { return owner_; }

  // A worker's life: help queued groups until shutdown is requested and nothing is queued.
  void serve();
  // Workers exit once idle; returns at once.
  void request_shutdown();

  // Runs every item of `group` and returns when all have finished and no helper is inside it.
  // A caller that is one of our workers works on the group itself; any other caller only waits.
  void run(WorkGroup& group, bool caller_is_worker);

 private:
  void enqueue(WorkGroup& group);
  void unlink(WorkGroup& group);

  const std::size_t worker_count_;
  ThreadPool& owner_;
  std::mutex mutex_;
  std::condition_variable work_available_;
  WorkGroup* newest_ = nullptr;  // groups with open helper slots, newest first
  bool shutting_down_ = false;
  // newest_ != nullptr || shutting_down_, readable without the lock.
  std::atomic<bool> worth_waking_{false};
};

}  // namespace quillfen::parallel::detail

#include "parallel/pool_core.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quillfen::parallel::detail {
namespace {

// Ranges per worker: enough to even out uneven items, few enough that a million cheap items cost
// only a handful of atomic claims.
constexpr std::size_t kRangesPerWorker = 4;

// How long an idle worker keeps looking for work before it sleeps. Operations often follow each
// other closely (the passes of one update, predictions in a loop); a sleeping worker takes tens of
// microseconds to wake, more on a virtual machine, where an idle processor is halted.
constexpr auto kLookForWork = std::chrono::microseconds(200);
// How long a calling thread that is not a worker watches for the end of an operation before it
// sleeps, for the same reason: it would otherwise be woken just as the operation ends.
constexpr auto kWatchForEnd = std::chrono::microseconds(500);

// Yields until done() or until `budget` has passed. Yielding rather than pausing: on a busy
// machine the processor goes to whoever needs it, such as the thread that is waiting for the
// operation just finished.
template <class Done>
void yield_until(Done done, std::chrono::microseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

}  // namespace

// Newest first: an operation started inside an item is finished before older, outer work, which
// keeps nesting shallow and data warm.
void PoolCore::enqueue(WorkGroup& group) {
  group.older_ = newest_;
  group.newer_ = nullptr;
  if (newest_ != nullptr) newest_->newer_ = &group;
  newest_ = &group;
  group.queued_ = true;
  worth_waking_.store(true, std::memory_order_relaxed);
}

void PoolCore::unlink(WorkGroup& group) {
  if (!group.queued_) return;
  if (group.newer_ != nullptr) {
    group.newer_->older_ = group.older_;
  } else {
    newest_ = group.older_;
  }
  if (group.older_ != nullptr) group.older_->newer_ = group.newer_;
  group.newer_ = group.older_ = nullptr;
  group.queued_ = false;
  worth_waking_.store(newest_ != nullptr || shutting_down_, std::memory_order_relaxed);
}

void PoolCore::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (newest_ == nullptr && !shutting_down_) {
      lock.unlock();
      yield_until([this] { return worth_waking_.load(std::memory_order_relaxed); }, kLookForWork);
      lock.lock();
    }
    work_available_.wait(lock, [this] { return newest_ != nullptr || shutting_down_; });
    if (newest_ == nullptr) return;
    WorkGroup& group = *newest_;
    if (group.all_claimed()) {
      unlink(group);
      continue;
    }
    if (--group.open_helper_slots_ == 0) unlink(group);
    ++group.helpers_inside_;
    lock.unlock();
    group.work();
    lock.lock();
    // Notify under the lock: once we release it the caller may destroy the group.
    if (--group.helpers_inside_ == 0) group.helpers_left_.notify_all();
  }
}

void PoolCore::request_shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    worth_waking_.store(true, std::memory_order_relaxed);
  }
  work_available_.notify_all();
}

void PoolCore::run(WorkGroup& group, bool caller_is_worker) {
  const std::size_t items = group.item_count();
  group.range_size_ = std::max<std::size_t>(1, items / (worker_count_ * kRangesPerWorker));
  const std::size_t ranges = items / group.range_size_ + (items % group.range_size_ != 0);
  const std::size_t helpers =
      caller_is_worker ? std::min(worker_count_ - 1, ranges - 1) : std::min(worker_count_, ranges);
  if (helpers == 0) {
    group.work();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    group.open_helper_slots_ = helpers;
    enqueue(group);
  }
  if (helpers == 1) {
    work_available_.notify_one();
  } else {
    work_available_.notify_all();
  }
  const auto finished = [&group] { return group.all_claimed() && group.helpers_inside_ == 0; };
  if (caller_is_worker) {
    group.work();
  } else {
    // Only a hint: the lock below makes the helpers' writes visible.
    yield_until(finished, kWatchForEnd);
  }
  std::unique_lock lock(mutex_);
  Cancellation* cancellation = group.cancellation();
  if (caller_is_worker || cancellation == nullptr) {
    group.helpers_left_.wait(lock, finished);
  } else {
    // The calling thread is the only one that can learn of a cancellation; keep asking while the
    // workers compute. A cancelled group ends early; a job (not cancellable) finishes on its own
    // once it sees the cancellation.
    while (!group.helpers_left_.wait_for(lock, Cancellation::kPollInterval, finished)) {
      lock.unlock();
      cancellation->check();
      lock.lock();
    }
  }
  unlink(group);
}

}  // namespace quillfen::parallel::detail

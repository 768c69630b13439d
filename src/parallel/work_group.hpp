#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>

#include "parallel/cancellation.hpp"

namespace quillfen::parallel::detail {

class PoolCore;

// One parallel operation: items 0..item_count-1, handed out in small contiguous ranges to whoever
// takes part (the calling worker and the helpers it asked for). It lives on the caller's stack, so
// an operation allocates nothing; the pool guarantees that every helper has left before the
// caller's run returns.
//
// An item is called as item(group, index). It fails by throwing, or by calling
// claim_first_failure() and reporting through its own storage. Either way no further item starts;
// items already running finish.
//
// The group belongs to the call of the thread that creates it: everyone working on it sees that
// call's cancellation as their own. A cancellable group also stops handing out items once the
// call is cancelled, and returns as if every item had run.
class WorkGroup {
 public:
  template <class Item>
  WorkGroup(std::size_t item_count, Item& item, bool cancellable = true)
      : item_count_(item_count),
        run_range_(&run_items_in_range<Item>),
        item_(&item),
        cancellation_(current_cancellation()),
        cancellable_(cancellable && cancellation_ != nullptr) {}

  WorkGroup(const WorkGroup&) = delete;
  WorkGroup& operator=(const WorkGroup&) = delete;

  std::size_t item_count() const noexcept { return item_count_; }
  bool stop_requested() const noexcept { return stopped_.load(std::memory_order_relaxed); }
  // Stopped by a failure or by the cancellation of a cancellable group.
  bool stopped() const noexcept {
    return stop_requested() || (cancellable_ && cancellation_->requested());
  }
  Cancellation* cancellation() const noexcept { return cancellation_; }

  // Stops the group. True for the first failure only, whose owner may then record it.
  bool claim_first_failure() noexcept {
    return !stopped_.exchange(true, std::memory_order_acq_rel);
  }

  // Rethrows the exception that stopped the group, if any. Call after the run has returned.
  void rethrow_failure() const;

 private:
  friend class PoolCore;

  using RangeRunner = void (*)(void* item, WorkGroup& group, std::size_t begin, std::size_t end);

  template <class Item>
  static void run_items_in_range(void* item, WorkGroup& group, std::size_t begin, std::size_t end) {
    Item& run_item = *static_cast<Item*>(item);
    for (std::size_t index = begin; index < end && !group.stopped(); ++index) {
      run_item(group, index);
    }
  }

  // Claims and runs ranges until none is left or the group stopped. Catches what an item throws.
  void work() noexcept;
  // Every item has been handed out, or none will be.
  bool all_claimed() const noexcept {
    return next_item_.load(std::memory_order_relaxed) >= item_count_ || stopped();
  }

  const std::size_t item_count_;
  const RangeRunner run_range_;
  void* const item_;
  Cancellation* const cancellation_;
  const bool cancellable_;
  std::size_t range_size_ = 1;  // set by the pool before anyone works
  std::atomic<std::size_t> next_item_{0};
  std::atomic<bool> stopped_{false};
  std::exception_ptr exception_;  // written once, by the first failure's claimant

  // Scheduling state, guarded by the pool's mutex.
  WorkGroup* newer_ = nullptr;
  WorkGroup* older_ = nullptr;
  bool queued_ = false;
  std::size_t open_helper_slots_ = 0;
  // Also read without the lock, by a caller watching for the end.
  std::atomic<std::size_t> helpers_inside_{0};
  std::condition_variable helpers_left_;
};

}  // namespace quillfen::parallel::detail

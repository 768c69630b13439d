#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace quillfen::parallel {

// A request to stop one long call early, shared by the thread that made the call and every worker
// that helps it. The calling thread asks its poll function (for example: "did the user press
// Ctrl-C?") at most once per kPollInterval, at the checks below and while it waits for a pool;
// workers only read the flag. A cancelled call's results are meaningless and must be discarded.
class Cancellation {
 public:
  using Poll = bool (*)(void* context);
  static constexpr std::chrono::milliseconds kPollInterval{25};

  // poll(context) returns true when the call should stop. Must be created on the calling thread.
  Cancellation(Poll poll, void* context) noexcept;
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }
  void request() noexcept { requested_.store(true, std::memory_order_relaxed); }

  // requested(), after asking the poll function first when called on the calling thread and the
  // last question is at least kPollInterval old.
  bool check() noexcept;

 private:
  std::atomic<bool> requested_{false};
  const Poll poll_;
  void* const context_;
  const std::thread::id caller_;
  std::chrono::steady_clock::time_point next_poll_;
};

// The cancellation of the call the calling thread works for, or nullptr.
Cancellation* current_cancellation() noexcept;

// Makes `cancellation` (may be nullptr) the calling thread's current one for the scope.
class CancellationScope {
 public:
  explicit CancellationScope(Cancellation* cancellation) noexcept;
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  Cancellation* const previous_;
};

// Has the current call been cancelled? False outside a cancellable call; the check every long
// loop makes between its steps.
inline bool cancellation_requested() noexcept {
  Cancellation* cancellation = current_cancellation();
  return cancellation != nullptr && cancellation->check();
}

}  // namespace quillfen::parallel

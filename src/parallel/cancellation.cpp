#include "parallel/cancellation.hpp"

namespace quillfen::parallel {
namespace {

thread_local Cancellation* current = nullptr;

}  // namespace

Cancellation::Cancellation(Poll poll, void* context) noexcept
    : poll_(poll),
      context_(context),
      caller_(std::this_thread::get_id()),
      next_poll_(std::chrono::steady_clock::now() + kPollInterval) {}

bool Cancellation::check() noexcept {
  if (requested()) return true;
  if (std::this_thread::get_id() != caller_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_poll_) return false;
  if (poll_(context_)) request();
  // The poll may have waited for a lock; count the interval from its end.
  next_poll_ = std::chrono::steady_clock::now() + kPollInterval;
  return requested();
}

Cancellation* current_cancellation() noexcept {
  return current;
}

CancellationScope::CancellationScope(Cancellation* cancellation) noexcept : previous_(current) {
  current = cancellation;
}

CancellationScope::~CancellationScope() {
  current = previous_;
}

}  // namespace quillfen::parallel

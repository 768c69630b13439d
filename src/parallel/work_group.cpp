#include "parallel/work_group.hpp"

#include <algorithm>

namespace quillfen::parallel::detail {

void WorkGroup::rethrow_failure() const {
  if (exception_) std::rethrow_exception(exception_);
}

void WorkGroup::work() noexcept {
  const CancellationScope scope(cancellation_);
  try {
    while (!stopped()) {
      // Overshooting the end is harmless: each participant does it at most once.
      const std::size_t begin = next_item_.fetch_add(range_size_, std::memory_order_relaxed);
      if (begin >= item_count_) return;
      run_range_(item_, *this, begin, begin + std::min(range_size_, item_count_ - begin));
    }
  } catch (...) {
    if (claim_first_failure()) exception_ = std::current_exception();
  }
}

void WorkGroup::work_as_caller() noexcept {
  if (cancellation_ == nullptr) {
    work();
    return;
  }
  // Pieces of an eighth of a range: the caller asks a few dozen times per operation at most.
  constexpr std::size_t kPiecesPerRange = 8;
  const std::size_t piece = std::max<std::size_t>(1, range_size_ / kPiecesPerRange);
  const CancellationScope scope(cancellation_);
  try {
    while (!stopped() && !cancellation_->check()) {
      const std::size_t begin = next_item_.fetch_add(range_size_, std::memory_order_relaxed);
      if (begin >= item_count_) return;
      const std::size_t end = begin + std::min(range_size_, item_count_ - begin);
      for (std::size_t first = begin; first < end; first += piece) {
        if (first != begin && cancellation_->check()) break;
        run_range_(item_, *this, first, std::min(end, first + piece));
      }
    }
  } catch (...) {
    if (claim_first_failure()) exception_ = std::current_exception();
  }
}

}  // namespace quillfen::parallel::detail

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

}  // namespace quillfen::parallel::detail

#pragma once

#include <algorithm>
#include <cstdint>
#include <new>

#include "common/checked_math.hpp"
#include "common/native_error.hpp"
#include "engine/workspace.hpp"
#include "kernels/parallel_rules.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen {
namespace detail {

// Sets `buffer` to exactly `length` elements: new entries are zero, kept entries keep their
// values. A length no allocator could satisfy fails with std::bad_alloc.
template <class T>
void set_length(AlignedVector<T>& buffer, std::uint64_t length) {
  if (length > buffer.max_size()) throw std::bad_alloc();
  buffer.resize(length, T(0));
}

}  // namespace detail

// Number of Gram partial slots for n rows and p columns with `workers` workers: none unless the
// product is large and one slot stays within GRAM_PARTIAL_MAX_ELEMENTS, else as many as fit in
// GRAM_PARTIALS_MAX_BYTES, capped by the workers and the rows. The worker count is asked only
// when it matters.
template <class T, class WorkerCount>
std::uint64_t gram_partial_slots(std::uint64_t n, std::uint64_t p, WorkerCount&& workers) {
  const std::uint64_t slot_elements = saturating_mul(p, p);
  if (slot_elements > GRAM_PARTIAL_MAX_ELEMENTS<T> || !gram_work_is_large(n, p)) return 0;
  const std::uint64_t by_memory = GRAM_PARTIALS_MAX_BYTES / (slot_elements * sizeof(T));
  return std::min({by_memory, std::uint64_t(workers()), n});
}

// Sizes every workspace buffer for a batch of n rows and p columns, with the worker count of the
// pool this runs in. A size that does not fit in 64 bits fails with SizeOverflow; buffers sized
// before that failure keep their new lengths.
template <class T>
Status prepare_workspace(Workspace<T>& workspace, std::uint64_t n, std::uint64_t p) {
  const auto square = checked_mul(p, p);
  if (!square) return NativeError::size_overflow();
  detail::set_length(workspace.residuals, n);
  detail::set_length(workspace.psi, n);
  detail::set_length(workspace.curvature_weights, n);
  if (!checked_mul(*square, sizeof(T))) return NativeError::size_overflow();

  auto workers = [] { return parallel::current_num_threads(); };
  const std::uint64_t slots = gram_partial_slots<T>(n, p, workers);
  const auto partials = checked_mul(slots, *square);
  if (!partials) return NativeError::size_overflow();
  detail::set_length(workspace.gram_partials, *partials);

  const auto scratch_rows =
      checked_mul(std::max<std::uint64_t>(slots, 1), std::min(n, GRAM_BLOCK_ROWS));
  const auto scratch = scratch_rows ? checked_mul(*scratch_rows, p) : std::nullopt;
  if (!scratch) return NativeError::size_overflow();
  detail::set_length(workspace.weighted_rows, *scratch);

  std::uint64_t gradient_partials = 0;
  if (rows_go_parallel(n, p)) {
    const auto length = checked_mul(std::min<std::uint64_t>(n, workers()), p);
    if (!length) return NativeError::size_overflow();
    gradient_partials = *length;
  }
  detail::set_length(workspace.gradient_partials, gradient_partials);

  detail::set_length(workspace.gradient, p);
  detail::set_length(workspace.system_matrix, *square);
  detail::set_length(workspace.gram_output, *square);
  detail::set_length(workspace.shift, p);
  detail::set_length(workspace.direction, p);
  detail::set_length(workspace.candidate, p);
  detail::set_length(workspace.step, p);
  return std::nullopt;
}

}  // namespace quillfen

#pragma once

#include <cstdint>
#include <limits>

#include "common/checked_math.hpp"

namespace quillfen {

// When the row kernels go parallel, and how large the Gram kernel's per-worker buffers may grow.
// The kernels never read the worker count themselves: they derive it from the lengths of the
// workspace buffers that prepare_workspace sized with these same rules.

// A row kernel runs on the calling thread while rows × cols is at most this.
inline constexpr std::uint64_t SEQUENTIAL_MAX_ELEMENTS = 999'999;
// The Gram kernel may go parallel only when rows × cols² reaches this.
inline constexpr std::uint64_t GRAM_PARALLEL_MIN_WORK = 16'000'000;
// Budget of all Gram partial slots together (64 MiB).
inline constexpr std::uint64_t GRAM_PARTIALS_MAX_BYTES = 67'108'864;
// Largest cols² for which Gram partials are made: one slot never exceeds 32 MiB.
template <class T>
inline constexpr std::uint64_t GRAM_PARTIAL_MAX_ELEMENTS = sizeof(T) == 8 ? 4'194'304 : 8'388'608;
// Most rows handed to one matrix multiplication.
inline constexpr std::uint64_t GRAM_BLOCK_ROWS = 256;
// Narrowest design whose transposed product is split by columns: the first width whose row takes
// more than 512 bytes.
template <class T>
inline constexpr std::uint64_t COLUMN_SPLIT_MIN_WIDTH = sizeof(T) == 8 ? 65 : 129;

// a × b, with a product that does not fit counting as larger than every threshold.
inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return checked_mul(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

// Do rows × cols elements call for one work item per row (or per chunk of rows)?
inline bool rows_go_parallel(std::uint64_t rows, std::uint64_t cols) {
  return saturating_mul(rows, cols) > SEQUENTIAL_MAX_ELEMENTS;
}

// Is rows × cols² enough work to split the Gram product over workers?
inline bool gram_work_is_large(std::uint64_t rows, std::uint64_t cols) {
  return saturating_mul(rows, saturating_mul(cols, cols)) >= GRAM_PARALLEL_MIN_WORK;
}

}  // namespace quillfen

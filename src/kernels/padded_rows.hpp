#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillfen {

// The end of the rows in [first, end) of a row-major design with p columns (`size` elements) that
// can be read `span` elements from their start without leaving the design: rows from there on
// need a padded copy. Lies in [first, end].
inline std::uint64_t rows_in_place_end(std::size_t size, std::size_t p, std::size_t span,
                                       std::uint64_t first, std::uint64_t end) {
  const std::uint64_t readable = size >= span ? (size - span) / p + 1 : 0;
  return std::max(first, std::min(end, readable));
}

// visit(row, i) for the rows i in [first, end) of a row-major design with p columns, where `row`
// points at element `offset` of row i and the visitor may read `Reach` elements from it, past the
// row's end into the next row (lanes it never stores). Rows whose reach stays inside the design
// are passed in place; the last few are passed as a zero-padded copy of their first `copied`
// elements from `offset`, so nothing outside the design is read. Requires copied ≤ Reach. Always
// inlined: a visitor's running sums stay in registers only inside their own function, and GCC,
// left to choose, kept a float tile's sums in memory, a store and a reload per row.
template <class T, std::size_t Reach, class Visit>
[[gnu::always_inline]] inline void for_each_row_within_reach(std::span<const T> design,
                                                             std::size_t p, std::size_t offset,
                                                             std::size_t copied,
                                                             std::uint64_t first, std::uint64_t end,
                                                             Visit&& visit) {
  const std::uint64_t in_place_end =
      rows_in_place_end(design.size(), p, offset + Reach, first, end);
  std::uint64_t i = first;
  for (; i < in_place_end; ++i) visit(design.data() + i * p + offset, i);
  for (; i < end; ++i) {
    T padded[Reach] = {};
    std::copy_n(design.data() + i * p + offset, copied, padded);
    visit(static_cast<const T*>(padded), i);
  }
}

}  // namespace quillfen

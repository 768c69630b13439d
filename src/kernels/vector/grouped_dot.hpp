#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "kernels/simd/lanes.hpp"

namespace quillfen {

// dot(row r, β) of a group of consecutive rows at once, with exactly the arithmetic of `dot` for
// each row: lane k of a row sums its products of index k modulo 8 in index order, the lanes are
// combined as ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)), and the tail is added in index
// order. One row alone is a long chain of dependent sums (and for float a single vector of eight
// lanes); a group runs the chains of its rows side by side, and its reduction ends with one row
// per lane, so the tail of all its rows takes one vector operation per column.
template <class T>
struct GroupedDot {
  using Vector = typename simd::Lanes<T>::Vector;
  // Rows in one group: one per lane of the result vector.
  static constexpr std::size_t kRows = simd::Lanes<T>::kWidth;

  // Elements read from the start of each row's tail when the caller allows reading past it: whole
  // quarter-blocks of four.
  static constexpr std::size_t padded_tail(std::size_t width) { return (width % 8 + 3) / 4 * 4; }

  // Lane r holds dot(row r, β) for the kRows rows starting at `rows`, each `width` elements apart.
  // With `tail_readable` the tail is read in quarter blocks: the padded_tail(width) elements from
  // the tail start of every row (the last row's may reach past the row) must be readable.
  // Requires width ≥ 1 and |β| ≥ width.
  static Vector sums(const T* rows, std::size_t width, const T* beta, bool tail_readable) {
    const std::size_t blocks = width / 8;
    Vector result = {};
    if (blocks > 0) result = block_sums(rows, width, beta, blocks);
    const std::size_t tail = blocks * 8;
    if (tail_readable) {
      for (std::size_t j = tail; j < width; j += 4) {
        Vector column[4];
        quarter_columns(rows + j, width, column);
        const std::size_t count = std::min<std::size_t>(width - j, 4);
        for (std::size_t c = 0; c < count; ++c) result += column[c] * beta[j + c];
      }
    } else {
      for (std::size_t j = tail; j < width; ++j) {
        Vector column;
        for (std::size_t r = 0; r < kRows; ++r) column[r] = rows[r * width + j];
        result += column * beta[j];
      }
    }
    return result;
  }

  // sums() for the kRows rows of a row-major design (`width` columns) that start at row `first`,
  // reading the tails in quarter blocks wherever that stays inside the design.
  static Vector sums_in(std::span<const T> design, std::size_t width, std::size_t first,
                        const T* beta) {
    const std::size_t tail_reach = width / 8 * 8 + padded_tail(width);
    const bool tail_readable = (first + kRows - 1) * width + tail_reach <= design.size();
    return sums(design.data() + first * width, width, beta, tail_readable);
  }

  // True when a watch, to which every group's sums were added times zero, saw only finite
  // results.
  static bool all_finite_watched(Vector watch) {
    for (std::size_t r = 0; r < kRows; ++r) {
      if (watch[r] != T(0)) return false;  // NaN compares unequal
    }
    return true;
  }

  // Block b of β for four rows of doubles: elements 8b to 8b + 3 and 8b + 4 to 8b + 7.
  struct BetaBlock {
    Vector low, high;
  };

  // The reduced lane sums of block_sums for four rows of doubles, block b of β given by
  // beta_block(b), so that a caller may hold β's vectors in registers.
  template <class BetaBlockOf>
  static Vector four_row_block_sums(const T* rows, std::size_t width, std::size_t blocks,
                                    BetaBlockOf&& beta_block) {
    static_assert(kRows == 4);
    // The accumulators are named values rather than arrays, which GCC would keep in memory.
    // Four doubles per vector: a row's eight lanes are two vectors, low (k < 4) and high.
    const T *r0 = rows, *r1 = rows + width, *r2 = rows + 2 * width, *r3 = rows + 3 * width;
    const BetaBlock first = beta_block(0);
    Vector l0 = load(r0) * first.low, h0 = load(r0 + 4) * first.high;
    Vector l1 = load(r1) * first.low, h1 = load(r1 + 4) * first.high;
    Vector l2 = load(r2) * first.low, h2 = load(r2 + 4) * first.high;
    Vector l3 = load(r3) * first.low, h3 = load(r3 + 4) * first.high;
    for (std::size_t b = 1; b < blocks; ++b) {
      const BetaBlock block = beta_block(b);
      const std::size_t i = 8 * b;
      l0 += load(r0 + i) * block.low;  // products, then sums: no FMA
      h0 += load(r0 + i + 4) * block.high;
      l1 += load(r1 + i) * block.low;
      h1 += load(r1 + i + 4) * block.high;
      l2 += load(r2 + i) * block.low;
      h2 += load(r2 + i + 4) * block.high;
      l3 += load(r3 + i) * block.low;
      h3 += load(r3 + i + 4) * block.high;
    }
    // t of row r = (s0 + s4, s1 + s5, s2 + s6, s3 + s7).
    const Vector t0 = l0 + h0, t1 = l1 + h1, t2 = l2 + h2, t3 = l3 + h3;
    // (t0 + t2, t1 + t3) of rows 0 and 2 in one vector and of rows 1 and 3 in the other, so that
    // unpacking the two within their 16-byte halves adds the halves of each row with row r in
    // lane r.
    const Vector pair02 =
        __builtin_shufflevector(t0, t2, 0, 1, 4, 5) + __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    const Vector pair13 =
        __builtin_shufflevector(t1, t3, 0, 1, 4, 5) + __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
    return (__builtin_shufflevector(pair02, pair13, 0, 4, 2, 6) +
            __builtin_shufflevector(pair02, pair13, 1, 5, 3, 7)) +
           Vector{};
  }

  // column[c] holds element c of four consecutive elements of every row, starting at `at` in the
  // first row: a transpose of four elements of each row, lane r for row r.
  static void quarter_columns(const T* at, std::size_t width, Vector column[4]) {
    if constexpr (kRows == 4) {
      const Vector x0 = load(at), x1 = load(at + width), x2 = load(at + 2 * width),
                   x3 = load(at + 3 * width);
      const Vector even01 = __builtin_shufflevector(x0, x1, 0, 4, 2, 6);
      const Vector odd01 = __builtin_shufflevector(x0, x1, 1, 5, 3, 7);
      const Vector even23 = __builtin_shufflevector(x2, x3, 0, 4, 2, 6);
      const Vector odd23 = __builtin_shufflevector(x2, x3, 1, 5, 3, 7);
      column[0] = __builtin_shufflevector(even01, even23, 0, 1, 4, 5);
      column[1] = __builtin_shufflevector(odd01, odd23, 0, 1, 4, 5);
      column[2] = __builtin_shufflevector(even01, even23, 2, 3, 6, 7);
      column[3] = __builtin_shufflevector(odd01, odd23, 2, 3, 6, 7);
    } else {
      // Row q in the low half and row q + 4 in the high half of y[q]; each half is transposed
      // as four rows of four.
      typedef T Quad __attribute__((vector_size(4 * sizeof(T))));
      Vector y[4];
      for (std::size_t q = 0; q < 4; ++q) {
        Quad low, high;
        std::memcpy(&low, at + q * width, sizeof low);
        std::memcpy(&high, at + (q + 4) * width, sizeof high);
        y[q] = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
      }
      const Vector low01 = __builtin_shufflevector(y[0], y[1], 0, 8, 1, 9, 4, 12, 5, 13);
      const Vector high01 = __builtin_shufflevector(y[0], y[1], 2, 10, 3, 11, 6, 14, 7, 15);
      const Vector low23 = __builtin_shufflevector(y[2], y[3], 0, 8, 1, 9, 4, 12, 5, 13);
      const Vector high23 = __builtin_shufflevector(y[2], y[3], 2, 10, 3, 11, 6, 14, 7, 15);
      column[0] = __builtin_shufflevector(low01, low23, 0, 1, 8, 9, 4, 5, 12, 13);
      column[1] = __builtin_shufflevector(low01, low23, 2, 3, 10, 11, 6, 7, 14, 15);
      column[2] = __builtin_shufflevector(high01, high23, 0, 1, 8, 9, 4, 5, 12, 13);
      column[3] = __builtin_shufflevector(high01, high23, 2, 3, 10, 11, 6, 7, 14, 15);
    }
  }

 private:
  static Vector load(const T* from) {
    Vector v;
    std::memcpy(&v, from, sizeof v);
    return v;
  }

  // s_k + s_(k+4) of two rows of floats in one vector: row a in the low half, row b in the high.
  static Vector halves_added(Vector a, Vector b) {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11) +
           __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
  }

  // The eight lane sums of every row over its whole blocks of eight, reduced to one value per
  // row: lane r of the result belongs to row r.
  //
  // `dot` starts each lane sum at +0. Starting at the first block's products instead saves an
  // addition per lane and changes nothing but the sign of a zero: a sum started at +0 is never −0,
  // and one started at a product is −0 only where that one is +0. Adding +0 to the reduced value
  // turns −0 into +0 and leaves every other value as it is, so the result is bit for bit the same.
  static Vector block_sums(const T* rows, std::size_t width, const T* beta, std::size_t blocks) {
    // The accumulators are named values rather than arrays, which GCC would keep in memory.
    if constexpr (kRows == 4) {
      return four_row_block_sums(rows, width, blocks, [beta](std::size_t b) {
        return BetaBlock{load(beta + 8 * b), load(beta + 8 * b + 4)};
      });
    } else {
      // Eight floats per vector: a row's eight lanes are one vector.
      const T *r0 = rows, *r1 = rows + width, *r2 = rows + 2 * width, *r3 = rows + 3 * width;
      const T *r4 = rows + 4 * width, *r5 = rows + 5 * width, *r6 = rows + 6 * width,
              *r7 = rows + 7 * width;
      const Vector b0 = load(beta);
      Vector s0 = load(r0) * b0, s1 = load(r1) * b0, s2 = load(r2) * b0, s3 = load(r3) * b0;
      Vector s4 = load(r4) * b0, s5 = load(r5) * b0, s6 = load(r6) * b0, s7 = load(r7) * b0;
      for (std::size_t i = 8; i < 8 * blocks; i += 8) {
        const Vector b = load(beta + i);
        s0 += load(r0 + i) * b;
        s1 += load(r1 + i) * b;
        s2 += load(r2 + i) * b;
        s3 += load(r3 + i) * b;
        s4 += load(r4 + i) * b;
        s5 += load(r5 + i) * b;
        s6 += load(r6 + i) * b;
        s7 += load(r7 + i) * b;
      }
      const Vector q01 = halves_added(s0, s1), q23 = halves_added(s2, s3),
                   q45 = halves_added(s4, s5), q67 = halves_added(s6, s7);
      // (t0 + t2, t1 + t3) of four rows per vector, in row order.
      const Vector low = __builtin_shufflevector(q01, q23, 0, 1, 4, 5, 8, 9, 12, 13) +
                         __builtin_shufflevector(q01, q23, 2, 3, 6, 7, 10, 11, 14, 15);
      const Vector high = __builtin_shufflevector(q45, q67, 0, 1, 4, 5, 8, 9, 12, 13) +
                          __builtin_shufflevector(q45, q67, 2, 3, 6, 7, 10, 11, 14, 15);
      return (__builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12, 14) +
              __builtin_shufflevector(low, high, 1, 3, 5, 7, 9, 11, 13, 15)) +
             Vector{};
    }
  }
};

// GroupedDot::sums for four rows of doubles of a width known at compile time, with β's vectors
// loaded once rather than per group and the same arithmetic lane for lane: the blocks' lane sums
// combined as in GroupedDot, then the tail added in index order. The tail is read a quarter block,
// a pair or one element of each row at a time, so nothing past a row is read and no group needs
// the test whether it may be. Over 1000 rows of 10 the objective's pass takes a ninth less time
// with AVX, and with SSE alone, where the general grouping goes through memory, far less.
template <std::size_t Width>
class FixedWidthDot {
 public:
  using T = double;
  using Group = GroupedDot<T>;
  using Vector = Group::Vector;
  static constexpr std::size_t kRows = Group::kRows;
  static_assert(kRows == 4 && Width >= 1);

  // Requires |β| ≥ Width.
  explicit FixedWidthDot(const T* beta) {
    for (std::size_t b = 0; b < kBlocks; ++b) {
      std::memcpy(&low_[b], beta + 8 * b, sizeof(Vector));
      std::memcpy(&high_[b], beta + 8 * b + 4, sizeof(Vector));
    }
    for (std::size_t j = 0; j < kTail; ++j) tail_[j] = beta[8 * kBlocks + j];
  }

  // Lane r holds dot(row r, β) for the four rows starting at `rows`, Width elements apart.
  Vector sums(const T* rows) const {
    Vector result = {};
    if constexpr (kBlocks > 0) {
      result = Group::four_row_block_sums(rows, Width, kBlocks, [this](std::size_t b) {
        return typename Group::BetaBlock{low_[b], high_[b]};
      });
    }
    std::size_t j = 0;
    for (; j + 4 <= kTail; j += 4) {
      Vector column[4];
      Group::quarter_columns(rows + 8 * kBlocks + j, Width, column);
      for (std::size_t c = 0; c < 4; ++c) result += column[c] * tail_[j + c];
    }
    for (; j + 2 <= kTail; j += 2) {
      const T* at = rows + 8 * kBlocks + j;
      const Vector rows02 = __builtin_shufflevector(pair(at), pair(at + 2 * Width), 0, 1, 2, 3);
      const Vector rows13 =
          __builtin_shufflevector(pair(at + Width), pair(at + 3 * Width), 0, 1, 2, 3);
      result += __builtin_shufflevector(rows02, rows13, 0, 4, 2, 6) * tail_[j];
      result += __builtin_shufflevector(rows02, rows13, 1, 5, 3, 7) * tail_[j + 1];
    }
    if constexpr (kTail % 2 == 1) {
      const T* at = rows + 8 * kBlocks + kTail - 1;
      const Vector column = {at[0], at[Width], at[2 * Width], at[3 * Width]};
      result += column * tail_[kTail - 1];
    }
    return result;
  }

 private:
  static constexpr std::size_t kBlocks = Width / 8;
  static constexpr std::size_t kTail = Width % 8;
  typedef T Pair __attribute__((vector_size(2 * sizeof(T))));

  static Pair pair(const T* from) {
    Pair v;
    std::memcpy(&v, from, sizeof v);
    return v;
  }

  Vector low_[kBlocks > 0 ? kBlocks : 1] = {};
  Vector high_[kBlocks > 0 ? kBlocks : 1] = {};
  T tail_[kTail > 0 ? kTail : 1] = {};
};

}  // namespace quillfen

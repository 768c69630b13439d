#pragma once

// The Cholesky stage for small systems, written out step for step. Eigen's LLT factorises systems
// of fewer than 32 unknowns column by column and solves with panels of 8 columns, and it calls a
// general matrix-vector product for every column and panel; for a 10 × 10 system those calls are
// most of the solve's time. The functions below take the same operations in the same order as
// Eigen built for the baseline (two-lane SSE vectors, multiply and add never fused), so their
// results carry the same bits. Each step names the Eigen operation whose rounding it follows.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "common/value_tests.hpp"

namespace quillfen::detail {

// Largest p the small stage takes: Eigen switches to its blocked factorisation at 32.
inline constexpr std::size_t SMALL_CHOLESKY_MAX = 31;

// Column-major storage of a factor or matrix of at most SMALL_CHOLESKY_MAX² entries.
class SmallColumnMajor {
 public:
  explicit SmallColumnMajor(std::size_t p) : p_(p) {}
  double& operator()(std::size_t i, std::size_t j) { return values_[j * p_ + i]; }
  double operator()(std::size_t i, std::size_t j) const { return values_[j * p_ + i]; }
  const double* column(std::size_t j) const { return values_.data() + j * p_; }

 private:
  std::size_t p_;
  std::array<double, SMALL_CHOLESKY_MAX * SMALL_CHOLESKY_MAX> values_;
};

// Σ_j a[j]·b[j] for j < count (count ≥ 1), summed as Eigen's reduction of a contiguous
// product: two-lane partial sums, two of them while four or more products remain, the lanes then
// added, and a last odd product added alone.
inline double paired_sum_of_products(const double* a, const double* b, std::size_t count) {
  const std::size_t whole_pairs = count / 2 * 2;
  const std::size_t whole_quads = count / 4 * 4;
  if (whole_pairs == 0) return a[0] * b[0];
  double lo = a[0] * b[0];
  double hi = a[1] * b[1];
  if (whole_pairs > 2) {
    double lo2 = a[2] * b[2];
    double hi2 = a[3] * b[3];
    for (std::size_t j = 4; j < whole_quads; j += 4) {
      lo = lo + a[j] * b[j];
      hi = hi + a[j + 1] * b[j + 1];
      lo2 = lo2 + a[j + 2] * b[j + 2];
      hi2 = hi2 + a[j + 3] * b[j + 3];
    }
    lo = lo + lo2;
    hi = hi + hi2;
    if (whole_pairs > whole_quads) {
      lo = lo + a[whole_quads] * b[whole_quads];
      hi = hi + a[whole_quads + 1] * b[whole_quads + 1];
    }
  }
  double sum = lo + hi;
  if (whole_pairs < count) sum = sum + a[whole_pairs] * b[whole_pairs];
  return sum;
}

// Σ_j L(i, j)·L(k, j) for j < k (k ≥ 1) as one chain of additions along the factor's strided
// rows: from zero (Eigen's matrix-vector product) or from the first product (its squared norm and
// dot product). The two differ only in the sign of a zero sum.
inline double row_products(const SmallColumnMajor& factor, std::size_t i, std::size_t k,
                           bool from_zero) {
  double sum = from_zero ? 0.0 + factor(i, 0) * factor(k, 0) : factor(i, 0) * factor(k, 0);
  for (std::size_t j = 1; j < k; ++j) sum = sum + factor(i, j) * factor(k, j);
  return sum;
}

// Factorises the lower triangle of the row-major p × p `system` (p ≤ SMALL_CHOLESKY_MAX) into
// `factor`, as Eigen's unblocked LLT. False when a pivot is not finite and positive, where Eigen
// either stops or leaves a non-finite diagonal.
inline bool small_cholesky(std::span<const double> system, std::size_t p,
                           SmallColumnMajor& factor) {
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t i = j; i < p; ++i) factor(i, j) = system[i * p + j];
  }
  for (std::size_t k = 0; k < p; ++k) {
    double pivot = factor(k, k);
    if (k > 0) pivot = pivot - row_products(factor, k, k, false);  // squaredNorm of the row
    if (!(pivot > 0.0)) return false;
    pivot = std::sqrt(pivot);
    if (!is_finite(pivot)) return false;
    factor(k, k) = pivot;
    // The rows below: a column-major matrix-vector product, or a dot product for a single row.
    const bool single_row = p - k - 1 == 1;
    for (std::size_t i = k + 1; k > 0 && i < p; ++i) {
      factor(i, k) = factor(i, k) - row_products(factor, i, k, !single_row);
    }
    for (std::size_t i = k + 1; i < p; ++i) factor(i, k) = factor(i, k) / pivot;
  }
  return true;
}

// Solves L·Lᵀ·x = rhs in place, as Eigen's triangular solves of a vector with panels of 8.
inline void small_cholesky_solve(const SmallColumnMajor& factor, std::size_t p,
                                 std::span<double> rhs) {
  constexpr std::size_t kPanel = 8;
  // L·y = rhs, forwards. Within a panel each solved entry is subtracted from the panel's later
  // entries (skipped for an exact zero); rows below the panel take a column-major product.
  for (std::size_t start = 0; start < p; start += kPanel) {
    const std::size_t end = std::min(p, start + kPanel);
    for (std::size_t i = start; i < end; ++i) {
      if (rhs[i] == 0.0) continue;
      rhs[i] = rhs[i] / factor(i, i);
      for (std::size_t j = i + 1; j < end; ++j) rhs[j] = rhs[j] - rhs[i] * factor(j, i);
    }
    for (std::size_t row = end; row < p; ++row) {
      double sum = 0.0;
      for (std::size_t j = start; j < end; ++j) sum = sum + factor(row, j) * rhs[j];
      rhs[row] = rhs[row] - sum;
    }
  }
  // Lᵀ·x = y, backwards. Rows above the solved part take a row-major product (two-lane partial
  // sums from zero, then the odd column); within a panel each entry takes a contiguous reduction.
  for (std::size_t end = p; end > 0; end -= std::min(end, kPanel)) {
    const std::size_t start = end - std::min(end, kPanel);
    const std::size_t solved = p - end;
    if (solved > 0) {
      const std::size_t whole_pairs = solved / 2 * 2;
      for (std::size_t i = start; i < end; ++i) {
        const double* column = factor.column(i) + end;  // Lᵀ's row i from column `end` on
        double lo = 0.0;
        double hi = 0.0;
        for (std::size_t j = 0; j < whole_pairs; j += 2) {
          lo = column[j] * rhs[end + j] + lo;
          hi = column[j + 1] * rhs[end + j + 1] + hi;
        }
        double sum = lo + hi;
        if (whole_pairs < solved) sum = sum + column[whole_pairs] * rhs[end + whole_pairs];
        rhs[i] = rhs[i] - sum;
      }
    }
    for (std::size_t i = end; i-- > start;) {
      const std::size_t count = end - i - 1;
      if (count > 0) {
        rhs[i] =
            rhs[i] - paired_sum_of_products(factor.column(i) + i + 1, rhs.data() + i + 1, count);
      }
      if (rhs[i] != 0.0) rhs[i] = rhs[i] / factor(i, i);
    }
  }
}

}  // namespace quillfen::detail

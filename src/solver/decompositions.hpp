#pragma once

// The decompositions behind solve_direction. Only direction_solve_float.cpp and
// direction_solve_double.cpp include this header, so the linear-algebra library's decompositions
// are compiled once per element type, in two units that build side by side, and nothing that
// includes the slim direction_solve.hpp recompiles them.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <type_traits>

// See kernels/gram/eigen_core.hpp: GCC 12's false warnings inside its own AVX-512 intrinsics
// headers, which a build for an AVX-512 machine inlines here too.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SVD>
#pragma GCC diagnostic pop

#include "common/eigen_blocking.hpp"
#include "common/expected.hpp"
#include "common/value_tests.hpp"
#include "solver/direction_solve.hpp"
#include "solver/small_cholesky.hpp"

namespace quillfen {
namespace detail {

template <class T>
using ColumnMajor = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>;
template <class T>
using Column = Eigen::Matrix<T, Eigen::Dynamic, 1>;

template <class T>
bool all_entries_finite(const Column<T>& values) {
  return all_finite<T>(std::span<const T>(values.data(), std::size_t(values.size())));
}

// Symmetric within 32·p·ε·max(1, max |A_ij|), for the row-major p × p `a`; NaN entries neither
// raise the bound nor count as a violation.
inline bool nearly_symmetric(std::span<const double> a, std::size_t p) {
  double largest = 1.0;
  for (const double value : a) {
    // fmax without the library call: a NaN compares false and leaves `largest` as it is.
    const double magnitude = std::fabs(value);
    if (magnitude > largest) largest = magnitude;
  }
  const double tolerance = 32.0 * double(p) * 0x1p-52 * largest;
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = i + 1; j < p; ++j) {
      if (std::fabs(a[j * p + i] - a[i * p + j]) > tolerance) return false;
    }
  }
  return true;
}

// Cholesky stage for p ≤ SMALL_CHOLESKY_MAX, on the row-major p × p `system`: the written-out
// factorisation, which gives Eigen's bits without its per-column calls. Writes `direction` only
// when A is nearly symmetric, every pivot was strictly positive and the solution is finite.
inline bool try_small_cholesky(std::span<const double> system, std::span<const double> gradient,
                               std::size_t p, std::span<double> direction) {
  if (!nearly_symmetric(system, p)) return false;
  SmallColumnMajor factor(p);
  if (!small_cholesky(system, p, factor)) return false;
  std::array<double, SMALL_CHOLESKY_MAX> solution{};
  std::copy(gradient.begin(), gradient.begin() + p, solution.begin());
  small_cholesky_solve(factor, p, solution);
  if (!all_finite<double>(std::span<const double>(solution.data(), p))) return false;
  std::copy(solution.begin(), solution.begin() + p, direction.begin());
  return true;
}

// Cholesky stage for larger systems, `a` being the row-major `system` in Eigen's form: a solution
// only when A is nearly symmetric, every pivot was strictly positive and the solution is finite.
inline bool try_cholesky(std::span<const double> system, const ColumnMajor<double>& a,
                         const Column<double>& rhs, Column<double>& solution) {
  if (!nearly_symmetric(system, std::size_t(a.rows()))) return false;
  const Eigen::LLT<ColumnMajor<double>> factor(a);
  if (factor.info() != Eigen::Success) return false;
  const auto diagonal = factor.matrixLLT().diagonal();
  for (Eigen::Index k = 0; k < diagonal.size(); ++k) {
    if (!is_finite_positive(diagonal(k))) return false;
  }
  solution = factor.solve(rhs);
  return all_entries_finite(solution);
}

// LU stage: refused when U has an exactly zero diagonal entry.
template <class T>
bool try_lu(const ColumnMajor<T>& a, const Column<T>& rhs, Column<T>& solution) {
  const Eigen::PartialPivLU<ColumnMajor<T>> factor(a);
  const auto diagonal = factor.matrixLU().diagonal();
  for (Eigen::Index k = 0; k < diagonal.size(); ++k) {
    if (diagonal(k) == T(0)) return false;
  }
  solution = factor.solve(rhs);
  return all_entries_finite(solution);
}

// Pseudo-inverse stage: d = V Σ⁺ Uᵀ g, dropping every component whose singular value is at most
// p·ε·σ_max. One-sided Jacobi: A is square, so the QR preconditioner that JacobiSVD runs only on
// rectangular matrices is left out, and so is divide and conquer, whose code took most of the
// build's time for a stage that only exactly singular systems reach. (Below 16 columns the divide
// and conquer SVD is this Jacobi SVD, bit for bit.)
template <class T>
Expected<Column<T>> pseudo_inverse_solve(const ColumnMajor<T>& a, const Column<T>& rhs) {
  constexpr T epsilon = std::is_same_v<T, double> ? T(0x1p-52) : T(0x1p-23);
  const Eigen::JacobiSVD<ColumnMajor<T>, Eigen::NoQRPreconditioner> svd(
      a, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const auto& sigma = svd.singularValues();
  T largest = T(0);
  for (Eigen::Index k = 0; k < sigma.size(); ++k) largest = sigma(k) > largest ? sigma(k) : largest;
  const T threshold = T(a.rows()) * epsilon * largest;
  if (threshold < T(0)) return NativeError::linear_solve();
  Column<T> projected = svd.matrixU().transpose() * rhs;
  for (Eigen::Index k = 0; k < sigma.size(); ++k) {
    projected(k) = sigma(k) <= threshold ? T(0) : projected(k) / sigma(k);
  }
  Column<T> solution = svd.matrixV() * projected;
  if (!all_entries_finite(solution)) return NativeError::non_finite();
  return solution;
}

}  // namespace detail

template <class T>
Expected<bool> solve_direction(std::span<const T> system, std::span<const T> gradient,
                               std::size_t p, std::span<T> direction) {
  constexpr bool kCholesky = std::is_same_v<T, double>;
  const bool small = p <= detail::SMALL_CHOLESKY_MAX;
  if constexpr (kCholesky) {
    if (small && detail::try_small_cholesky(system, gradient, p, direction)) return false;
  }
  pin_eigen_blocking();
  detail::ColumnMajor<T> a(p, p);
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < p; ++j) a(i, j) = system[i * p + j];
  }
  const detail::Column<T> rhs = Eigen::Map<const detail::Column<T>>(gradient.data(), p);
  detail::Column<T> solution;
  bool pseudo_inverse = false;
  bool solved = false;
  if constexpr (kCholesky) solved = !small && detail::try_cholesky(system, a, rhs, solution);
  if (!solved) solved = detail::try_lu(a, rhs, solution);
  if (!solved) {
    Expected<detail::Column<T>> fallback = detail::pseudo_inverse_solve(a, rhs);
    if (!fallback) return fallback.error();
    solution = std::move(fallback.value());
    pseudo_inverse = true;
  }
  std::copy(solution.data(), solution.data() + p, direction.begin());
  return pseudo_inverse;
}

}  // namespace quillfen

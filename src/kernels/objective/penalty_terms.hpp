#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace quillfen {

// +1, −1, or 0 for either zero and for NaN.
template <class T>
inline T sign_of(T value) {
  if (value > T(0)) return T(1);
  if (value < T(0)) return T(-1);
  return T(0);
}

// Number of penalised coefficients: all but the intercept, which is the last one.
inline std::size_t penalised_count(std::size_t p, bool fit_intercept) {
  return fit_intercept && p > 0 ? p - 1 : p;
}

// The reported objective: F plus, on the l1 path, λ·Σ|β_j| over the penalised coefficients,
// summed in index order in double precision.
template <class T>
double penalized_objective(std::span<const T> beta, bool fit_intercept, bool l1, double objective,
                           double lambda) {
  if (!l1) return objective;
  double total = 0.0;
  const std::size_t penalised = penalised_count(beta.size(), fit_intercept);
  for (std::size_t j = 0; j < penalised; ++j) total += std::fabs(double(beta[j]));
  return objective + lambda * total;
}

}  // namespace quillfen

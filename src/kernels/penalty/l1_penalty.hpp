#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/records.hpp"
#include "kernels/log_dimension.hpp"

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

// The l1 penalty's term carried over from earlier samples. Their fit is summarised by β₀ and
// the information I₀; its penalty λ₀·Σ|β_j| enters the combined objective linearised at β₀,
// as −κ·Σ sign(β₀_j)(β_j − β₀_j) with κ = (W₀/W)·λ₀ over the penalised coefficients. A fresh
// summary carries nothing.
template <class T>
struct CarriedL1Term {
  bool active = false;
  T kappa = T(0);
  std::span<const T> previous;  // β₀
  std::size_t penalised = 0;

  CarriedL1Term(const EngineState<T>& state, std::size_t p, double combined_weight)
      : active(state.n_samples_seen != 0),
        kappa(T((state.weight_sum / combined_weight) * state.previous_lambda)),
        previous(state.coefficients),
        penalised(penalised_count(p, state.fit_intercept)) {}

  // F plus the term at the shift β − β₀: F − κ·Σ sign(β₀_j)·shift_j, the sum formed in T in
  // index order and its product with κ converted to double.
  double add_to_objective(double objective, std::span<const T> shift) const {
    if (!active) return objective;
    T linear = T(0);
    for (std::size_t j = 0; j < penalised; ++j) linear = linear + sign_of(previous[j]) * shift[j];
    return objective - double(kappa * linear);
  }

  // Gradient entry j plus the term's slope: g_j − κ·sign(β₀_j) for a penalised j, else g_j.
  T add_to_gradient(std::size_t j, T g) const {
    return active && j < penalised ? g - kappa * sign_of(previous[j]) : g;
  }
};

// λ·Σ|β_j| over the penalised coefficients (the intercept is never penalised): its level rule,
// its value, its proximal step and its carried term. Not differentiable, so the update solves
// with proximal gradient steps.
struct L1Penalty {
  static constexpr Penalty kind = Penalty::L1;
  static constexpr bool kSmooth = false;
  // Xᵀψ is summed in row chunks at every width: the l1 path's results are pinned to that order.
  static constexpr bool kGradientInRowChunks = true;

  // λ = (lambda_scale·tau)·√(ln(max(n_features_in, 2)) / W).
  static double level(std::uint64_t n_features_in, const UpdateConfig& config,
                      double combined_weight) {
    return (config.lambda_scale * config.tau) *
           std::sqrt(log_dimension(n_features_in) / combined_weight);
  }

  // The reported objective: F plus λ·Σ|β_j|, the sum in index order in double.
  template <class T>
  static double reported_objective(double objective, std::span<const T> beta, bool fit_intercept,
                                   double lambda) {
    double total = 0.0;
    const std::size_t penalised = penalised_count(beta.size(), fit_intercept);
    for (std::size_t j = 0; j < penalised; ++j) total += std::fabs(double(beta[j]));
    return objective + lambda * total;
  }

  // The proximal map of threshold·|·| at z, the soft threshold sign(z)·max(|z| − threshold, 0),
  // keeping |z| − threshold only when it is greater than 0 (so NaN gives 0).
  template <class T>
  static T proximal(T z, T threshold) {
    const T excess = std::fabs(z) - threshold;
    return sign_of(z) * (excess > T(0) ? excess : T(0));
  }

  // The term carried over from earlier samples (CarriedL1Term).
  template <class T>
  static CarriedL1Term<T> carried(const EngineState<T>& state, std::size_t p,
                                  double combined_weight) {
    return CarriedL1Term<T>(state, p, combined_weight);
  }
};

}  // namespace quillfen

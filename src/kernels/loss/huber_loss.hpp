#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "common/value_tests.hpp"
#include "kernels/log_dimension.hpp"
#include "kernels/simd/lanes.hpp"

namespace quillfen {

// The Huber loss with threshold tau > 0 (UpdateConfig::tau): everything the kernels, the solvers
// and the update driver know about the loss. A loss type provides these members under these names;
// the kernels take it as a template parameter, so each row costs no indirect call.
struct HuberLoss {
  // ρ(r): quadratic inside ±tau, linear outside, the pieces meeting at |r| = tau with value
  // tau²/2; a NaN residual takes the linear branch and stays NaN. V is T, or a vector of T
  // (simd::Lanes) that takes one residual per lane through the same steps.
  template <class T, class V>
  static V value(V r, T tau) {
    // Both pieces, then a select: a branch would be mispredicted on heavy-tailed residuals.
    const V magnitude = absolute<T>(r);
    const V quadratic = r * (r * T(0.5));
    const V linear = tau * magnitude - tau * (tau * T(0.5));
    return magnitude <= tau ? quadratic : linear;
  }

  // ψ(r) = ρ'(r) = clamp(r, ±tau); NaN stays NaN.
  template <class T>
  static T score(T r, T tau) {
    return r > tau ? tau : (r < -tau ? -tau : r);
  }

  // The smoothed curvature weight standing in for ρ'' (1 inside ±tau, 0 outside): a trapezoid in
  // the residual with linear ramps of width 2c (c = min(h, tau)) centred on −tau and +tau. A NaN
  // residual gets 0. Runs in T, with tau and c converted to T first; V is T, or a vector of T
  // that takes one residual per lane through the same steps.
  template <class T, class V = T>
  struct Curvature {
    V limit, lo, inner_lo, inner_hi, hi, width;

    Curvature(double tau, double h) {
      const T limit_t = T(tau);
      const T half_width = T(std::min(h, double(limit_t)));
      limit = simd::filled<V>(limit_t);
      lo = simd::filled<V>(-limit_t - half_width);
      inner_lo = simd::filled<V>(half_width - limit_t);
      inner_hi = simd::filled<V>(limit_t - half_width);
      hi = simd::filled<V>(limit_t + half_width);
      width = simd::filled<V>(half_width + half_width);
    }

    // Every piece is formed and the tests then pick one, latest test first, so that the first
    // test that holds wins as in a chain of branches. Each piece is the same arithmetic either
    // way. Only one ramp can be picked, the lower one up to inner_lo, so only its quotient is
    // formed: one division per residual instead of two.
    V weight(V r) const {
      const V zero = simd::filled<V>(T(0));
      const V half = simd::filled<V>(T(0.5));
      const auto on_lower_side = r <= inner_lo;
      const V quotient = (on_lower_side ? limit + r : r - limit) / width;
      const V lower_ramp = quotient + half;
      const V upper_ramp = half - quotient;
      V result = r <= hi ? upper_ramp : zero;  // beyond the upper ramp, and NaN, give 0
      result = r < inner_hi ? simd::filled<V>(T(1)) : result;
      result = on_lower_side ? lower_ramp : result;
      return r < lo ? zero : result;
    }
  };

  // Half-width h of the curvature smoothing for the combined weight W: bandwidth_scale /
  // (√W·ln(max(n_features_in, 2))), shrinking like 1/√W and never wider than tau.
  static double smoothing_bandwidth(std::uint64_t n_features_in, double combined_weight,
                                    double bandwidth_scale, double tau) {
    const double h = bandwidth_scale / (std::sqrt(combined_weight) * log_dimension(n_features_in));
    return std::min(h, tau);
  }

 private:
  // |r| bit for bit: std::fabs for T, the sign bit cleared in every lane for a vector.
  template <class T, class V>
  static V absolute(V r) {
    if constexpr (std::is_same_v<V, T>) {
      return std::fabs(r);
    } else {
      using Word = typename detail::FloatBits<T>::Word;
      typedef Word Words __attribute__((vector_size(sizeof(V))));
      return V(Words(r) & ~detail::FloatBits<T>::kSign);
    }
  }
};

// HuberLoss::value under its plain name, for callers that need only this loss.
template <class T>
inline T huber_loss(T r, T tau) {
  return HuberLoss::value(r, tau);
}

// HuberLoss::smoothing_bandwidth under its plain name, for callers that need only this loss.
inline double smoothing_bandwidth(std::uint64_t n_features_in, double combined_weight,
                                  double bandwidth_scale, double tau) {
  return HuberLoss::smoothing_bandwidth(n_features_in, combined_weight, bandwidth_scale, tau);
}

}  // namespace quillfen
